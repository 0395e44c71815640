// Signed packages: an extraction tool built with a (throw-away) vendor key installs what the
// vendor signed and refuses everything else before writing anything; a tool built without a
// key extracts as before. Packages are signed by tools/sign-package, the vendor's program, and
// once by hand with the openssl command line, which must give the same bytes. Against the
// Windows tool under wine, where those programs do not run, they are signed in the process in
// the same format (packagesigning.h).
#include "platform/namedmutex.h"
#include "platform/packagenames.h"
#include "support/testfiles.h"
#include "support/toolrun.h"
#include "tests/tools/packagesigning.h"
#include "tests/tools/testzip.h"
#include "unzip/signature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <QtTest>

namespace {

const std::string kMutex = kExtractMutex;
const QString kKeys = QStringLiteral(NEMBRAL_TEST_KEYS);

QString sourceFile(const QString &relative)
{
    return qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QLatin1Char('/') + relative;
}

QString key(const char *name) { return kKeys + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".pem"); }

// The first entry is a file, so the archive starts with its header and data.
QList<TestZipEntry> package(const QByteArray &version)
{
    return {zipFile("nembral/version.txt", version + "\n"),
            zipFile("nembral/Nembrals.exe", "#!/bin/sh\necho " + version + "\n", 0755),
            zipFile("nembral/data.bin", randomBytes(300 * 1024))};
}

// Where the end of central directory record starts. The comments made here hold no record
// magic, so the last one is the record.
qsizetype endRecord(const QByteArray &zip) { return zip.lastIndexOf(QByteArray("PK\x05\x06", 4)); }

qsizetype centralDirectory(const QByteArray &zip)
{
    return qFromLittleEndian<quint32>(zip.constData() + endRecord(zip) + 16);
}

// The archive with its comment replaced by `comment`, the comment-length field set to match.
QByteArray withComment(QByteArray zip, const QByteArray &comment)
{
    const qsizetype record = endRecord(zip);
    zip.truncate(record + 22);
    qToLittleEndian<quint16>(quint16(comment.size()), zip.data() + record + 20);
    return zip + comment;
}

QByteArray commentOf(const QByteArray &zip) { return zip.mid(endRecord(zip) + 22); }

QByteArray flipped(QByteArray bytes, qsizetype at, char mask = 0x01)
{
    bytes[at] = char(bytes[at] ^ mask);
    return bytes;
}

}  // namespace

class TestSignature : public QObject, private ToolFolders {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void signedTool_data();
    void signedTool();
    void opensslCommandLineSignatureVerifies();
    void makePackageSigns();
    void signPackageRefuses_data();
    void signPackageRefuses();
    void everyChangedByteIsRefused();
    void canonicalBase64_data();
    void canonicalBase64();
    void configureCheck_data();
    void configureCheck();

private:
    // A zip of `entries` signed with the key `privateKey` (packagesigning.h); empty on failure.
    QByteArray signedZip(const QList<TestZipEntry> &entries, const QString &privateKey = key("vendor-private"));
    QByteArray unsignedZip(const QList<TestZipEntry> &entries);
    void putOldTree();
    void verifyOldTreeIntact();
};

void TestSignature::initTestCase()
{
    // A private directory for the named mutex, as in tst_unzip: other suites that run
    // extractions at the same time stay out of these observations.
    QVERIFY(usePrivateRuntimeDir());
    QVERIFY2(QFileInfo::exists(key("vendor-public")), "the build made no test key pair");
    QVERIFY2(QFileInfo::exists(sourceFile(QStringLiteral("tools/sign-package"))), "NEMBRAL_SOURCE_DIR must name the sources (ctest sets it)");
}

