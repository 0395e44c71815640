// runCommand: the interpreter's exact arguments, no waiting, lookup in the working directory
// first (Linux's shell fallback, Windows' own cmd.exe), and what the started process inherits.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/brokenpipe.h"
#include "platform/commandrunner.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testvendor.h"

namespace {

// The longest command the runner starts; a longer one is refused, not cut.
constexpr int kLongestCommand = 306;

#ifdef Q_OS_UNIX
bool writeScript(const QString &path, const QByteArray &body)
{
    return writeExecutable(path, "#!/bin/sh\n" + body);
}
#else
// A copy of the recording program at `path` (the name a command calls it by), recording into
// `record`: its name as called on one line, the rest of its command line on the next.
bool placeRecorder(const QString &path, const QString &record)
{
    const QString dir = path + QStringLiteral(".d");
    if (!QDir().mkpath(dir))
        return false;
    const QString made = writeRecordingInterpreter(dir, record);
    return !made.isEmpty() && QDir().mkpath(QFileInfo(path).path()) && QFile::rename(made, path)
           && QFile::rename(made + QStringLiteral(".record"), path + QStringLiteral(".record"));
}
#endif

// Waits for `path` to exist and be complete (the writers rename into place).
QByteArray waitForFile(const QString &path, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            return file.readAll();
        QTest::qWait(20);
    }
    return QByteArray("<no file>");
}

// Waits for `path` to hold at least `lines` lines, for writers that append in place (the Windows
// recorder, a redirection of the shell).
QByteArray waitForLines(const QString &path, int lines)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray content = waitForFile(path);
    while (content.count('\n') < lines && timer.elapsed() < 10000) {
        QTest::qWait(20);
        content = waitForFile(path);
    }
    return content;
}

// On Windows the recorder gets "/c" and the command as two lines; the Linux one records the
// arguments NUL-separated.
QByteArray recordOf(const QByteArray &command)
{
#ifdef Q_OS_WIN
    return "/c\n" + command + '\n';
#else
    return QByteArray("/c", 3) + command + '\0';
#endif
}

}  // namespace

class TestCommandRunner : public QObject {
    Q_OBJECT

private:
    ScratchDir scratch_;
    QString work_;
    QString record_;
    QString interpreter_;
    // The interpreter the system names (cmd.exe on Windows), put back after each test.
    QByteArray systemComspec_;

    void setComspec(const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv("COMSPEC");
        else
            qputenv("COMSPEC", value);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
        systemComspec_ = qgetenv("COMSPEC");
#ifdef Q_OS_UNIX
        // Records its arguments NUL-separated, then renames the record into place, so a reader
        // never sees half of it. "/c sleep" makes it take its time first.
        interpreter_ = scratch_.filePath(QStringLiteral("fake-comspec.sh"));
        QVERIFY(writeScript(interpreter_, "[ \"$2\" = sleep ] && sleep 3\n"
                                          "printf '%s\\0' \"$@\" > \"$RECORD.tmp\" && mv \"$RECORD.tmp\" \"$RECORD\"\n"));
#endif
    }

    void init()
    {
        QVERIFY(scratch_.enterFreshWorkDir());
        work_ = scratch_.workDir();
        record_ = work_ + QStringLiteral("/record");
#ifdef Q_OS_WIN
        QVERIFY(QDir().mkpath(work_ + QStringLiteral("-interpreter")));
        interpreter_ = writeRecordingInterpreter(work_ + QStringLiteral("-interpreter"), record_);
        QVERIFY(!interpreter_.isEmpty());
#endif
        qputenv("RECORD", record_.toLocal8Bit());
        qputenv("COMSPEC", interpreter_.toLocal8Bit());
    }

    void cleanup()
    {
        scratch_.leaveWorkDir();
        setComspec(systemComspec_);
    }

