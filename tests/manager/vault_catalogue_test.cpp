#include "vault_catalogue.h"
#include "xml_store.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_bytes(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

bool have_xmllint()
{
    return system("xmllint --version >/dev/null 2>&1") == 0;
}

// The value of an XPath expression over the file as xmllint (libxml2) reads it.
std::string xpath(const std::string& file, const std::string& expr)
{
    std::string cmd = "xmllint --xpath \"" + expr + "\" '" + file + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return "<popen failed>";
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

class VaultCatalogueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_ = fs::current_path();
        char tmpl[] = "/tmp/lockbin-cat-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::current_path(dir_);
        detail::xml_files() = detail::default_xml_files();
    }
    void TearDown() override
    {
        detail::xml_files() = detail::default_xml_files();
        fs::current_path(old_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path old_;
    fs::path dir_;
};

std::vector<std::u16string> names(const VaultCatalogue& c)
{
    std::vector<std::u16string> out;
    for (const VaultRecord& r : c)
        out.push_back(r.Name);
    return out;
}

const char kExample[] = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<update fmtver=\"1\">\n"
                        "\t<Config>\n"
                        "\t\t<NotRemind>0</NotRemind>\n"
                        "\t\t<DefaultPath>D:\\Lockbin</DefaultPath>\n"
                        "\t</Config>\n"
                        "\t<LockbinList>\n"
                        "\t\t<Lockbin loadtype=\"1\">\n"
                        "\t\t\t<Name>默认保险箱1</Name>\n"
                        "\t\t\t<Path>D:\\Lockbin\\默认保险箱1.lkb</Path>\n"
                        "\t\t\t<Description>默认保险箱1</Description>\n"
                        "\t\t\t<Letter autoassign=\"1\">Z</Letter>\n"
                        "\t\t\t<Password remember=\"0\"></Password>\n"
                        "\t\t</Lockbin>\n"
                        "\t</LockbinList>\n"
                        "</update>\n";

TEST_F(VaultCatalogueTest, ExampleFileIsWrittenAndReadBackByteForByte)
{
    VaultCatalogue c;
    c.DefaultPath = u"D:\\Lockbin";
    ASSERT_TRUE(
        c.AddVault(u"默认保险箱1", u"D:\\Lockbin\\默认保险箱1.lkb", 1, u'Z', 1, u"默认保险箱1"));
    ASSERT_TRUE(c.SaveConfig(kConfigFileName));
    EXPECT_EQ(read_bytes("Lockbin.xml"), kExample);

    if (have_xmllint()) {
        // Another parser sees the same document: well-formed, declared, every value in place.
        EXPECT_EQ(system("xmllint --noout Lockbin.xml 2>/dev/null"), 0);
        EXPECT_EQ(xpath("Lockbin.xml", "string(/update/@fmtver)"), "1");
        EXPECT_EQ(xpath("Lockbin.xml", "name(/update/*[1])"), "Config");
        EXPECT_EQ(xpath("Lockbin.xml", "name(/update/*[2])"), "LockbinList");
        EXPECT_EQ(xpath("Lockbin.xml", "string(/update/Config/NotRemind)"), "0");
        EXPECT_EQ(xpath("Lockbin.xml", "string(/update/Config/DefaultPath)"), "D:\\Lockbin");
        const std::string v = "/update/LockbinList/Lockbin";
        EXPECT_EQ(xpath("Lockbin.xml", "string(" + v + "/@loadtype)"), "1");
        const char* order[] = {"Name", "Path", "Description", "Letter", "Password"};
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(xpath("Lockbin.xml", "name(" + v + "/*[" + std::to_string(i + 1) + "])"),
                      order[i]);
        EXPECT_EQ(xpath("Lockbin.xml", "string(" + v + "/Path)"), "D:\\Lockbin\\默认保险箱1.lkb");
        EXPECT_EQ(xpath("Lockbin.xml", "string(" + v + "/Letter)"), "Z");
        EXPECT_EQ(xpath("Lockbin.xml", "string(" + v + "/Letter/@autoassign)"), "1");
        EXPECT_EQ(xpath("Lockbin.xml", "string(" + v + "/Password/@remember)"), "0");
    } else {
        ADD_FAILURE() << "xmllint (libxml2-utils) is not installed";
    }

    VaultCatalogue back;
    ASSERT_TRUE(back.LoadConfig(kConfigFileName));
    VaultRecord r;
    ASSERT_TRUE(back.FindByName(u"默认保险箱1", r));
    EXPECT_EQ(r.Path, u"D:\\Lockbin\\默认保险箱1.lkb");
    EXPECT_EQ(r.Letter, u'Z');
    EXPECT_EQ(r.autoassign, 1);
    EXPECT_EQ(r.loadtype, 1);
    EXPECT_EQ(back.DefaultPath, u"D:\\Lockbin");
    fs::rename("Lockbin.xml", "first.xml");
    ASSERT_TRUE(back.SaveConfig(kConfigFileName));
    EXPECT_EQ(read_bytes("Lockbin.xml"), kExample);
}

TEST_F(VaultCatalogueTest, LoadIsLenient)
{
    // Any root name, any order, second Config and LockbinList ignored, no fmtver.
    write_bytes("Lockbin.xml",
                "<anything>"
                "<LockbinList>"
                "<Lockbin loadtype='x7'><Letter autoassign='1'>XYZ</Letter>"
                "<Path>p1</Path><Name>one</Name></Lockbin>"
                "<Other/>"
                "<Lockbin><Letter autoassign='zz'></Letter><Name>two</Name></Lockbin>"
                "</LockbinList>"
                "<Config><DefaultPath>E:\\V</DefaultPath></Config>"
                "<Config><DefaultPath>ignored</DefaultPath><NotRemind>5</NotRemind></Config>"
                "<LockbinList><Lockbin><Name>ignored</Name></Lockbin></LockbinList>"
                "</anything>");
    VaultCatalogue c;
    ASSERT_TRUE(c.LoadConfig(kConfigFileName));
    EXPECT_EQ(c.fmtver, 0);
    EXPECT_EQ(c.NotRemind, 0);
    EXPECT_EQ(c.DefaultPath, u"E:\\V");
    ASSERT_EQ(names(c), (std::vector<std::u16string>{u"one", u"two"}));
    const VaultRecord& one = *c.begin();
    EXPECT_EQ(one.Letter, u'X');
    EXPECT_EQ(one.autoassign, 1);
    EXPECT_EQ(one.loadtype, 0);
    EXPECT_EQ(one.Path, u"p1");
    EXPECT_EQ(one.Description, u"");
    const VaultRecord& two = *(c.begin() + 1);
    EXPECT_EQ(two.Letter, 0);
    EXPECT_EQ(two.autoassign, 0);

    // The next save writes fmtver 0 and an empty Letter for a letter of 0.
    ASSERT_TRUE(c.SaveConfig(kConfigFileName));
    VaultCatalogue again;
    ASSERT_TRUE(again.LoadConfig(kConfigFileName));
    EXPECT_EQ(again.fmtver, 0);
    EXPECT_EQ((again.begin() + 1)->Letter, 0);
    EXPECT_NE(read_bytes("Lockbin.xml").find("<update fmtver=\"0\">"), std::string::npos);

    // Without Config, DefaultPath and NotRemind keep what they held; the list is replaced.
    write_bytes("Lockbin.xml", "<update fmtver='3'/>");
    again.NotRemind = 9;
    ASSERT_TRUE(again.LoadConfig(kConfigFileName));
    EXPECT_EQ(again.DefaultPath, u"E:\\V");
    EXPECT_EQ(again.NotRemind, 9);
    EXPECT_EQ(again.fmtver, 3);
    EXPECT_EQ(again.GetCount(), 0u);
}

TEST_F(VaultCatalogueTest, FailedLoadLeavesTheCatalogue)
{
    VaultCatalogue c;
    c.AddVault(u"keep", u"k.lkb", 1, u'K', 0, u"");
    c.DefaultPath = u"D:\\Lockbin";
    const std::string bad[] = {
        "",
        "<update fmtver='2'><LockbinList><Lockbin><Name>x</Name>", // truncated
        "<update><Config><DefaultPath>\xC0\xAF</DefaultPath></Config></update>",
        "not xml at all",
    };
    for (const std::string& b : bad) {
        write_bytes("Lockbin.xml", b);
        EXPECT_FALSE(c.LoadConfig(kConfigFileName)) << b;
    }
    fs::remove("Lockbin.xml");
    EXPECT_FALSE(c.LoadConfig(kConfigFileName));
    EXPECT_EQ(names(c), std::vector<std::u16string>{u"keep"});
    EXPECT_EQ(c.DefaultPath, u"D:\\Lockbin");
    EXPECT_EQ(c.fmtver, 1);
}

TEST_F(VaultCatalogueTest, HostileValuesAreTakenAsTheyAre)
{
    std::string file = "<update fmtver='99999999999'><LockbinList>";
    const char* letters[] = {"a", "1", "中", "\xF0\x9F\x94\x92", "&lt;"};
    for (const char* l : letters)
        file += std::string("<Lockbin><Name>n</Name><Letter>") + l + "</Letter></Lockbin>";
    std::string deep;
    for (int i = 0; i < 50000; ++i)
        deep += "<d>";
    for (int i = 0; i < 50000; ++i)
        deep += "</d>";
    file += "<Lockbin><Name>deep</Name><Description>" + deep + "</Description>" + "<Path>" +
            std::string(1 << 20, 'p') + "</Path></Lockbin>";
    file += "</LockbinList></update>";
    write_bytes("Lockbin.xml", file);

    VaultCatalogue c;
    ASSERT_TRUE(c.LoadConfig(kConfigFileName));
    EXPECT_EQ(c.fmtver, INT32_MAX);
    ASSERT_EQ(c.GetCount(), 6u);
    const char16_t expected[] = {u'a', u'1', u'中', 0xD83D, u'<'};
    auto it = c.begin();
    for (char16_t e : expected)
        EXPECT_EQ((it++)->Letter, e);
    EXPECT_EQ(it->Description, u""); // element content, not text
    EXPECT_EQ(it->Path.size(), size_t(1 << 20));
    // Duplicate names stay; a save of these values yields a file that loads again.
    ASSERT_TRUE(c.SaveConfig(kConfigFileName));
    VaultCatalogue back;
    ASSERT_TRUE(back.LoadConfig(kConfigFileName));
    EXPECT_EQ(back.GetCount(), 6u);
    EXPECT_EQ(back.begin()->Letter, u'a');
    EXPECT_EQ((back.begin() + 3)->Letter, 0); // half of a surrogate pair cannot be stored alone
}

TEST_F(VaultCatalogueTest, OperationsByNameIgnoreCase)
{
    VaultCatalogue c;
    ASSERT_TRUE(c.AddVault(u"Vault", u"C:\\V\\Vault.lkb", 0, u'V', 1, u"d"));
    EXPECT_FALSE(c.AddVault(u"vAULT", u"other", 1, u'W', 0, u""));
    EXPECT_EQ(c.GetCount(), 1u);
    EXPECT_TRUE(c.ContainsPath(u"c:\\v\\VAULT.LKB"));
    EXPECT_FALSE(c.ContainsPath(u"c:\\v\\other.lkb"));

    VaultRecord r;
    r.Name = u"untouched";
    EXPECT_FALSE(c.FindByName(u"missing", r));
    EXPECT_EQ(r.Name, u"untouched");
    ASSERT_TRUE(c.FindByName(u"VAULT", r));
    EXPECT_EQ(r.Name, u"Vault");
    EXPECT_EQ(r.Password, u"");
    EXPECT_EQ(r.remember, 0);

    EXPECT_FALSE(c.SetLetter(u"missing", u'E'));
    EXPECT_TRUE(c.SetLetter(u"vault", u'E'));
    EXPECT_FALSE(c.UpdateProperties(u"missing", 1, u'F', 0, u"x"));
    EXPECT_TRUE(c.UpdateProperties(u"VaulT", 1, u'F', 0, u"new\r\ntext"));
    ASSERT_TRUE(c.FindByName(u"vault", r));
    EXPECT_EQ(r.Letter, u'F');
    EXPECT_EQ(r.autoassign, 1);
    EXPECT_EQ(r.loadtype, 0);
    EXPECT_EQ(r.Description, u"new\r\ntext");
    EXPECT_EQ(r.Path, u"C:\\V\\Vault.lkb");

    EXPECT_FALSE(c.RemoveVault(u"missing"));
    EXPECT_TRUE(c.RemoveVault(u"VAULT"));
    EXPECT_EQ(c.GetCount(), 0u);
}

TEST_F(VaultCatalogueTest, HandEditedDuplicatesAndPasswordsSurvive)
{
    write_bytes(
        "Lockbin.xml",
        "<update fmtver='1'><LockbinList>"
        "<Lockbin><Name>b</Name><Password remember='1'>secret &amp; more</Password></Lockbin>"
        "<Lockbin><Name>dup</Name><Path>first</Path></Lockbin>"
        "<Lockbin><Name>a</Name></Lockbin>"
        "<Lockbin><Name>DUP</Name><Path>second</Path></Lockbin>"
        "</LockbinList></update>");
    VaultCatalogue c;
    ASSERT_TRUE(c.LoadConfig(kConfigFileName));
    ASSERT_TRUE(c.AddVault(u"z", u"z.lkb", 0, 0, 0, u"multi\r\nline"));
    ASSERT_TRUE(c.SaveConfig(kConfigFileName));

    VaultCatalogue back;
    ASSERT_TRUE(back.LoadConfig(kConfigFileName));
    EXPECT_EQ(names(back), (std::vector<std::u16string>{u"b", u"dup", u"a", u"DUP", u"z"}));
    VaultRecord r;
    ASSERT_TRUE(back.FindByName(u"b", r));
    EXPECT_EQ(r.Password, u"secret & more");
    EXPECT_EQ(r.remember, 1);
    ASSERT_TRUE(back.FindByName(u"z", r));
    EXPECT_EQ(r.Description, u"multi\r\nline");

    ASSERT_TRUE(back.RemoveVault(u"dup"));
    ASSERT_TRUE(back.FindByName(u"dup", r));
    EXPECT_EQ(r.Path, u"second");
    EXPECT_EQ(names(back), (std::vector<std::u16string>{u"b", u"a", u"DUP", u"z"}));
}

TEST_F(VaultCatalogueTest, ProcessingInstructionsNamedLikeElementsAreNotVaults)
{
    // Instructions that share the names the catalogue looks up, before the first vault, between
    // two vaults and in place of Config: only the elements count.
    write_bytes("Lockbin.xml", "<update fmtver='1'><?Config x?><LockbinList>"
                               "<?Lockbin x?><Lockbin><?Name pi?><Name>one</Name></Lockbin>"
                               "<?Lockbin y?><Lockbin><Name>two</Name></Lockbin>"
                               "</LockbinList><Config><NotRemind>1</NotRemind></Config></update>");
    VaultCatalogue c;
    ASSERT_TRUE(c.LoadConfig(kConfigFileName));
    EXPECT_EQ(names(c), (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_EQ(c.NotRemind, 1);

    ASSERT_TRUE(c.SaveConfig(kConfigFileName));
    VaultCatalogue back;
    ASSERT_TRUE(back.LoadConfig(kConfigFileName));
    EXPECT_EQ(names(back), (std::vector<std::u16string>{u"one", u"two"}));
}

// A save that cannot write keeps the file as it was, whatever the memory now holds.
BOOL fail_every_write(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    return FALSE;
}

TEST_F(VaultCatalogueTest, FailedSaveLeavesTheFileAsItWas)
{
    VaultCatalogue c;
    c.AddVault(u"one", u"1.lkb", 0, u'D', 0, u"");
    ASSERT_TRUE(c.SaveConfig(kConfigFileName));
    const std::string before = read_bytes("Lockbin.xml");

    c.AddVault(u"two", u"2.lkb", 0, u'E', 0, u"");
    detail::xml_files().write_file = &fail_every_write;
    EXPECT_FALSE(c.SaveConfig(kConfigFileName));
    detail::xml_files() = detail::default_xml_files();
    EXPECT_EQ(read_bytes("Lockbin.xml"), before);
    EXPECT_EQ(c.GetCount(), 2u);
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename(), "Lockbin.xml");

    // A name that cannot be replaced by a file at all.
    fs::remove("Lockbin.xml");
    fs::create_directory("Lockbin.xml");
    EXPECT_FALSE(c.SaveConfig(kConfigFileName));
    EXPECT_TRUE(fs::is_directory("Lockbin.xml"));
}

} // namespace
