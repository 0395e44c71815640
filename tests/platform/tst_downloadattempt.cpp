// One download attempt against the real vendor server on loopback (its fault modes play the
// faulty servers), on Linux and on Windows, where the rows apply.
#include <QDir>
#include <QProcess>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <atomic>
#include <thread>

#include "cases/download_cases.h"
#include "platform/downloadattempt.h"
#include "platform/downloadresult.h"
#include "platform/downloadstatus.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testvendor.h"
#include "support/underwine.h"
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

// Compares `result` with the code that the table of causes (platform/downloadresult.h) gives
// for the one cause that mentions `phrase`. The table is what docs/download-service.md shows.
void compareWithDocumentedResult(HResult result, const QByteArray &phrase)
{
    QList<const DownloadResultCause *> rows;
    for (const DownloadResultCause &row : kDownloadResultCauses) {
        if (QByteArray(row.cause).contains(phrase))
            rows << &row;
    }
    QVERIFY2(rows.size() == 1, QByteArray("not exactly one cause mentions \"" + phrase + '"').constData());
    QCOMPARE(QString::number(quint32(result), 16), QString::number(quint32(rows.first()->code), 16));
}

// Runs one attempt on a thread of its own, so that one that does not stop cannot hang the
// suite: false when it has not ended within `timeoutMs`, after which `vendor` is stopped to
// let it end.
bool attemptWithin(TestVendor &vendor, const std::string &url, const char *pattern, std::uint64_t maxBody,
                   HResult &result, int timeoutMs)
{
    std::atomic<bool> done{false};
    std::thread attempt([&] {
        result = downloadAttempt(url, pattern, maxBody);
        done.store(true);
    });
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, timeoutMs);
    if (!finished)
        vendor.stop();
    attempt.join();
    return finished;
}

}  // namespace

