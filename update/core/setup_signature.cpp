#include "setup_signature.h"

#include "trusted_files.h"

#include <cryptopp/xed25519.h>

#include <istream>
#include <streambuf>

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
    if (keysFile && win32::ReadRootOnlyFile(keysFile, 64 * 1024, text)) {
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
