#include "xml_store.h"

#include <gtest/gtest.h>

#include <limits.h>
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

bool xmllint_accepts(const fs::path& p)
{
    return system(("xmllint --noout '" + p.string() + "' 2>/dev/null").c_str()) == 0;
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
    }
    void TearDown() override
    {
        detail::xml_files() = detail::default_xml_files();
        fs::current_path(old_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Names in the folder other than out.xml: leftovers of a save.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename() != "out.xml")
                names.push_back(e.path().filename().string());
        return names;
    }
    fs::path old_, dir_;
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
    ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u);
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
    EXPECT_TRUE(leftovers().empty());

    // Without indent and rewrite: the declaration, the elements on one line, no mark.
    ASSERT_TRUE(doc.Save(u"out.xml", false, false));
    EXPECT_EQ(read_bytes("out.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                     "<root><a><b>text</b><c><d/></c></a></root>");
}

TEST_F(XmlStoreTest, IntegersReadAsDecimalAndClamp)
{
    X doc(true);
    X e = doc.AddChild(u"n");
    e.SetInt(-5);
    EXPECT_EQ(e.GetText(), u"-5");
    EXPECT_EQ(e.GetInt(), -5);
    const std::pair<const char16_t*, int32_t> cases[] = {
        {u"12abc", 12},
        {u"  \t-7", -7},
        {u"+3", 3},
        {u"abc", 0},
        {u"", 0},
        {u"- 4", 0},
        {u"2147483648", INT_MAX},
        {u"-2147483649", INT_MIN},
        {u"99999999999999999999", INT_MAX},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        e.SetText(cases[i].first);
        EXPECT_EQ(e.GetInt(), cases[i].second) << "case " << i;
    }
    EXPECT_EQ(doc.GetChild(u"missing").GetInt(), 0);
}

TEST_F(XmlStoreTest, TextOnlyFromASingleTextChild)
{
    bool ok = false;
    X doc = load("<r><plain>v</plain><nested><x>v</x></nested><mixed>a<x/>b</mixed>"
                 "<commented>a<!--c--></commented><cdata><![CDATA[v]]></cdata><empty/></r>",
                 &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetChild(u"plain").GetText(), u"v");
    for (const char16_t* name : {u"nested", u"mixed", u"commented", u"cdata", u"empty"})
        EXPECT_EQ(doc.GetChild(name).GetText(), u"");

    // Writes go only where there is one text child or nothing.
    X mixed = doc.GetChild(u"mixed");
    mixed.SetText(u"new");
    EXPECT_TRUE(mixed.GetChild(u"x").IsValid());
    EXPECT_EQ(mixed.GetText(), u"");
    for (const char16_t* name : {u"plain", u"empty"}) {
        X e = doc.GetChild(name);
        e.SetText(u"w");
        EXPECT_EQ(e.GetText(), u"w");
    }
}

TEST_F(XmlStoreTest, TextSurvivesSaveAndLoadExactly)
{
    const std::u16string texts[] = {u"<&>\"' ]]>", u"line1\r\nline2\nline3\r",
                                    u"默认保险箱1 \U0001F512", u"  padded\t"};
    X doc(true);
    for (const auto& t : texts) {
        X e = doc.AddChild(u"t");
        e.SetText(t);
        e.AddAttribute(u"a").SetText(t);
    }
    // What XML cannot carry is dropped rather than written into a file no parser accepts.
    const char16_t raw[] = {u'a', 0x0001, u'b', 0xD800, u'c', 0xDC00, u'd', 0xFFFE, u'e'};
    X bad = doc.AddChild(u"bad");
    bad.SetText(std::u16string(raw, 9));
    EXPECT_EQ(bad.GetText(), u"abcde");

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

TEST_F(XmlStoreTest, NextSiblingFollowsTheSameName)
{
    bool ok = false;
    X doc =
        load("<r x='1' y='2'><a>1</a>text<b>x</b><a>2</a><!--c--><?pi x?><a>3</a><b/></r>", &ok);
    ASSERT_TRUE(ok);
    std::u16string seen;
    for (X a = doc.GetChild(u"a"); a.IsValid(); a.NextSibling())
        seen += a.GetText();
    EXPECT_EQ(seen, u"123");

    X attr = doc.GetAttribute(u"x");
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
    }
    fs::create_directory("folder.xml");
    EXPECT_FALSE(doc.Load(u"folder.xml"));
    {
        std::ofstream big("big.xml", std::ios::binary);
        big << "<a>";
    }
    fs::resize_file("big.xml", X::max_file_size + 1);
    EXPECT_FALSE(doc.Load(u"big.xml"));
    EXPECT_FALSE(doc.Load(u"missing.xml"));
    EXPECT_EQ(doc.GetChild(u"keep").GetText(), u"yes");

    // The path of the failed load becomes the default target of Save.
    ASSERT_TRUE(doc.Save(u"", true, true));
    X back(true);
    ASSERT_TRUE(back.Load(u"missing.xml"));
    EXPECT_EQ(back.GetChild(u"keep").GetText(), u"yes");
    EXPECT_FALSE(X(true).Save(u"", true, true));
}

TEST_F(XmlStoreTest, OtherEncodingsAndHostileShapes)
{
    static const char utf16[] = "\xFF\xFE<\0a\0>\0\x2D\x4E<\0/\0a\0>\0"; // "<a>中</a>"
    bool ok = false;
    X doc = load(std::string(utf16, sizeof utf16 - 1), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc.GetText(), u"中");

    const int depth = 200000;
    std::string deep;
    for (int i = 0; i < depth; ++i)
        deep += "<d>";
    deep += "bottom";
    for (int i = 0; i < depth; ++i)
        deep += "</d>";
    doc = load(deep, &ok);
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

    X alias = doc.GetChild(u"a");
    X(alias).SetText(u"3");
    EXPECT_EQ(doc.GetChild(u"a").GetText(), u"3");

    X assigned(true);
    assigned.AddChild(u"gone");
    assigned = doc;
    EXPECT_FALSE(assigned.GetChild(u"gone").IsValid());
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

TEST_F(XmlStoreTest, EmptyHandlesIgnoreWritesAndAddsNeverReuse)
{
    X none;
    X child = none.GetChild(u"a").GetChild(u"b");
    EXPECT_FALSE(child.IsValid());
    child.SetText(u"x");
    child.Rename(u"y");
    child.NextSibling();
    EXPECT_EQ(child.GetText(), u"");
    EXPECT_FALSE(none.AddChild(u"a").IsValid());
    EXPECT_FALSE(none.Save(u"out.xml", true, true));
    EXPECT_FALSE(fs::exists("out.xml"));

    X doc(true);
    EXPECT_FALSE(doc.AddChild(u"not valid").IsValid());
    EXPECT_FALSE(doc.AddAttribute(u"1x").IsValid());
    EXPECT_FALSE(doc.AddAttribute(u"k").AddChild(u"a").IsValid());
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

// Fault injection into Save's file calls: the Nth call of a kind fails (0: none).
struct fault {
    static inline int move_at, create_at, write_at, flush_at, read_at;
    static inline int moves, creates, writes, flushes, reads;

    static void reset()
    {
        move_at = create_at = write_at = flush_at = read_at = 0,
        moves = creates = writes = flushes = reads = 0;
    }
    static const detail::xml_file_calls& real() { return detail::default_xml_files(); }
    static BOOL move(LPCWSTR a, LPCWSTR b, DWORD f)
    {
        return ++moves == move_at ? FALSE : real().move_file_ex(a, b, f);
    }
    static HANDLE create(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                         HANDLE t)
    {
        return ++creates == create_at ? INVALID_HANDLE_VALUE
                                      : real().create_file(p, a, s, sa, d, f, t);
    }
    static BOOL write(HANDLE h, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o)
    {
        if (++writes != write_at)
            return real().write_file(h, b, n, w, o);
        real().write_file(h, b, n / 2, w, o); // half of the bytes land before the failure
        return FALSE;
    }
    static BOOL read(HANDLE h, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o)
    {
        *r = 0;
        return ++reads == read_at ? FALSE : real().read_file(h, b, n, r, o);
    }
    static BOOL flush(HANDLE h)
    {
        return ++flushes == flush_at ? FALSE : real().flush_file_buffers(h);
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
        doc_.AddChild(u"payload").SetText(std::u16string(10000, u'p')); // several 4096-byte chunks
        fault::install();
    }
    X doc_{true};
};

TEST_F(XmlSaveFaultTest, FailedWriteLeavesTheOldFile)
{
    for (int* step : {&fault::write_at, &fault::flush_at, &fault::move_at}) {
        write_bytes("out.xml", "previous content");
        fault::reset();
        *step = 1;
        EXPECT_FALSE(doc_.Save(u"out.xml", true, true));
        EXPECT_EQ(read_bytes("out.xml"), "previous content");
        EXPECT_TRUE(leftovers().empty());
    }
}

TEST_F(XmlSaveFaultTest, RewriteFailuresRestoreTheSavedContent)
{
    // Calls of a save: create, write, flush, move of the new content; then the rewrite's move
    // aside, open of the copy, create of the file, write of the mark, reads and chunk writes,
    // flush.
    const std::pair<const char*, int*> steps[] = {
        {"move aside", &fault::move_at},    {"open copy", &fault::create_at},
        {"create file", &fault::create_at}, {"write mark", &fault::write_at},
        {"write chunk", &fault::write_at},  {"read copy", &fault::read_at},
        {"flush", &fault::flush_at},
    };
    const int at[] = {2, 2, 3, 2, 4, 2, 2};
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].first);
        write_bytes("out.xml", "previous content");
        fault::reset();
        *steps[i].second = at[i];
        // The write itself succeeded, so the save reports success.
        EXPECT_TRUE(doc_.Save(u"out.xml", true, true));
        const std::string bytes = read_bytes("out.xml");
        EXPECT_EQ(bytes.rfind("<?xml", 0), 0u);
        EXPECT_NE(bytes.find(std::string(10000, 'p') + "</payload>"), std::string::npos);
        EXPECT_TRUE(xmllint_accepts("out.xml"));
        EXPECT_TRUE(leftovers().empty());
    }

    // When even the move back fails, the content stays under the temporary name.
    fault::reset();
    fault::create_at = fault::move_at = 3;
    EXPECT_TRUE(doc_.Save(u"out.xml", true, true));
    std::vector<std::string> left = leftovers();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].size(), std::string("out.xml.20260102030405006.tmp").size());
    EXPECT_NE(read_bytes(left[0]).find("</root>"), std::string::npos);
}

TEST(XmlStoreNames, BomTemporaryNameIsTimestamped)
{
    SYSTEMTIME t{2026, 1, 5, 2, 3, 4, 5, 6};
    EXPECT_EQ(detail::bom_temp_name(u"Lockbin.xml", t), u"Lockbin.xml.20260102030405006.tmp");
}

} // namespace