void TestSignature::init()
{
    const QString why = freshDestination();
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

QByteArray TestSignature::unsignedZip(const QList<TestZipEntry> &entries)
{
    const QString path = tmp_->filePath(QStringLiteral("unsigned.zip"));
    const QString error = writeTestZip(path, entries);
    if (!error.isEmpty()) {
        qWarning("%s", qPrintable(error));
        return {};
    }
    return readAll(path);
}

QByteArray TestSignature::signedZip(const QList<TestZipEntry> &entries, const QString &privateKey)
{
    const QString path = tmp_->filePath(QStringLiteral("signing.zip"));
    if (!writeTestZip(path, entries).isEmpty())
        return {};
    if (const QString error = signPackageFile(path, privateKey); !error.isEmpty()) {
        qWarning("%s", qPrintable(error));
        return {};
    }
    return readAll(path);
}

// An installation that a refused package must leave exactly as it was.
void TestSignature::putOldTree()
{
    const QString zip = tmp_->filePath(QStringLiteral("old.zip"));
    QVERIFY(writeFile(zip, signedZip(package("0.9") << zipFile("nembral/only-in-0.9.txt", "old"))));
    const ToolRun r = runProgram(QStringLiteral(NEMBRAL_SIGNED_UNZIP_EXE), {zip, dest_});
    QVERIFY2(r.exitCode == 0, r.stdErr.constData());
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("0.9\n"));
}

void TestSignature::verifyOldTreeIntact()
{
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("0.9\n"));
    QVERIFY(QFile::exists(dest_ + QStringLiteral("/nembral/only-in-0.9.txt")));
    // Nothing beside it but the tool's result, a refusal: no staging directory, nothing new.
    QCOMPARE(QDir(dest_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("nembral"), QStringLiteral("unzip-result.txt")}));
    QCOMPARE(readAll(dest_ + QStringLiteral("/unzip-result.txt")), QByteArray("1\n"));
}

void TestSignature::signedTool_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QByteArray>("message");  // empty: installs

    const QByteArray bad = "has a bad signature: it was not made with the vendor key built into this tool";
    const QByteArray notBase64 = "has a malformed signature: the text after \"nembral-sig-ed25519:\" is not padded base64";
    QTest::newRow("signed twice: the same bytes") << QStringLiteral("signed twice") << QByteArray();
    QTest::newRow("unsigned") << QStringLiteral("unsigned") << QByteArray("is not signed: it has no archive comment");
    QTest::newRow("another comment") << QStringLiteral("another comment")
                                     << QByteArray("is not signed: its archive comment does not begin with \"nembral-sig-ed25519:\"");
    QTest::newRow("wrong key") << QStringLiteral("wrong key") << bad;
    QTest::newRow("the vendor's next key") << QStringLiteral("next key") << QByteArray();
    QTest::newRow("another archive's signature") << QStringLiteral("another signature") << bad;
    QTest::newRow("truncated signature") << QStringLiteral("truncated") << QByteArray("has a malformed signature: it is 63 bytes long, not 64");
    QTest::newRow("signature cut inside a group") << QStringLiteral("cut") << notBase64;
    QTest::newRow("extra bytes after the signature") << QStringLiteral("extra") << notBase64;
    QTest::newRow("bytes after the comment") << QStringLiteral("appended")
                                             << QByteArray("is damaged or not a zip archive: no end of central directory record ends the file");
    QTest::newRow("byte flipped in entry data") << QStringLiteral("data") << bad;
    QTest::newRow("byte flipped in the central directory") << QStringLiteral("central") << bad;
    QTest::newRow("non-canonical base64") << QStringLiteral("non-canonical") << notBase64;
    QTest::newRow("end record hidden in the comment") << QStringLiteral("hidden record") << QByteArray("is not signed");
    QTest::newRow("empty file") << QStringLiteral("empty") << QByteArray("is damaged or not a zip archive");
    // The signature vouches for the vendor, not for the names: an unsafe entry stays unsafe.
    QTest::newRow("signed, with an unsafe entry") << QStringLiteral("unsafe") << QByteArray("refusing unsafe entry '../escaped'");
    // Built without a key, the tool extracts signed and unsigned packages alike.
    QTest::newRow("key-less tool, signed") << QStringLiteral("key-less signed") << QByteArray();
    QTest::newRow("key-less tool, unsigned") << QStringLiteral("key-less unsigned") << QByteArray();
}

