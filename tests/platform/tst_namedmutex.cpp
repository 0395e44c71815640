// The named mutex: exists exactly while a process holds it, a killed one included; the probe
// neither creates anything nor disturbs a holder. Windows has the kernel's named objects; on
// Linux a lock file in a private per-user folder stands for one, which some rows look into.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

#include "platform/namedmutex.h"
#include "support/testfiles.h"

namespace {

const std::string kUnzipMutex = "Local\\mutex_unzip";

#ifdef Q_OS_UNIX
QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}
#endif

// The helper program holding a mutex until its standard input closes.
class Holder {
public:
    explicit Holder(const QString &name)
    {
        process_.start(QStringLiteral(NEMBRAL_HOLDMUTEX), {name});
        ok_ = process_.waitForReadyRead(5000) && process_.readLine().trimmed() == "held";
    }
    ~Holder()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    bool ok() const { return ok_; }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    bool ok_ = false;
};

}  // namespace

class TestNamedMutex : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch_;
    QString runtime_;

private Q_SLOTS:
    void init()
    {
#ifdef Q_OS_UNIX
        static int round = 0;
        runtime_ = scratch_.filePath(QStringLiteral("runtime%1").arg(++round));
        QVERIFY(makePrivateDir(runtime_));
        qputenv("XDG_RUNTIME_DIR", runtime_.toLocal8Bit());
#endif
    }

    void probingANameNobodyHoldsLeavesNoTrace()
    {
        QVERIFY(!namedMutexExists(kUnzipMutex));
        // Had the first probe made the mutex and kept a handle, this one would find it.
        QVERIFY(!namedMutexExists(kUnzipMutex));
#ifdef Q_OS_UNIX
        QCOMPARE(filesIn(runtime_), QStringList());
#endif
    }

    void existsWhileHeldInThisProcess()
    {
        {
            NamedMutexHolder holder(kUnzipMutex);
            QVERIFY(holder.held());
            QVERIFY(namedMutexExists(kUnzipMutex));
            // The session namespace is also where a name without prefix lives.
            QVERIFY(namedMutexExists("mutex_unzip"));
            QVERIFY(!namedMutexExists("Local\\mutex_other"));
            // Probing again does not release our own hold.
            QVERIFY(namedMutexExists(kUnzipMutex));
        }
        QVERIFY(!namedMutexExists(kUnzipMutex));
    }

#ifdef Q_OS_UNIX
    // The lock files (Windows keeps its names in the kernel) lie in a folder of this user's that
    // nobody else may enter: below XDG_RUNTIME_DIR when that is private, else below TMPDIR. No
    // name leads out of it.
    void lockFilesStayInAPrivateFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("sharedRuntime");  // XDG_RUNTIME_DIR open to everyone
        QTest::newRow("private runtime folder") << QStringLiteral("Local\\mutex_unzip") << false;
        QTest::newRow("a name that climbs out") << QStringLiteral("Local\\../../escape/..") << false;
        QTest::newRow("shared runtime folder") << QStringLiteral("Local\\mutex_unzip") << true;
    }

    void lockFilesStayInAPrivateFolder()
    {
        QFETCH(QString, name);
        QFETCH(bool, sharedRuntime);
        if (sharedRuntime)
            QVERIFY(::chmod(runtime_.toLocal8Bit().constData(), 0777) == 0);
        const QString tmp = runtime_ + QStringLiteral("-tmp");
        QVERIFY(QDir().mkpath(tmp));
        qputenv("TMPDIR", tmp.toLocal8Bit());
        {
            NamedMutexHolder holder(name.toStdString());
            QVERIFY(holder.held());
            QVERIFY(namedMutexExists(name.toStdString()));
            const QString user = QStringLiteral("nembral-%1").arg(::getuid());
            QCOMPARE(filesIn(runtime_), sharedRuntime ? QStringList() : QStringList{QStringLiteral("nembral-mutex")});
            QCOMPARE(filesIn(tmp), sharedRuntime ? QStringList{user} : QStringList());
            const QString dir = (sharedRuntime ? tmp + QLatin1Char('/') + user : runtime_) + QStringLiteral("/nembral-mutex");
            struct stat st {};
            QVERIFY(::stat(dir.toLocal8Bit().constData(), &st) == 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0700));
            QCOMPARE(st.st_uid, ::getuid());
            QCOMPARE(filesIn(dir).size(), 1);
        }
        qunsetenv("TMPDIR");
    }

    // A holder killed with -9 leaves its lock file behind. Probes that run at the same time
    // over such a file (the launcher's tracker and the extraction tool's own check) must not
    // take each other for a holder.
    void concurrentProbesOfALeftoverFileSeeNoHolder()
    {
        {
            Holder holder(QString::fromStdString(kUnzipMutex));
            QVERIFY(holder.ok());
            holder.process().kill();
            QVERIFY(holder.process().waitForFinished(5000));
        }
        QCOMPARE(filesIn(runtime_ + QStringLiteral("/nembral-mutex")).size(), 1);

        std::atomic<int> falseSightings{0};
        auto probe = [&] {
            for (int i = 0; i < 3000; ++i)
                if (namedMutexExists(kUnzipMutex))
                    ++falseSightings;
        };
        std::thread a(probe);
        std::thread b(probe);
        a.join();
        b.join();
        QCOMPARE(falseSightings.load(), 0);
    }
#endif

    void twoHoldersKeepItUntilBothAreGone()
    {
        Holder other(QString::fromStdString(kUnzipMutex));
        QVERIFY(other.ok());
        {
            NamedMutexHolder mine(kUnzipMutex);
            QVERIFY(mine.held());
        }
        QVERIFY(namedMutexExists(kUnzipMutex));
        other.process().closeWriteChannel();
        QVERIFY(other.process().waitForFinished(5000));
        QCOMPARE(other.process().exitCode(), 0);
        QVERIFY(!namedMutexExists(kUnzipMutex));
    }

    void goneWhenTheHolderIsKilled()
    {
        Holder holder(QString::fromStdString(kUnzipMutex));
        QVERIFY(holder.ok());
        for (int i = 0; i < 50; ++i)
            QVERIFY(namedMutexExists(kUnzipMutex));
        // The probes did not disturb it: still held and still running.
        QCOMPARE(holder.process().state(), QProcess::Running);

        holder.process().kill();  // SIGKILL or TerminateProcess: no destructor, no clean-up
        QVERIFY(holder.process().waitForFinished(5000));
        QCOMPARE(holder.process().exitStatus(), QProcess::CrashExit);
        QVERIFY(!namedMutexExists(kUnzipMutex));

        // A new holder after the dead one works as before.
        NamedMutexHolder again(kUnzipMutex);
        QVERIFY(again.held());
        QVERIFY(namedMutexExists(kUnzipMutex));
    }

    // A holder starting while probes run is never refused.
    void probesNeverMakeAHolderFail()
    {
        std::atomic<bool> stop{false};
        std::thread prober([&] {
            while (!stop.load())
                namedMutexExists(kUnzipMutex);
        });
        int held = 0;
        for (int i = 0; i < 300; ++i) {
            NamedMutexHolder holder(kUnzipMutex);
            held += holder.held() ? 1 : 0;
        }
        stop.store(true);
        prober.join();
        QCOMPARE(held, 300);
    }
};

QTEST_GUILESS_MAIN(TestNamedMutex)
#include "tst_namedmutex.moc"
