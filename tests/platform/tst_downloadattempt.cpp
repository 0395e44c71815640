// The Linux download service against the real vendor server over https on loopback.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cases/download_cases.h"
#include "platform/downloadattempt.h"
#include "platform/downloadstatus.h"
#include "support/logcapture.h"
#include "support/testvendor.h"
#include "vendorfiles.h"

using namespace nembral_cases;

namespace {

const QString kVersion = QString::fromLatin1(kVersionPath);
const QString kPackage = QString::fromLatin1(kPackagePath);

QStringList lines(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *t : texts)
        list << QString::fromLatin1(t);
    return list;
}

// A loopback port nobody listens on: bound once by us, then released.
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Every entry below `dir`, relative, sorted: shows leftovers such as temporary files.
QStringList entriesBelow(const QString &dir)
{
    QStringList found;
    QDir base(dir);
    const QFileInfoList infos = base.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : infos) {
        found << info.fileName();
        if (info.isDir() && !info.isSymLink()) {
            for (const QString &inner : entriesBelow(info.filePath()))
                found << info.fileName() + QLatin1Char('/') + inner;
        }
    }
    found.sort();
    return found;
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class TestDownloadAttempt : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch_;
    QString served_;
    QString state_;
    QString otherState_;
    QString workDir_;
    QString originalDir_;
    TestVendor server_;

    void startServer(const QStringList &options = {})
    {
        QVERIFY2(server_.start(served_, 0, state_, options), "vendor server did not start");
        qputenv("SSL_CERT_FILE", server_.caFile().toLocal8Bit());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
        clearProxyEnvironment();
        served_ = scratch_.filePath(QStringLiteral("served"));
        state_ = scratch_.filePath(QStringLiteral("state"));
        otherState_ = scratch_.filePath(QStringLiteral("other-state"));
        writeVendorFiles(served_);
        originalDir_ = QDir::currentPath();
    }

    // Each test downloads into a fresh, empty working directory.
    void init()
    {
        static int round = 0;
        workDir_ = scratch_.filePath(QStringLiteral("work%1").arg(++round));
        QVERIFY(QDir().mkpath(workDir_));
        QVERIFY(QDir::setCurrent(workDir_));
        downloadStatus.downloadProgress.store(0);
        setDownloadStallLimitSeconds(60);
    }

    void cleanup()
    {
        server_.stop();
        QDir::setCurrent(originalDir_);
        setDownloadStallLimitSeconds(60);
    }

    void smallFileHasTheWholeNotificationSequence()
    {
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        const LogCapture::Lines log = capture.take();

        QCOMPARE(result, kSOk);
        QCOMPARE(log.out, lines({"CallbackHandler", "Finding resource...", "Connecting...", "Sending request...",
                                 "Mime type available", "Begin download", "100", "", "End download"}));
        QCOMPARE(log.err, QStringList());
        QCOMPARE(contentsOf(workDir_ + QStringLiteral("/version.txt")), QByteArray(kVersionBody));
        QCOMPARE(entriesBelow(workDir_), QStringList{QStringLiteral("version.txt")});
        QCOMPARE(downloadStatus.downloadProgress.load(), 100);
    }

    void largeFileReportsRisingPercentagesToTheEnd()
    {
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const QStringList out = capture.take().out;

        QCOMPARE(result, kSOk);
        const qsizetype begin = out.indexOf(QStringLiteral("Begin download"));
        const qsizetype blank = out.indexOf(QString());
        QVERIFY(begin > 0 && blank > begin);
        QCOMPARE(out.mid(blank), lines({"", "End download"}));
        const QStringList percentages = out.mid(begin + 1, blank - begin - 1);
        // 3 MiB arrive in many pieces, so many steps are seen, each strictly higher.
        QVERIFY2(percentages.size() >= 10, qPrintable(percentages.join(QLatin1Char(' '))));
        int previous = 0;
        for (const QString &line : percentages) {
            bool ok = false;
            const int value = line.toInt(&ok);
            QVERIFY2(ok && value > previous && value <= 100, qPrintable(line));
            previous = value;
        }
        QCOMPARE(previous, 100);
        QCOMPARE(contentsOf(served_ + QStringLiteral("/nembral.zip")),
                 contentsOf(workDir_ + QStringLiteral("/nembral/nembral.zip")));
        // The backslashes of the pattern are separators, and no temporary file is left over.
        QCOMPARE(entriesBelow(workDir_), lines({"nembral", "nembral/nembral.zip"}));
    }

    void httpErrorStatusFailsWithItsCode_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<quint32>("code");
        QTest::newRow("404") << 404 << 0x800C0005u;
        QTest::newRow("410") << 410 << 0x800C0005u;
        QTest::newRow("401") << 401 << 0x800C0009u;
        QTest::newRow("407") << 407 << 0x800C0009u;
        QTest::newRow("403") << 403 << 0x800C0008u;
        QTest::newRow("500") << 500 << 0x800C0008u;
        QTest::newRow("503") << 503 << 0x800C0008u;
        // A redirect without a place to go is not the file either.
        QTest::newRow("302 without Location") << 302 << 0x800C0014u;
    }

    void httpErrorStatusFailsWithItsCode()
    {
        QFETCH(int, status);
        QFETCH(quint32, code);
        startServer({QStringLiteral("--status"), QString::number(status)});
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const QStringList out = capture.take().out;

        QCOMPARE(quint32(result), code);
        // The error page is never stored, not even as a temporary file.
        QCOMPARE(entriesBelow(workDir_), QStringList());
        QCOMPARE(out, lines({"CallbackHandler", "Finding resource...", "Connecting...", "Sending request..."}));
    }

    // What a download killed with -9 left behind is cleared by the next one; the partial file
    // of a download still running elsewhere, and anything not ours, stays.
    void partialFilesOfDeadDownloadsAreCleared()
    {
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"));
        QVERIFY(gone.waitForFinished(5000));
        const qint64 deadPid = gone.processId() ? gone.processId() : 999999;
        const QString dead = QStringLiteral(".nembral.zip.part-%1-3").arg(deadPid);
        const QString live = QStringLiteral(".nembral.zip.part-1-0");  // init never goes away
        QVERIFY(writeFile(QStringLiteral("nembral/") + dead, "half"));
        QVERIFY(writeFile(QStringLiteral("nembral/") + live, "half"));
        QVERIFY(writeFile(QStringLiteral("nembral/.nembral.zip.partial"), "not ours"));
        QVERIFY(writeFile(QStringLiteral("nembral/.version.txt.part-999999-1"), "another file's"));

        startServer();
        LogCapture capture;
        QCOMPARE(downloadAttempt(server_.url(kPackage), kPackagePattern), kSOk);
        capture.take();

        QCOMPARE(entriesBelow(workDir_),
                 (QStringList{QStringLiteral("nembral"), QStringLiteral("nembral/") + live,
                              QStringLiteral("nembral/.nembral.zip.partial"),
                              QStringLiteral("nembral/.version.txt.part-999999-1"), QStringLiteral("nembral/nembral.zip")}));
    }

    void vanishedWorkingDirectoryFailsTheAttempt()
    {
        startServer();
        const QString gone = workDir_ + QStringLiteral("/gone");
        QVERIFY(QDir().mkpath(gone));
        QVERIFY(QDir::setCurrent(gone));
        QVERIFY(QDir().rmdir(gone));
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        const QStringList out = capture.take().out;
        QDir::setCurrent(workDir_);

        QCOMPARE(quint32(result), 0x80070003u);
        QCOMPARE(out, lines({"Cannot use the working directory as download destination: it is unavailable."}));
        QVERIFY(!QFile::exists(QStringLiteral("/version.txt")));
    }

    void cutBodyLeavesNoCompleteLookingFile_data()
    {
        QTest::addColumn<QByteArray>("earlier");
        QTest::newRow("no earlier file") << QByteArray();
        QTest::newRow("earlier copy kept") << QByteArray("earlier archive");
    }

    void cutBodyLeavesNoCompleteLookingFile()
    {
        QFETCH(QByteArray, earlier);
        const QString destination = workDir_ + QStringLiteral("/nembral/nembral.zip");
        if (!earlier.isEmpty()) {
            QDir().mkpath(workDir_ + QStringLiteral("/nembral"));
            QFile file(destination);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(earlier);
        }
        startServer({QStringLiteral("--cut-after"), QStringLiteral("100000")});
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const QStringList out = capture.take().out;

        QCOMPARE(quint32(result), 0x800C0008u);
        QVERIFY(out.contains(QStringLiteral("Begin download")));
        QVERIFY(!out.contains(QStringLiteral("End download")));
        if (earlier.isEmpty()) {
            QVERIFY(!QFile::exists(destination));
        } else {
            QCOMPARE(contentsOf(destination), earlier);
        }
        QCOMPARE(entriesBelow(workDir_ + QStringLiteral("/nembral")),
                 earlier.isEmpty() ? QStringList() : QStringList{QStringLiteral("nembral.zip")});
    }

    void stalledTransferFailsAfterTheLimit_data()
    {
        QTest::addColumn<int>("sentBeforeStall");
        QTest::newRow("stall after the headers") << 0;
        QTest::newRow("stall mid-body") << 200000;
    }

    void stalledTransferFailsAfterTheLimit()
    {
        QFETCH(int, sentBeforeStall);
        setDownloadStallLimitSeconds(1);
        startServer({QStringLiteral("--stall-after"), QString::number(sentBeforeStall)});
        LogCapture capture;
        QElapsedTimer timer;
        timer.start();
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const qint64 elapsed = timer.elapsed();
        capture.take();

        QCOMPARE(quint32(result), 0x800C000Bu);
        QVERIFY2(elapsed >= 1000 && elapsed < 5000, qPrintable(QString::number(elapsed)));
        QVERIFY(!QFile::exists(workDir_ + QStringLiteral("/nembral/nembral.zip")));
        QCOMPARE(entriesBelow(workDir_ + QStringLiteral("/nembral")), QStringList());
    }

    void untrustedCertificateFails_data()
    {
        QTest::addColumn<bool>("otherCa");
        QTest::newRow("a different CA in SSL_CERT_FILE") << true;
        QTest::newRow("system store only") << false;
    }

    void untrustedCertificateFails()
    {
        QFETCH(bool, otherCa);
        TestVendor other;
        QVERIFY(other.start(served_, 0, otherState_));
        other.stop();
        startServer();
        if (otherCa)
            qputenv("SSL_CERT_FILE", other.caFile().toLocal8Bit());
        else
            qunsetenv("SSL_CERT_FILE");
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        const QStringList out = capture.take().out;

        QCOMPARE(quint32(result), 0x800C000Eu);
        QVERIFY(!out.contains(QStringLiteral("Begin download")));
        QCOMPARE(entriesBelow(workDir_), QStringList());
    }

    void redirectsAreFollowedWithinABound_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<quint32>("code");
        QTest::newRow("3 redirects") << 2 << 0u;
        QTest::newRow("10 redirects") << 9 << 0u;
        QTest::newRow("11 redirects") << 10 << 0x800C0014u;
    }

    void redirectsAreFollowedWithinABound()
    {
        QFETCH(int, hops);
        QFETCH(quint32, code);
        startServer();
        LogCapture capture;
        const HResult result =
            downloadAttempt(server_.url(QStringLiteral("/redirect/%1%2").arg(hops).arg(kVersion)), kVersionPattern);
        const QStringList out = capture.take().out;

        QCOMPARE(quint32(result), code);
        const int redirects = hops + 1;
        QCOMPARE(int(out.count(QStringLiteral("Status code : 3"))), code == 0 ? redirects : redirects - 1);
        // Each request is announced; the kept-alive connection is made once.
        QCOMPARE(int(out.count(QStringLiteral("Sending request..."))), code == 0 ? redirects + 1 : redirects);
        QCOMPARE(int(out.count(QStringLiteral("Connecting..."))), 1);
        QCOMPARE(QFile::exists(workDir_ + QStringLiteral("/version.txt")), code == 0);
    }

    void localFailuresMapToTheirCodes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<quint32>("code");
        const QString closed = QStringLiteral("https://127.0.0.1:%1/Software/Nembral/version.txt").arg(closedPort());
        QTest::newRow("connection refused") << closed << QStringLiteral("%s\\version.txt") << 0x800C0004u;
        QTest::newRow("unknown scheme") << QStringLiteral("gopher://localhost/version.txt")
                                        << QStringLiteral("%s\\version.txt") << 0x800C000Du;
        QTest::newRow("malformed URL") << QStringLiteral("https://[::1/version.txt") << QStringLiteral("%s\\version.txt")
                                       << 0x800C0002u;
        QTest::newRow("a file where the directory should be")
            << QString() << QStringLiteral("%s\\blocker\\version.txt") << 0x80070003u;
    }

    void localFailuresMapToTheirCodes()
    {
        QFETCH(QString, url);
        QFETCH(QString, pattern);
        QFETCH(quint32, code);
        if (url.isEmpty()) {
            startServer();
            url = QString::fromStdString(server_.url(kVersion));
            QFile blocker(workDir_ + QStringLiteral("/blocker"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        LogCapture capture;
        const HResult result = downloadAttempt(url.toStdString(), pattern.toStdString());
        const QStringList out = capture.take().out;

        QCOMPARE(quint32(result), code);
        QCOMPARE(out.value(0), QStringLiteral("CallbackHandler"));
        QVERIFY(!QFile::exists(workDir_ + QStringLiteral("/version.txt")));
    }

    void workingDirectoryWithABackslashKeepsIt()
    {
        const QString odd = workDir_ + QStringLiteral("/back\\slash");
        QVERIFY(QDir().mkpath(odd));
        QVERIFY(QDir::setCurrent(odd));
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        capture.take();

        QCOMPARE(result, kSOk);
        QCOMPARE(contentsOf(odd + QStringLiteral("/version.txt")), QByteArray(kVersionBody));
    }
};

QTEST_GUILESS_MAIN(TestDownloadAttempt)
#include "tst_downloadattempt.moc"
