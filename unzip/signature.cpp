#include "unzip/signature.h"

#include "unzip/archive.h"
#include "unzip/ed25519.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kReadBlock = 1024 * 1024;

struct DigestDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// SHA-512 of the first `length` bytes of the file, read once in order.
Result<> digestOfPrefix(const ArchiveFile &file, std::uint64_t length, unsigned char (&digest)[64])
{
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1)
        return Failure{"cannot start SHA-512"};
    file.expectSequentialRead(static_cast<std::int64_t>(length));
    std::vector<unsigned char> block(kReadBlock);
    for (std::uint64_t offset = 0; offset < length;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - offset));
        if (Result<> read = readExactly(file, offset, block.data(), n); !read)
            return read;
        if (EVP_DigestUpdate(ctx.get(), block.data(), n) != 1)
            return Failure{"SHA-512 failed"};
        offset += n;
    }
    unsigned size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1 || size != sizeof digest)
        return Failure{"SHA-512 failed"};
    return {};
}

}  // namespace

Result<> checkPackageSignature(const ArchiveFile &file, std::string_view publicKeyPem)
{
    const std::string archive = "archive '" + file.name() + "'";
    const auto size = static_cast<std::uint64_t>(file.size());

    // The end of central directory record is the last 22 bytes before a comment of up to
    // 65535 bytes; the one whose comment reaches exactly to the end of the file.
    EndRecord end;
    const Result<bool> found = readEndRecord(file, end);
    if (!found)
        return found.failure().about("cannot read " + archive);
    if (!found.value())
        return Failure{archive + " is damaged or not a zip archive: no end of central directory record ends the file"};
    const std::string_view comment = end.comment();
    if (comment.empty())
        return Failure{archive + " is not signed: it has no archive comment"};
    if (comment.substr(0, kSignaturePrefix.size()) != kSignaturePrefix)
        return Failure{archive + " is not signed: its archive comment does not begin with \"" + std::string(kSignaturePrefix) + "\""};
    std::string signature;
    if (!decodeCanonicalBase64(comment.substr(kSignaturePrefix.size()), signature))
        return Failure{archive + " has a malformed signature: the text after \"" + std::string(kSignaturePrefix)
                       + "\" is not padded base64"};
    if (signature.size() != kEd25519SignatureBytes)
        return Failure{archive + " has a malformed signature: it is " + std::to_string(signature.size())
                       + " bytes long, not 64"};

    if (!isEd25519PublicKey(publicKeyPem))
        return Failure{"the package key built into this tool is not an Ed25519 public key; " + archive + " cannot be checked"};

    unsigned char digest[64];
    const std::uint64_t signedLength = size - comment.size();
    if (const Result<> digested = digestOfPrefix(file, signedLength, digest); !digested)
        return digested.failure().about("cannot read " + archive);

    // The 64-byte digest is the signed message.
    switch (checkEd25519(publicKeyPem, signature, std::string_view(reinterpret_cast<const char *>(digest), sizeof digest))) {
    case Ed25519Check::Good:
        break;
    case Ed25519Check::NotAKey:
        return Failure{"the package key built into this tool is not an Ed25519 public key; " + archive + " cannot be checked"};
    case Ed25519Check::Unavailable:
        return Failure{"cannot set up Ed25519 verification; " + archive + " cannot be checked"};
    case Ed25519Check::BadSignature:
        return Failure{archive + " has a bad signature: it was not made with the vendor key built into this tool,"
                                 " or the archive was changed after signing"};
    }
    return {};
}