void TestSignature::signedTool()
{
    QFETCH(QString, variant);
    QFETCH(QByteArray, message);
    putOldTree();

    const QByteArray good = signedZip(package("2.0"));
    QVERIFY(!good.isEmpty());
    const QByteArray signature = commentOf(good);
    QVERIFY(signature.startsWith("nembral-sig-ed25519:"));
    QCOMPARE(signature.size(), 20 + 88);
    QVERIFY(signature.endsWith("=="));
    const QByteArray text = signature.mid(20);

    QByteArray zip;
    if (variant == QLatin1String("key-less signed")) {
        zip = good;
    } else if (variant == QLatin1String("signed twice")) {
        const QString path = tmp_->filePath(QStringLiteral("signing.zip"));
        QCOMPARE(signPackageFile(path, key("vendor-private")), QString());
        zip = readAll(path);
        QCOMPARE(zip, good);  // deterministic, and the old signature is replaced, not stacked
    } else if (variant.endsWith(QLatin1String("unsigned"))) {
        zip = unsignedZip(package("2.0"));
        QCOMPARE(commentOf(zip), QByteArray());
    } else if (variant == QLatin1String("another comment")) {
        zip = withComment(good, "Made by a zip tool");
    } else if (variant == QLatin1String("next key")) {
        zip = signedZip(package("2.0"), key("next-private"));
    } else if (variant == QLatin1String("wrong key")) {
        zip = signedZip(package("2.0"), key("other-private"));
    } else if (variant == QLatin1String("another signature")) {
        zip = withComment(good, commentOf(signedZip(package("2.1"))));
    } else if (variant == QLatin1String("truncated")) {
        zip = withComment(good, signature.chopped(4));
    } else if (variant == QLatin1String("cut")) {
        zip = withComment(good, signature.chopped(2));
    } else if (variant == QLatin1String("extra")) {
        zip = withComment(good, signature + "\n");
    } else if (variant == QLatin1String("appended")) {
        zip = good + "trailing";
    } else if (variant == QLatin1String("data")) {
        zip = flipped(good, centralDirectory(good) / 2);  // inside data.bin's compressed bytes
    } else if (variant == QLatin1String("central")) {
        zip = flipped(good, centralDirectory(good) + 12);  // the first entry's time stamp
    } else if (variant == QLatin1String("non-canonical")) {
        // The last character before "==" carries 2 bits of the signature and 4 unused ones;
        // setting one of the unused bits leaves the decoded bytes as they were.
        const QByteArray alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        const qsizetype at = text.size() - 3;
        const qsizetype value = alphabet.indexOf(text[at]);
        QCOMPARE(value & 0x0F, 0);
        QByteArray changed = text;
        changed[at] = alphabet[value | 0x01];
        QCOMPARE(QByteArray::fromBase64(changed), QByteArray::fromBase64(text));  // a lax decoder would pass it
        zip = withComment(good, "nembral-sig-ed25519:" + changed);
    } else if (variant == QLatin1String("hidden record")) {
        // A second record at the very end, inside the real one's comment.
        QByteArray fake("PK\x05\x06", 4);
        fake.append(QByteArray(18, '\0'));
        zip = withComment(good, signature + fake);
    } else if (variant == QLatin1String("empty")) {
        zip = QByteArray();
    } else if (variant == QLatin1String("unsafe")) {
        zip = signedZip(package("2.0") << zipFile("../escaped", "x"));
    }
    QVERIFY(variant == QLatin1String("empty") || !zip.isEmpty());
    QVERIFY(variant == QLatin1String("signed twice") || variant == QLatin1String("key-less signed") || zip != good);
    const QString path = tmp_->filePath(QStringLiteral("package.zip"));
    QVERIFY(writeFile(path, zip));

    const ToolRun r = runProgram(variant.startsWith(QLatin1String("key-less")) ? QStringLiteral(NEMBRAL_KEYLESS_UNZIP_EXE)
                                                                               : QStringLiteral(NEMBRAL_SIGNED_UNZIP_EXE),
                                 {path, dest_});
    QVERIFY(!namedMutexExists(kMutex));
    if (message.isEmpty()) {
        QCOMPARE(r.stdErr, QByteArray());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("2.0\n"));
        QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/data.bin")), randomBytes(300 * 1024));
        QVERIFY(!QFile::exists(dest_ + QStringLiteral("/nembral/only-in-0.9.txt")));
        return;
    }
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: "), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(message), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(QByteArray("'" + QFile::encodeName(path) + "'")), r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    QVERIFY(r.stdErr.endsWith('\n'));
    verifyOldTreeIntact();
    QVERIFY(!QFileInfo::exists(tmp_->filePath(QStringLiteral("escaped"))));
}

