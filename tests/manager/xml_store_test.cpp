#include "xml_store.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool xmllint_accepts(const fs::path& p)
{
    std::string cmd = "xmllint --noout '" + p.string() + "' 2>/dev/null";
    return system(cmd.c_str()) == 0;
}

// Each test runs in a fresh current directory, since the store resolves relative names there.
class XmlStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_ = fs::current_path();
        char tmpl[] = "/tmp/lockbin-xml-XXXXXX";
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
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    // Names in the folder other than the given file: leftovers of a save.
    std::vector<std::string> others(const std::string& keep) const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename() != keep)
                names.push_back(e.path().filename().string());
        return names;
    }

    fs::path old_;
    fs::path dir_;
};

X load(const std::string& bytes, bool* ok = nullptr)
{
    write_bytes("in.xml", bytes);
    X doc(true);
    bool loaded = doc.Load(u"in.xml");
    if (ok)
        *ok = loaded;
    return doc;
}

TEST_F(XmlStoreTest, SavedFileHasMarkDeclarationAndOneElementPerLine)
{
    X doc(true);
    X a = doc.AddChild(u"a");
    a.AddChild(u"b").SetText(u"text");
    a.AddChild(u"c").AddChild(u"d");
    ASSERT_TRUE(doc.Save(u"out.xml", true, true));

    const std::string bytes = read_bytes("out.xml");
    ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    std::istringstream lines(bytes.substr(3));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    const std::vector<std::string> expected = {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
                                               "<root>",
                                               "\t<a>",
                                               "\t\t<b>text</b>",
                                               "\t\t<c>",
                                               "\t\t\t<d />",
                                               "\t\t</c>",
                                               "\t</a>",
                                               "</root>"};
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(xmllint_accepts("out.xml"));
    EXPECT_TRUE(others("out.xml").empty());
}

TEST_F(XmlStoreTest, SaveWithoutRewriteOrIndent)
{
    X doc(true);
    doc.AddChild(u"a").AddChild(u"b");
    ASSERT_TRUE(doc.Save(u"out.xml", false, false));
    EXPECT_EQ(read_bytes("out.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root><a><b/></a></root>");
    // An empty path falls back to the last loaded one; a handle that never loaded has none.
    EXPECT_FALSE(doc.Save(u"", true, true));
    X loaded(true);
    ASSERT_TRUE(loaded.Load(u"out.xml"));
    loaded.AddChild(u"c");
    ASSERT_TRUE(loaded.Save(u"", true, false));
    EXPECT_NE(read_bytes("out.xml").find("<c />"), std::string::npos);
}

TEST_F(XmlStoreTest, IntegersReadAsDecimalAndClamp)
{
    X doc(true);
    X e = doc.AddChild(u"n");
    e.SetInt(-5);
    EXPECT_EQ(e.GetText(), u"-5");
    EXPECT_EQ(e.GetInt(), -5);
    e.SetInt(INT_MIN);
    EXPECT_EQ(e.GetInt(), INT_MIN);

    const std::pair<const char16_t*, int32_t> cases[] = {
        {u"12abc", 12},
        {u"  \t-7", -7},
        {u"+3", 3},
        {u"abc", 0},
        {u"", 0},
        {u"- 4", 0},
        {u"2147483647", INT_MAX},
        {u"2147483648", INT_MAX},
        {u"99999999999999999999", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"-2147483649", INT_MIN},
        {u"007", 7},
    };
    int index = 0;
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(index++);
        e.SetText(text);
        EXPECT_EQ(e.GetInt(), value);
    }
    EXPECT_EQ(doc.GetChild(u"missing").GetInt(), 0);
    X attr = e.AddAttribute(u"v");
    attr.SetInt(42);
    EXPECT_EQ(e.GetAttribute(u"v").GetInt(), 42);
}

