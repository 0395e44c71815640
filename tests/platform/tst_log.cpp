// The console log: whole lines within a bound, text from outside made harmless, and a console
// that has gone away costing a line, never the process.
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/log.h"
#include "support/logcapture.h"

namespace {

bool pipeSignalPending()
{
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

bool pipeSignalBlocked()
{
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

// The support log's lines without their time stamps; empty when a line lacks one.
QStringList unstamped(const QByteArray &file)
{
    static const QRegularExpression stamp(QStringLiteral("^20\\d\\d-[01]\\d-[0-3]\\dT[0-2]\\d:[0-5]\\d:[0-6]\\d\\.\\d{3}Z "));
    QStringList lines = QString::fromUtf8(file).split(QLatin1Char('\n'));
    if (lines.takeLast() != QString())
        return {QStringLiteral("(last line not ended)")};
    for (QString &line : lines) {
        if (!stamp.match(line).hasMatch())
            return {QStringLiteral("(no stamp) ") + line};
        line.remove(stamp);
    }
    return lines;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

}  // namespace

class TestLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void escapedForLog_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("printable text as it is") << QByteArray("2.1-beta (build 7) ~!\\") << QByteArray("2.1-beta (build 7) ~!\\");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("escape sequence that clears the screen") << QByteArray("2.1\x1b[2J") << QByteArray("2.1\\x1b[2J");
        QTest::newRow("backspaces over the text") << QByteArray("9.9\b\b\b1.0") << QByteArray("9.9\\x08\\x08\\x081.0");
        QTest::newRow("NUL") << QByteArray("2\0"
                                           "1",
                                           3)
                             << QByteArray("2\\x001");
        QTest::newRow("carriage return and line feed") << QByteArray("a\rb\nc") << QByteArray("a\\x0db\\x0ac");
        QTest::newRow("DEL and high bytes") << QByteArray("\x7f\x80\xa0\xff") << QByteArray("\\x7f\\x80\\xa0\\xff");
        QTest::newRow("title change with BEL") << QByteArray("\x1b]0;pwned\x07") << QByteArray("\\x1b]0;pwned\\x07");
        // Well-formed, printable UTF-8 as it is; C1 controls and whatever is not UTF-8 escaped.
        QTest::newRow("UTF-8 characters, two to four bytes")
            << QByteArray("2.0-\xce\xb2\xc2\xa0\xe2\x82\xac \xf0\x9f\x9a\x80") << QByteArray("2.0-\xce\xb2\xc2\xa0\xe2\x82\xac \xf0\x9f\x9a\x80");
        QTest::newRow("C1 controls: NEL and CSI") << QByteArray("a\xc2\x85"
                                                                "b\xc2\x9b"
                                                                "2J")
                                                  << QByteArray("a\\xc2\\x85b\\xc2\\x9b2J");
        QTest::newRow("overlong, surrogate, beyond U+10FFFF") << QByteArray("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80")
                                                              << QByteArray("\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");
        QTest::newRow("sequence cut short") << QByteArray("\xe2\x82"
                                                          "1.0\xf0\x9f\x9a")
                                            << QByteArray("\\xe2\\x821.0\\xf0\\x9f\\x9a");
    }

    void escapedForLog()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, shown);
        QCOMPARE(QByteArray::fromStdString(::escapedForLog(std::string_view(bytes.constData(), size_t(bytes.size())))),
                 shown);
    }

    void linesAreBounded_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("ending");
        QTest::newRow("short") << 10 << QByteArray("a");
        QTest::newRow("exactly the bound") << int(kMaxLogLineBytes) << QByteArray("a");
        QTest::newRow("one byte more") << int(kMaxLogLineBytes) + 1 << QByteArray("a [... 1 more bytes not shown]");
        QTest::newRow("16 MiB") << (16 << 20) << QByteArray(" [... 16773120 more bytes not shown]");
    }

    void linesAreBounded()
    {
        QFETCH(int, length);
        QFETCH(QByteArray, ending);
        const std::string text(size_t(length), 'a');
        LogCapture capture;
        logLine(text);
        logErrorLine(text);
        const LogCapture::Lines log = capture.take();
        QCOMPARE(log.out.size(), 1);
        QCOMPARE(log.err, log.out);
        const QByteArray line = log.out.first().toLatin1();
        QVERIFY(line.size() <= qsizetype(kMaxLogLineBytes) + 64);
        QVERIFY(line.endsWith(ending));
        QCOMPARE(line.count('a'), std::min(length, int(kMaxLogLineBytes)));
    }

    // A line cut at the bound keeps its characters whole: UTF-8 in, UTF-8 out.
    void cutLineStaysUtf8()
    {
        std::string line = "x";
        while (line.size() <= kMaxLogLineBytes)
            line += "\xce\xb2";  // two bytes each: the bound falls inside one
        LogCapture capture;
        logLine(line);
        const QByteArray shown = capture.take().out.value(0).toLatin1();
        QCOMPARE(shown.indexOf(" [... "), qsizetype(kMaxLogLineBytes - 1));
        QCOMPARE(QString::fromUtf8(shown).toUtf8(), shown);
    }

    // Every console line, of either stream, also lands in the support log after a UTC time
    // stamp, in the folder the log makes for itself; when the file cannot be written (its
    // folder or the file is something else, the disk is full) the console stays exactly the
    // same and nothing fails.
    void supportLog_data()
    {
        QTest::addColumn<QString>("prep");
        QTest::addColumn<bool>("written");
        QTest::newRow("folder made, both streams") << QString() << true;
        QTest::newRow("older lines kept") << QStringLiteral("older") << true;
        QTest::newRow("log is a folder") << QStringLiteral("folder") << false;
        QTest::newRow("its folder is a file") << QStringLiteral("file in the way") << false;
        QTest::newRow("disk full") << QStringLiteral("full") << false;
    }

    void supportLog()
    {
        QFETCH(QString, prep);
        QFETCH(bool, written);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("nembral/launcher.log"));
        if (prep == QLatin1String("older")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("nembral")));
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.write("2020-01-01T00:00:00.000Z before\n") > 0);
        } else if (prep == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("nembral/launcher.log")));
        } else if (prep == QLatin1String("file in the way")) {
            QFile inTheWay(dir.filePath(QStringLiteral("nembral")));
            QVERIFY(inTheWay.open(QIODevice::WriteOnly));
        } else if (prep == QLatin1String("full")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("nembral")));
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), path));
        }

        startSupportLog(QFile::encodeName(path).toStdString());
        LogCapture capture;
        logLine("first");
        logErrorLine("Error deleting file.");
        logLine(std::string(kMaxLogLineBytes + 10, 'x'));
        const LogCapture::Lines log = capture.take();
        startSupportLog(std::string());

        QCOMPARE(log.out.size(), 2);
        QCOMPARE(log.out.first(), QStringLiteral("first"));
        QCOMPARE(log.err, QStringList{QStringLiteral("Error deleting file.")});
        if (!written) {
            QVERIFY(!QFileInfo(path).isFile() || QFileInfo(path).isSymLink());
            return;
        }
        QStringList expected{QStringLiteral("first"), QStringLiteral("Error deleting file."), log.out.last()};
        if (prep == QLatin1String("older"))
            expected.prepend(QStringLiteral("before"));
        QCOMPARE(unstamped(readFile(path)), expected);
    }

    // A line that would take the file past its bound moves it to launcher.log.1 (replacing
    // the older one) and starts a new file: at most two bounded files, the newest lines whole.
    void supportLogRotates()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("launcher.log"));
        QFile full(path);
        QVERIFY(full.open(QIODevice::WriteOnly));
        const QByteArray filler = "2020-01-01T00:00:00.000Z " + QByteArray(int(kSupportLogMaxBytes) - 40 - 26, 'f') + "\n";
        QVERIFY(full.write(filler) == filler.size());
        full.close();
        QFile stale(path + QStringLiteral(".1"));
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write("stale\n") > 0);
        stale.close();

        startSupportLog(QFile::encodeName(path).toStdString());
        LogCapture capture;
        logLine("fits");                 // 40 bytes were left: still this file
        logLine(std::string(100, 'n'));  // not any more
        for (int i = 0; i < 12000; ++i)  // about 1.2 MiB more
            logLine(std::string(80, static_cast<char>('a' + i % 26)));
        capture.take();
        startSupportLog(std::string());

        const QByteArray older = readFile(path + QStringLiteral(".1"));
        const QByteArray newest = readFile(path);
        QVERIFY(older.size() <= qsizetype(kSupportLogMaxBytes));
        QVERIFY(newest.size() <= qsizetype(kSupportLogMaxBytes));
        QVERIFY(!older.startsWith("stale"));
        const QStringList newestLines = unstamped(newest);
        QCOMPARE(newestLines.last(), QString(80, QLatin1Char(static_cast<char>('a' + 11999 % 26))));
        const QStringList olderLines = unstamped(older);
        // Rotated twice: the first older file (the filler and "fits") is gone in turn.
        QCOMPARE(olderLines.value(0), QString(100, QLatin1Char('n')));
        // No line lost or cut between the two files.
        QCOMPARE(olderLines.size() - 1 + newestLines.size(), 12000);
    }

    // Standard output or error is a pipe whose reader has gone. With the default disposition
    // SIGPIPE would end this test program; the log must lose the line and go on, leave no
    // signal pending, leave the disposition and the thread's mask as they were, and write the
    // next line once the console is back.
    void consoleWithoutReader_data()
    {
        QTest::addColumn<int>("fd");
        QTest::newRow("standard output") << STDOUT_FILENO;
        QTest::newRow("standard error") << STDERR_FILENO;
    }

    void consoleWithoutReader()
    {
        QFETCH(int, fd);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        struct sigaction previous {};
        QCOMPARE(sigaction(SIGPIPE, &dfl, &previous), 0);

        int ends[2];
        QCOMPARE(::pipe(ends), 0);
        ::close(ends[0]);
        (void)std::fflush(nullptr);  // only orders what is buffered before the redirection
        const int saved = ::dup(fd);
        ::dup2(ends[1], fd);
        ::close(ends[1]);
        for (int i = 0; i < 3; ++i) {
            if (fd == STDOUT_FILENO)
                logLine("into a pipe nobody reads");
            else
                logErrorLine("into a pipe nobody reads");
        }
        ::dup2(saved, fd);
        ::close(saved);

        QVERIFY(!pipeSignalPending());
        QVERIFY(!pipeSignalBlocked());
        struct sigaction now {};
        QCOMPARE(sigaction(SIGPIPE, &previous, &now), 0);
        QVERIFY(now.sa_handler == SIG_DFL);

        LogCapture capture;
        logLine("back");
        logErrorLine("back");
        const LogCapture::Lines log = capture.take();
        QCOMPARE(log.out, QStringList{QStringLiteral("back")});
        QCOMPARE(log.err, QStringList{QStringLiteral("back")});
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