class TestDownloadAttempt : public QObject {
    Q_OBJECT

private:
    ScratchDir scratch_;
    QString served_;
    QString state_;
    QString otherState_;
    QString workDir_;
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
    }

    // Each test downloads into a fresh, empty working directory.
    void init()
    {
        QVERIFY(scratch_.enterFreshWorkDir());
        workDir_ = scratch_.workDir();
        downloadStatus.downloadProgress.store(0);
        setDownloadStallLimitSeconds(60);
    }

    void cleanup()
    {
        server_.stop();
        scratch_.leaveWorkDir();
        setDownloadStallLimitSeconds(60);
    }

    void smallFileHasTheWholeNotificationSequence()
    {
#ifdef Q_OS_WIN
        QSKIP("the sequence the Linux service gives its observer; the Windows service's own varies (wine finds no resource)");
#endif
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        const LogCapture::Lines log = capture.take();

        QCOMPARE(result, kSOk);
        QCOMPARE(log.out, lines({"CallbackHandler", "Finding resource...", "Connecting...", "Sending request...",
                                 "Mime type available", "Begin download", "100", "", "End download"}));
        QCOMPARE(log.err, QStringList());
        QCOMPARE(readAll(workDir_ + QStringLiteral("/version.txt")), QByteArray(kVersionBody));
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
        // Between them the percentages, and on Windows the service's other news (its cache file).
        QList<int> percentages;
        for (const QString &line : out.mid(begin + 1, blank - begin - 1)) {
            bool number = false;
            const int value = line.toInt(&number);
            if (number)
                percentages << value;
        }
        // 3 MiB arrive in many pieces, so many steps are seen, each strictly higher; wine tells
        // the observer of progress only now and then.
        QVERIFY2(percentages.size() >= 10 || runningUnderWine(), qPrintable(out.join(QLatin1Char(' '))));
        int previous = 0;
        for (const int value : percentages) {
            QVERIFY2(value > previous && value <= 100, qPrintable(QString::number(value)));
            previous = value;
        }
        QCOMPARE(previous, 100);
        QCOMPARE(readAll(served_ + QStringLiteral("/nembral.zip")),
                 readAll(workDir_ + QStringLiteral("/nembral/nembral.zip")));
        // The backslashes of the pattern are separators, and no temporary file is left over.
        QCOMPARE(entriesBelow(workDir_), lines({"nembral", "nembral/nembral.zip"}));
    }

    // The body is gathered into blocks before it is written: whatever its size against the
    // blocks and the pieces it arrives in (TLS records, 16 KiB at most), the file holds every
    // byte in order and nothing more.
    void bodyOfAnySizeArrivesWhole_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("16 KiB - 1") << 16 * 1024 - 1;
        QTest::newRow("16 KiB") << 16 * 1024;
        QTest::newRow("64 KiB - 1") << 64 * 1024 - 1;
        QTest::newRow("64 KiB") << 64 * 1024;
        QTest::newRow("64 KiB + 1") << 64 * 1024 + 1;
        QTest::newRow("144 KiB + 7") << 144 * 1024 + 7;
        QTest::newRow("1 MiB + 3") << 1024 * 1024 + 3;
    }

    void bodyOfAnySizeArrivesWhole()
    {
        QFETCH(int, size);
        // No period that a block or piece size divides: a block lost, repeated or swapped
        // changes the file.
        QByteArray body(size, Qt::Uninitialized);
        quint32 state = 12345;
        for (char &byte : body) {
            state = state * 1103515245u + 12345u;
            byte = char(state >> 24);
        }
        const QString served = scratch_.filePath(QStringLiteral("sized-%1").arg(size));
        QVERIFY(writeFile(served + QStringLiteral("/nembral.zip"), body));
        QVERIFY2(server_.start(served, 0, state_), "vendor server did not start");
        qputenv("SSL_CERT_FILE", server_.caFile().toLocal8Bit());
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const QStringList out = capture.take().out;

        QCOMPARE(result, kSOk);
        QCOMPARE(out.mid(out.size() - 2), lines({"", "End download"}));
        const QByteArray got = readAll(workDir_ + QStringLiteral("/nembral/nembral.zip"));
        QCOMPARE(got.size(), body.size());
        QVERIFY(got == body);
        QCOMPARE(entriesBelow(workDir_), lines({"nembral", "nembral/nembral.zip"}));
    }

    void httpErrorStatusFailsWithItsCode_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("cause");
        QTest::newRow("404") << 404 << QByteArray("404");
        QTest::newRow("410") << 410 << QByteArray("410");
        QTest::newRow("401") << 401 << QByteArray("401");
        QTest::newRow("407") << 407 << QByteArray("407");
        QTest::newRow("403") << 403 << QByteArray("other HTTP status");
        QTest::newRow("500") << 500 << QByteArray("other HTTP status");
        QTest::newRow("503") << 503 << QByteArray("other HTTP status");
        // A redirect without a place to go is not the file either.
        QTest::newRow("302 without Location") << 302 << QByteArray("3xx answer without a Location");
    }

    void httpErrorStatusFailsWithItsCode()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, cause);
        startServer({QStringLiteral("--status"), QString::number(status)});
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const QStringList out = capture.take().out;

        if (runningUnderWine())
            QEXPECT_FAIL("302 without Location", "wine's download service stores the empty answer as the file", Abort);
        QVERIFY(result < 0);
        compareWithDocumentedResult(result, cause);
        // The error page is never stored, not even as a temporary file (Windows makes the
        // folder before the fetch).
        QCOMPARE(filesBelow(workDir_), 0);
#ifndef Q_OS_WIN
        QCOMPARE(out, lines({"CallbackHandler", "Finding resource...", "Connecting...", "Sending request..."}));
