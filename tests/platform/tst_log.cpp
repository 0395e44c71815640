// The console log: whole lines within a bound, text from outside made harmless, and a console
// that has gone away costing a line, never the process.
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
