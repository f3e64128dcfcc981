#include "xml_store.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <new>
#include <vector>

#include "common/os_version.h"
#include "hostns/hostns.h"

namespace {

constexpr unsigned parse_flags = pugi::parse_default | pugi::parse_declaration |
                                 pugi::parse_comments | pugi::parse_pi | pugi::parse_fragment;

bool is_name_start(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool is_name_char(unsigned char c)
{
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Element and attribute names as UTF-8, or empty when the name is not one XML accepts (a
// serialised document must stay well-formed).
std::string xml_name(const std::u16string& name)
{
    std::string utf8 = detail::xml_text_to_utf8(name);
    if (utf8.size() != 0 && !is_name_start(static_cast<unsigned char>(utf8[0])))
        return {};
    for (unsigned char c : utf8)
        if (!is_name_char(c))
            return {};
    return utf8;
}

// The first element named name from node on. pugixml's own child(name) and next_sibling(name)
// would also stop at a processing instruction of that name.
pugi::xml_node next_element(pugi::xml_node node, const char* name)
{
    for (; node; node = node.next_sibling())
        if (node.type() == pugi::node_element && strcmp(node.name(), name) == 0)
            return node;
    return {};
}

class string_writer : public pugi::xml_writer {
public:
    explicit string_writer(std::string& out) : out_(out) {}
    void write(const void* data, size_t size) override
    {
        out_.append(static_cast<const char*>(data), size);
    }

private:
    std::string& out_;
};

// The document as the file holds it: our own declaration first (the bytes are always UTF-8,
// whatever a loaded declaration said), then every other top-level node.
std::string serialise(const pugi::xml_document& doc, bool indent)
{
    std::string raw;
    string_writer writer(raw);
    const unsigned flags = indent ? pugi::format_indent : pugi::format_raw;
    raw = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    if (indent)
        raw += '\n';
    for (pugi::xml_node node : doc.children())
        if (node.type() != pugi::node_declaration)
            node.print(writer, "\t", flags | pugi::format_no_declaration);
    // The writer leaves carriage returns of text raw, and a parser would fold "\r\n" into
    // "\n"; as a character reference the text reads back exactly as it was set.
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        if (c == '\r')
            out += "&#13;";
        else
            out += c;
    }
    return out;
}

// What a conforming parser would refuse but pugixml lets through: text or a second element at
// the top level, no element at all, an attribute given twice.
bool is_well_formed_tree(const pugi::xml_document& doc)
{
    int elements = 0;
    for (pugi::xml_node node : doc.children()) {
        switch (node.type()) {
        case pugi::node_element:
            ++elements;
            break;
        case pugi::node_pcdata:
        case pugi::node_cdata:
            return false;
        default:
            break;
        }
    }
    if (elements != 1)
        return false;
    std::vector<pugi::xml_node> pending{doc.document_element()};
    while (!pending.empty()) {
        pugi::xml_node node = pending.back();
        pending.pop_back();
        for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
            for (pugi::xml_attribute b = a.next_attribute(); b; b = b.next_attribute())
                if (strcmp(a.name(), b.name()) == 0)
                    return false;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
            if (child.type() == pugi::node_element)
                pending.push_back(child);
    }
    return true;
}

class file_handle {
public:
    explicit file_handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    ~file_handle() { close(); }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool close()
    {
        if (!valid())
            return true;
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return detail::xml_files().close_handle(h) != FALSE;
    }

private:
    HANDLE h_;
};

bool write_all(HANDLE h, const void* data, size_t size)
{
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!detail::xml_files().write_file(h, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

bool read_whole_file(const std::u16string& path, std::string& out)
{
    const auto& io = detail::xml_files();
    file_handle f(io.create_file(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid())
        return false;
    LARGE_INTEGER size{};
    if (!io.get_file_size_ex(f.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > X::max_file_size)
        return false;
    out.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < out.size()) {
        DWORD got = 0;
        if (!io.read_file(f.get(), out.data() + done, static_cast<DWORD>(out.size() - done), &got,
                          nullptr))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    // A file that shrank while we read it is taken as far as it went.
    out.resize(done);
    return true;
}

std::u16string timestamp_suffix(const SYSTEMTIME& t, const char* ext)
{
    char buf[64];
    snprintf(buf, sizeof buf, ".%04d%02d%02d%02d%02d%02d%03d%s", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds, ext);
    return std::u16string(buf, buf + strlen(buf));
}

// Writes the bytes to a sibling file and moves it over path, so that path holds either its
// old content or all of the new.
bool replace_file_content(const std::u16string& path, const std::string& bytes)
{
    const auto& io = detail::xml_files();
    SYSTEMTIME now{};
    io.get_local_time(&now);
    const std::u16string temp = path + timestamp_suffix(now, ".new");
    file_handle f(io.create_file(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!f.valid())
        return false;
    bool ok =
        write_all(f.get(), bytes.data(), bytes.size()) && io.flush_file_buffers(f.get()) != FALSE;
    ok = f.close() && ok;
    if (ok && io.move_file_ex(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    io.delete_file(temp.c_str());
    return false;
}

// Puts EF BB BF in front of the saved file. Any failure after the file was moved aside moves it
// back, so path always ends up with the saved content; if even that move fails the content
// stays under the temporary name rather than being deleted.
void rewrite_with_bom(const std::u16string& path)
{
    const auto& io = detail::xml_files();
    SYSTEMTIME now{};
    io.get_local_time(&now);
    const std::u16string temp = detail::bom_temp_name(path, now);
    if (!io.move_file_ex(path.c_str(), temp.c_str(), MOVEFILE_REPLACE_EXISTING))
        return;

    bool ok = false;
    {
        file_handle src(io.create_file(temp.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        file_handle dst(src.valid()
                            ? io.create_file(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr)
                            : INVALID_HANDLE_VALUE);
        if (src.valid() && dst.valid()) {
            static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
            ok = write_all(dst.get(), bom, sizeof bom);
            char buf[4096];
            while (ok) {
                DWORD got = 0;
                // A failed read is a failure, not the end of the file.
                if (!io.read_file(src.get(), buf, sizeof buf, &got, nullptr)) {
                    ok = false;
                    break;
                }
                if (got > 0 && !write_all(dst.get(), buf, got))
                    ok = false;
                if (got < sizeof buf)
                    break;
            }
            ok = ok && io.flush_file_buffers(dst.get()) != FALSE;
            ok = dst.close() && ok;
        }
    }
    if (ok)
        io.delete_file(temp.c_str());
    else
        io.move_file_ex(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

namespace detail {

xml_file_calls& xml_files()
{
    static xml_file_calls calls = default_xml_files();
    return calls;
}

const xml_file_calls& default_xml_files()
{
    static const xml_file_calls calls = {
        &::CreateFileW, &::ReadFile,    &::WriteFile,   &::FlushFileBuffers, &::GetFileSizeEx,
        &::CloseHandle, &::MoveFileExW, &::DeleteFileW, &::GetLocalTime,
    };
    return calls;
}

std::string xml_text_to_utf8(const std::u16string& text)
{
    std::u16string kept;
    kept.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            kept += c;
            kept += text[++i];
            continue;
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || (c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D) ||
            c == 0xFFFE || c == 0xFFFF)
            continue;
        kept += c;
    }
    return hostns::to_utf8(kept, hostns::utf8_policy::display);
}

std::u16string bom_temp_name(const std::u16string& path, const SYSTEMTIME& time)
{
    return path + timestamp_suffix(time, ".tmp");
}

} // namespace detail

X::X(bool createDocument)
{
    if (!createDocument)
        return;
    auto doc = std::make_shared<pugi::xml_document>();
    pugi::xml_node decl = doc->append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    element_ = doc->append_child("root");
    document_ = doc;
    owner_ = doc;
}

X::X(pugi::xml_node element, std::shared_ptr<pugi::xml_document> owner)
{
    if (element && element.type() == pugi::node_element && owner) {
        element_ = element;
        owner_ = std::move(owner);
    }
}

X::X(pugi::xml_attribute attribute, std::shared_ptr<pugi::xml_document> owner)
{
    if (attribute && owner) {
        attribute_ = attribute;
        owner_ = std::move(owner);
    }
}

X::X(const X& other)
{
    copy_from(other);
}

X& X::operator=(const X& other)
{
    if (this != &other) {
        element_ = pugi::xml_node();
        attribute_ = pugi::xml_attribute();
        document_.reset();
        owner_.reset();
        copy_from(other);
    }
    return *this;
}

X::~X() = default;

void X::copy_from(const X& other)
{
    file_path_ = other.file_path_;
    if (other.document_) {
        auto doc = std::make_shared<pugi::xml_document>();
        doc->reset(*other.document_);
        element_ = doc->document_element();
        document_ = doc;
        owner_ = doc;
    } else {
        element_ = other.element_;
        attribute_ = other.attribute_;
        owner_ = other.owner_;
    }
}

bool X::IsValid() const
{
    return element_ || attribute_;
}

bool X::Load(const std::u16string& path)
{
    if (!IsWin81OrEarlier())
        return false;
    try {
        auto doc = std::make_shared<pugi::xml_document>();
        file_path_ = path;
        std::string bytes;
        if (path.empty() || !read_whole_file(path, bytes))
            return false;
        pugi::xml_parse_result parsed =
            doc->load_buffer(bytes.data(), bytes.size(), parse_flags, pugi::encoding_auto);
        if (!parsed)
            return false;
        // pugixml passes malformed UTF-8 through; a conforming parser must refuse it.
        if (parsed.encoding == pugi::encoding_utf8 && !hostns::is_utf8(bytes))
            return false;
        if (!is_well_formed_tree(*doc))
            return false;
        attribute_ = pugi::xml_attribute();
        element_ = doc->document_element();
        document_ = doc;
        owner_ = doc;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool X::Save(const std::u16string& path, bool indent, bool rewriteWithBom)
{
    if (!IsWin81OrEarlier() || !document_)
        return false;
    const std::u16string& target = path.empty() ? file_path_ : path;
    if (target.empty())
        return false;
    try {
        if (!replace_file_content(target, serialise(*document_, indent)))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (rewriteWithBom)
        rewrite_with_bom(target);
    return true;
}

void X::Rename(const std::u16string& name)
{
    if (!element_)
        return;
    const std::string utf8 = xml_name(name);
    if (utf8.empty() || utf8 == element_.name())
        return;
    // Only elements and attributes come along; handles never point at the other kinds of
    // child, so removing them leaves no handle dangling.
    for (pugi::xml_node child = element_.first_child(); child;) {
        pugi::xml_node next = child.next_sibling();
        if (child.type() != pugi::node_element)
            element_.remove_child(child);
        child = next;
    }
    element_.set_name(utf8.c_str());
    if (document_ && element_.parent() == *document_)
        document_->append_move(element_);
}

X X::GetChild(const std::u16string& name) const
{
    if (!element_ || !element_.first_child())
        return X();
    return X(next_element(element_.first_child(), detail::xml_text_to_utf8(name).c_str()), owner_);
}

X X::GetAttribute(const std::u16string& name) const
{
    if (!element_)
        return X();
    return X(element_.attribute(detail::xml_text_to_utf8(name).c_str()), owner_);
}

X X::AddChild(const std::u16string& name)
{
    const std::string utf8 = xml_name(name);
    if (!element_ || utf8.empty())
        return X();
    return X(element_.append_child(utf8.c_str()), owner_);
}

X X::AddAttribute(const std::u16string& name)
{
    const std::string utf8 = xml_name(name);
    if (!element_ || utf8.empty())
        return X();
    pugi::xml_attribute attr = element_.attribute(utf8.c_str());
    if (attr)
        attr.set_value("");
    else
        attr = element_.append_attribute(utf8.c_str());
    return X(attr, owner_);
}

void X::NextSibling()
{
    if (element_)
        element_ = next_element(element_.next_sibling(), element_.name());
    else if (attribute_)
        attribute_ = attribute_.next_attribute();
    if (!element_ && !attribute_)
        owner_ = document_;
}

std::u16string X::GetText() const
{
    if (attribute_)
        return hostns::from_utf8(attribute_.value(), hostns::utf8_policy::display);
    if (!element_)
        return {};
    pugi::xml_node only = element_.first_child();
    if (!only || only.next_sibling() || only.type() != pugi::node_pcdata)
        return {};
    return hostns::from_utf8(only.value(), hostns::utf8_policy::display);
}

void X::SetText(const std::u16string& text)
{
    if (attribute_) {
        attribute_.set_value(detail::xml_text_to_utf8(text).c_str());
        return;
    }
    if (!element_)
        return;
    pugi::xml_node only = element_.first_child();
    if (!only)
        only = element_.append_child(pugi::node_pcdata);
    else if (only.next_sibling() || only.type() != pugi::node_pcdata)
        return;
    only.set_value(detail::xml_text_to_utf8(text).c_str());
}

int32_t X::GetInt() const
{
    const std::u16string text = GetText();
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > limit)
            value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

void X::SetInt(int32_t value)
{
    const std::string digits = std::to_string(value);
    SetText(std::u16string(digits.begin(), digits.end()));
}
