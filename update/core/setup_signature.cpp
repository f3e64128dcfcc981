#include "setup_signature.h"

#include <cryptopp/xed25519.h>

#include <fcntl.h>
#include <istream>
#include <streambuf>
#include <sys/stat.h>
#include <unistd.h>

#ifndef LOCKBIN_UPDATE_KEYS
#define LOCKBIN_UPDATE_KEYS ""
#endif

namespace detail {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_key(std::string_view text, UpdateKey& key)
{
    if (text.size() != 2 * key.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i) {
        const int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        key[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// Only root may change what this names: owned by root, and not writable by group or others
// unless the sticky bit keeps others from renaming what root put there.
bool root_only(const struct stat& st, bool folder)
{
    if (st.st_uid != 0)
        return false;
    if (!(st.st_mode & (S_IWGRP | S_IWOTH)))
        return true;
    return folder && (st.st_mode & S_ISVTX);
}

} // namespace

std::vector<UpdateKey> parse_update_keys(std::string_view text)
{
    std::vector<UpdateKey> keys;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos)
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        UpdateKey key;
        if (parse_key(line, key))
            keys.push_back(key);
    }
    return keys;
}

bool read_root_only_file(const char* path, size_t maxBytes, std::string& content)
{
    if (!path || path[0] != '/')
        return false;
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    std::string_view rest(path + 1);
    bool ok = false;
    for (;;) {
        struct stat st;
        if (fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || !root_only(st, true))
            break;
        const size_t slash = rest.find('/');
        const std::string name(rest.substr(0, slash));
        if (name.empty() || name == "." || name == "..")
            break;
        if (slash == std::string_view::npos) {
            const int fd =
                openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                break;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && root_only(st, false) &&
                static_cast<size_t>(st.st_size) <= maxBytes) {
                content.assign(static_cast<size_t>(st.st_size), '\0');
                size_t got = 0;
                while (got < content.size()) {
                    const ssize_t n = read(fd, content.data() + got, content.size() - got);
                    if (n <= 0)
                        break;
                    got += static_cast<size_t>(n);
                }
                content.resize(got);
                ok = true;
            }
            close(fd);
            break;
        }
        const int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            break;
        close(dir);
        dir = next;
        rest = rest.substr(slash + 1);
    }
    close(dir);
    return ok;
}

} // namespace detail

std::vector<UpdateKey> TrustedUpdateKeys(const char* keysFile)
{
    std::string builtIn = LOCKBIN_UPDATE_KEYS;
    for (char& c : builtIn) {
        if (c == ',' || c == ';')
            c = '\n';
    }
    std::vector<UpdateKey> keys = detail::parse_update_keys(builtIn);
    std::string text;
    if (keysFile && detail::read_root_only_file(keysFile, 64 * 1024, text)) {
        for (const UpdateKey& key : detail::parse_update_keys(text))
            keys.push_back(key);
    }
    return keys;
}

bool VerifySetupSignature(const void* data, size_t size, const uint8_t* signature,
                          size_t signatureSize, const std::vector<UpdateKey>& keys)
{
    if (!signature || signatureSize != kSignatureSize || (!data && size))
        return false;
    // The verifier reads a stream, so a large file is not copied again.
    struct MemoryBuffer : std::streambuf {
        MemoryBuffer(const void* p, size_t n)
        {
            char* begin = const_cast<char*>(static_cast<const char*>(p));
            setg(begin, begin, begin + n);
        }
    };
    for (const UpdateKey& key : keys) {
        try {
            CryptoPP::ed25519Verifier verifier(key.data());
            MemoryBuffer buffer(data, size);
            std::istream in(&buffer);
            if (verifier.VerifyStream(in, signature, signatureSize))
                return true;
        } catch (const CryptoPP::Exception&) {
            // A key the library rejects verifies nothing.
        }
    }
    return false;
}
