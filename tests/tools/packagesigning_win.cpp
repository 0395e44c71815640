#include "tests/tools/packagesigning.h"

#include <QFile>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <memory>

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioDeleter {
    void operator()(BIO *bio) const { BIO_free(bio); }
};

constexpr int kCommentSize = 20 + 88;  // "nembral-sig-ed25519:" and 64 bytes of padded base64

// The end of central directory record whose comment reaches the end of the file; -1 if none.
qsizetype endRecordOf(const QByteArray &zip)
{
    for (qsizetype at = zip.size() - 22; at >= 0 && at >= zip.size() - 22 - 0xFFFF; --at) {
        if (zip.mid(at, 4) == QByteArray("PK\x05\x06", 4)
            && at + 22 + qFromLittleEndian<quint16>(zip.constData() + at + 20) == zip.size())
            return at;
    }
    return -1;
}

}  // namespace

QString signPackageFile(const QString &path, const QString &privateKey)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read ") + path;
    QByteArray zip = file.readAll();
    file.close();
    const qsizetype record = endRecordOf(zip);
    if (record < 0)
        return path + QStringLiteral(" is not a zip archive");
    zip.truncate(record + 20);
    zip.append(char(kCommentSize & 0xFF)).append(char(kCommentSize >> 8));
    unsigned char digest[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char *>(zip.constData()), std::size_t(zip.size()), digest);

    QFile keyFile(privateKey);
    if (!keyFile.open(QIODevice::ReadOnly))
        return QStringLiteral("no key file ") + privateKey;
    const QByteArray pem = keyFile.readAll();
    const std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    const std::unique_ptr<EVP_PKEY, KeyDeleter> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return privateKey + QStringLiteral(" is not an Ed25519 private key");
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    unsigned char signature[64];
    std::size_t signatureSize = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(ctx.get(), signature, &signatureSize, digest, sizeof digest) != 1 || signatureSize != 64)
        return QStringLiteral("Ed25519 signing failed");
    unsigned char text[89];
    EVP_EncodeBlock(text, signature, 64);
    zip.append("nembral-sig-ed25519:").append(reinterpret_cast<const char *>(text), 88);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(zip) != zip.size())
        return QStringLiteral("cannot write ") + path;
    return {};
}

bool vendorProgramsRunHere()
{
    return false;
}
