#include "unzip/ed25519.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdint>
#include <memory>

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct DigestDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioDeleter {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// The key as built in; null when it is not an Ed25519 public key in PEM.
Key ed25519Key(std::string_view pem)
{
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

bool isEd25519PublicKey(std::string_view publicKeyPem)
{
    return ed25519Key(publicKeyPem) != nullptr;
}

Ed25519Check checkEd25519(std::string_view publicKeyPem, std::string_view signature, std::string_view message)
{
    const Key key = ed25519Key(publicKeyPem);
    if (!key)
        return Ed25519Check::NotAKey;
    if (signature.size() != kEd25519SignatureBytes)
        return Ed25519Check::BadSignature;
    // Pure Ed25519: no digest algorithm of its own, the message is signed as it is.
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return Ed25519Check::Unavailable;
    const int verified = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                                          signature.size(), reinterpret_cast<const unsigned char *>(message.data()),
                                          message.size());
    return verified == 1 ? Ed25519Check::Good : Ed25519Check::BadSignature;
}

bool decodeCanonicalBase64(std::string_view text, std::string &bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool lastGroup = i + 4 == text.size();
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            int value = 0;
            if (c == '=' && lastGroup && j >= 2) {
                ++padding;
            } else {
                value = base64Value(c);
                if (value < 0 || padding > 0)  // not in the alphabet, or data after "="
                    return false;
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<char>(group >> 16));
        if (padding < 2)
            bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (padding < 1)
            bytes.push_back(static_cast<char>(group & 0xFF));
        // The bits that the padding leaves over must be zero: otherwise several texts would
        // decode to the same bytes, and a changed comment could still pass.
        const std::uint32_t unused = padding == 2 ? 0xFFFF : padding == 1 ? 0xFF
                                                                          : 0;
        if (group & unused)
            return false;
    }
    return true;
}