#endif
    }

    // What a download killed with -9 left behind is cleared by the next download of the same
    // file; the part file of a download still running, and anything not exactly ours, stays.
    // In a name, DEAD stands for the id of a process that has ended, SELF for our own.
    void partFilesOfDeadDownloadsAreCleared_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("removed");
        QTest::newRow("process gone") << QStringLiteral(".version.txt.part-DEAD-3") << true;
        QTest::newRow("process alive (init)") << QStringLiteral(".version.txt.part-1-0") << false;
        QTest::newRow("this process") << QStringLiteral(".version.txt.part-SELF-0") << false;
        QTest::newRow("process id 0") << QStringLiteral(".version.txt.part-0-3") << false;
        QTest::newRow("no process id") << QStringLiteral(".version.txt.part--3") << false;
        QTest::newRow("no counter") << QStringLiteral(".version.txt.part-DEAD-") << false;
        QTest::newRow("no dash") << QStringLiteral(".version.txt.part-DEAD") << false;
        QTest::newRow("letter in the id") << QStringLiteral(".version.txt.part-DEADx-3") << false;
        QTest::newRow("letter in the counter") << QStringLiteral(".version.txt.part-DEAD-3x") << false;
        QTest::newRow("a second dash") << QStringLiteral(".version.txt.part-DEAD-3-4") << false;
        QTest::newRow("another file's") << QStringLiteral(".nembral.zip.part-DEAD-3") << false;
        QTest::newRow("not a part file") << QStringLiteral(".version.txt.partial") << false;
    }

    void partFilesOfDeadDownloadsAreCleared()
    {
        QFETCH(QString, name);
        QFETCH(bool, removed);
#ifdef Q_OS_WIN
        QSKIP("the part files are the Linux download service's own");
#endif
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"));
        QVERIFY(gone.waitForFinished(5000));
        const qint64 deadPid = gone.processId() ? gone.processId() : 999999;
        name.replace(QStringLiteral("DEAD"), QString::number(deadPid));
        name.replace(QStringLiteral("SELF"), QString::number(QCoreApplication::applicationPid()));
        QVERIFY(writeFile(name, "half"));

        startServer();
        LogCapture capture;
        QCOMPARE(downloadAttempt(server_.url(kVersion), kVersionPattern), kSOk);
        capture.take();

        QCOMPARE(entriesBelow(workDir_), removed ? QStringList{QStringLiteral("version.txt")}
                                                 : (QStringList{name, QStringLiteral("version.txt")}));
    }

    // A redirect to a scheme that is refused, announced as a redirect, fails the attempt like an
    // unknown scheme and leaves nothing: https is not left for plain http, and no download goes
    // to ftp.
    void redirectToARefusedSchemeFails_data()
    {
        QTest::addColumn<QString>("from");  // "--http" for a plain http server
        QTest::addColumn<QString>("to");
        QTest::newRow("https to plain http") << QString() << QStringLiteral("http://localhost:1");
        QTest::newRow("http to ftp") << QStringLiteral("--http") << QStringLiteral("ftp://127.0.0.1:1");
    }

    void redirectToARefusedSchemeFails()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
#ifdef Q_OS_WIN
        if (!from.isEmpty())
            QSKIP("the Windows download service guards only the way out of https");
