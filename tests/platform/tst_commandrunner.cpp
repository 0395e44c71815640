// runCommand: the interpreter's exact arguments, no waiting, the shell fallback with lookup in
// the working directory, and what the started process inherits.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "cases/runner_cases.h"
#include "platform/brokenpipe.h"
#include "platform/commandrunner.h"
#include "support/casetable.h"
#include "support/logcapture.h"
#include "support/testfiles.h"

using namespace nembral_cases;

namespace {

bool writeScript(const QString &path, const QByteArray &body)
{
    return writeExecutable(path, "#!/bin/sh\n" + body);
}

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

}  // namespace

class TestCommandRunner : public QObject {
    Q_OBJECT

private:
    ScratchDir scratch_;
    QString work_;
    QString record_;
    QString interpreter_;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
        // Records its arguments NUL-separated, then renames the record into place, so a reader
        // never sees half of it. "/c sleep" makes it take its time first.
        interpreter_ = scratch_.filePath(QStringLiteral("fake-comspec.sh"));
        QVERIFY(writeScript(interpreter_, "[ \"$2\" = sleep ] && sleep 3\n"
                                          "printf '%s\\0' \"$@\" > \"$RECORD.tmp\" && mv \"$RECORD.tmp\" \"$RECORD\"\n"));
    }

    void init()
    {
        QVERIFY(scratch_.enterFreshWorkDir());
        work_ = scratch_.workDir();
        record_ = work_ + QStringLiteral("/record");
        qputenv("RECORD", record_.toLocal8Bit());
        qputenv("COMSPEC", interpreter_.toLocal8Bit());
    }

    void cleanup()
    {
        scratch_.leaveWorkDir();
        qunsetenv("COMSPEC");
    }

    void interpreterGetsSlashCAndTheCommand_data() { addCaseRows(kRunnerCases); }

    void interpreterGetsSlashCAndTheCommand()
    {
        QFETCH(int, index);
        const RunnerCase &c = kRunnerCases[index];
        const std::string command = c.length > 0 ? std::string(c.length, 'x') : std::string(c.command);

        LogCapture capture;
        runCommand(command.c_str());
        const LogCapture::Lines log = capture.take();

        if (c.started) {
            QCOMPARE(log.out, QStringList());
            QCOMPARE(waitForFile(record_), QByteArray("/c", 3) + QByteArray::fromStdString(command) + '\0');
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
        int status = 0;
        QCOMPARE(::waitpid(-1, &status, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
        QVERIFY(!QFile::exists(record_));
        QCOMPARE(waitForFile(record_), QByteArray("/c\0sleep\0", 9));
        QVERIFY(timer.elapsed() >= 3000);
    }

    void shellFindsProgramsInTheWorkingDirectoryFirst_data()
    {
        QTest::addColumn<QByteArray>("comspec");
        QTest::newRow("COMSPEC unset") << QByteArray();
        QTest::newRow("COMSPEC empty") << QByteArray("");
    }

    void shellFindsProgramsInTheWorkingDirectoryFirst()
    {
        QFETCH(QByteArray, comspec);
        if (comspec.isNull())
            qunsetenv("COMSPEC");
        else
            qputenv("COMSPEC", comspec);
        // A program of the same name earlier on PATH must lose against the working directory's.
        const QString decoyDir = work_ + QStringLiteral("-decoy");
        QVERIFY(writeScript(decoyDir + QStringLiteral("/unzip.exe"), "echo decoy > unzip.out\n"));
        QVERIFY(writeScript(work_ + QStringLiteral("/unzip.exe"), "echo \"$*\" > unzip.tmp && mv unzip.tmp unzip.out\n"));
        QVERIFY(writeScript(work_ + QStringLiteral("/nembral/nembral/Nembrals.exe"), "pwd > started.tmp && mv started.tmp started.out\n"));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", decoyDir.toLocal8Bit() + ':' + path);

        runCommand("unzip.exe nembral/nembral.zip nembral");
        runCommand("cd ./nembral/nembral/ && Nembrals.exe");
        qputenv("PATH", path);

        QCOMPARE(waitForFile(work_ + QStringLiteral("/unzip.out")), QByteArray("nembral/nembral.zip nembral\n"));
        QCOMPARE(waitForFile(work_ + QStringLiteral("/nembral/nembral/started.out")),
                 QDir(work_).filePath(QStringLiteral("nembral/nembral")).toLocal8Bit() + '\n');
    }

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
        QByteArray status;
        QElapsedTimer waited;
        waited.start();
        while (status.count('\n') < 2 && waited.elapsed() < 10000) {
            QTest::qWait(20);
            status = waitForFile(work_ + QStringLiteral("/signals.out"));
        }
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
};

QTEST_GUILESS_MAIN(TestCommandRunner)
#include "tst_commandrunner.moc"