TEST_F(XmlStoreTest, TextOnlyFromASingleTextChild)
{
    bool ok = false;
    X doc = load("<r><plain>v</plain><nested><x>v</x></nested><mixed>a<x/>b</mixed>"
                 "<commented>a<!--c--></commented><cdata><![CDATA[v]]></cdata><empty/></r>",
                 &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetChild(u"plain").GetText(), u"v");
    EXPECT_EQ(doc.GetChild(u"nested").GetText(), u"");
    EXPECT_EQ(doc.GetChild(u"mixed").GetText(), u"");
    EXPECT_EQ(doc.GetChild(u"commented").GetText(), u"");
    EXPECT_EQ(doc.GetChild(u"cdata").GetText(), u"");
    EXPECT_EQ(doc.GetChild(u"empty").GetText(), u"");

    // Writes go only where there is one text child or nothing.
    X mixed = doc.GetChild(u"mixed");
    mixed.SetText(u"new");
    EXPECT_TRUE(mixed.GetChild(u"x").IsValid());
    EXPECT_EQ(mixed.GetText(), u"");
    X plain = doc.GetChild(u"plain");
    plain.SetText(u"w");
    EXPECT_EQ(plain.GetText(), u"w");
    X empty = doc.GetChild(u"empty");
    empty.SetText(u"z");
    EXPECT_EQ(empty.GetText(), u"z");
}

TEST_F(XmlStoreTest, TextSurvivesSaveAndLoadExactly)
{
    const std::u16string texts[] = {
        u"<&>\"' ]]>",
        u"line1\r\nline2\nline3\r",
        u"默认保险箱1 \U0001F512",
        u"  padded\t",
    };
    X doc(true);
    for (const auto& t : texts) {
        X e = doc.AddChild(u"t");
        e.SetText(t);
        e.AddAttribute(u"a").SetText(t);
    }
    ASSERT_TRUE(doc.Save(u"out.xml", true, true));
    EXPECT_TRUE(xmllint_accepts("out.xml"));
    X back(true);
    ASSERT_TRUE(back.Load(u"out.xml"));
    X e = back.GetChild(u"t");
    for (const auto& t : texts) {
        ASSERT_TRUE(e.IsValid());
        EXPECT_EQ(e.GetText(), t);
        EXPECT_EQ(e.GetAttribute(u"a").GetText(), t);
        e.NextSibling();
    }
    EXPECT_FALSE(e.IsValid());
}

TEST_F(XmlStoreTest, CharactersXmlCannotHoldAreDropped)
{
    X doc(true);
    X e = doc.AddChild(u"t");
    const char16_t raw[] = {u'a', 0x0001, u'b', 0xD800, u'c', 0xDC00, u'd', 0xFFFE, u'e'};
    e.SetText(std::u16string(raw, 9));
    EXPECT_EQ(e.GetText(), u"abcde");
    ASSERT_TRUE(doc.Save(u"out.xml", true, true));
    EXPECT_TRUE(xmllint_accepts("out.xml"));
}

TEST_F(XmlStoreTest, NextSiblingFollowsTheSameName)
{
    bool ok = false;
    X doc = load("<r><a>1</a>text<b>x</b><a>2</a><!--c--><?pi x?><a>3</a><b/></r>", &ok);
    ASSERT_TRUE(ok);
    std::u16string seen;
    for (X a = doc.GetChild(u"a"); a.IsValid(); a.NextSibling())
        seen += a.GetText();
    EXPECT_EQ(seen, u"123");

    X r = load("<r x='1' y='2'/>");
    X attr = r.GetAttribute(u"x");
    attr.NextSibling();
    EXPECT_EQ(attr.GetText(), u"2");
    attr.NextSibling();
    EXPECT_FALSE(attr.IsValid());
}

TEST_F(XmlStoreTest, FailedLoadKeepsTheHandle)
{
    const std::string bad[] = {
        "",
        "<update><Config><NotRemind>0</NotRe",
        "<update><a></b></update>",
        "<a/><b/>",
        "<a/>trailing",
        "leading<a/>",
        "<a x='1' x='2'/>",
        "<a>\xC3\x28</a>",     // broken two-byte sequence
        "<a>\xE0\x80\xAF</a>", // overlong '/'
        "<a>\xED\xA0\x80</a>", // encoded surrogate
        "\xEF\xBB\xBF<a>\xFF</a>",
        "<1a/>",
    };
    X doc(true);
    doc.AddChild(u"keep").SetText(u"yes");
    for (const std::string& bytes : bad) {
        write_bytes("bad.xml", bytes);
        EXPECT_FALSE(doc.Load(u"bad.xml")) << bytes;
        EXPECT_EQ(doc.GetChild(u"keep").GetText(), u"yes") << bytes;
    }
    fs::create_directory("folder.xml");
    EXPECT_FALSE(doc.Load(u"folder.xml"));
    EXPECT_FALSE(doc.Load(u"missing.xml"));
    EXPECT_EQ(doc.GetChild(u"keep").GetText(), u"yes");
    // The path of the failed load becomes the default target of Save.
    ASSERT_TRUE(doc.Save(u"", true, true));
    X back(true);
    ASSERT_TRUE(back.Load(u"missing.xml"));
    EXPECT_EQ(back.GetChild(u"keep").GetText(), u"yes");
}