#endif
        QStringList options{QStringLiteral("--redirect-to"), to};
        if (!from.isEmpty())
            options << from;
        startServer(options);
        setDownloadStallLimitSeconds(5);
        LogCapture capture;
        HResult result = kSOk;
        const bool finished = attemptWithin(server_, server_.url(kVersion), kVersionPattern, kNoBodyLimit, result, 20000);
        const QStringList out = capture.take().out;

        QVERIFY(finished);
        QVERIFY(result < 0);
        QCOMPARE(entriesBelow(workDir_), QStringList());
        // wine's service refuses the way to plain http itself, before its observer hears of
        // the redirect, and fails as for any other failed download.
        if (runningUnderWine())
            return;
        compareWithDocumentedResult(result, "redirect to a refused scheme");
        QVERIFY(out.contains(QStringLiteral("Status code : 3")));
    }

    // A body that ends short of its announced length, or stops coming for the stall limit,
    // fails the attempt: nothing that looks complete is left, and an earlier copy stays as it
    // was.
    void brokenOffBodyLeavesNoCompleteLookingFile_data()
    {
        QTest::addColumn<QString>("options");  // the vendor server's
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QByteArray>("cause");
        QTest::newRow("cut, no earlier file") << QStringLiteral("--cut-after 100000") << QByteArray()
                                              << QByteArray("cut or truncated body");
        QTest::newRow("cut, earlier copy kept") << QStringLiteral("--cut-after 100000") << QByteArray("earlier archive")
                                                << QByteArray("cut or truncated body");
        QTest::newRow("stall after the headers") << QStringLiteral("--stall-after 0") << QByteArray()
                                                 << QByteArray("stall limit");
        QTest::newRow("stall mid-body") << QStringLiteral("--stall-after 200000") << QByteArray() << QByteArray("stall limit");
    }

    void brokenOffBodyLeavesNoCompleteLookingFile()
    {
        QFETCH(QString, options);
        QFETCH(QByteArray, earlier);
        QFETCH(QByteArray, cause);
        const bool stall = options.startsWith(QLatin1String("--stall"));
        if (stall && runningUnderWine())
            QSKIP("wine's download service keeps waiting on a stalled server past the time-outs it is given");
        const QString destination = workDir_ + QStringLiteral("/nembral/nembral.zip");
        if (!earlier.isEmpty())
            QVERIFY(writeFile(destination, earlier));
        if (stall)
            setDownloadStallLimitSeconds(1);
        startServer(options.split(QLatin1Char(' ')));
        LogCapture capture;
        QElapsedTimer timer;
        timer.start();
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        const qint64 elapsed = timer.elapsed();
        const QStringList out = capture.take().out;

        if (runningUnderWine())
            QEXPECT_FAIL("", "wine's download service takes a body cut short of its length for the whole", Abort);
        QVERIFY(result < 0);
        compareWithDocumentedResult(result, cause);
        // Only a stalled transfer waits, and no longer than the limit takes to notice.
        QVERIFY2(elapsed >= (stall ? 1000 : 0) && elapsed < 5000, qPrintable(QString::number(elapsed)));
        if (!stall)
            QVERIFY(out.contains(QStringLiteral("Begin download")));
        QVERIFY(!out.contains(QStringLiteral("End download")));
        QCOMPARE(readAll(destination), earlier);
        QCOMPARE(entriesBelow(workDir_ + QStringLiteral("/nembral")),
                 earlier.isEmpty() ? QStringList() : QStringList{QStringLiteral("nembral.zip")});
    }

    void redirectsAreFollowedWithinABound_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<bool>("followed");
        QTest::newRow("3 redirects") << 2 << true;
        QTest::newRow("10 redirects") << 9 << true;
        QTest::newRow("11 redirects") << 10 << false;
    }

    void redirectsAreFollowedWithinABound()
    {
        QFETCH(int, hops);
        QFETCH(bool, followed);
#ifdef Q_OS_WIN
        QSKIP("the bound and the notifications of the Linux service; the Windows service has its own");
#endif
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(QStringLiteral("/redirect/%1%2").arg(hops).arg(kVersion)), kVersionPattern);
        const QStringList out = capture.take().out;

        if (followed)
            QCOMPARE(result, kSOk);
        else
            compareWithDocumentedResult(result, "more than 10 redirects");
        const int redirects = hops + 1;
        QCOMPARE(int(out.count(QStringLiteral("Status code : 3"))), followed ? redirects : redirects - 1);
        // Each request is announced; the kept-alive connection is made once.
        QCOMPARE(int(out.count(QStringLiteral("Sending request..."))), followed ? redirects + 1 : redirects);
        QCOMPARE(int(out.count(QStringLiteral("Connecting..."))), 1);
        QCOMPARE(QFile::exists(workDir_ + QStringLiteral("/version.txt")), followed);
    }

    // Failures on our side of the wire, or before any body: the documented code, and nothing
    // is stored (not even at the root when the working directory has gone). In a URL, CLOSED
    // stands for the port of a vendor server that has been stopped; the other upper-case words
    // name a server of ours set up as the row says.
    void localFailuresMapToTheirCodes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QByteArray>("cause");
        QTest::addColumn<QString>("said");  // the log's first line; anything but "CallbackHandler": its only one
        const QString version = QString::fromLatin1(kVersionPattern);
        const QString handler = QStringLiteral("CallbackHandler");
        QTest::newRow("connection refused") << QStringLiteral("https://localhost:CLOSED/Software/Nembral/version.txt")
                                            << version << QByteArray("connection refused") << handler;
        QTest::newRow("unknown scheme") << QStringLiteral("gopher://localhost/version.txt") << version
                                        << QByteArray("scheme other than http/https") << handler;
        QTest::newRow("malformed URL") << QStringLiteral("https://[::1/version.txt") << version
                                       << QByteArray("malformed URL") << handler;
        QTest::newRow("a different CA in SSL_CERT_FILE") << QStringLiteral("OTHER CA") << version
                                                         << QByteArray("untrusted") << handler;
        QTest::newRow("system store only") << QStringLiteral("NO CA") << version << QByteArray("untrusted") << handler;
        QTest::newRow("working directory gone") << QStringLiteral("GONE") << version
                                                << QByteArray("working directory unavailable")
                                                << QStringLiteral("Cannot use the working directory as download destination: it is unavailable.");
        QTest::newRow("a file where the directory should be")
            << QString() << QStringLiteral("%s\\blocker\\version.txt") << QByteArray("a file on the way") << handler;
    }

    void localFailuresMapToTheirCodes()
    {
        QFETCH(QString, url);
        QFETCH(QString, pattern);
        QFETCH(QByteArray, cause);
        QFETCH(QString, said);
#ifdef Q_OS_WIN
        // Only the folders are made by our own code there; the rest is the service's to tell
        // (and it trusts the root store, not SSL_CERT_FILE; a current directory is never removed).
        if (!url.isEmpty())
            QSKIP("the code the Linux service gives for this cause; the Windows service has its own");
#endif
        startServer();
        QStringList left;
        if (url.contains(QStringLiteral("CLOSED"))) {
            url.replace(QStringLiteral("CLOSED"), QString::number(server_.port()));
            server_.stop();
        } else if (url.endsWith(QStringLiteral("CA"))) {
            TestVendor other;
            QVERIFY(other.start(served_, 0, otherState_));
            other.stop();
            if (url.startsWith(QStringLiteral("OTHER")))
                qputenv("SSL_CERT_FILE", other.caFile().toLocal8Bit());
            else
                qunsetenv("SSL_CERT_FILE");
            url = QString::fromStdString(server_.url(kVersion));
        } else if (url == QLatin1String("GONE")) {
            QVERIFY(QDir().mkpath(QStringLiteral("gone")));
            QVERIFY(QDir::setCurrent(QStringLiteral("gone")));
            QVERIFY(QDir().rmdir(workDir_ + QStringLiteral("/gone")));
            url = QString::fromStdString(server_.url(kVersion));
        } else if (url.isEmpty()) {
            url = QString::fromStdString(server_.url(kVersion));
            QVERIFY(writeFile(QStringLiteral("blocker"), QByteArray()));
            left << QStringLiteral("blocker");
        }
        LogCapture capture;
        const HResult result = downloadAttempt(url.toStdString(), pattern.toStdString());
        const QStringList out = capture.take().out;
        QDir::setCurrent(workDir_);

        compareWithDocumentedResult(result, cause);
        QCOMPARE(out.value(0), said);
        if (said != QLatin1String("CallbackHandler"))
            QCOMPARE(out.size(), 1);
        // No body came, but where the file is placed (after the body, on Linux) nothing stops it.
        if (left.isEmpty())
            QVERIFY(!out.contains(QStringLiteral("Begin download")));
        QCOMPARE(entriesBelow(workDir_), left);
        QVERIFY(!QFile::exists(QStringLiteral("/version.txt")));
    }

    // The version file is one short line. A server that sends more, announced or not, or
    // without end, fails the attempt at the limit: nothing fills the disk, nothing is left.
    void versionBodyIsCapped_data()
    {
        QTest::addColumn<QString>("options");  // the vendor server's, in place of the file
        QTest::addColumn<qint64>("bodyBytes");
        QTest::addColumn<bool>("capped");
        QTest::addColumn<bool>("stored");
        const qint64 limit = qint64(kMaxVersionFileBytes);
        const QString sized = QStringLiteral("--oversize %1");
        QTest::newRow("exactly the limit") << sized.arg(limit) << limit << true << true;
        QTest::newRow("one byte more") << sized.arg(limit + 1) << limit + 1 << true << false;
        QTest::newRow("10 GB announced, nothing sent")
            << sized.arg(10'000'000'000) + QStringLiteral(" --stall-after 0") << qint64(0) << true << false;
        QTest::newRow("200000 announced, over plain http") << QStringLiteral("--http --oversize 200000") << qint64(200000)
                                                           << true << false;
        // Chunks: no length known before the end, which a cut after one byte more never sends.
        QTest::newRow("no length, one byte more")
            << QStringLiteral("--http --endless --cut-after %1").arg(limit + 1) << limit + 1 << true << false;
        QTest::newRow("chunked without end") << QStringLiteral("--http --endless") << qint64(-1) << true << false;
        QTest::newRow("no limit: 1 MiB is stored") << sized.arg(1 << 20) << qint64(1 << 20) << false << true;
    }

    void versionBodyIsCapped()
    {
        QFETCH(QString, options);
        QFETCH(qint64, bodyBytes);
        QFETCH(bool, capped);
        QFETCH(bool, stored);
        // wine tells the observer how much has come only now and then (once after tens of MiB,
        // sooner or later with the machine's load) and nothing before the first data, so a body
        // without end, or one announced and never sent, is not stopped within any bound there;
        // Windows tells it every few KiB.
        if (bodyBytes <= 0 && runningUnderWine())
            QSKIP("wine reports the progress of a body too seldom to bound the wait");
        startServer(options.split(QLatin1Char(' ')));
        setDownloadStallLimitSeconds(10);

        HResult result = kSOk;
        QElapsedTimer timer;
        timer.start();
        LogCapture capture;
        const bool finished = attemptWithin(server_, server_.url(kVersion), kVersionPattern,
                                            capped ? kMaxVersionFileBytes : kNoBodyLimit, result, 20000);
        const qint64 elapsed = timer.elapsed();
        const QStringList out = capture.take().out;
        qInfo("attempt ended after %lld ms", static_cast<long long>(elapsed));

        QVERIFY(finished);
        // Cut at the limit, long before the stall limit could end it.
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
        if (stored) {
            QCOMPARE(result, kSOk);
            QCOMPARE(QFileInfo(workDir_ + QStringLiteral("/version.txt")).size(), bodyBytes);
            QCOMPARE(entriesBelow(workDir_), QStringList{QStringLiteral("version.txt")});
        } else {
            compareWithDocumentedResult(result, "larger than 64 KiB");
            // Stopped on the way; wine's observer may hear of a short body only at its end, and
            // the stored file is measured then.
            QVERIFY(!out.contains(QStringLiteral("End download")) || runningUnderWine());
            QCOMPARE(entriesBelow(workDir_), QStringList());
        }
    }

    // "nembral" is a link to a folder elsewhere (an installation moved there): the package goes
    // where it points; to nowhere: the attempt fails. Either way the link is left as it is. A
    // link at the file's own name is replaced, never written through.
    void linksOnTheWayAndAtTheDestination_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("package");
        QTest::newRow("nembral links to a folder elsewhere") << QStringLiteral("nembral") << QStringLiteral("@") << true;
        QTest::newRow("nembral links to nowhere") << QStringLiteral("nembral") << QStringLiteral("@/missing") << true;
        QTest::newRow("the version file links to a file elsewhere")
            << QStringLiteral("version.txt") << QStringLiteral("@/keep.txt") << false;
    }

    void linksOnTheWayAndAtTheDestination()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(bool, package);