// The format is reproducible without our programs: a few lines of Python set the comment
// length, the openssl command line digests and signs, and the result is byte for byte what
// tools/sign-package makes (which the tool installs, signedTool).
void TestSignature::opensslCommandLineSignatureVerifies()
{
    if (!vendorProgramsRunHere())
        QSKIP("the vendor's programs (Python, openssl, CMake) do not run here");
    const QByteArray zip = unsignedZip(package("4.0"));
    QVERIFY(!zip.isEmpty());
    const QString in = tmp_->filePath(QStringLiteral("in.zip"));
    QVERIFY(writeFile(in, zip));
    const QString script = QStringLiteral(R"(set -euo pipefail
cd "$1"
python3 -c '
import sys
data = open("in.zip", "rb").read()
assert data[-22:-18] == b"PK\x05\x06" and data[-2:] == b"\0\0", "expected an archive without comment"
open("prefix.bin", "wb").write(data[:-2] + (108).to_bytes(2, "little"))'
openssl dgst -sha512 -binary -out digest.bin prefix.bin
openssl pkeyutl -sign -inkey "$2" -rawin -in digest.bin -out signature.bin
{ cat prefix.bin; printf "nembral-sig-ed25519:"; openssl base64 -A -in signature.bin; } > by-hand.zip
)");
    const ToolRun made = runProgram(QStringLiteral("bash"), {QStringLiteral("-c"), script, QStringLiteral("bash"), tmp_->path(), key("vendor-private")});
    QVERIFY2(made.exitCode == 0, made.stdErr.constData());
    QCOMPARE(readAll(tmp_->filePath(QStringLiteral("by-hand.zip"))), signedZip(package("4.0")));
}

void TestSignature::makePackageSigns()
{
    if (!vendorProgramsRunHere())
        QSKIP("the vendor's programs (Python, openssl, CMake) do not run here");
    const QString vendor = tmp_->filePath(QStringLiteral("vendor"));
    const ToolRun made = runProgram(sourceFile(QStringLiteral("tools/make-package")),
                                    {QStringLiteral("--sign-key"), key("vendor-private"), QStringLiteral("5.0"), vendor});
    QVERIFY2(made.exitCode == 0, made.stdErr.constData());
    const QString zip = vendor + QStringLiteral("/nembral.zip");
    QVERIFY(commentOf(readAll(zip)).startsWith("nembral-sig-ed25519:"));
    const ToolRun r = runProgram(QStringLiteral(NEMBRAL_SIGNED_UNZIP_EXE), {zip, dest_});
    QVERIFY2(r.exitCode == 0, r.stdErr.constData());
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("5.0\n"));
    QVERIFY(QFileInfo(dest_ + QStringLiteral("/nembral/Nembrals.exe")).isExecutable());
}

// The signer leaves the archive as it was when it cannot sign it.
void TestSignature::signPackageRefuses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("not a zip") << QStringLiteral("text") << QByteArray("is not a zip archive");
    QTest::newRow("bytes after the archive") << QStringLiteral("appended") << QByteArray("is not a zip archive");
    QTest::newRow("P-256 key") << QStringLiteral("p256") << QByteArray("is not an Ed25519 key (Public-Key: (256 bit))");
    QTest::newRow("public key") << QStringLiteral("public") << QByteArray("could not read the private key");
    QTest::newRow("missing key") << QStringLiteral("missing") << QByteArray("no key file");
}

