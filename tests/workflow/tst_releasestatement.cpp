// The release statement on line 2 of the version file: what a launcher built with the vendor's
// key accepts, what it refuses and why, the package check against an accepted statement, and the
// remembered sequence. Keys are made fresh for the run; statements are signed here with
// OpenSSL's one-shot signing, independently of the code under test.
#include "workflow/releasestatement.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

std::string publicPem(EVP_PKEY *key)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PUBKEY(bio.get(), key);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

QByteArray sign(EVP_PKEY *key, const QByteArray &message)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), signature, &length, reinterpret_cast<const unsigned char *>(message.constData()),
                          static_cast<std::size_t>(message.size()))
               != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(signature), static_cast<int>(length));
}

const QByteArray kPackage = QByteArray("a package's bytes, standing in for a zip archive\n").repeated(40);
constexpr std::int64_t kExpires = 1893456000;  // 2030-01-01T00:00:00Z
const QByteArray kExpiresText = "2030-01-01T00:00:00Z";

QByteArray sha256Hex(const QByteArray &bytes)
{
    unsigned char digest[32];
    unsigned length = 0;
    EVP_Digest(bytes.constData(), static_cast<std::size_t>(bytes.size()), digest, &length, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char *>(digest), 32).toHex();
}

// The fields of a statement before its signature, as the vendor's tool writes them.
QByteArray fields(const QByteArray &sequence = "7", const QByteArray &expires = kExpiresText,
                  const QByteArray &size = QByteArray::number(kPackage.size()), const QByteArray &sha = sha256Hex(kPackage))
{
    return "nembral-release: seq=" + sequence + " expires=" + expires + " size=" + size + " sha256=" + sha;
}

// A whole version file: line 1, the statement signed by `key` over line 1 and `signedFields`,
// with `shownFields` in the file (the same unless a test changes them after signing).
QByteArray versionFile(EVP_PKEY *key, const QByteArray &line1 = "2.0", const QByteArray &signedFields = fields(),
                       const QByteArray &shownFields = {}, const QByteArray &end = "\n")
{
    const QByteArray signature = sign(key, line1 + '\n' + signedFields).toBase64();
    return line1 + '\n' + (shownFields.isEmpty() ? signedFields : shownFields) + " ed25519=" + signature + end;
}

}  // namespace

Q_DECLARE_METATYPE(std::int64_t)

class TestReleaseStatement : public QObject {
    Q_OBJECT

    Key vendor, next, other;
    std::vector<std::string> current, both;

private Q_SLOTS:
    void initTestCase()
    {
        vendor.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        next.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        other.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        QVERIFY(vendor && next && other);
        current = {publicPem(vendor.get())};
        both = {publicPem(vendor.get()), publicPem(next.get())};
    }

    void statement_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("withNextKey");
        QTest::addColumn<std::int64_t>("now");
        QTest::addColumn<int>("highest");
        QTest::addColumn<QString>("problem");  // empty: accepted

        const std::int64_t before = kExpires - 86400;
        const std::int64_t skewEdge = kExpires + kReleaseClockSkewSeconds;
        EVP_PKEY *v = vendor.get();
        const QByteArray good = versionFile(v);
        const QByteArray signature = good.mid(good.indexOf("ed25519=") + 8, 88);

        QTest::newRow("valid") << good << false << before << 0 << QString();
        QTest::newRow("valid, no line feed at the end") << versionFile(v, "2.0", fields(), {}, "") << false << before << 0 << QString();
        QTest::newRow("valid, line 1 with blanks as signed") << versionFile(v, " 2.0\r") << false << before << 0 << QString();
        QTest::newRow("next key, built in as next") << versionFile(next.get()) << true << before << 0 << QString();
        QTest::newRow("current key beside a next one") << good << true << before << 0 << QString();
        QTest::newRow("next key, launcher without it") << versionFile(next.get()) << false << before << 0 << QStringLiteral("signature was not made");
        QTest::newRow("other key") << versionFile(other.get()) << true << before << 0 << QStringLiteral("signature was not made");

        QByteArray forged = good;
        const qsizetype at = forged.indexOf("ed25519=") + 8 + 10;
        forged[at] = forged[at] == 'A' ? 'B' : 'A';
        QTest::newRow("forged signature") << forged << false << before << 0 << QStringLiteral("signature was not made");
        QTest::newRow("line 1 changed after signing") << QByteArray(good).replace(0, 3, "2.1") << false << before << 0 << QStringLiteral("signature was not made");
        QTest::newRow("size changed after signing") << versionFile(v, "2.0", fields(), fields("7", kExpiresText, "1")) << false << before << 0 << QStringLiteral("signature was not made");
        QTest::newRow("sequence raised after signing") << versionFile(v, "2.0", fields(), fields("70")) << false << before << 0 << QStringLiteral("signature was not made");
        QTest::newRow("expiry moved after signing") << versionFile(v, "2.0", fields(), fields("7", "2031-01-01T00:00:00Z")) << false << before << 0 << QStringLiteral("signature was not made");

