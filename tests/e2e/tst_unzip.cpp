// The extraction tool as the launcher uses it: a separate process run as
// "unzip.exe ARCHIVE DESTDIR", observed from outside through its exit status, standard error,
// the files it leaves and the named mutex it holds.
#include "platform/namedmutex.h"
#include "tests/e2e/testzip.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const std::string kMutex = "Local\\mutex_unzip";

struct ToolRun {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray stdErr;
    QByteArray stdOut;
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen{quint32(size)}; // fixed seed per size: reproducible contents
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Leftover staging directories of the tool in `dest`.
QStringList stagingDirs(const QString &dest)
{
    return QDir(dest).entryList({QStringLiteral(".unzip-*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

int stagedFileCount(const QString &dest)
{
    int n = 0;
    for (const QString &dir : stagingDirs(dest)) {
        QDirIterator it(dest + QLatin1Char('/') + dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
    }
    return n;
}

// A package like the launcher installs: version file, executable, a nested file bigger than
// one read block, `extra` small files, and a link inside the tree.
QList<TestZipEntry> package(const QByteArray &version, int extra = 0)
{
    QList<TestZipEntry> entries{
        zipDirectory("nembral/"),
        zipFile("nembral/version.txt", version + "\n"),
        zipFile("nembral/Nembrals.exe", "#!/bin/sh\necho " + version + "\n", 0755),
        zipDirectory("nembral/data/"),
        zipFile("nembral/data/big.bin", randomBytes(3 * 1024 * 1024 + 17)),
        zipSymlink("nembral/data/current.bin", "big.bin"),
    };
    for (int i = 0; i < extra; ++i)
        entries.append(zipFile("nembral/data/f" + QByteArray::number(i) + ".txt", QByteArray::number(i)));
    return entries;
}

} // namespace

Q_DECLARE_METATYPE(TestZipEntry)

class TestUnzip : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void extractsPackage();
    void replacesExistingTree();
    void repeatedNameReplacesLink();
    void refusesUnsafeEntries_data();
    void refusesUnsafeEntries();
    void failsOnBadArchive_data();
    void failsOnBadArchive();
    void rejectsWrongUsage();
    void holdsMutexWhileWriting();
    void killedExtractionLeavesNoMarker();
    void terminatedExtractionCleansUp();

private:
    ToolRun runTool(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    void startSlowTool(QProcess &process, const QString &archive, const QString &dest, int delayMs);
    QString makeZip(const QString &name, const QList<TestZipEntry> &entries);
    void putOldTree();
    void verifyOldTreeIntact();

    QTemporaryDir runtimeDir_;
    std::unique_ptr<QTemporaryDir> tmp_;
    QString dest_;
};

// Named mutexes live in the per-user runtime directory. A private one for this test and the
// tools it starts keeps other programs that use "Local\mutex_unzip" at the same time (other
// test suites, a running launcher) out of these observations.
void TestUnzip::initTestCase()
{
    QVERIFY(runtimeDir_.isValid());
    QVERIFY(QFile::setPermissions(runtimeDir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

void TestUnzip::init()
{
    QVERIFY2(!namedMutexExists(kMutex), "another extraction holds the mutex; the tests cannot run");
    tmp_ = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp_->isValid());
    dest_ = tmp_->filePath(QStringLiteral("nembral"));
    QVERIFY(QDir().mkpath(dest_));
}

ToolRun TestUnzip::runTool(const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(NEMBRAL_UNZIP_EXE), args);
    ToolRun r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.stdErr = p.readAllStandardError();
    r.stdOut = p.readAllStandardOutput();
    return r;
}

void TestUnzip::startSlowTool(QProcess &process, const QString &archive, const QString &dest, int delayMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NEMBRAL_UNZIP_ENTRY_DELAY_MS"), QString::number(delayMs));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(NEMBRAL_UNZIP_EXE), {archive, dest});
    QVERIFY(process.waitForStarted());
}

QString TestUnzip::makeZip(const QString &name, const QList<TestZipEntry> &entries)
{
    const QString path = tmp_->filePath(name);
    const QString error = writeTestZip(path, entries);
    return error.isEmpty() ? path : QString();
}

// An installation of an older version, which a failed extraction must leave alone.
void TestUnzip::putOldTree()
{
    const QString zip = makeZip(QStringLiteral("old.zip"), package("0.9") << zipFile("nembral/only-in-0.9.txt", "old"));
    QVERIFY(!zip.isEmpty());
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("0.9\n"));
}

void TestUnzip::verifyOldTreeIntact()
{
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("0.9\n"));
    QVERIFY(QFile::exists(dest_ + QStringLiteral("/nembral/only-in-0.9.txt")));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

void TestUnzip::extractsPackage()
{
    // A UTF-8 name must come out as the same bytes whatever locale the tool is started in.
    const QString zip = makeZip(QStringLiteral("p.zip"), package("1.0", 5) << zipFile("nembral/setuid", "x", 04755)
                                                                           << zipFile("nembral/Donn\xc3\xa9" "es.txt", "utf8"));
    QVERIFY(!zip.isEmpty());
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.stdErr, QByteArray());
    QCOMPARE(r.stdOut, QByteArray());

    const QString root = dest_ + QStringLiteral("/nembral");
    QCOMPARE(readAll(root + QStringLiteral("/version.txt")), QByteArray("1.0\n"));
    QCOMPARE(readAll(root + QStringLiteral("/data/big.bin")), randomBytes(3 * 1024 * 1024 + 17));
    QCOMPARE(readAll(root + QStringLiteral("/data/f4.txt")), QByteArray("4"));
    QCOMPARE(readAll(root + QString::fromUtf8("/Donn\xc3\xa9" "es.txt")), QByteArray("utf8"));
    const QFileInfo exe(root + QStringLiteral("/Nembrals.exe"));
    QVERIFY(exe.isExecutable());
    QVERIFY(!QFileInfo(root + QStringLiteral("/version.txt")).isExecutable());
    const QFileInfo link(root + QStringLiteral("/data/current.bin"));
    QVERIFY(link.isSymLink());
    QCOMPARE(link.symLinkTarget(), QFileInfo(root + QStringLiteral("/data/big.bin")).absoluteFilePath());
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(root + QStringLiteral("/setuid")).constData(), &st), 0);
    QVERIFY((st.st_mode & S_IXUSR) != 0);
    QVERIFY((st.st_mode & (S_ISUID | S_ISGID)) == 0);

    QCOMPARE(stagingDirs(dest_), QStringList());
    QCOMPARE(QDir(dest_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{QStringLiteral("nembral")});
    QVERIFY(!namedMutexExists(kMutex));
}

void TestUnzip::replacesExistingTree()
{
    putOldTree();
    QFile sibling(dest_ + QStringLiteral("/nembral.zip"));
    QVERIFY(sibling.open(QIODevice::WriteOnly));
    sibling.write("the archive beside the tree");
    sibling.close();

    const QString zip = makeZip(QStringLiteral("new.zip"), package("1.1"));
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("1.1\n"));
    QVERIFY(!QFile::exists(dest_ + QStringLiteral("/nembral/only-in-0.9.txt")));
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral.zip")), QByteArray("the archive beside the tree"));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

// A name stored twice, first as a link and then as a file, gives the file; the link's target
// keeps its contents.
void TestUnzip::repeatedNameReplacesLink()
{
    const QString zip = makeZip(QStringLiteral("twice.zip"),
                                {zipFile("nembral/target.txt", "original"), zipSymlink("nembral/name", "target.txt"),
                                 zipFile("nembral/name", "replacement"), zipFile("nembral/version.txt", "1\n"),
                                 zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755)});
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/target.txt")), QByteArray("original"));
    QVERIFY(!QFileInfo(dest_ + QStringLiteral("/nembral/name")).isSymLink());
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/name")), QByteArray("replacement"));
}

void TestUnzip::refusesUnsafeEntries_data()
{
    QTest::addColumn<QList<TestZipEntry>>("evil");
    QTest::addColumn<QString>("mustNotExist"); // relative to the temporary directory

    // dest_ is <tmp>/nembral; an escape would land in <tmp>/escaped.
    QTest::newRow("dotdot") << QList<TestZipEntry>{zipFile("../escaped", "x")} << QStringLiteral("escaped");
    QTest::newRow("inner dotdot") << QList<TestZipEntry>{zipFile("nembral/../../escaped", "x")} << QStringLiteral("escaped");
    QTest::newRow("backslash dotdot") << QList<TestZipEntry>{zipFile("..\\escaped", "x")} << QStringLiteral("escaped");
    // The absolute name is filled in by the test with a path inside the temporary directory.
    QTest::newRow("absolute") << QList<TestZipEntry>{zipFile("@ABS@/escaped", "x")} << QStringLiteral("escaped");
    QTest::newRow("link out, then through it")
        << QList<TestZipEntry>{zipSymlink("nembral/out", "@ABS@"), zipFile("nembral/out/escaped", "x")}
        << QStringLiteral("escaped");
    QTest::newRow("relative link out, then through it")
        << QList<TestZipEntry>{zipSymlink("nembral/up", "../.."), zipFile("nembral/up/escaped", "x")}
        << QStringLiteral("nembral/escaped");
    QTest::newRow("link inside, then through it")
        << QList<TestZipEntry>{zipDirectory("nembral/real/"), zipSymlink("nembral/alias", "real"),
                               zipFile("nembral/alias/sneaky", "x")}
        << QStringLiteral("nembral/nembral/real/sneaky");
}

void TestUnzip::refusesUnsafeEntries()
{
    QFETCH(QList<TestZipEntry>, evil);
    QFETCH(QString, mustNotExist);
    putOldTree();

    // The version file comes first so that a partial extraction would already hold a marker.
    QList<TestZipEntry> entries = package("2.0");
    for (TestZipEntry e : evil) {
        e.name.replace("@ABS@", QFile::encodeName(tmp_->path()));
        e.data.replace("@ABS@", QFile::encodeName(tmp_->path()));
        entries.append(e);
    }
    entries.append(zipFile("nembral/after.txt", "after"));
    const QString zip = makeZip(QStringLiteral("evil.zip"), entries);
    QVERIFY(!zip.isEmpty());

    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: refusing unsafe entry '"), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(QFile::encodeName(zip)), r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    QVERIFY(!QFileInfo::exists(tmp_->filePath(mustNotExist)));
    verifyOldTreeIntact();
    QVERIFY(!QFile::exists(dest_ + QStringLiteral("/nembral/after.txt")));
    QVERIFY(!namedMutexExists(kMutex));
}

void TestUnzip::failsOnBadArchive_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("missing") << QStringLiteral("missing") << QByteArray("cannot open archive");
    QTest::newRow("directory") << QStringLiteral("directory") << QByteArray("not a regular file");
    QTest::newRow("empty file") << QStringLiteral("empty") << QByteArray("is damaged or not a zip archive");
    QTest::newRow("not a zip") << QStringLiteral("text") << QByteArray("is damaged or not a zip archive");
    QTest::newRow("truncated") << QStringLiteral("truncated") << QByteArray("is damaged or not a zip archive");
    QTest::newRow("corrupted data") << QStringLiteral("corrupted") << QByteArray("is damaged or not a zip archive");
    QTest::newRow("no entries") << QStringLiteral("noentries") << QByteArray("holds no entries");
}

void TestUnzip::failsOnBadArchive()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, message);
    putOldTree();

    const QString good = makeZip(QStringLiteral("good.zip"), package("3.0"));
    QVERIFY(!good.isEmpty());
    QByteArray bytes = readAll(good);
    const QString path = tmp_->filePath(QStringLiteral("bad.zip"));
    if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path));
    } else if (kind != QLatin1String("missing")) {
        if (kind == QLatin1String("empty"))
            bytes.clear();
        else if (kind == QLatin1String("text"))
            bytes = "1.0\nnot an archive\n";
        else if (kind == QLatin1String("truncated"))
            bytes.truncate(bytes.size() / 2); // as if the download had stopped halfway
        else if (kind == QLatin1String("corrupted"))
            bytes.replace(bytes.size() / 2, 16, QByteArray(16, 'X')); // inside big.bin's data
        else if (kind == QLatin1String("noentries"))
            QVERIFY(writeTestZip(path, {}).isEmpty());
        if (kind != QLatin1String("noentries")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
    }

    const ToolRun r = runTool({path, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: "), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(message), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(QFile::encodeName(path)), r.stdErr.constData());
    verifyOldTreeIntact();
    QVERIFY(!namedMutexExists(kMutex));
}

void TestUnzip::rejectsWrongUsage()
{
    for (const QStringList &args : {QStringList{}, QStringList{QStringLiteral("a.zip")},
                                    QStringList{QStringLiteral("a.zip"), QStringLiteral("d"), QStringLiteral("x")},
                                    QStringList{QStringLiteral("a.zip"), QString()}}) {
        const ToolRun r = runTool(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.stdErr.startsWith("usage: unzip.exe ARCHIVE DESTDIR"), r.stdErr.constData());
    }
}

// Watches a slowed-down extraction from outside. Whenever the staging directory holds files
// both before and after a probe, the tool was between its first and last write during that
// probe, so the mutex must exist. Whenever the marker is visible, the whole tree must be.
void TestUnzip::holdsMutexWhileWriting()
{
    const int extra = 20;
    const QString zip = makeZip(QStringLiteral("slow.zip"), package("4.0", extra));
    QVERIFY(!zip.isEmpty());
    QProcess tool;
    startSlowTool(tool, zip, dest_, 60);

    const QString root = dest_ + QStringLiteral("/nembral");
    int probesWhileWriting = 0;
    int markerSightings = 0;
    QElapsedTimer clock;
    clock.start();
    while (tool.state() != QProcess::NotRunning && clock.elapsed() < 30000) {
        const bool stagedBefore = stagedFileCount(dest_) > 0;
        const bool mutex = namedMutexExists(kMutex);
        const bool stagedAfter = stagedFileCount(dest_) > 0;
        if (stagedBefore && stagedAfter) {
            QVERIFY2(mutex, "files were being written while the mutex did not exist");
            ++probesWhileWriting;
        }
        if (QFile::exists(root + QStringLiteral("/version.txt"))) {
            ++markerSightings;
            QVERIFY(QFile::exists(root + QStringLiteral("/Nembrals.exe")));
            QVERIFY(QFile::exists(root + QStringLiteral("/data/f") + QString::number(extra - 1) + QStringLiteral(".txt")));
            QCOMPARE(QFileInfo(root + QStringLiteral("/data/big.bin")).size(), qint64(3 * 1024 * 1024 + 17));
        }
        tool.waitForFinished(5);
    }
    QCOMPARE(tool.state(), QProcess::NotRunning);
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY2(probesWhileWriting > 5, "the extraction was not observed in progress");
    QVERIFY(!namedMutexExists(kMutex));
    QCOMPARE(readAll(root + QStringLiteral("/version.txt")), QByteArray("4.0\n"));
    Q_UNUSED(markerSightings); // seeing the marker before exit is a matter of timing
}

void TestUnzip::killedExtractionLeavesNoMarker()
{
    const QString zip = makeZip(QStringLiteral("slow.zip"), package("5.0", 30));
    QProcess tool;
    startSlowTool(tool, zip, dest_, 50);
    QTRY_VERIFY_WITH_TIMEOUT(stagedFileCount(dest_) >= 4, 20000);
    QVERIFY(namedMutexExists(kMutex));
    tool.kill(); // SIGKILL: no chance to clean up
    QVERIFY(tool.waitForFinished());
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);

    QVERIFY(!QFileInfo::exists(dest_ + QStringLiteral("/nembral")));
    QCOMPARE(stagingDirs(dest_).size(), 1); // left behind, but under a name nobody looks at
    QTRY_VERIFY_WITH_TIMEOUT(!namedMutexExists(kMutex), 2000);

    // The next extraction removes the leftovers and installs normally.
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("5.0\n"));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

void TestUnzip::terminatedExtractionCleansUp()
{
    putOldTree();
    const QString zip = makeZip(QStringLiteral("slow.zip"), package("6.0", 30));
    QProcess tool;
    startSlowTool(tool, zip, dest_, 50);
    QTRY_VERIFY_WITH_TIMEOUT(stagedFileCount(dest_) >= 4, 20000);
    tool.terminate(); // SIGTERM
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 1);
    QVERIFY2(tool.readAllStandardError().contains("interrupted"), "no reason given");
    verifyOldTreeIntact();
    QVERIFY(!namedMutexExists(kMutex));
}

QTEST_GUILESS_MAIN(TestUnzip)
#include "tst_unzip.moc"