#ifdef Q_OS_WIN
        QSKIP("QFile makes shortcuts here and wine makes no links (the lane's fixture has one: linkOfTheLane)");
#endif
        const QString outside = scratch_.filePath(QStringLiteral("outside-") + QFileInfo(workDir_).fileName());
        QVERIFY(writeFile(outside + QStringLiteral("/keep.txt"), "keep"));
        target.replace(QLatin1Char('@'), outside);
        QVERIFY(QFile::link(target, workDir_ + QLatin1Char('/') + link));
        startServer();

        LogCapture capture;
        const HResult result = package ? downloadAttempt(server_.url(kPackage), kPackagePattern)
                                       : downloadAttempt(server_.url(kVersion), kVersionPattern);
        capture.take();

        const bool followed = package && target == outside;
        QCOMPARE(entriesBelow(outside).join(QLatin1Char(' ')), followed ? QStringLiteral("keep.txt nembral.zip") : QStringLiteral("keep.txt"));
        QCOMPARE(readAll(outside + QStringLiteral("/keep.txt")), QByteArray("keep"));
        if (followed) {
            QCOMPARE(result, kSOk);
            QCOMPARE(QFileInfo(workDir_ + QLatin1Char('/') + link).symLinkTarget(), target);
        } else if (package) {
            compareWithDocumentedResult(result, "a link to nowhere");
            QCOMPARE(QFileInfo(workDir_ + QLatin1Char('/') + link).symLinkTarget(), target);
        } else {
            QCOMPARE(result, kSOk);
            QVERIFY(!QFileInfo(workDir_ + QLatin1Char('/') + link).isSymLink());
            QCOMPARE(readAll(workDir_ + QLatin1Char('/') + link), QByteArray(kVersionBody));
        }
    }

    // wine makes no links through the API but shows a Unix link to a folder as a directory
    // reparse point: the Windows lane lays out download-link/nembral -> outside/download-link,
    // which holds keep.txt, in NEMBRAL_LINK_FIXTURE.
    void linkOfTheLaneIsFollowed()
    {
        const QString root = qEnvironmentVariable("NEMBRAL_LINK_FIXTURE");
        if (root.isEmpty())
            QSKIP("NEMBRAL_LINK_FIXTURE is not set (scripts/test-windows.sh sets it)");
        const QString outside = root + QStringLiteral("/outside/download-link");
        QFile::remove(outside + QStringLiteral("/nembral.zip"));
        QVERIFY(QDir::setCurrent(root + QStringLiteral("/download-link")));
        QVERIFY2(QFileInfo::exists(QStringLiteral("nembral/keep.txt")), "the fixture's link does not lead to its folder");
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kPackage), kPackagePattern);
        capture.take();

        QCOMPARE(result, kSOk);
        QCOMPARE(entriesBelow(outside), lines({"keep.txt", "nembral.zip"}));
        QCOMPARE(QFileInfo(outside + QStringLiteral("/nembral.zip")).size(), qint64(kPackageSize));
        // Still the link: what is behind it shows through it.
        QVERIFY(QFileInfo::exists(QStringLiteral("nembral/keep.txt")));
    }

    // The destination is made in a buffer of MAX_PATH characters, its terminating null
    // included, from a pattern with one "%s" for the working directory: a path that fits is
    // used; a longer one, or a pattern that would read an argument that is not there, is
    // refused with its reason before anything is made or fetched.
    void destinationIsCheckedBeforeTheFetch_data()
    {
        QTest::addColumn<QString>("pattern");  // FIT and OVER: names that make the path 259 and 260 long
        QTest::addColumn<quint32>("result");
        QTest::addColumn<QString>("reason");  // empty: the attempt goes on
        QTest::newRow("259 characters") << QStringLiteral("%s\\FIT") << 0u << QString();
        QTest::newRow("260 characters") << QStringLiteral("%s\\OVER") << 0x800700ceu  // the file name is too long
                                        << QStringLiteral("Download destination path is 260 characters long, more than the 259 that fit.");
        for (const char *pattern : {"version.txt", "%s\\%s.txt", "%s\\%d.txt"})
            QTest::newRow(pattern) << QString::fromLatin1(pattern) << 0x80070057u  // invalid argument
                                   << QStringLiteral("Download destination pattern must contain exactly one %s: ") + QString::fromLatin1(pattern);
    }

    void destinationIsCheckedBeforeTheFetch()
    {
        QFETCH(QString, pattern);
        QFETCH(quint32, result);
        QFETCH(QString, reason);
#ifndef Q_OS_WIN
        QSKIP("the Windows destination's buffer and pattern; Linux has neither");
#endif
        const qsizetype directory = QDir::toNativeSeparators(QDir::currentPath()).size();
        QVERIFY2(directory < 200, qPrintable(QDir::currentPath()));
        const QString fit(259 - directory - 1, QLatin1Char('f'));
        pattern.replace(QStringLiteral("FIT"), fit).replace(QStringLiteral("OVER"), fit + QLatin1Char('o'));
        startServer();
        LogCapture capture;
        const HResult got = downloadAttempt(server_.url(kVersion), pattern.toStdString());
        const QStringList out = capture.take().out;

        QCOMPARE(QString::number(quint32(got), 16), QString::number(result, 16));
        if (reason.isEmpty()) {
            QCOMPARE(entriesBelow(workDir_), QStringList{fit});
            QCOMPARE(out.value(0), QStringLiteral("CallbackHandler"));
        } else {
            QCOMPARE(out, QStringList{reason});
            QCOMPARE(entriesBelow(workDir_), QStringList());
        }
    }

    void workingDirectoryWithABackslashKeepsIt()
    {
#ifdef Q_OS_WIN
        QSKIP("a backslash separates folders on Windows");
#endif
        const QString odd = workDir_ + QStringLiteral("/back\\slash");
        QVERIFY(QDir().mkpath(odd));
        QVERIFY(QDir::setCurrent(odd));
        startServer();
        LogCapture capture;
        const HResult result = downloadAttempt(server_.url(kVersion), kVersionPattern);
        capture.take();

        QCOMPARE(result, kSOk);
        QCOMPARE(readAll(odd + QStringLiteral("/version.txt")), QByteArray(kVersionBody));
    }
};

QTEST_GUILESS_MAIN(TestDownloadAttempt)
#include "tst_downloadattempt.moc"