    // The interpreter must receive exactly "/c" and the command.
    void interpreterGetsSlashCAndTheCommand_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<bool>("started");
        QTest::newRow("extraction command") << QByteArray("unzip.exe nembral/nembral.zip nembral") << true;
        QTest::newRow("start command") << QByteArray("cd ./nembral/nembral/ && Nembrals.exe") << true;
        QTest::newRow("text passed unchanged") << QByteArray("echo \"a  b\" 'c' $HOME %PATH% ; | & > < \\ *") << true;
        QTest::newRow("outer blanks kept") << QByteArray("  spaced  ") << true;
        QTest::newRow("306 characters fit") << QByteArray(kLongestCommand, 'x') << true;
        QTest::newRow("307 characters are not started") << QByteArray(kLongestCommand + 1, 'x') << false;
    }

    void interpreterGetsSlashCAndTheCommand()
    {
        QFETCH(QByteArray, command);
        QFETCH(bool, started);

        LogCapture capture;
        runCommand(command.constData());
        const LogCapture::Lines log = capture.take();

        if (started) {
            QCOMPARE(log.out, QStringList());
            QCOMPARE(waitForLines(record_, recordOf(command).count('\n')), recordOf(command));
        } else {
            QCOMPARE(log.out, QStringList{QStringLiteral("Command not started: %1 characters, more than %2")
                                              .arg(command.size())
                                              .arg(kLongestCommand)});
            QTest::qWait(1000);
            QVERIFY(!QFile::exists(record_));
        }
        QCOMPARE(log.err, QStringList());
    }

    // The runner neither waits for the command nor leaves a child of ours behind.
    void returnsAtOnceAndLeavesNoChild()
    {
        QElapsedTimer timer;
        timer.start();
        runCommand("sleep");
        const qint64 returnedAfter = timer.elapsed();
        QVERIFY2(returnedAfter < 1000, qPrintable(QString::number(returnedAfter)));
#ifdef Q_OS_UNIX
        int status = 0;
        QCOMPARE(::waitpid(-1, &status, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
#endif
        QVERIFY(!QFile::exists(record_));
        QCOMPARE(waitForLines(record_, recordOf("sleep").count('\n')), recordOf("sleep"));
        QVERIFY(timer.elapsed() >= 3000);
    }

    // The two commands the launcher runs find their programs in the working directory before
    // PATH, and "cd" takes the second one where it is.
    void findsProgramsInTheWorkingDirectoryFirst_data()
    {
        QTest::addColumn<QByteArray>("comspec");
#ifdef Q_OS_WIN
        QTest::newRow("the system's interpreter") << QByteArray();
#else
        QTest::newRow("COMSPEC unset") << QByteArray();
        QTest::newRow("COMSPEC empty") << QByteArray("");
#endif
    }

    void findsProgramsInTheWorkingDirectoryFirst()
    {
        QFETCH(QByteArray, comspec);
        setComspec(comspec.isNull() ? systemComspec_ : comspec);
        // A program of the same name earlier on PATH must lose against the working directory's.
        const QString decoyDir = work_ + QStringLiteral("-decoy");
        const QString unzipOut = work_ + QStringLiteral("/unzip.out");
        const QString startedOut = work_ + QStringLiteral("/nembral/nembral/started.out");
#ifdef Q_OS_WIN
        // The copy in nembral/nembral is found only from there: it is on no PATH.
        QVERIFY(placeRecorder(decoyDir + QStringLiteral("/unzip.exe"), work_ + QStringLiteral("/decoy.out")));
        QVERIFY(placeRecorder(work_ + QStringLiteral("/unzip.exe"), unzipOut));
        QVERIFY(placeRecorder(work_ + QStringLiteral("/nembral/nembral/Nembrals.exe"), startedOut));
        const QByteArray unzipRecord("unzip.exe\nnembral/nembral.zip nembral\n");
        const QByteArray startedRecord("Nembrals.exe\n");
#else
        QVERIFY(writeScript(decoyDir + QStringLiteral("/unzip.exe"), "echo decoy > unzip.out\n"));
        QVERIFY(writeScript(work_ + QStringLiteral("/unzip.exe"), "echo \"$*\" > unzip.tmp && mv unzip.tmp unzip.out\n"));
        QVERIFY(writeScript(work_ + QStringLiteral("/nembral/nembral/Nembrals.exe"), "pwd > started.tmp && mv started.tmp started.out\n"));
        const QByteArray unzipRecord("nembral/nembral.zip nembral\n");
        const QByteArray startedRecord = QDir(work_).filePath(QStringLiteral("nembral/nembral")).toLocal8Bit() + '\n';
#endif
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QDir::toNativeSeparators(decoyDir).toLocal8Bit() + QDir::listSeparator().toLatin1() + path);

        runCommand("unzip.exe nembral/nembral.zip nembral");
        runCommand("cd ./nembral/nembral/ && Nembrals.exe");
        qputenv("PATH", path);

        QCOMPARE(waitForLines(unzipOut, unzipRecord.count('\n')), unzipRecord);
        QCOMPARE(waitForLines(startedOut, startedRecord.count('\n')), startedRecord);
        QVERIFY(!QFile::exists(work_ + QStringLiteral("/decoy.out")));
    }

#ifdef Q_OS_WIN
    // Commands through the system's cmd.exe: relative to the working directory, with the
    // launcher's environment, the longest command the runner takes included.
    void systemInterpreterRunsTheCommand_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("writes a file") << QByteArray("echo hello> out.txt") << QStringLiteral("out.txt")
                                       << QByteArray("hello");
        QTest::newRow("sees the environment") << QByteArray("echo %NEMBRAL_RUNNER_PROBE%> env.txt")
                                              << QStringLiteral("env.txt") << QByteArray("passed on");
        const QByteArray text(kLongestCommand - 18, 'a');
        QTest::newRow("the longest command") << QByteArray("echo " + text + "> longest.txt")
                                             << QStringLiteral("longest.txt") << text;
    }

    void systemInterpreterRunsTheCommand()
    {
        QFETCH(QByteArray, command);
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        setComspec(systemComspec_);
        qputenv("NEMBRAL_RUNNER_PROBE", "passed on");
        LogCapture capture;
        runCommand(command.constData());
        const LogCapture::Lines log = capture.take();
        qunsetenv("NEMBRAL_RUNNER_PROBE");
        QCOMPARE(log.out, QStringList());
        QCOMPARE(waitForLines(work_ + QLatin1Char('/') + file, 1).trimmed(), content);
    }

    // Without an interpreter nothing starts and nothing is said: the launcher carries on as if
    // the command had been started.
    void withoutInterpreterNothingStarts_data()
    {
        QTest::addColumn<QByteArray>("comspec");
        QTest::newRow("COMSPEC unset") << QByteArray();
        QTest::newRow("COMSPEC empty") << QByteArray("");
        QTest::newRow("COMSPEC missing") << QByteArray("C:\\nowhere\\cmd.exe");
    }

    void withoutInterpreterNothingStarts()
    {
        QFETCH(QByteArray, comspec);
        setComspec(comspec);
        LogCapture capture;
        runCommand("echo x> nothing.txt");
        const LogCapture::Lines log = capture.take();
        // A started command would have written its file by the time this one, started
        // afterwards, has written its own.
        setComspec(systemComspec_);
        runCommand("echo x> later.txt");
        QCOMPARE(waitForLines(work_ + QStringLiteral("/later.txt"), 1).trimmed(), QByteArray("x"));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(work_ + QStringLiteral("/nothing.txt")));
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
    }
