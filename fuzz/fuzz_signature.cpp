// The signature comment of a package. Each input is used three ways:
//   1. as an archive checked against a throw-away key: the comment is found (or not), its
//      base64 decoded and the signature verified; the answer is one line, and an archive
//      whose signature is accepted really carries a valid one;
//   2. as base64 text: the strict decoder accepts exactly the texts the standard encoder
//      produces, so each byte string has one accepted text;
//   3. as the signed bytes of an archive that is then signed with the throw-away key: the
//      signed archive is accepted, and the same archive with any one bit changed is refused.

#include "fuzz/memoryfile.h"
#include "unzip/archive.h"
#include "unzip/signature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

std::unique_ptr<EVP_PKEY, KeyDeleter> g_key;
std::string g_publicPem;

std::string base64(const std::string &bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                                  reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string sha512(const std::string &bytes)
{
    unsigned char digest[64];
    unsigned size = 0;
    fuzzCheck(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha512(), nullptr) == 1 && size == 64,
              "SHA-512 failed");
    return std::string(reinterpret_cast<const char *>(digest), size);
}

std::string problemOf(const std::string &archive)
{
    const MemoryFile file(reinterpret_cast<const std::uint8_t *>(archive.data()), archive.size());
    const Result<std::unique_ptr<ArchiveFile>> opened = ArchiveFile::open(file.path());
    fuzzCheck(opened.ok(), "the input's memory file cannot be opened as the archive",
              opened.ok() ? std::string() : opened.failure().text);
    const Result<> checked = checkPackageSignature(*opened.value(), g_publicPem);
    return checked ? std::string() : checked.failure().text;
}

// `signedBytes` followed by an end of central directory record whose comment is the
// signature of everything before the comment.
std::string signedArchive(const std::string &signedBytes)
{
    std::string record("PK\x05\x06", 4);
    record.append(16, '\0');
    std::string archive = signedBytes + record;
    // The comment's length is part of the signed bytes; the signature's text has a fixed one.
    const std::size_t commentSize = kSignaturePrefix.size() + 88;
    archive.push_back(static_cast<char>(commentSize & 0xFF));
    archive.push_back(static_cast<char>(commentSize >> 8));
    const std::string digest = sha512(archive);
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    unsigned char signature[64];
    std::size_t signatureSize = sizeof signature;
    fuzzCheck(ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, g_key.get()) == 1
                  && EVP_DigestSign(ctx.get(), signature, &signatureSize,
                                    reinterpret_cast<const unsigned char *>(digest.data()), digest.size())
                         == 1
                  && signatureSize == 64,
              "cannot sign");
    const std::string comment = std::string(kSignaturePrefix)
                                + base64(std::string(reinterpret_cast<const char *>(signature), signatureSize));
    fuzzCheck(comment.size() == commentSize, "the signature's text has an unexpected length");
    return archive + comment;
}

bool isOneLine(const std::string &text) { return text.find('\n') == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    fuzzCheck(g_key != nullptr, "cannot make the throw-away key");
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    fuzzCheck(bio && PEM_write_bio_PUBKEY(bio.get(), g_key.get()) == 1, "cannot write the public key");
    char *pem = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &pem);
    g_publicPem.assign(pem, static_cast<std::size_t>(size));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);

    // 1. The input as an archive. Accepted only with a comment that decodes to a signature
    //    this key made over the bytes before it, which this check does on its own.
    const std::string problem = problemOf(input);
    fuzzCheck(isOneLine(problem), "a signature problem is not one line");
    if (problem.empty()) {
        fuzzCheck(input.size() >= kSignaturePrefix.size() + 88 + 22, "an archive too short to be signed is accepted");
        const std::string comment = input.substr(input.size() - kSignaturePrefix.size() - 88);
        std::string signature;
        fuzzCheck(comment.compare(0, kSignaturePrefix.size(), kSignaturePrefix) == 0
                      && decodeCanonicalBase64(comment.substr(kSignaturePrefix.size()), signature)
                      && signature.size() == 64,
                  "an archive is accepted without a well-formed signature comment");
        const std::string digest = sha512(input.substr(0, input.size() - comment.size()));
        std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
        fuzzCheck(ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, g_key.get()) == 1
                      && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()), 64,
                                          reinterpret_cast<const unsigned char *>(digest.data()), 64)
                             == 1,
                  "an archive is accepted whose signature does not verify");
    }

    // 2. The input as base64 text, and the input as bytes to encode.
    std::string decoded;
    if (decodeCanonicalBase64(input, decoded))
        fuzzCheck(base64(decoded) == input, "a base64 text other than the standard one is accepted");
    fuzzCheck(decodeCanonicalBase64(base64(input), decoded) && decoded == input,
              "standard base64 is refused or decoded to other bytes");

    // 3. The input as the signed part of an archive.
    const std::string archive = signedArchive(input);
    fuzzCheck(problemOf(archive).empty(), "a correctly signed archive is refused");
    if (size > 0) {
        std::string changed = archive;
        // Which bit changes is chosen by the input, anywhere in the file.
        const std::size_t at = (static_cast<std::size_t>(data[0]) << 8 | data[size - 1]) % changed.size();
        changed[at] = static_cast<char>(changed[at] ^ (1 << (data[size / 2] % 8)));
        const std::string refusal = problemOf(changed);
        fuzzCheck(!refusal.empty(), "an archive changed after signing is accepted");
        fuzzCheck(isOneLine(refusal), "a signature problem is not one line");
    }
    return 0;
}