void TestSignature::signPackageRefuses()
{
    if (!vendorProgramsRunHere())
        QSKIP("the vendor's programs (Python, openssl, CMake) do not run here");
    QFETCH(QString, kind);
    QFETCH(QByteArray, message);
    QByteArray zip = unsignedZip(package("7.0"));
    QString privateKey = key("vendor-private");
    if (kind == QLatin1String("text")) {
        zip = "7.0\nnot an archive\n";
    } else if (kind == QLatin1String("appended")) {
        zip += "trailing";
    } else if (kind == QLatin1String("p256")) {
        privateKey = tmp_->filePath(QStringLiteral("p256.pem"));
        QCOMPARE(runProgram(QStringLiteral("openssl"), {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("EC"),
                                                        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                                                        QStringLiteral("-out"), privateKey})
                     .exitCode,
                 0);
    } else if (kind == QLatin1String("public")) {
        privateKey = key("vendor-public");
    } else if (kind == QLatin1String("missing")) {
        privateKey = tmp_->filePath(QStringLiteral("none.pem"));
    }
    const QString path = tmp_->filePath(QStringLiteral("package.zip"));
    QVERIFY(writeFile(path, zip));
    const ToolRun r = runProgram(sourceFile(QStringLiteral("tools/sign-package")), {path, privateKey});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("sign-package: ") && r.stdErr.contains(message), r.stdErr.constData());
    QCOMPARE(readAll(path), zip);
}

// Each byte of a small signed archive in turn (local header, data, central directory, end
// record, comment): changed in three ways and checked by the verifier in-process, changed once
// and handed to the tool, which must refuse it and write nothing. Every shortened copy too.
void TestSignature::everyChangedByteIsRefused()
{
    // The smallest package the tool installs: a version file and an executable.
    const QByteArray good = signedZip({zipFile("nembral/version.txt", "6.0\n"), zipFile("nembral/Nembrals.exe", "x", 0755)});
    QVERIFY(!good.isEmpty());
    const qsizetype central = centralDirectory(good), record = endRecord(good);
    QVERIFY(0 < central && central < record && record + 22 + 108 == good.size());
    const QByteArray pem = readAll(key("vendor-public"));
    const QString path = tmp_->filePath(QStringLiteral("changed.zip"));

    auto verify = [&](const QByteArray &bytes) {
        if (!writeFile(path, bytes))
            return std::string("cannot write");
        const Result<std::unique_ptr<ArchiveFile>> file = ArchiveFile::open(path.toStdString());
        if (!file)
            return std::string("cannot open");
        const Result<> checked = checkPackageSignature(*file.value(), pem.toStdString());
        return checked ? std::string() : checked.failure().text;
    };
    QVERIFY2(verify(good).empty(), verify(good).c_str());  // the unchanged archive passes, so a refusal means something

    for (qsizetype at = 0; at < good.size(); ++at) {
        for (const char mask : {char(0x01), char(0x80), char(0xFF)}) {
            const std::string why = verify(flipped(good, at, mask));
            QVERIFY2(!why.empty(), qPrintable(QStringLiteral("byte %1 ^ 0x%2 accepted").arg(at).arg(uchar(mask), 2, 16, QLatin1Char('0'))));
        }
    }
    for (qsizetype size = 0; size < good.size(); ++size)
        QVERIFY2(!verify(good.left(size)).empty(), qPrintable(QStringLiteral("first %1 bytes accepted").arg(size)));

    // The tool runs the same check before it makes anything: it is run on a sample of the bytes
    // (a stride that is prime, so it meets every offset within the headers' fields, and each
    // region's first and last byte), since each run is a process, and a slow one under wine.
    QList<qsizetype> sample = {central - 1, central, record - 1, record, record + 22, good.size() - 1};
    for (qsizetype at = 0; at < good.size(); at += 7)
        sample.append(at);
    const QString dest = tmp_->filePath(QStringLiteral("fresh"));
    for (const qsizetype at : std::as_const(sample)) {
        QVERIFY(writeFile(path, flipped(good, at)));
        const ToolRun r = runProgram(QStringLiteral(NEMBRAL_SIGNED_UNZIP_EXE), {path, dest});
        QVERIFY2(r.exitCode == 1 && r.stdErr.startsWith("unzip.exe: archive '"),
                 qPrintable(QStringLiteral("byte %1: exit %2, %3").arg(at).arg(r.exitCode).arg(QString::fromLocal8Bit(r.stdErr))));
        QVERIFY2(!QFileInfo::exists(dest), qPrintable(QStringLiteral("byte %1: the destination was created").arg(at)));
    }
    QVERIFY(writeFile(path, good));
    QCOMPARE(runProgram(QStringLiteral(NEMBRAL_SIGNED_UNZIP_EXE), {path, dest}).exitCode, 0);
}

