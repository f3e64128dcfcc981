// The manager's small XML document layer: a fail-soft handle on one document, element or
// attribute. A handle that points at nothing yields empty results and ignores writes, so callers
// can walk a missing branch without checking every step.
#pragma once

#include <stdint.h>
#include <memory>
#include <string>

#include <pugixml.hpp>
#include <windows.h>

class X {
public:
    // With createDocument set, the handle holds a new document made of the declaration
    // version 1.0 / encoding UTF-8 and a root element named "root"; otherwise it is empty.
    explicit X(bool createDocument = false);
    // A handle on one element or attribute of the document that owner keeps alive; it holds
    // no document of its own.
    X(pugi::xml_node element, std::shared_ptr<pugi::xml_document> owner);
    X(pugi::xml_attribute attribute, std::shared_ptr<pugi::xml_document> owner);

    // Copying a handle that holds a document deep-clones the document and takes the clone's
    // root element; any other handle shares the source's element or attribute.
    X(const X& other);
    X& operator=(const X& other);
    virtual ~X();

    // True when the handle points at an element or an attribute.
    bool IsValid() const;

    // Replaces the handle's content by the parsed file. The path is remembered even when the
    // load fails; on failure the handle keeps its previous document, element and attribute.
    // Refused on platforms newer than 6.3. A file must be well-formed UTF-8, UTF-16 or UTF-32
    // (or Latin-1 when it declares so), with one root element, and at most max_file_size bytes.
    bool Load(const std::u16string& path);

    // Writes the handle's document to path (or, when path is empty, to the path of the last
    // Load), always with the declaration version 1.0 / encoding UTF-8. indent puts one element
    // per line, indented with tabs; rewriteWithBom then puts the byte order mark EF BB BF in
    // front through a timestamped temporary copy of the file. The file is replaced whole or not
    // at all; a failed rewrite leaves the saved content, without the mark, under the file's name.
    // The result is that of the write itself, not of the rewrite.
    bool Save(const std::u16string& path, bool indent, bool rewriteWithBom);

    // Gives the element a new tag name; its child elements and attributes stay, any other
    // children (text, comments) are dropped. Renaming the root keeps it the document's element.
    // A name that is not a valid XML name changes nothing.
    void Rename(const std::u16string& name);

    // First child element of that name, or an empty handle.
    X GetChild(const std::u16string& name) const;
    // Attribute of that name on the handle's element, or an empty handle.
    X GetAttribute(const std::u16string& name) const;
    // Appends a new element as the last child; empty when the handle has no element or the name
    // is not a valid XML name.
    X AddChild(const std::u16string& name);
    // A new, empty attribute of that name on the element. An existing attribute of the same name
    // is reused with its value cleared (so that other handles on it never dangle).
    X AddAttribute(const std::u16string& name);

    // Moves to the next sibling element with the same tag name (for an attribute: to the next
    // attribute of the same element); becomes empty when there is none.
    void NextSibling();

    // An attribute's value; an element's text when its only child is a text node; else empty.
    // Bytes that are not valid UTF-8 read as U+FFFD.
    std::u16string GetText() const;
    // Sets an attribute's value, or the text of an element that holds one text node or nothing;
    // an element with other content is left alone. Characters that XML cannot carry (control
    // characters other than tab, line feed and carriage return, unpaired surrogates, U+FFFE and
    // U+FFFF) are dropped.
    void SetText(const std::u16string& text);

    // GetText as a signed decimal: leading blanks, optional sign, digits up to the first
    // non-digit; 0 without digits; clamped to the 32-bit range.
    int32_t GetInt() const;
    // SetText of the value in "%d" form.
    void SetInt(int32_t value);

    static constexpr uint64_t max_file_size = 64ull << 20;

private:
    void copy_from(const X& other);

    std::shared_ptr<pugi::xml_document> document_;
    pugi::xml_node element_;
    pugi::xml_attribute attribute_;
    std::u16string file_path_;
    // Keeps element_ and attribute_ alive; the same object as document_ when one is held.
    std::shared_ptr<pugi::xml_document> owner_;
};

namespace detail {

// The file calls of Load and Save, replaceable so that tests can make single steps fail.
struct xml_file_calls {
    decltype(&::CreateFileW) create_file;
    decltype(&::ReadFile) read_file;
    decltype(&::WriteFile) write_file;
    decltype(&::FlushFileBuffers) flush_file_buffers;
    decltype(&::GetFileSizeEx) get_file_size_ex;
    decltype(&::CloseHandle) close_handle;
    decltype(&::MoveFileExW) move_file_ex;
    decltype(&::DeleteFileW) delete_file;
    decltype(&::GetLocalTime) get_local_time;
};

xml_file_calls& xml_files();
const xml_file_calls& default_xml_files();

// UTF-16 to UTF-8, dropping what XML text cannot hold (see X::SetText).
std::string xml_text_to_utf8(const std::u16string& text);
// The temporary name of the byte-order-mark rewrite: path + ".YYYYMMDDhhmmssmmm.tmp".
std::u16string bom_temp_name(const std::u16string& path, const SYSTEMTIME& time);

} // namespace detail
