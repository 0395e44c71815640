// The Linux download service against the real vendor server over https on loopback.
#include <QDir>
#include <QProcess>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cases/download_cases.h"
#include "platform/downloadattempt.h"
#include "platform/downloadresult.h"
#include "platform/downloadstatus.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
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

// A loopback port nobody listens on: bound once by us, then released; 0 when none was had.
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                       && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
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

// A plain http server on loopback for answers the vendor server does not give. It answers
// every request with `head`, then a body of 'v' bytes: `bodyBytes` of them, or without end
// (in chunks) when `bodyBytes` is negative. It feeds the socket as it drains, so a reader that
// stops reading holds it up instead of filling memory.
class BodyServer : public QObject {
public:
    BodyServer(QByteArray head, qint64 bodyBytes) : head_(std::move(head)), bodyBytes_(bodyBytes)
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = server_.nextPendingConnection();
            auto *remaining = new qint64(bodyBytes_);
            connect(socket, &QObject::destroyed, socket, [remaining] { delete remaining; });
            const auto feed = [socket, remaining] {
                static const QByteArray piece(64 * 1024, 'v');
                static const QByteArray chunk = QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
                while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 256 * 1024) {
                    if (*remaining < 0) {
                        socket->write(chunk);
                    } else if (*remaining > 0) {
                        const qint64 n = std::min<qint64>(*remaining, piece.size());
                        socket->write(piece.constData(), n);
                        *remaining -= n;
                    } else {
                        break;
                    }
                }
            };
            connect(socket, &QTcpSocket::bytesWritten, socket, feed);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, feed] {
                // The request's head may come in pieces; they stay buffered until it is whole.
                if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
                    return;
                socket->readAll();
                socket->write(head_);
                feed();
            });
        });
    }
    bool listen() { return server_.listen(QHostAddress::LocalHost); }
    // Drops every connection: an attempt that never stops reading then ends with an error.
    void hangUp()
    {
        server_.close();
        for (QTcpSocket *socket : server_.findChildren<QTcpSocket *>())
            socket->abort();
    }
    std::string url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path).toStdString();
    }

private:
    QTcpServer server_;
    QByteArray head_;
    qint64 bodyBytes_;
};