        QTest::newRow("expired") << good << false << kExpires + 86400 << 0 << QStringLiteral("expired at 2030-01-01T00:00:00Z");
        QTest::newRow("skew edge, last second accepted") << good << false << skewEdge << 0 << QString();
        QTest::newRow("skew edge, one second later") << good << false << skewEdge + 1 << 0 << QStringLiteral("expired at");
        QTest::newRow("rollback to a lower sequence") << good << false << before << 8 << QStringLiteral("sequence 7 is lower than 8");
        QTest::newRow("same sequence again") << good << false << before << 7 << QString();

        QTest::newRow("statement missing") << QByteArray("2.0\n") << false << before << 0 << QStringLiteral("no second line");
        QTest::newRow("no line feed at all") << QByteArray("2.0") << false << before << 0 << QStringLiteral("no second line");
        QTest::newRow("empty line 2") << QByteArray("2.0\n\n") << false << before << 0 << QStringLiteral("does not begin with");
        QTest::newRow("a third line") << good + "more\n"
                                      << false << before << 0 << QStringLiteral("more than two lines");
        QTest::newRow("CRLF line ends") << QByteArray(good).replace("\n", "\r\n") << false << before << 0 << QStringLiteral("is not the padded base64");
        QTest::newRow("oversize line, 1 KiB + 1") << "2.0\n" + QByteArray(kMaxReleaseStatementBytes + 1, 'x') << false << before << 0 << QStringLiteral("1025 bytes long, more than 1024");
        QTest::newRow("oversize line, 100 KiB") << "2.0\n" + QByteArray(100 * 1024, 'x') + "\n"
                                                << false << before << 0 << QStringLiteral("more than 1024");
        QTest::newRow("other prefix") << QByteArray(good).replace("nembral-release: ", "nembral-release:") << false << before << 0 << QStringLiteral("does not begin with");
        QTest::newRow("fields out of order") << versionFile(v, "2.0", "nembral-release: expires=" + kExpiresText + " seq=7") << false << before << 0 << QStringLiteral("in that order");
        QTest::newRow("two spaces") << QByteArray(good).replace(" size=", "  size=") << false << before << 0 << QStringLiteral("in that order");
        QTest::newRow("field missing") << versionFile(v, "2.0", "nembral-release: seq=7 expires=" + kExpiresText + " sha256=" + sha256Hex(kPackage)) << false << before << 0 << QStringLiteral("in that order");
        QTest::newRow("trailing space") << good.chopped(1) + " \n"
                                        << false << before << 0 << QStringLiteral("in that order");
        QTest::newRow("sequence with a leading zero") << versionFile(v, "2.0", fields("07")) << false << before << 0 << QStringLiteral("seq is not");
        QTest::newRow("sequence beyond 64 bits") << versionFile(v, "2.0", fields("18446744073709551616")) << false << before << 0 << QStringLiteral("seq is not");
        QTest::newRow("negative size") << versionFile(v, "2.0", fields("7", kExpiresText, "-1")) << false << before << 0 << QStringLiteral("size is not");
        QTest::newRow("no such day") << versionFile(v, "2.0", fields("7", "2030-02-29T00:00:00Z")) << false << before << 0 << QStringLiteral("expires is not");
        QTest::newRow("local time") << versionFile(v, "2.0", fields("7", "2030-01-01T00:00:00+01")) << false << before << 0 << QStringLiteral("expires is not");
        QTest::newRow("uppercase hex") << versionFile(v, "2.0", fields("7", kExpiresText, QByteArray::number(kPackage.size()), sha256Hex(kPackage).toUpper())) << false << before << 0 << QStringLiteral("sha256 is not");
        QTest::newRow("short hash") << versionFile(v, "2.0", fields("7", kExpiresText, QByteArray::number(kPackage.size()), sha256Hex(kPackage).chopped(2))) << false << before << 0 << QStringLiteral("sha256 is not");
        QTest::newRow("signature cut") << QByteArray(good).replace(signature, signature.left(84)) << false << before << 0 << QStringLiteral("is not the padded base64");
        QTest::newRow("signature without padding") << QByteArray(good).replace(signature, signature.left(86)) << false << before << 0 << QStringLiteral("is not the padded base64");
        // The last character before "==" carries 4 bits that must be zero: "A" -> "B" sets one.
        QByteArray loose = signature;
        loose[85] = static_cast<char>(loose[85] + 1);
        QTest::newRow("signature, unused bits set") << QByteArray(good).replace(signature, loose) << false << before << 0 << QStringLiteral("is not the padded base64");
    }

    void statement()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, withNextKey);
        QFETCH(std::int64_t, now);
        QFETCH(int, highest);
        QFETCH(QString, problem);
        const Result<ReleaseStatement> check = checkReleaseStatement(file.toStdString(), withNextKey ? both : current, now,
                                                                     static_cast<std::uint64_t>(highest));
        if (problem.isEmpty()) {
            QVERIFY2(check, check ? "" : check.failure().text.c_str());
            QCOMPARE(check.value().sequence, 7u);
            QCOMPARE(check.value().expires, kExpires);
            QCOMPARE(check.value().packageSize, static_cast<std::uint64_t>(kPackage.size()));
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(check.value().packageSha256.data()), 32).toHex(), sha256Hex(kPackage));
        } else {
            QVERIFY(!check);
            QVERIFY2(QString::fromStdString(check.failure().text).contains(problem), check.failure().text.c_str());
        }
    }

    void package_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        QTest::newRow("the package named") << kPackage << QString();
        const QString size = QString::number(kPackage.size());
        QTest::newRow("one byte more") << kPackage + 'x' << QStringLiteral("longer than the %1 bytes the release statement says").arg(size);
        QTest::newRow("cut") << kPackage.chopped(1) << QStringLiteral("is %1 bytes long, the release statement says %2").arg(kPackage.size() - 1).arg(size);
        QTest::newRow("empty") << QByteArray() << QStringLiteral("0 bytes long");
        QByteArray swapped = kPackage;
        swapped[100] = 'X';
        QTest::newRow("same size, other bytes") << swapped << QStringLiteral("SHA-256 is ") + QString::fromLatin1(sha256Hex(swapped));
    }

    void package()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("nembral.zip"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const Result<ReleaseStatement> check = checkReleaseStatement(versionFile(vendor.get()).toStdString(), current, 0, 0);
        QVERIFY(check);
        const Result<> matches = packageMatches(QDir::toNativeSeparators(path).toStdString(), check.value());
        if (problem.isEmpty())
            QVERIFY2(matches, matches ? "" : matches.failure().text.c_str());
        else
            QVERIFY2(!matches && QString::fromStdString(matches.failure().text).contains(problem),
                     matches ? "matches" : matches.failure().text.c_str());
    }

    void missingPackage()
    {
        const Result<ReleaseStatement> check = checkReleaseStatement(versionFile(vendor.get()).toStdString(), current, 0, 0);
        QVERIFY(check);
        const Result<> matches = packageMatches("no/such/nembral.zip", check.value());
        QVERIFY(!matches && QString::fromStdString(matches.failure().text).startsWith(QLatin1String("cannot open")));
    }

    void sequenceFile_data()
    {
        QTest::addColumn<QByteArray>("contents");  // "-": no file
        QTest::addColumn<int>("read");
        QTest::newRow("no file") << QByteArray("-") << 0;
        QTest::newRow("a number") << QByteArray("42\n") << 42;
        QTest::newRow("no line feed") << QByteArray("42") << 0;
        QTest::newRow("damaged") << QByteArray("4x\n") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }

    // Reads what is there, then stores a higher number over it through a fresh rename, which
    // replaces an existing file on every system.
    void sequenceFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, read);
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("nembral/release-sequence")).toStdString();
        if (contents != "-") {
            QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("nembral")));
            QFile file(QString::fromStdString(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contents);
        }
        QCOMPARE(readHighestSequence(path), static_cast<std::uint64_t>(read));
        const Result<> stored = storeHighestSequence(path, 43);
        QVERIFY2(stored, stored ? "" : stored.failure().text.c_str());
        QCOMPARE(readHighestSequence(path), 43u);
        QVERIFY(!QFile::exists(QString::fromStdString(path + ".new")));
    }

    void utcTime_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::int64_t>("seconds");  // -1: refused
        QTest::newRow("epoch") << QByteArray("1970-01-01T00:00:00Z") << std::int64_t(0);
        QTest::newRow("leap day") << QByteArray("2028-02-29T23:59:59Z") << std::int64_t(1835481599);
        QTest::newRow("not a leap year") << QByteArray("2100-02-29T00:00:00Z") << std::int64_t(-1);
        QTest::newRow("hour 24") << QByteArray("2030-01-01T24:00:00Z") << std::int64_t(-1);
        QTest::newRow("before the epoch") << QByteArray("1969-12-31T23:59:59Z") << std::int64_t(-1);
        QTest::newRow("lower-case z") << QByteArray("2030-01-01T00:00:00z") << std::int64_t(-1);
    }

    void utcTime()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::int64_t, seconds);
        const std::optional<std::int64_t> parsed = parseUtcTime(text.toStdString());
        if (seconds < 0) {
            QVERIFY(!parsed);
            return;
        }
        QCOMPARE(parsed.value_or(-1), seconds);
        QCOMPARE(QByteArray::fromStdString(utcTimeText(seconds)), text);
    }
};

QTEST_GUILESS_MAIN(TestReleaseStatement)
#include "tst_releasestatement.moc"