void TestSignature::canonicalBase64_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray() << true << QByteArray();
    QTest::newRow("no padding") << QByteArray("TWFu") << true << QByteArray("Man");
    QTest::newRow("one pad") << QByteArray("TWE=") << true << QByteArray("Ma");
    QTest::newRow("two pads") << QByteArray("TQ==") << true << QByteArray("M");
    QTest::newRow("all of the alphabet") << QByteArray("+/09AZaz") << true << QByteArray::fromBase64("+/09AZaz");
    QTest::newRow("pad missing") << QByteArray("TQ") << false << QByteArray();
    QTest::newRow("unused bits, two pads") << QByteArray("TR==") << false << QByteArray();
    QTest::newRow("unused bits, one pad") << QByteArray("TWF=") << false << QByteArray();
    QTest::newRow("pad in the middle") << QByteArray("TQ==TWFu") << false << QByteArray();
    QTest::newRow("three pads") << QByteArray("T===") << false << QByteArray();
    QTest::newRow("data after a pad") << QByteArray("TQ=A") << false << QByteArray();
    QTest::newRow("url alphabet") << QByteArray("-_-_") << false << QByteArray();
    QTest::newRow("white space") << QByteArray("TWFu\n") << false << QByteArray();
}

void TestSignature::canonicalBase64()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, bytes);
    std::string out;
    QCOMPARE(decodeCanonicalBase64(text.toStdString(), out), valid);
    if (valid)
        QCOMPARE(QByteArray::fromStdString(out), bytes);
}

// The configure step's check of NEMBRAL_PACKAGE_PUBLIC_KEY, run as the script it also is.
void TestSignature::configureCheck_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("message");  // empty: accepted
    QTest::newRow("Ed25519 public key") << QStringLiteral("public") << QByteArray();
    QTest::newRow("Ed25519 private key") << QStringLiteral("private") << QByteArray("is not a PEM public key");
    QTest::newRow("P-256 public key") << QStringLiteral("p256") << QByteArray("is not an Ed25519 key");
    QTest::newRow("not PEM") << QStringLiteral("garbage") << QByteArray("is not a PEM public key");
    QTest::newRow("missing file") << QStringLiteral("missing") << QByteArray("no such file");
}

void TestSignature::configureCheck()
{
    if (!vendorProgramsRunHere())
        QSKIP("the vendor's programs (Python, openssl, CMake) do not run here");
    QFETCH(QString, kind);
    QFETCH(QByteArray, message);
    QString file = tmp_->filePath(QStringLiteral("key.pem"));
    if (kind == QLatin1String("public")) {
        file = key("vendor-public");
    } else if (kind == QLatin1String("private")) {
        file = key("vendor-private");
    } else if (kind == QLatin1String("p256")) {
        const QString ec = tmp_->filePath(QStringLiteral("p256.pem"));
        QCOMPARE(runProgram(QStringLiteral("openssl"), {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("EC"),
                                                        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                                                        QStringLiteral("-out"), ec})
                     .exitCode,
                 0);
        QCOMPARE(runProgram(QStringLiteral("openssl"), {QStringLiteral("pkey"), QStringLiteral("-in"), ec, QStringLiteral("-pubout"),
                                                        QStringLiteral("-out"), file})
                     .exitCode,
                 0);
    } else if (kind == QLatin1String("garbage")) {
        QVERIFY(writeFile(file, "-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n"));
    }
    const ToolRun r = runProgram(QStringLiteral(NEMBRAL_CMAKE_COMMAND),
                                 {QStringLiteral("-DKEY=") + file, QStringLiteral("-P"), sourceFile(QStringLiteral("unzip/packagekey.cmake"))});
    if (message.isEmpty()) {
        QVERIFY2(r.exitCode == 0, r.stdErr.constData());
        return;
    }
    QVERIFY(r.exitCode != 0);
    QVERIFY2(r.stdErr.contains("NEMBRAL_PACKAGE_PUBLIC_KEY"), r.stdErr.constData());
    QVERIFY2(r.stdErr.simplified().contains(message), r.stdErr.constData());
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