// Runs one attempt on a thread of its own (it blocks) while this thread serves; false when it
// has not ended within `timeoutMs`, after which `server` hangs up to let it end.
bool attemptWhileServing(BodyServer &server, const std::string &url, const char *pattern, std::uint64_t maxBody,
                         HResult &result, int timeoutMs = 20000)
{
    std::atomic<bool> done{false};
    std::thread attempt([&] {
        result = downloadAttempt(url, pattern, maxBody);
        done.store(true);
    });
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, timeoutMs);
    if (!finished) {
        server.hangUp();
        (void)QTest::qWaitFor([&] { return done.load(); }, 60000);
    }
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

        compareWithDocumentedResult(result, cause);
        // The error page is never stored, not even as a temporary file.
        QCOMPARE(entriesBelow(workDir_), QStringList());
        QCOMPARE(out, lines({"CallbackHandler", "Finding resource...", "Connecting...", "Sending request..."}));
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

    // libcurl reports a redirect it refuses to follow like an unknown scheme. A plain http
    // server on loopback answers with a redirect to ftp, which only this test serves.
    void redirectToARefusedSchemeFails()
    {
        QTcpServer redirector;
        QVERIFY(redirector.listen(QHostAddress::LocalHost));
        connect(&redirector, &QTcpServer::newConnection, this, [&redirector] {
            QTcpSocket *socket = redirector.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                // The request's head may come in pieces; they stay buffered until it is whole.
                if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
                    return;
                socket->write("HTTP/1.1 302 Found\r\nLocation: ftp://127.0.0.1:1/version.txt\r\n"
                              "Content-Length: 0\r\n\r\n");
                socket->disconnectFromHost();
            });
        });
        const std::string url = QStringLiteral("http://127.0.0.1:%1%2").arg(redirector.serverPort()).arg(kVersion).toStdString();

        // The attempt blocks, so it runs on a thread of its own while this one serves.
        setDownloadStallLimitSeconds(5);
        std::atomic<bool> done{false};
        HResult result = kSOk;
        LogCapture capture;
        std::thread attempt([&] {
            result = downloadAttempt(url, kVersionPattern);
            done.store(true);
        });
        const bool finished = QTest::qWaitFor([&] { return done.load(); }, 20000);
        attempt.join();
        const QStringList out = capture.take().out;

        QVERIFY(finished);
        compareWithDocumentedResult(result, "redirect to a refused scheme");
        QVERIFY(out.contains(QStringLiteral("Status code : 3")));
        QCOMPARE(entriesBelow(workDir_), QStringList());
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

        compareWithDocumentedResult(result, "working directory unavailable");
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

        compareWithDocumentedResult(result, "cut or truncated body");
        QVERIFY(out.contains(QStringLiteral("Begin download")));
        QVERIFY(!out.contains(QStringLiteral("End download")));
        if (earlier.isEmpty()) {
            QVERIFY(!QFile::exists(destination));
        } else {
            QCOMPARE(readAll(destination), earlier);
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

        compareWithDocumentedResult(result, "stall limit");
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

        compareWithDocumentedResult(result, "untrusted");
        QVERIFY(!out.contains(QStringLiteral("Begin download")));
        QCOMPARE(entriesBelow(workDir_), QStringList());
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

    void localFailuresMapToTheirCodes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QByteArray>("cause");
        const quint16 port = closedPort();
        QVERIFY2(port != 0, "no loopback port could be bound");
        const QString closed = QStringLiteral("https://127.0.0.1:%1/Software/Nembral/version.txt").arg(port);
        QTest::newRow("connection refused") << closed << QStringLiteral("%s\\version.txt")
                                            << QByteArray("connection refused");
        QTest::newRow("unknown scheme") << QStringLiteral("gopher://localhost/version.txt")
                                        << QStringLiteral("%s\\version.txt") << QByteArray("scheme other than http/https");
        QTest::newRow("malformed URL") << QStringLiteral("https://[::1/version.txt") << QStringLiteral("%s\\version.txt")
                                       << QByteArray("malformed URL");
        QTest::newRow("a file where the directory should be")
            << QString() << QStringLiteral("%s\\blocker\\version.txt") << QByteArray("a file on the way");
    }

    void localFailuresMapToTheirCodes()
    {
        QFETCH(QString, url);
        QFETCH(QString, pattern);
        QFETCH(QByteArray, cause);
        if (url.isEmpty()) {
            startServer();
            url = QString::fromStdString(server_.url(kVersion));
            QFile blocker(workDir_ + QStringLiteral("/blocker"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        LogCapture capture;
        const HResult result = downloadAttempt(url.toStdString(), pattern.toStdString());
        const QStringList out = capture.take().out;

        compareWithDocumentedResult(result, cause);
        QCOMPARE(out.value(0), QStringLiteral("CallbackHandler"));
        QVERIFY(!QFile::exists(workDir_ + QStringLiteral("/version.txt")));
    }

    // The version file is one short line. A server that sends more, announced or not, or
    // without end, fails the attempt at the limit: nothing fills the disk, nothing is left.
    void versionBodyIsCapped_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qint64>("bodyBytes");
        QTest::addColumn<bool>("capped");
        QTest::addColumn<bool>("stored");
        const QByteArray plain = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
        const QByteArray chunked = plain + "Transfer-Encoding: chunked\r\n\r\n";
        const qint64 limit = qint64(kMaxVersionFileBytes);
        const auto sized = [&plain](qint64 n) -> QByteArray { return plain + "Content-Length: " + QByteArray::number(n) + "\r\n\r\n"; };
        QTest::newRow("exactly the limit") << sized(limit) << limit << true << true;
        QTest::newRow("one byte more") << sized(limit + 1) << limit + 1 << true << false;
        QTest::newRow("10 GB announced, nothing sent") << sized(10'000'000'000) << qint64(0) << true << false;
        QTest::newRow("no length, one byte more") << plain + "Connection: close\r\n\r\n"
                                                  << limit + 1 << true << false;
        QTest::newRow("chunked without end") << chunked << qint64(-1) << true << false;
        QTest::newRow("no limit: 1 MiB is stored") << sized(1 << 20) << qint64(1 << 20) << false << true;
    }

    void versionBodyIsCapped()
    {
        QFETCH(QByteArray, head);
        QFETCH(qint64, bodyBytes);
        QFETCH(bool, capped);
        QFETCH(bool, stored);
        BodyServer server(head, bodyBytes);
        QVERIFY(server.listen());
        setDownloadStallLimitSeconds(10);

        HResult result = kSOk;
        QElapsedTimer timer;
        timer.start();
        LogCapture capture;
        const bool finished = attemptWhileServing(server, server.url(kVersion), kVersionPattern,
                                                  capped ? kMaxVersionFileBytes : kNoBodyLimit, result);
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
            QVERIFY(!out.contains(QStringLiteral("End download")));
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
        QCOMPARE(readAll(odd + QStringLiteral("/version.txt")), QByteArray(kVersionBody));
    }
};

QTEST_GUILESS_MAIN(TestDownloadAttempt)
#include "tst_downloadattempt.moc"
