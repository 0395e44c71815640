// downloadFile's attempts, pauses, log lines and flags, against the real vendor server.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <algorithm>
#include <atomic>

#include "cases/download_cases.h"
#include "platform/downloadfile.h"
#include "platform/downloadresult.h"
#include "platform/downloadstatus.h"
#include "support/casetable.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testvendor.h"
#include "vendorfiles.h"

using namespace nembral_cases;

// The window layer's hand-over, recorded instead of queued to a window.
namespace {
std::atomic<int> startRequests{0};
std::atomic<MainWindow *> startRequestedFor{nullptr};
}  // namespace

void requestStartApplication(MainWindow *window)
{
    startRequestedFor.store(window);
    startRequests.fetch_add(1);
}

namespace {

// Never dereferenced: downloadFile only hands it on.
char windowStandIn;
MainWindow *const kWindow = reinterpret_cast<MainWindow *>(&windowStandIn);

QString errorLine(quint32 code)
{
    return QStringLiteral("An error occured : error code = 0x") + QString::number(code, 16);
}

QStringList errorLines(const QStringList &out)
{
    QStringList errors;
    for (const QString &line : out) {
        if (line.startsWith(QLatin1String("An error occured")))
            errors << line;
    }
    return errors;
}

// The percentages the observer logged from the last "CallbackHandler" on: the last attempt's.
QList<int> lastAttemptPercentages(const QStringList &out)
{
    QList<int> percentages;
    for (qsizetype i = out.lastIndexOf(QStringLiteral("CallbackHandler")) + 1; i < out.size(); ++i) {
        bool number = false;
        const int percent = out[i].toInt(&number);
        if (number)
            percentages << percent;
    }
    return percentages;
}

}  // namespace

