#include "unzip/signature.h"

#include "unzip/archive.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kReadBlock = 1024 * 1024;

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

// SHA-512 of the first `length` bytes of the file, read once in order.
std::string digestOfPrefix(const ArchiveFile &file, std::uint64_t length, unsigned char (&digest)[64])
{
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1)
        return "cannot start SHA-512";
    file.expectSequentialRead(static_cast<std::int64_t>(length));
    std::vector<unsigned char> block(kReadBlock);
    for (std::uint64_t offset = 0; offset < length;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - offset));
        if (std::string error = readExactly(file, offset, block.data(), n); !error.empty())
            return error;
        if (EVP_DigestUpdate(ctx.get(), block.data(), n) != 1)
            return "SHA-512 failed";
        offset += n;
    }
    unsigned size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1 || size != sizeof digest)
        return "SHA-512 failed";
    return {};
}

}  // namespace

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

std::string packageSignatureProblem(const ArchiveFile &file, std::string_view publicKeyPem)
{
    const std::string archive = "archive '" + file.name() + "'";
    const auto size = static_cast<std::uint64_t>(file.size());

    // The end of central directory record is the last 22 bytes before a comment of up to
    // 65535 bytes; the one whose comment reaches exactly to the end of the file.
    EndRecord end;
    if (std::string error; !readEndRecord(file, end, error)) {
        if (!error.empty())
            return "cannot read " + archive + ": " + error;
        return archive + " is damaged or not a zip archive: no end of central directory record ends the file";
    }
    const std::string_view comment = end.comment();
    if (comment.empty())
        return archive + " is not signed: it has no archive comment";
    if (comment.substr(0, kSignaturePrefix.size()) != kSignaturePrefix)
        return archive + " is not signed: its archive comment does not begin with \"" + std::string(kSignaturePrefix) + "\"";
    std::string signature;
    if (!decodeCanonicalBase64(comment.substr(kSignaturePrefix.size()), signature))
        return archive + " has a malformed signature: the text after \"" + std::string(kSignaturePrefix)
               + "\" is not padded base64";
    if (signature.size() != kSignatureSize)
        return archive + " has a malformed signature: it is " + std::to_string(signature.size())
               + " bytes long, not 64";

    const Key key = ed25519Key(publicKeyPem);
    if (!key)
        return "the package key built into this tool is not an Ed25519 public key; " + archive + " cannot be checked";

    unsigned char digest[64];
    const std::uint64_t signedLength = size - comment.size();
    if (std::string error = digestOfPrefix(file, signedLength, digest); !error.empty())
        return "cannot read " + archive + ": " + error;

    // Pure Ed25519: no digest algorithm of its own, the 64-byte digest is the message.
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return "cannot set up Ed25519 verification; " + archive + " cannot be checked";
    const int verified = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                                          signature.size(), digest, sizeof digest);
    if (verified != 1)
        return archive + " has a bad signature: it was not made with the vendor key built into this tool,"
                         " or the archive was changed after signing";
    return {};
}
