// Ed25519 keys and signatures made with OpenSSL, independently of the updater's verifier, and a
// keys file that only root can change.
#pragma once

#include "setup_signature.h"

#include <filesystem>
#include <fstream>
#include <openssl/evp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class TestSigner {
public:
    TestSigner()
    {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_keygen(ctx, &key_);
        EVP_PKEY_CTX_free(ctx);
    }
    ~TestSigner() { EVP_PKEY_free(key_); }
    TestSigner(const TestSigner&) = delete;
    TestSigner& operator=(const TestSigner&) = delete;

    std::string PublicHex() const
    {
        unsigned char raw[32];
        size_t length = sizeof(raw);
        EVP_PKEY_get_raw_public_key(key_, raw, &length);
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char b : raw) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        return hex;
    }

    std::string Sign(const std::string& data) const
    {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        std::string signature(64, '\0');
        size_t length = signature.size();
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_);
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size());
        EVP_MD_CTX_free(ctx);
        return signature;
    }

private:
    EVP_PKEY* key_ = nullptr;
};

// A keys file in a fresh folder of its own, mode 0644 in a 0700 folder: root-only when the test
// runs as root.
class KeysFile {
public:
    explicit KeysFile(const std::string& content)
    {
        char dir[] = "/tmp/lockbin-keys-XXXXXX";
        if (!mkdtemp(dir))
            return;
        folder_ = dir;
        std::ofstream(Path()) << content;
        chmod(Path().c_str(), 0644);
    }
    ~KeysFile()
    {
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }
    std::string Path() const { return folder_ + "/update-keys"; }
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
};