#endif

#ifdef Q_OS_UNIX
    // The launcher ignores SIGPIPE (a lost console must not end it) and its log blocks it
    // while writing; an ignored or blocked signal survives exec, so the commands it starts
    // must get the default back: the application and the extraction tool behave as if
    // started from a shell.
    void commandStartsWithTheDefaultPipeSignal_data()
    {
        QTest::addColumn<bool>("ignored");
        QTest::addColumn<bool>("blocked");
        QTest::newRow("ignored by the launcher") << true << false;
        QTest::newRow("blocked in the calling thread") << false << true;
        QTest::newRow("both") << true << true;
    }

    void commandStartsWithTheDefaultPipeSignal()
    {
        QFETCH(bool, ignored);
        QFETCH(bool, blocked);
        qunsetenv("COMSPEC");
        struct sigaction previous {};
        sigaction(SIGPIPE, nullptr, &previous);
        if (ignored)
            ignoreBrokenPipes();
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t mask;
        pthread_sigmask(blocked ? SIG_BLOCK : SIG_SETMASK, blocked ? &pipe : nullptr, &mask);

        // The probe replaces the shell (which blocks signals of its own around the children it
        // forks), so it reads exactly the mask and dispositions the command was started with.
        runCommand("exec grep -E '^Sig(Ign|Blk):' /proc/self/status > signals.out");
        const QByteArray status = waitForLines(work_ + QStringLiteral("/signals.out"), 2);
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        sigaction(SIGPIPE, &previous, nullptr);

        const QList<QByteArray> lines = status.trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        for (const QByteArray &line : lines) {
            const qulonglong bits = line.split('\t').last().toULongLong(nullptr, 16);
            QVERIFY2((bits & (1ULL << (SIGPIPE - 1))) == 0, line.constData());
        }
    }

    // Environment and working directory are inherited; descriptors beyond 0-2 are not; the
    // command runs in a session of its own, adopted away from us.
    void childInheritsEnvironmentButNoDescriptorsOrSession()
    {
        qunsetenv("COMSPEC");
        qputenv("NEMBRAL_RUNNER_PROBE", "passed on");
        const int planted = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
        QVERIFY(planted >= 0);
        QVERIFY(::dup2(planted, 57) == 57);

        runCommand("{ echo \"$NEMBRAL_RUNNER_PROBE\"; pwd; if [ -e /proc/$$/fd/57 ]; then echo fd57 open; else echo fd57 closed; fi;"
                   " cut -d' ' -f4,6 /proc/$$/stat; } > probe.tmp && mv probe.tmp probe.out");
        const QList<QByteArray> lines = waitForFile(work_ + QStringLiteral("/probe.out")).split('\n');
        ::close(57);
        ::close(planted);
        qunsetenv("NEMBRAL_RUNNER_PROBE");

        QCOMPARE(lines.value(0), QByteArray("passed on"));
        QCOMPARE(lines.value(1), work_.toLocal8Bit());
        QCOMPARE(lines.value(2), QByteArray("fd57 closed"));
        const QList<QByteArray> parentAndSession = lines.value(3).split(' ');
        QCOMPARE(parentAndSession.size(), 2);
        QVERIFY(parentAndSession[0].toInt() != ::getpid());
        QVERIFY(parentAndSession[1].toInt() != ::getsid(0));
    }
#endif
};

QTEST_GUILESS_MAIN(TestCommandRunner)
#include "tst_commandrunner.moc"