class TestDownloadFile : public QObject {
    Q_OBJECT

private:
    ScratchDir scratch_;
    QString served_;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
        clearProxyEnvironment();
        served_ = scratch_.filePath(QStringLiteral("served"));
        writeVendorFiles(served_);
    }

    // Each test downloads into a fresh, empty working directory.
    void init()
    {
        QVERIFY(scratch_.enterFreshWorkDir());
        downloadStatus.versionFileDownloaded.store(false);
        downloadStatus.packageDownloaded.store(false);
        downloadStatus.downloadProgress.store(0);
        startRequests.store(0);
        startRequestedFor.store(nullptr);
    }

    void cleanup() { scratch_.leaveWorkDir(); }

    void attemptsPausesFlagsAndLog_data() { addCaseRows(kDownloadFileCases); }

    void attemptsPausesFlagsAndLog()
    {
        QFETCH(int, index);
        const DownloadFileCase &c = kDownloadFileCases[index];
        const QString work = scratch_.workDir();

        TestVendor server;
        const QStringList options = QString::fromLatin1(c.serverOptions).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY(server.start(served_, 0, scratch_.filePath(QStringLiteral("state")), options));
        qputenv("SSL_CERT_FILE", server.caFile().toLocal8Bit());

        LogCapture capture;
        QElapsedTimer timer;
        timer.start();
        downloadFile(kWindow, server.url(QString::fromLatin1(c.urlPath)), c.pathPattern, 0);
        const qint64 elapsed = timer.elapsed();
        const QStringList out = capture.take().out;

        const int attempts = c.succeeds ? c.failedAttempts + 1 : 6;
        QCOMPARE(int(out.count(QStringLiteral("CallbackHandler"))), attempts);
        QCOMPARE(out.value(0), QStringLiteral("CallbackHandler"));

        QCOMPARE(errorLines(out), QStringList(qsizetype(c.failedAttempts), errorLine(c.errorCode)));
        // Each error line ends its attempt: the next line starts the next attempt.
        for (qsizetype i = 0; i + 1 < out.size(); ++i) {
            if (out[i].startsWith(QStringLiteral("An error occured")))
                QCOMPARE(out[i + 1], QStringLiteral("CallbackHandler"));
        }

        // One pause of 1000 ms after each failure, and no other delay to speak of.
        QVERIFY2(elapsed >= 1000 * c.failedAttempts && elapsed < 1000 * c.failedAttempts + 3000,
                 qPrintable(QString::number(elapsed)));

        const QString destination = work + QLatin1Char('/') + QString::fromLatin1(c.destination);
        if (c.succeeds) {
            const QStringList keyword{c.flag == Flag::Version ? QStringLiteral("version file downloaded!")
                                                              : QStringLiteral("nembral downloaded!")};
            QCOMPARE(out.mid(out.size() - 2), QStringList{QStringLiteral("Downloaded OK")} + keyword);
            QCOMPARE(startRequests.load(), 0);
            if (c.flag == Flag::Version)
                QCOMPARE(readAll(destination), QByteArray(kVersionBody));
            else
                QCOMPARE(QFileInfo(destination).size(), qint64(kPackageSize));
            // The percentages of the attempt that succeeded rise to 100, which the window shows.
            const QList<int> percentages = lastAttemptPercentages(out);
            QVERIFY2(!percentages.isEmpty() && percentages.last() == 100, qPrintable(out.join(QLatin1Char('|'))));
            QVERIFY2(std::is_sorted(percentages.begin(), percentages.end()), qPrintable(out.join(QLatin1Char('|'))));
            QCOMPARE(downloadStatus.downloadProgress.load(), 100);
        } else {
            QVERIFY(!out.contains(QStringLiteral("Downloaded OK")));
            QCOMPARE(out.last(), errorLine(c.errorCode));
            QCOMPARE(startRequests.load(), 1);
            QCOMPARE(startRequestedFor.load(), kWindow);
            QVERIFY(!QFile::exists(destination));
        }
        QCOMPARE(downloadStatus.versionFileDownloaded.load(), c.flag == Flag::Version);
        QCOMPARE(downloadStatus.packageDownloaded.load(), c.flag == Flag::Package);

        // Backslashes in the pattern are separators, never part of a file name.
        for (const QString &name : QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            QVERIFY2(!name.contains(QLatin1Char('\\')), qPrintable(name));
    }

    void attemptBeyondTheLastOnlyHandsOver_data()
    {
        QTest::addColumn<int>("attempt");
        QTest::newRow("the seventh") << 6;
        QTest::newRow("the eighth") << 7;
        QTest::newRow("far beyond") << 1000;
    }

    void attemptBeyondTheLastOnlyHandsOver()
    {
        QFETCH(int, attempt);
        LogCapture capture;
        QElapsedTimer timer;
        timer.start();
        downloadFile(kWindow, "https://127.0.0.1:1/Software/Nembral/version.txt", kVersionPattern, attempt);
        const qint64 elapsed = timer.elapsed();
        const LogCapture::Lines log = capture.take();

        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QCOMPARE(startRequests.load(), 1);
        QVERIFY(elapsed < 500);
        QVERIFY(!downloadStatus.versionFileDownloaded.load());
    }

    // A version published after an earlier download replaces the downloaded file: no cache of
    // the download service's may answer in the server's place.
    void newlyPublishedVersionReplacesTheFile()
    {
        const QString served = scratch_.filePath(QStringLiteral("served-again"));
        writeVendorFiles(served);
        TestVendor server;
        QVERIFY(server.start(served, 0, scratch_.filePath(QStringLiteral("state"))));
        qputenv("SSL_CERT_FILE", server.caFile().toLocal8Bit());
        const std::string url = server.url(QString::fromLatin1(kVersionPath));

        LogCapture capture;
        downloadFile(kWindow, url, kVersionPattern, 0);
        QCOMPARE(readAll(QStringLiteral("version.txt")), QByteArray(kVersionBody));
        QVERIFY(writeFile(served + QStringLiteral("/version.txt"), "9.9.9-test\n"));
        downloadFile(kWindow, url, kVersionPattern, 0);
        const QStringList out = capture.take().out;

        QCOMPARE(int(out.count(QStringLiteral("Downloaded OK"))), 2);
        QCOMPARE(readAll(QStringLiteral("version.txt")), QByteArray("9.9.9-test\n"));
    }

    // "version" is looked for first: a URL with both words is the version file, sets only its
    // flag, and has its size limit, so the package's body at such a URL fails every attempt.
    void versionIsTestedBeforeNembral_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("fits");
        QTest::newRow("the version file") << QStringLiteral("/redirect/0/Software/Nembral/version.txt?nembral") << true;
        QTest::newRow("the package's body, over the limit")
            << QStringLiteral("/redirect/0/Software/Nembral/nembral.zip?version") << false;
    }

    void versionIsTestedBeforeNembral()
    {
        QFETCH(QString, path);
        QFETCH(bool, fits);
        TestVendor server;
        QVERIFY(server.start(served_, 0, scratch_.filePath(QStringLiteral("state"))));
        qputenv("SSL_CERT_FILE", server.caFile().toLocal8Bit());

        LogCapture capture;
        // The redirect route puts both words into one URL.
        downloadFile(kWindow, server.url(path), kPackagePattern, 0);
        const QStringList out = capture.take().out;

        QVERIFY(!downloadStatus.packageDownloaded.load());
        QCOMPARE(downloadStatus.versionFileDownloaded.load(), fits);
        if (fits) {
            QCOMPARE(out.mid(out.size() - 2),
                     (QStringList{QStringLiteral("Downloaded OK"), QStringLiteral("version file downloaded!")}));
        } else {
            QCOMPARE(errorLines(out), QStringList(6, errorLine(quint32(kInetCannotLoadData))));
            QCOMPARE(startRequests.load(), 1);
            // No file is left; the Windows attempt makes the destination's folders before the
            // transfer, and they may stay.
            QCOMPARE(filesBelow(scratch_.workDir()), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestDownloadFile)
#include "tst_downloadfile.moc"