TEST_F(XmlStoreTest, LoadsOtherEncodingsAndRefusesOversizedFiles)
{
    // UTF-16LE with its mark: "<a>中</a>".
    static const char raw[] = "\xFF\xFE<\0a\0>\0\x2D\x4E<\0/\0a\0>\0";
    const std::string utf16(raw, sizeof raw - 1);
    bool ok = false;
    X doc = load(utf16, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetText(), u"中");
    doc = load("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetText(), u"é");

    {
        std::ofstream big("big.xml", std::ios::binary);
        big << "<a>";
    }
    fs::resize_file("big.xml", X::max_file_size + 1);
    X other(true);
    EXPECT_FALSE(other.Load(u"big.xml"));
}

TEST_F(XmlStoreTest, HostileShapesLoadWithoutHarm)
{
    const int depth = 200000;
    std::string deep;
    for (int i = 0; i < depth; ++i)
        deep += "<d>";
    deep += "bottom";
    for (int i = 0; i < depth; ++i)
        deep += "</d>";
    bool ok = false;
    X doc = load(deep, &ok);
    ASSERT_TRUE(ok);
    X copy = doc; // deep clone of a deep tree
    X node = copy.GetChild(u"d");
    for (int i = 2; i < depth; ++i)
        node = node.GetChild(u"d");
    EXPECT_EQ(node.GetText(), u"bottom");

    const std::string huge(20 << 20, 'x');
    doc = load("<a>" + huge + "</a>", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetText().size(), huge.size());

    // Entities are not expanded, so a nested entity bomb stays small.
    doc =
        load("<!DOCTYPE a [<!ENTITY x 'xxxxxxxxxx'><!ENTITY y '&x;&x;&x;&x;&x;'>]><a>&y;</a>", &ok);
    ASSERT_TRUE(ok);
    EXPECT_LT(doc.GetText().size(), 100u);
}

TEST_F(XmlStoreTest, CopiesCloneDocumentsAndShareNodes)
{
    X doc(true);
    doc.AddChild(u"a").SetText(u"1");
    X clone = doc;
    clone.GetChild(u"a").SetText(u"2");
    EXPECT_EQ(doc.GetChild(u"a").GetText(), u"1");
    EXPECT_EQ(clone.GetChild(u"a").GetText(), u"2");

    X shared = doc.GetChild(u"a");
    X alias = shared;
    alias.SetText(u"3");
    EXPECT_EQ(doc.GetChild(u"a").GetText(), u"3");

    X assigned(true);
    assigned.AddChild(u"gone");
    assigned = doc;
    EXPECT_FALSE(assigned.GetChild(u"gone").IsValid());
    EXPECT_EQ(assigned.GetChild(u"a").GetText(), u"3");
    const X& same = assigned;
    assigned = same;
    EXPECT_EQ(assigned.GetChild(u"a").GetText(), u"3");

    // A node handle keeps its document alive after the document's handle is gone.
    X survivor;
    {
        X temp(true);
        survivor = temp.AddChild(u"kept");
    }
    survivor.SetText(u"still here");
    EXPECT_EQ(survivor.GetText(), u"still here");
}

TEST_F(XmlStoreTest, RenameKeepsElementsAndAttributes)
{
    bool ok = false;
    X doc = load("<!--lead--><old k='v'>text<a>1</a><!--c--><b/></old>", &ok);
    ASSERT_TRUE(ok);
    doc.Rename(u"update");
    EXPECT_EQ(doc.GetAttribute(u"k").GetText(), u"v");
    EXPECT_EQ(doc.GetChild(u"a").GetText(), u"1");
    EXPECT_TRUE(doc.GetChild(u"b").IsValid());
    doc.Rename(u"bad name");
    doc.Rename(u"");
    ASSERT_TRUE(doc.Save(u"out.xml", false, false));
    EXPECT_EQ(read_bytes("out.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!--lead-->"
                                     "<update k=\"v\"><a>1</a><b/></update>");

    // A nested element keeps its place among its siblings.
    X r = load("<r><x/><mid>t<y>1</y></mid><z/></r>");
    X mid = r.GetChild(u"mid");
    mid.Rename(u"renamed");
    EXPECT_EQ(mid.GetChild(u"y").GetText(), u"1");
    ASSERT_TRUE(r.Save(u"out.xml", false, false));
    EXPECT_NE(read_bytes("out.xml").find("<r><x/><renamed><y>1</y></renamed><z/></r>"),
              std::string::npos);
}

TEST_F(XmlStoreTest, EmptyHandlesIgnoreEverything)
{
    X none;
    EXPECT_FALSE(none.IsValid());
    X child = none.GetChild(u"a").GetChild(u"b");
    EXPECT_FALSE(child.IsValid());
    child.SetText(u"x");
    child.SetInt(3);
    child.Rename(u"y");
    child.NextSibling();
    EXPECT_EQ(child.GetText(), u"");
    EXPECT_EQ(child.GetInt(), 0);
    EXPECT_FALSE(none.AddChild(u"a").IsValid());
    EXPECT_FALSE(none.AddAttribute(u"a").IsValid());
    EXPECT_FALSE(none.Save(u"out.xml", true, true));
    EXPECT_FALSE(fs::exists("out.xml"));

    X doc(true);
    X e = doc.AddChild(u"e");
    EXPECT_FALSE(e.AddChild(u"not valid").IsValid());
    EXPECT_FALSE(e.AddAttribute(u"1x").IsValid());
    // An attribute handle has no children.
    X attr = e.AddAttribute(u"k");
    EXPECT_FALSE(attr.AddChild(u"a").IsValid());
    EXPECT_FALSE(attr.GetChild(u"a").IsValid());
}

TEST_F(XmlStoreTest, AddNeverReusesChildrenButReplacesAttributes)
{
    X doc(true);
    doc.AddChild(u"a").SetText(u"1");
    doc.AddChild(u"a").SetText(u"2");
    X second = doc.GetChild(u"a");
    second.NextSibling();
    EXPECT_EQ(second.GetText(), u"2");

    doc.AddAttribute(u"k").SetText(u"old");
    X fresh = doc.AddAttribute(u"k");
    EXPECT_EQ(fresh.GetText(), u"");
    fresh.SetText(u"new");
    ASSERT_TRUE(doc.Save(u"out.xml", false, false));
    EXPECT_NE(read_bytes("out.xml").find("<root k=\"new\">"), std::string::npos);
}

// Fault injection into the file calls of Save. Each counter names the call that fails next.
struct fault {
    static inline int fail_move_at = 0; // 1-based index of the MoveFileExW call that fails
    static inline int fail_create_at = 0;
    static inline int fail_write_at = 0;
    static inline bool fail_read = false;
    static inline bool fail_flush_at_rewrite = false;
    static inline int moves = 0, creates = 0, writes = 0, flushes = 0;

    static void reset()
    {
        fail_move_at = fail_create_at = fail_write_at = 0;
        fail_read = fail_flush_at_rewrite = false;
        moves = creates = writes = flushes = 0;
    }
    static BOOL move(LPCWSTR a, LPCWSTR b, DWORD f)
    {
        if (++moves == fail_move_at)
            return FALSE;
        return detail::default_xml_files().move_file_ex(a, b, f);
    }
    static HANDLE create(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                         HANDLE t)
    {
        if (++creates == fail_create_at)
            return INVALID_HANDLE_VALUE;
        return detail::default_xml_files().create_file(p, a, s, sa, d, f, t);
    }
    static BOOL write(HANDLE h, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o)
    {
        if (++writes == fail_write_at) {
            // Half of the bytes reach the file before the failure.
            DWORD part = 0;
            detail::default_xml_files().write_file(h, b, n / 2, &part, o);
            *w = part;
            return FALSE;
        }
        return detail::default_xml_files().write_file(h, b, n, w, o);
    }
    static BOOL read(HANDLE h, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o)
    {
        if (fail_read) {
            *r = 0;
            return FALSE;
        }
        return detail::default_xml_files().read_file(h, b, n, r, o);
    }
    static BOOL flush(HANDLE h)
    {
        // The second flush is that of the rewrite.
        if (++flushes == 2 && fail_flush_at_rewrite)
            return FALSE;
        return detail::default_xml_files().flush_file_buffers(h);
    }
    static void install()
    {
        reset();
        auto& io = detail::xml_files();
        io.move_file_ex = &move;
        io.create_file = &create;
        io.write_file = &write;
        io.read_file = &read;
        io.flush_file_buffers = &flush;
    }
};

class XmlSaveFaultTest : public XmlStoreTest {
protected:
    void SetUp() override
    {
        XmlStoreTest::SetUp();
        write_bytes("out.xml", "previous content");
        doc_.AddChild(u"payload").SetText(std::u16string(10000, u'p')); // several 4096-byte chunks
        fault::install();
    }
    // What the file holds after a save whose rewrite did not happen: the saved document,
    // complete, without the mark.
    void expect_saved_without_mark()
    {
        const std::string bytes = read_bytes("out.xml");
        EXPECT_EQ(bytes.rfind("<?xml", 0), 0u);
        EXPECT_NE(bytes.find(std::string(10000, 'p')), std::string::npos);
        EXPECT_NE(bytes.find("</root>"), std::string::npos);
        EXPECT_TRUE(xmllint_accepts("out.xml"));
    }
    X doc_{true};
};

TEST_F(XmlSaveFaultTest, FailedWriteLeavesTheOldFile)
{
    fault::fail_write_at = 1;
    EXPECT_FALSE(doc_.Save(u"out.xml", true, true));
    EXPECT_EQ(read_bytes("out.xml"), "previous content");
    EXPECT_TRUE(others("out.xml").empty());

    fault::reset();
    fault::fail_move_at = 1; // the move of the finished copy over the file
    EXPECT_FALSE(doc_.Save(u"out.xml", true, true));
    EXPECT_EQ(read_bytes("out.xml"), "previous content");
    EXPECT_TRUE(others("out.xml").empty());
}

TEST_F(XmlSaveFaultTest, RewriteFailuresRestoreTheSavedContent)
{
    struct step {
        const char* what;
        void (*arm)();
    } steps[] = {
        {"move aside", [] { fault::fail_move_at = 2; }},
        {"open copy", [] { fault::fail_create_at = 2; }},
        {"create file", [] { fault::fail_create_at = 3; }},
        {"write mark", [] { fault::fail_write_at = 2; }},
        {"write chunk", [] { fault::fail_write_at = 4; }},
        {"read copy", [] { fault::fail_read = true; }},
        {"flush", [] { fault::fail_flush_at_rewrite = true; }},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        write_bytes("out.xml", "previous content");
        fault::reset();
        s.arm();
        // The write itself succeeded, so the save reports success.
        EXPECT_TRUE(doc_.Save(u"out.xml", true, true));
        expect_saved_without_mark();
        EXPECT_TRUE(others("out.xml").empty());
    }
}

TEST_F(XmlSaveFaultTest, UnrestorableRewriteKeepsTheTemporaryCopy)
{
    fault::fail_create_at = 3; // P cannot be created again
    fault::fail_move_at = 3;   // and the copy cannot be moved back
    EXPECT_TRUE(doc_.Save(u"out.xml", true, true));
    std::vector<std::string> left = others("out.xml");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind("out.xml.", 0), 0u);
    EXPECT_NE(read_bytes(left[0]).find("</root>"), std::string::npos);
}

TEST_F(XmlStoreTest, TargetThatCannotBeReplaced)
{
    fs::create_directory("out.xml");
    X doc(true);
    EXPECT_FALSE(doc.Save(u"out.xml", true, true));
    EXPECT_TRUE(fs::is_directory("out.xml"));
    EXPECT_TRUE(others("out.xml").empty());
}

TEST(XmlStoreNames, BomTemporaryNameIsTimestamped)
{
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 1;
    t.wDay = 2;
    t.wHour = 3;
    t.wMinute = 4;
    t.wSecond = 5;
    t.wMilliseconds = 6;
    EXPECT_EQ(detail::bom_temp_name(u"Lockbin.xml", t), u"Lockbin.xml.20260102030405006.tmp");
}

} // namespace
