// The extraction tool as the launcher uses it: a separate process run as
// "unzip.exe ARCHIVE DESTDIR", observed from outside through its exit status, standard error,
// the files it leaves and the named mutex it holds. The same tables run on Linux and, against
// the Windows tool, under wine; what each system shows in its own way is in toolsystem.h.
#include "platform/namedmutex.h"
#include "platform/packagenames.h"
#include "support/testfiles.h"
#include "support/testvendor.h"
#include "support/toolrun.h"
#include "tests/support/windowsnames.h"
#include "tests/tools/testzip.h"
#include "tests/support/underwine.h"
#include "tests/tools/toolsystem.h"
#include "unzip/extract.h"
#include "unzip/system.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QHash>
#include <QMap>
#include <QtTest>

namespace {

const std::string kMutex = kExtractMutex;

// Whether `path` exists under exactly that name: its folder lists it. Windows would also
// answer for "A.txt" or "a.txt." when "a.txt" exists.
bool existsExactly(const QString &path)
{
    const QFileInfo info(path);
    return info.dir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).contains(info.fileName());
}

// One line ending as the console's lines end (toolsystem.h), without control bytes: no C0 or
// DEL byte, no C1 control in UTF-8. What the tool prints must not be able to steer the console.
bool isOneCleanLine(QByteArray text)
{
    if (!text.endsWith(consoleLineEnd()))
        return false;
    text.chop(consoleLineEnd().size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f))
            return false;
    }
    return true;
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

QProcessEnvironment toolEnvironment(int workers, int delayMs = 0)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (workers > 0)
        env.insert(QStringLiteral("NEMBRAL_UNZIP_WORKERS"), QString::number(workers));
    if (delayMs > 0)
        env.insert(QStringLiteral("NEMBRAL_UNZIP_ENTRY_DELAY_MS"), QString::number(delayMs));
    return env;
}

// A package spread over nested directories: `files` files of assorted sizes (a few larger
// than a read block) and permissions, some links (where the tool can make them), a read-only
// directory, the marker first.
QList<TestZipEntry> nestedPackage(const QByteArray &version, int files)
{
    QList<TestZipEntry> entries{zipFile("nembral/version.txt", version + "\n"),
                                zipFile("nembral/Nembrals.exe", "#!/bin/sh\necho " + version + "\n", 0755)};
    static const int modes[] = {0644, 0755, 0600, 0640, 04755};
    for (int i = 0; i < files; ++i) {
        const QByteArray dir = "nembral/d" + QByteArray::number(i % 7) + "/s" + QByteArray::number(i % 5) + "/";
        const qsizetype size = i % 50 == 0 ? 300 * 1024 + i : i * 13 % 4000;
        entries.append(zipFile(dir + "f" + QByteArray::number(i), randomBytes(size), modes[i % 5]));
        if (i % 97 == 0 && symbolicLinksCanBeMade())
            entries.append(zipSymlink(dir + "l" + QByteArray::number(i), "f" + QByteArray::number(i)));
    }
    TestZipEntry readOnly = zipDirectory("nembral/ro/");
    readOnly.permissions = 0555;
    entries << readOnly << zipFile("nembral/ro/inside.txt", "in a read-only directory");
    return entries;
}

// A package like the launcher installs: version file, executable, a nested file bigger than
// one read block, `extra` small files, and a link inside the tree (where the tool can make one).
QList<TestZipEntry> package(const QByteArray &version, int extra = 0)
{
    QList<TestZipEntry> entries{
        zipDirectory("nembral/"),
        zipFile("nembral/version.txt", version + "\n"),
        zipFile("nembral/Nembrals.exe", "#!/bin/sh\necho " + version + "\n", 0755),
        zipDirectory("nembral/data/"),
        zipFile("nembral/data/big.bin", randomBytes(3 * 1024 * 1024 + 17)),
    };
    if (symbolicLinksCanBeMade())
        entries.append(zipSymlink("nembral/data/current.bin", "big.bin"));
    for (int i = 0; i < extra; ++i)
        entries.append(zipFile("nembral/data/f" + QByteArray::number(i) + ".txt", QByteArray::number(i)));
    return entries;
}

// A file system call of a recorded run: its name ("create" for an open that may create), the
// paths it names (strace -y shows each descriptor's path; a folder's joined with the name after
// it) and whether it succeeded.
struct Call {
    QString name;
    QStringList paths;
    bool ok = false;
};

// `program` run under strace -f -y; its file calls in the order they completed.
QList<Call> recordCalls(const QString &program, const QStringList &args, const QProcessEnvironment &env, QString &error)
{
    QTemporaryFile log;
    QProcess strace;
    strace.setProcessEnvironment(env);
    strace.start(QStringLiteral("strace"), QStringList{QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-qq"),
                                                       QStringLiteral("-o"), log.open() ? log.fileName() : QString(),
                                                       QStringLiteral("-e"),
                                                       QStringLiteral("trace=openat,mkdirat,symlinkat,write,pwrite64,"
                                                                      "fsync,fdatasync,syncfs,sync_file_range,renameat,renameat2"),
                                                       program}
                                               + args);
    if (!strace.waitForFinished(120000) || strace.exitStatus() != QProcess::NormalExit || strace.exitCode() != 0) {
        error = QString::fromLocal8Bit(strace.readAllStandardError()) + strace.errorString();
        return {};
    }
    // "TID name(args) = result", or a call another thread cut in two: "TID name(args <unfinished
    // ...>", later "TID <... name resumed>args) = result".
    static const QRegularExpression line(QStringLiteral("^(\\d+) +(?:<\\.\\.\\. )?(\\w+)(?: resumed>|\\()(.*?)"
                                                        "(?: <unfinished \\.\\.\\.>$|\\) += (-?\\d+))"));
    static const QRegularExpression named(QStringLiteral("<([^>]*)>(, \"([^\"]*)\")?"));
    QHash<QString, QString> begun;
    QList<Call> calls;
    for (const QByteArray &raw : log.readAll().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromUtf8(raw));
        if (!m.hasMatch())
            continue;
        const QString args = begun.take(m.captured(1)) + m.captured(3);
        if (m.captured(4).isEmpty()) {
            begun.insert(m.captured(1), args);
            continue;
        }
        Call call{m.captured(2), {}, !m.captured(4).startsWith(QLatin1Char('-'))};
        const bool inFolder = call.name.endsWith(QLatin1String("at")) || call.name == QLatin1String("renameat2");
        for (auto it = named.globalMatch(args); it.hasNext();) {
            const QRegularExpressionMatch n = it.next();
            call.paths << (inFolder && n.hasCaptured(3) ? n.captured(1) + QLatin1Char('/') + n.captured(3) : n.captured(1));
        }
        if (call.name == QLatin1String("openat") && args.contains(QLatin1String("O_CREAT")))
            call.name = QStringLiteral("create");
        calls << call;
    }
    return calls;
}

// How a recorded run that publishes into the folder `dest` (its canonical path) breaks the
// protocol of its kind. Whatever a rename into `dest` shows is complete before it: nothing is
// created or written under a published name in place, and the last rename shows `last` (the
// marker's folder, or the package). With `durable` (the installed tree, which must survive a
// power cut) it is also on the disk before the rename: each file flushed after its last write,
// each entry made below the renamed one by a flush of its folder afterwards (a flush is fsync
// or fdatasync of that path, or a syncfs; sync_file_range only starts the writing), and `dest`
// is flushed after the last rename. Without (the downloaded package, which the next run fetches
// again when it is lost), nothing that is published is flushed.
QStringList flushBreaches(const QList<Call> &calls, const QString &dest, const QString &last, bool durable)
{
    const auto isFlush = [](const Call &call, const QString &path) {
        return call.ok
               && (call.name == QLatin1String("syncfs")
                   || ((call.name == QLatin1String("fsync") || call.name == QLatin1String("fdatasync"))
                       && call.paths.value(0) == path));
    };
    const auto flushedBetween = [&](qsizetype from, qsizetype to, const QString &path) {
        for (qsizetype k = from + 1; k < to; ++k)
            if (isFlush(calls[k], path))
                return true;
        return false;
    };
    const auto below = [](const QString &path, const QString &top) {
        return path == top || path.startsWith(top + QLatin1Char('/'));
    };
    static const QStringList kCreations{QStringLiteral("create"), QStringLiteral("mkdirat"), QStringLiteral("symlinkat")};
    QStringList breaches;
    QStringList published;
    qsizetype lastRename = -1;
    for (qsizetype r = 0; r < calls.size(); ++r) {
        if (!calls[r].name.startsWith(QLatin1String("renameat")) || !calls[r].ok || calls[r].paths.size() != 2
            || QFileInfo(calls[r].paths[1]).path() != dest)
            continue;
        lastRename = r;
        published << calls[r].paths[1];
        const QString shown = calls[r].paths[0];
        QHash<QString, qsizetype> lastWrite;
        for (qsizetype i = 0; i < r; ++i) {
            const QString path = calls[i].paths.value(calls[i].paths.size() - 1);
            if (!calls[i].ok || !below(path, shown))
                continue;
            if (!durable) {
                if (isFlush(calls[i], path) && calls[i].name != QLatin1String("syncfs"))
                    breaches << QStringLiteral("%1 is flushed (call %2), though nothing needs it on the disk").arg(path).arg(i);
            } else if (calls[i].name.contains(QLatin1String("write"))) {
                lastWrite[path] = i;
            } else if (path != shown && kCreations.contains(calls[i].name) && !flushedBetween(i, r, QFileInfo(path).path())) {
                breaches << QStringLiteral("the folder of %1 (call %2) is not flushed before call %3").arg(path).arg(i).arg(r);
            }
        }
        for (auto it = lastWrite.cbegin(); it != lastWrite.cend(); ++it)
            if (!flushedBetween(it.value(), r, it.key()))
                breaches << QStringLiteral("%1 is not flushed between its last write and call %2").arg(it.key()).arg(r);
    }
    if (lastRename < 0)
        return {QStringLiteral("nothing was renamed into ") + dest};
    for (qsizetype i = 0; i < calls.size(); ++i) {
        const QString path = calls[i].paths.value(calls[i].paths.size() - 1);
        const bool writes = kCreations.contains(calls[i].name) || calls[i].name.contains(QLatin1String("write"));
        for (const QString &name : std::as_const(published))
            if (calls[i].ok && writes && below(path, name))
                breaches << QStringLiteral("%1 is written in place (call %2), not published by a rename").arg(path).arg(i);
    }
    if (calls[lastRename].paths[1] != dest + QLatin1Char('/') + last)
        breaches << QStringLiteral("%1 appears last, not %2").arg(calls[lastRename].paths[1], last);
    if (durable && !flushedBetween(lastRename, calls.size(), dest))
        breaches << dest + QStringLiteral(" is not flushed after the last rename into it");
    return breaches;
}

// Where the local header of the entry named `name` starts: the first place the name follows
// a local header's signature. -1 when there is none.
qsizetype localHeaderOf(const QByteArray &zip, const QByteArray &name)
{
    constexpr qsizetype kLocalHeaderSize = 30;
    for (qsizetype at = zip.indexOf(name); at >= 0; at = zip.indexOf(name, at + 1))
        if (at >= kLocalHeaderSize && zip.mid(at - kLocalHeaderSize, 4) == "PK\x03\x04")
            return at - kLocalHeaderSize;
    return -1;
}

// Every file and folder below `root`, by relative path, with a digest of each file's bytes.
QMap<QString, QByteArray> treeBelow(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(QDir(root).relativeFilePath(path), it.fileInfo().isDir() ? QByteArray("folder")
                                                                             : QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha256).toHex());
    }
    return tree;
}

}  // namespace

Q_DECLARE_METATYPE(TestZipEntry)

class TestUnzip : public QObject, private ToolFolders {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void extractsPackage();
    void repeatedNameReplacesLink();
    void refusesUnsafeEntries_data();
    void refusesUnsafeEntries();
    void extractsNamesThatOnlyLookReserved_data();
    void extractsNamesThatOnlyLookReserved();
    void failsOnBadArchive_data();
    void failsOnBadArchive();
    void wholeEntriesChangeNothing_data();
    void wholeEntriesChangeNothing();
    void refusesLinksItMayNotMake();
    void rejectsWrongUsage();
    void failsNormallyWithoutAConsole_data();
    void failsNormallyWithoutAConsole();
    void refusesIncompletePackage_data();
    void refusesIncompletePackage();
    void neverWritesThroughLinks_data();
    void neverWritesThroughLinks();
    void extractsManyEntries_data();
    void extractsManyEntries();
    void failureInOneWorkerLeavesNothing_data();
    void failureInOneWorkerLeavesNothing();
    void markerAppearsLast_data();
    void markerAppearsLast();
    void holdsMutexWhileWriting_data();
    void holdsMutexWhileWriting();
    void stoppedExtractionLeavesOldTree_data();
    void stoppedExtractionLeavesOldTree();
    void flushesBeforePublishing_data();
    void flushesBeforePublishing();
    void followsAMovedDestination();
    void moveIntoPlaceWaitsForAHolder();
    void folderFlushesThatAreNotSupported_data();
    void folderFlushesThatAreNotSupported();
    void removesItsOwnTrees_data();
    void removesItsOwnTrees();
    void cleanup();

private:
    ToolRun runTool(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    void startSlowTool(QProcess &process, const QString &archive, const QString &dest, int delayMs, int workers = 0);
    QString makeZip(const QString &name, const QList<TestZipEntry> &entries);
    void putOldTree();
    void verifyOldTreeIntact();
};

void TestUnzip::initTestCase()
{
    QVERIFY(usePrivateRuntimeDir());
}

void TestUnzip::init()
{
    const QString why = freshDestination();
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// Whatever a test did, the tool's mutex is gone with the tool.
void TestUnzip::cleanup()
{
    QVERIFY(!namedMutexExists(kMutex));
}

ToolRun TestUnzip::runTool(const QStringList &args, const QProcessEnvironment &env)
{
    return runProgram(QStringLiteral(NEMBRAL_UNZIP_EXE), args, env);
}

void TestUnzip::startSlowTool(QProcess &process, const QString &archive, const QString &dest, int delayMs, int workers)
{
    process.setProcessEnvironment(toolEnvironment(workers, delayMs));
    prepareForStopRequest(process);
    process.start(QStringLiteral(NEMBRAL_UNZIP_EXE), {archive, dest});
    QVERIFY(process.waitForStarted());
}

QString TestUnzip::makeZip(const QString &name, const QList<TestZipEntry> &entries)
{
    QString path = tmp_->filePath(name);
    const QString error = writeTestZip(path, entries);
    if (!error.isEmpty())
        QTest::qFail(qPrintable(error), __FILE__, __LINE__);
    return path;
}

// An installation of an older version, which a failed extraction must leave alone.
void TestUnzip::putOldTree()
{
    const QString zip = makeZip(QStringLiteral("old.zip"), package("0.9") << zipFile("nembral/only-in-0.9.txt", "old"));
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

// A package replaces the installed tree whole; the downloaded archive beside it stays.
void TestUnzip::extractsPackage()
{
    putOldTree();
    QVERIFY(writeFile(dest_ + QStringLiteral("/nembral.zip"), "the archive beside the tree"));
    // A UTF-8 name must come out as the same bytes whatever locale the tool is started in.
    const QString zip = makeZip(QStringLiteral("p.zip"), package("1.0", 5)
                                                             << zipFile("nembral/Donn\xc3\xa9"
                                                                        "es.txt",
                                                                        "utf8"));
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.stdErr, QByteArray());
    QCOMPARE(r.stdOut, QByteArray());

    const QString root = dest_ + QStringLiteral("/nembral");
    QCOMPARE(readAll(root + QStringLiteral("/version.txt")), QByteArray("1.0\n"));
    QCOMPARE(readAll(root + QStringLiteral("/data/big.bin")), randomBytes(3 * 1024 * 1024 + 17));
    QCOMPARE(readAll(root + QStringLiteral("/data/f4.txt")), QByteArray("4"));
    QVERIFY(!QFile::exists(root + QStringLiteral("/only-in-0.9.txt")));
    QCOMPARE(readAll(root + QString::fromUtf8("/Donn\xc3\xa9"
                                              "es.txt")),
             QByteArray("utf8"));
    // The time the archive records (the zip writer's), not the time of writing.
    QCOMPARE(QFileInfo(root + QStringLiteral("/data/big.bin")).lastModified().toSecsSinceEpoch(), qint64(1700000000));
    // Permissions and links: extractsManyEntries.
    QCOMPARE(stagingDirs(dest_), QStringList());
    // Beside the tree only the archive and the result the launcher reads: the exit status.
    QCOMPARE(QDir(dest_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("nembral"), QStringLiteral("nembral.zip"), QStringLiteral("unzip-result.txt")}));
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral.zip")), QByteArray("the archive beside the tree"));
    QCOMPARE(readAll(dest_ + QStringLiteral("/unzip-result.txt")), QByteArray("0\n"));
}

// A name stored twice, first as a link and then as a file, gives the file; the link's target
// keeps its contents. A file stored twice with the same size gives the later one.
void TestUnzip::repeatedNameReplacesLink()
{
    const QString zip = makeZip(QStringLiteral("twice.zip"),
                                {zipFile("nembral/target.txt", "original"), zipSymlink("nembral/name", "target.txt"),
                                 zipFile("nembral/name", "replacement"), zipFile("nembral/same.txt", QByteArray(8192, 'e')),
                                 zipFile("nembral/same.txt", QByteArray(8192, 'l')), zipFile("nembral/version.txt", "1\n"),
                                 zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755)});
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/target.txt")), QByteArray("original"));
    QVERIFY(!QFileInfo(dest_ + QStringLiteral("/nembral/name")).isSymLink());
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/name")), QByteArray("replacement"));
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/same.txt")), QByteArray(8192, 'l'));
}

void TestUnzip::refusesUnsafeEntries_data()
{
    QTest::addColumn<QList<TestZipEntry>>("evil");
    QTest::addColumn<QString>("mustNotExist");  // relative to the temporary directory

    // dest_ is <tmp>/nembral; an escape would land in <tmp>/escaped.
    QTest::newRow("inner dotdot") << QList<TestZipEntry>{zipFile("nembral/../../escaped", "x")} << QStringLiteral("escaped");
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
    // Names that Windows takes for something else, refused on every system: the entry-check
    // table's Windows rows, each as an entry of the package.
    for (const WindowsNameRow &row : kWindowsNameRows) {
        if (*row.problem)
            QTest::newRow(row.row) << QList<TestZipEntry>{zipFile(row.name, "x")}
                                   << QStringLiteral("nembral/") + QString::fromUtf8(row.name);
    }
    QTest::newRow("names differing only in case") << QList<TestZipEntry>{zipFile("nembral/Version.txt", "9.9\n")}
                                                  << QStringLiteral("nembral/nembral/Version.txt");
    QTest::newRow("folders differing only in case") << QList<TestZipEntry>{zipFile("Nembral/data/x", "x")}
                                                    << QStringLiteral("nembral/Nembral");
    QTest::newRow("file and folder differing only in case") << QList<TestZipEntry>{zipFile("nembral/DATA", "x")}
                                                            << QStringLiteral("nembral/nembral/DATA");
    // Entries are written in any order, so a name cannot be a file for some and a folder for others.
    QTest::newRow("file, then a folder of the same name")
        << QList<TestZipEntry>{zipFile("nembral/both", "file"), zipFile("nembral/both/inner", "x")}
        << QStringLiteral("nembral/nembral/both");
    QTest::newRow("link made after entries below its name")
        << QList<TestZipEntry>{zipFile("nembral/later/inner", "x"), zipSymlink("nembral/later", "data")}
        << QStringLiteral("nembral/nembral/later");
    // The refusal names the entry: escaped, it neither splits the line nor steers the console.
    QTest::newRow("control bytes in the name")
        << QList<TestZipEntry>{zipFile("nembral/\x1b[2J\r\n\xc2\x9b../../escaped", "x")} << QStringLiteral("escaped");
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

    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: refusing unsafe entry '"), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(QFile::encodeName(zip)), r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    QVERIFY2(isOneCleanLine(r.stdErr), r.stdErr.toPercentEncoding(" '/:.").constData());
    QVERIFY(!existsExactly(tmp_->filePath(mustNotExist)));
    verifyOldTreeIntact();
    QVERIFY(!QFile::exists(dest_ + QStringLiteral("/nembral/after.txt")));
}

// The Windows rows' look-alikes ("CONFIG.txt", "COM10", "x.CON", a tilde in a long name,
// non-ASCII) are plain files, extracted under exactly their names.
void TestUnzip::extractsNamesThatOnlyLookReserved_data()
{
    QTest::addColumn<QByteArray>("name");
    for (const WindowsNameRow &row : kWindowsNameRows) {
        if (!*row.problem)
            QTest::newRow(row.row) << QByteArray(row.name);
    }
}

void TestUnzip::extractsNamesThatOnlyLookReserved()
{
    QFETCH(QByteArray, name);
    const QString zip = makeZip(QStringLiteral("names.zip"), package("2.1") << zipFile(name, "plain"));
    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.stdErr, QByteArray());
    QCOMPARE(r.exitCode, 0);
    const QString path = dest_ + QLatin1Char('/') + QString::fromUtf8(name);
    QVERIFY2(existsExactly(path), name.constData());
    QCOMPARE(readAll(path), QByteArray("plain"));
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
    // Intact data under a checksum that does not match it, in every header that states it.
    QTest::newRow("wrong checksum") << QStringLiteral("checksum") << QByteArray("is damaged or not a zip archive");
    QTest::newRow("no entries") << QStringLiteral("noentries") << QByteArray("holds no entries");
    // Found by fuzzing (fuzz/corpus/archive): libarchive's reason ends with a line feed.
    QTest::newRow("data of the wrong size") << QStringLiteral("corpus:finding-wrong-size.zip")
                                            << QByteArray("is damaged or not a zip archive");
}

void TestUnzip::failsOnBadArchive()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, message);
    putOldTree();

    const QString good = makeZip(QStringLiteral("good.zip"), package("3.0"));
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
            bytes.truncate(bytes.size() / 2);  // as if the download had stopped halfway
        else if (kind == QLatin1String("corrupted"))
            bytes.replace(bytes.size() / 2, 16, QByteArray(16, 'X'));  // inside big.bin's data
        else if (kind == QLatin1String("checksum")) {
            // big.bin's central directory header is the last place its name appears.
            const qsizetype header = bytes.lastIndexOf("nembral/data/big.bin") - 46;
            QVERIFY(header > 0 && bytes.mid(header, 4) == "PK\x01\x02");
            const QByteArray crc = bytes.mid(header + 16, 4);
            QByteArray wrong = crc;
            wrong[0] = char(wrong[0] ^ 1);
            bytes.replace(crc, wrong);
        } else if (kind == QLatin1String("noentries"))
            QVERIFY(writeTestZip(path, {}).isEmpty());
        else if (kind.startsWith(QLatin1String("corpus:")))
            QVERIFY(!(bytes = readAll(qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/fuzz/corpus/archive/")
                                      + kind.mid(7)))
                         .isEmpty());
        if (kind != QLatin1String("noentries"))
            QVERIFY(writeFile(path, bytes));
    }

    const ToolRun r = runTool({path, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: "), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(message), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(QFile::encodeName(path)), r.stdErr.constData());
    QVERIFY2(isOneCleanLine(r.stdErr), r.stdErr.toPercentEncoding(" '/:.").constData());
    verifyOldTreeIntact();
    QCOMPARE(readAll(dest_ + QStringLiteral("/unzip-result.txt")), QByteArray("1\n"));
}

void TestUnzip::wholeEntriesChangeNothing_data()
{
    QTest::addColumn<QString>("patch");   // how the local headers disagree with the central directory
    QTest::addColumn<bool>("extracted");  // what libarchive's stream makes of it
    QTest::newRow("headers that agree") << QString() << true;
    // libarchive names each entry after its local header, and the stream reads the data behind it.
    QTest::newRow("two local names swapped") << QStringLiteral("swap names") << true;
    QTest::newRow("a local name repeating another") << QStringLiteral("repeat name") << true;
    QTest::newRow("local header encrypted") << QStringLiteral("encrypted") << false;
    QTest::newRow("local header stored, not deflated") << QStringLiteral("stored") << false;
}

// Small deflated entries read whole (wholeentry.h) come out exactly as libarchive's stream
// gives them, or are refused as the stream refuses them, however the local headers disagree
// with the central directory: the archive is extracted both ways (NEMBRAL_UNZIP_WHOLE_ENTRIES)
// and the trees, or the refusals, compared.
void TestUnzip::wholeEntriesChangeNothing()
{
    QFETCH(QString, patch);
    QFETCH(bool, extracted);
    // a.bin and b.bin: the same size, large enough to be read whole, different bytes.
    const QByteArray a = "nembral/data/a.bin", b = "nembral/data/b.bin";
    const QString zip = makeZip(QStringLiteral("headers.zip"),
                                {zipFile("nembral/version.txt", "13.0\n"), zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755),
                                 zipFile(a, randomBytes(8192, 1)), zipFile(b, randomBytes(8192, 2)),
                                 zipFile("nembral/data/text.txt", QByteArray(6000, 't'))});
    QByteArray bytes = readAll(zip);
    const qsizetype atA = localHeaderOf(bytes, a), atB = localHeaderOf(bytes, b);
    QVERIFY(atA > 0 && atB > 0);
    if (patch == QLatin1String("swap names")) {
        bytes.replace(atA + 30, a.size(), b);
        bytes.replace(atB + 30, b.size(), a);
    } else if (patch == QLatin1String("repeat name")) {
        bytes.replace(atB + 30, b.size(), a);
    } else if (patch == QLatin1String("encrypted")) {
        bytes[atA + 6] = char(bytes[atA + 6] | 1);
    } else if (patch == QLatin1String("stored")) {
        bytes[atA + 8] = 0;  // the method's low byte: 8, deflated
    }
    QVERIFY(writeFile(zip, bytes));

    ToolRun runs[2];
    QMap<QString, QByteArray> trees[2];
    for (int whole : {0, 1}) {
        QProcessEnvironment env = toolEnvironment(2);
        env.insert(QStringLiteral("NEMBRAL_UNZIP_WHOLE_ENTRIES"), QString::number(whole));
        const QString dest = tmp_->filePath(QStringLiteral("whole-%1").arg(whole));
        runs[whole] = runTool({zip, dest}, env);
        trees[whole] = treeBelow(dest);
    }
    QCOMPARE(runs[1].exitCode, runs[0].exitCode);
    QCOMPARE(runs[1].stdErr, runs[0].stdErr);
    QCOMPARE(trees[1], trees[0]);
    QCOMPARE(runs[0].exitCode, extracted ? 0 : 1);
    if (extracted)
        QCOMPARE(trees[0].value(QStringLiteral("nembral/data/text.txt")),
                 QCryptographicHash::hash(QByteArray(6000, 't'), QCryptographicHash::Sha256).toHex());
}

// An account that may not make symbolic links (on Windows without the right to, or under wine,
// which grants none) is refused a package holding one before anything is written, not even
// the destination: the refusal names the entry.
void TestUnzip::refusesLinksItMayNotMake()
{
    if (symbolicLinksCanBeMade())
        QSKIP("this account may make symbolic links");
    const QString zip = makeZip(QStringLiteral("link.zip"), package("14.0") << zipSymlink("nembral/data/current.bin", "big.bin"));
    const QString fresh = tmp_->filePath(QStringLiteral("fresh"));
    const ToolRun r = runTool({zip, fresh});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: cannot extract the symbolic link 'nembral/data/current.bin' of '"),
             r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    QVERIFY(!QFileInfo::exists(fresh));
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

// Standard error is a pipe whose reader has gone (the launcher's console was closed): the
// line saying why the tool fails is lost, and the tool still ends with its own exit status
// instead of being killed by SIGPIPE.
void TestUnzip::failsNormallyWithoutAConsole_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("missing archive") << QStringList{QStringLiteral("missing.zip"), QStringLiteral("dest")} << 1;
    QTest::newRow("wrong usage") << QStringList{QStringLiteral("a.zip")} << 2;
}

void TestUnzip::failsNormallyWithoutAConsole()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QProcess p;
    QVERIFY(startWithLostStandardError(p, QStringLiteral(NEMBRAL_UNZIP_EXE), args, tmp_->path()));
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
}

// The launcher takes the version file for a complete installation and starts the executable:
// an archive without both would be taken for installed and never repaired, so it is refused
// before anything is written, and the next run starts from nothing again.
void TestUnzip::refusesIncompletePackage_data()
{
    QTest::addColumn<QList<TestZipEntry>>("entries");
    QTest::addColumn<QByteArray>("missing");

    const TestZipEntry version = zipFile("nembral/version.txt", "7.0\n");
    const TestZipEntry exe = zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755);
    const TestZipEntry other = zipFile("nembral/data/other.bin", randomBytes(1000));
    QTest::newRow("no executable") << QList<TestZipEntry>{version, other} << QByteArray("'nembral/Nembrals.exe'");
    QTest::newRow("no version file") << QList<TestZipEntry>{exe, other} << QByteArray("'nembral/version.txt'");
    QTest::newRow("neither") << QList<TestZipEntry>{other} << QByteArray("'nembral/version.txt' and no file 'nembral/Nembrals.exe'");
    QTest::newRow("executable is a directory")
        << QList<TestZipEntry>{version, zipDirectory("nembral/Nembrals.exe/"), zipFile("nembral/Nembrals.exe/x", "x")}
        << QByteArray("'nembral/Nembrals.exe'");
    QTest::newRow("executable is a link") << QList<TestZipEntry>{version, other, zipSymlink("nembral/Nembrals.exe", "data/other.bin")}
                                          << QByteArray("'nembral/Nembrals.exe'");
    QTest::newRow("files outside the package folder")
        << QList<TestZipEntry>{zipFile("version.txt", "7.0\n"), zipFile("Nembrals.exe", "#!/bin/sh\n", 0755)}
        << QByteArray("'nembral/version.txt'");
    QTest::newRow("executable replaced by a later directory of its name")
        << QList<TestZipEntry>{version, exe, zipDirectory("nembral/Nembrals.exe/")} << QByteArray("'nembral/Nembrals.exe'");
}

void TestUnzip::refusesIncompletePackage()
{
    QFETCH(QList<TestZipEntry>, entries);
    QFETCH(QByteArray, missing);
    const QString zip = makeZip(QStringLiteral("incomplete.zip"), entries);

    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    const QByteArray expected = "unzip.exe: archive '" + QFile::encodeName(zip) + "' is not a complete package: it has no file ";
    QVERIFY2(r.stdErr.startsWith(expected), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(missing), r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    QCOMPARE(QDir(dest_).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("unzip-result.txt")});
    QCOMPARE(readAll(dest_ + QStringLiteral("/unzip-result.txt")), QByteArray("1\n"));
    QVERIFY(!namedMutexExists(kMutex));

    // Nothing was taken for an installation: a whole package installs normally afterwards.
    const ToolRun again = runTool({makeZip(QStringLiteral("complete.zip"), package("7.1")), dest_});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("7.1\n"));
}

// A link at the destination is an installation moved elsewhere: the tree lands where it points
// and the link stays; one to nowhere is refused. A link where the installed tree goes is an
// entry like any other: replaced, never followed.
void TestUnzip::neverWritesThroughLinks_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("destination");  // as given to the tool, relative to the temporary directory
    QTest::addColumn<int>("exitCode");

    QTest::newRow("destination is a link to a folder elsewhere") << QStringLiteral("destination link") << QStringLiteral("link") << 0;
    QTest::newRow("same, named with a trailing slash") << QStringLiteral("destination link") << QStringLiteral("link/") << 0;
    QTest::newRow("destination is a dangling link") << QStringLiteral("dangling link") << QStringLiteral("link") << 1;
    QTest::newRow("installed tree is a link to a folder elsewhere") << QStringLiteral("tree link") << QStringLiteral("nembral") << 0;
}

void TestUnzip::neverWritesThroughLinks()
{
    QFETCH(QString, layout);
    QFETCH(QString, destination);
    QFETCH(int, exitCode);

    // "elsewhere" stands for a folder outside the working directory that must stay as it is.
    QString elsewhere = tmp_->filePath(QStringLiteral("elsewhere"));
    QVERIFY(writeFile(elsewhere + QStringLiteral("/keep.txt"), "keep"));
    QString link = tmp_->filePath(QStringLiteral("link"));
    bool made = false;
    if (layout == QLatin1String("destination link"))
        made = makeFolderLink(elsewhere, link);
    else if (layout == QLatin1String("dangling link"))
        made = makeFolderLink(tmp_->filePath(QStringLiteral("nowhere")), link);
    else
        made = makeFolderLink(elsewhere, dest_ + QStringLiteral("/nembral"));
    // wine 8 makes no folder links, but shows the Unix links the lane prepares
    // (NEMBRAL_LINK_FIXTURE: CASE/nembral or CASE/nembral/nembral -> outside/CASE, which holds
    // keep.txt) as reparse points.
    QString target = tmp_->filePath(destination);
    const QString fixture = qEnvironmentVariable("NEMBRAL_LINK_FIXTURE");
    if (!made && !symbolicLinksCanBeMade() && !fixture.isEmpty() && !destination.endsWith(QLatin1Char('/'))
        && layout != QLatin1String("dangling link")) {
        const QString fixtureCase = layout == QLatin1String("tree link") ? QStringLiteral("unzip-tree-link")
                                                                         : QStringLiteral("unzip-destination-link");
        target = QDir::fromNativeSeparators(fixture) + QLatin1Char('/') + fixtureCase + QStringLiteral("/nembral");
        link = target;
        dest_ = target;
        elsewhere = QDir::fromNativeSeparators(fixture) + QStringLiteral("/outside/") + fixtureCase;
        made = isFolderLink(layout == QLatin1String("tree link") ? dest_ + QStringLiteral("/nembral") : link);
    }
    if (!made && !symbolicLinksCanBeMade())
        QSKIP("no folder links can be made here, and the lane has none of this kind (NEMBRAL_LINK_FIXTURE)");
    QVERIFY(made);

    const QString zip = makeZip(QStringLiteral("p.zip"), package("8.0"));
    const ToolRun r = runTool({zip, target});
    QCOMPARE(r.status, QProcess::NormalExit);
    if (r.exitCode == 1 && exitCode == 0 && layout == QLatin1String("tree link") && runningUnderWine()) {
        // wine 8 opens a Unix link's target whatever the flags, so the link cannot be moved
        // aside without moving its target: the tool gives up instead.
        QVERIFY2(r.stdErr.startsWith("unzip.exe: cannot move the old '") && r.stdErr.contains("' aside: it is a link"),
                 r.stdErr.constData());
        QVERIFY(isFolderLink(dest_ + QStringLiteral("/nembral")));
        exitCode = 1;
    } else {
        QCOMPARE(r.exitCode, exitCode);
    }
    if (layout == QLatin1String("tree link") && exitCode != 0) {
        QCOMPARE(stagingDirs(dest_), QStringList());
    } else if (exitCode != 0) {
        QVERIFY2(r.stdErr.startsWith("unzip.exe: cannot extract into '"), r.stdErr.constData());
        QVERIFY2(r.stdErr.contains("symbolic link to nothing"), r.stdErr.constData());
        QCOMPARE(r.stdErr.count('\n'), 1);
        QVERIFY(isFolderLink(link));
    } else if (layout == QLatin1String("destination link")) {
        QVERIFY(isFolderLink(link));
        QCOMPARE(readAll(elsewhere + QStringLiteral("/nembral/version.txt")), QByteArray("8.0\n"));
        QVERIFY(QDir(elsewhere + QStringLiteral("/nembral")).removeRecursively());  // all that may differ,
        QVERIFY(QFile::remove(elsewhere + QStringLiteral("/unzip-result.txt")));    // with the result
    } else {
        QVERIFY(!isFolderLink(dest_ + QStringLiteral("/nembral")));
        QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("8.0\n"));
        QCOMPARE(stagingDirs(dest_), QStringList());
    }
    QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("keep.txt")});
    QCOMPARE(readAll(elsewhere + QStringLiteral("/keep.txt")), QByteArray("keep"));
    QVERIFY(!QFileInfo::exists(tmp_->filePath(QStringLiteral("nowhere"))));
}

void TestUnzip::extractsManyEntries_data()
{
    QTest::addColumn<int>("workers");
    QTest::newRow("one worker") << 1;
    QTest::newRow("two workers") << 2;
    QTest::newRow("eight workers") << 8;
}

void TestUnzip::markerAppearsLast_data()
{
    extractsManyEntries_data();
}

// Every file of a package spread over many directories, whoever wrote it, has its bytes,
// its permissions (executable bits kept, set-id bits dropped) and its place.
void TestUnzip::extractsManyEntries()
{
    QFETCH(int, workers);
    const QList<TestZipEntry> entries = nestedPackage("9.0", 500);
    const QString zip = makeZip(QStringLiteral("many.zip"), entries);

    const ToolRun r = runTool({zip, dest_}, toolEnvironment(workers));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.stdErr, QByteArray());

    int files = 0;
    int links = 0;
    for (const TestZipEntry &e : entries) {
        const QString path = dest_ + QLatin1Char('/') + QFile::decodeName(e.name);
        const QFileInfo info(path);
        if (e.kind == ZipEntry::Symlink) {
            QVERIFY2(info.isSymLink(), e.name.constData());
            QCOMPARE(QFile::symLinkTarget(path), info.absolutePath() + QLatin1Char('/') + QFile::decodeName(e.data));
            ++links;
            continue;
        }
        QVERIFY2(info.exists() && !info.isSymLink(), e.name.constData());
        if (filesHavePermissions())
            QCOMPARE(permissionsOf(path), masked(e.permissions & 0777));
        if (e.kind == ZipEntry::File) {
            QVERIFY2(info.isFile(), e.name.constData());
            QVERIFY2(readAll(path) == e.data, e.name.constData());
            ++files;
        }
    }
    QCOMPARE(files, 503);
    QCOMPARE(links, symbolicLinksCanBeMade() ? 6 : 0);
    QDirIterator all(dest_, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    int found = 0;
    while (all.hasNext()) {
        all.next();
        ++found;
    }
    QCOMPARE(found, files + links + 1);  // and nothing else but the result: the links count as files here
    QCOMPARE(readAll(dest_ + QStringLiteral("/unzip-result.txt")), QByteArray("0\n"));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

void TestUnzip::failureInOneWorkerLeavesNothing_data()
{
    QTest::addColumn<int>("workers");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("message");
    for (int workers : {1, 2, 8}) {
        const QByteArray n = QByteArray::number(workers);
        QTest::newRow(QByteArray("corrupt data deep in the archive, " + n + " worker(s)").constData())
            << workers << QStringLiteral("corrupt") << QByteArray("is damaged or not a zip archive");
        QTest::newRow(QByteArray("a name the file system refuses, " + n + " worker(s)").constData())
            << workers << QStringLiteral("long name") << QByteArray("cannot create 'nembral/d3/");
    }
}

// One entry near the end cannot be written: whichever worker meets it, every worker stops,
// the error is reported once, the installed tree is the old one and no staging is left.
void TestUnzip::failureInOneWorkerLeavesNothing()
{
    QFETCH(int, workers);
    QFETCH(QString, fault);
    QFETCH(QByteArray, message);
    putOldTree();

    QList<TestZipEntry> entries = nestedPackage("10.0", 500);
    const QByteArray poisoned = randomBytes(200 * 1024 + 3);  // random: stored as is inside deflate
    const QByteArray name = fault == QLatin1String("long name") ? QByteArray("nembral/d3/" + QByteArray(300, 'x'))
                                                                : QByteArray("nembral/d3/poisoned.bin");
    entries.insert(entries.size() - 20, zipFile(name, poisoned));
    const QString zip = makeZip(QStringLiteral("faulty.zip"), entries);
    if (fault == QLatin1String("corrupt")) {
        QByteArray bytes = readAll(zip);
        const qsizetype at = bytes.indexOf(poisoned.mid(100 * 1024, 64));
        QVERIFY(at > 0);
        QVERIFY(writeFile(zip, bytes.replace(at, 16, QByteArray(16, 'X'))));
    }

    const ToolRun r = runTool({zip, dest_}, toolEnvironment(workers));
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.stdErr.startsWith("unzip.exe: "), r.stdErr.constData());
    QVERIFY2(r.stdErr.contains(message), r.stdErr.constData());
    QCOMPARE(r.stdErr.count('\n'), 1);
    verifyOldTreeIntact();
    QVERIFY(!QFileInfo::exists(dest_ + QStringLiteral("/nembral/d0")));
    QCOMPARE(QDir(dest_).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("nembral"), QStringLiteral("unzip-result.txt")}));
}

// The marker is the first entry of the archive, and the archive has entries beside the
// package folder that sort before and after it. In the destination, every name arrives by a
// rename from the staging directory, the folder holding the marker last of all. (That the
// marker, once visible, comes with everything else is watched in holdsMutexWhileWriting.)
void TestUnzip::markerAppearsLast()
{
    QFETCH(int, workers);
    putOldTree();
    QList<TestZipEntry> entries = nestedPackage("11.0", 120);
    entries.prepend(zipFile("aaa-before.txt", "a"));
    entries.append(zipFile("zzz-after/z.txt", "z"));
    const QString zip = makeZip(QStringLiteral("order.zip"), entries);

    const std::unique_ptr<DirectoryEvents> events = DirectoryEvents::watch(dest_);
    if (!events)
        QSKIP("this system shows a move from a subfolder as an addition; holdsMutexWhileWriting watches the marker");
    const ToolRun r = runTool({zip, dest_}, toolEnvironment(workers));
    QCOMPARE(r.exitCode, 0);

    const QStringList seen = events->take();
    QStringList arrivals;  // names that appeared in the destination, staging aside
    for (const QString &e : seen) {
        if (e.contains(QStringLiteral(".unzip-")))
            continue;
        QVERIFY2(!e.startsWith(QStringLiteral("created ")), qPrintable(e + QStringLiteral(" (written in place)")));
        if (e.startsWith(QStringLiteral("moved in ")))
            arrivals << e.mid(9);
    }
    QCOMPARE(arrivals.size(), 3);
    QCOMPARE(arrivals.last(), QStringLiteral("nembral"));
    QVERIFY2(seen.first().startsWith(QStringLiteral("created .unzip-")), qPrintable(seen.join(QLatin1Char(','))));
    QVERIFY2(seen.last().startsWith(QStringLiteral("deleted .unzip-")), qPrintable(seen.join(QLatin1Char(','))));
}

void TestUnzip::holdsMutexWhileWriting_data()
{
    QTest::addColumn<int>("workers");
    QTest::addColumn<QList<TestZipEntry>>("entries");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("threads");  // the most the tool should run at once

    QTest::newRow("one worker") << 1 << package("4.0", 40) << 40 << 1;
    QTest::newRow("two workers") << 2 << package("4.0", 300) << 15 << 2;
    QTest::newRow("eight workers") << 8 << nestedPackage("4.0", 300) << 50 << 8;
    // Neither a few small files nor many small files in one folder are worth a second
    // thread, however many are allowed.
    QTest::newRow("small package, eight allowed")
        << 8 << QList<TestZipEntry>{zipFile("nembral/version.txt", "4.0\n"), zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755), zipFile("nembral/README.txt", "r")}
        << 300 << 1;
    QList<TestZipEntry> oneFolder{zipFile("nembral/version.txt", "4.0\n"), zipFile("nembral/Nembrals.exe", "#!/bin/sh\n", 0755)};
    for (int i = 0; i < 300; ++i)
        oneFolder << zipFile("nembral/data/f" + QByteArray::number(i), QByteArray::number(i));
    QTest::newRow("small files in one folder, eight allowed") << 8 << oneFolder << 10 << 1;
}

// Watches a slowed-down extraction from outside. Whenever a staging directory exists both
// before and after a probe, the tool was between its first write and its last clean-up
// during that probe, so the mutex must exist. Whenever the marker is visible, the whole tree
// must be. The tool's threads are counted as it runs.
void TestUnzip::holdsMutexWhileWriting()
{
    QFETCH(int, workers);
    QFETCH(QList<TestZipEntry>, entries);
    QFETCH(int, delayMs);
    QFETCH(int, threads);
    const QString zip = makeZip(QStringLiteral("slow.zip"), entries);
    QProcess tool;
    startSlowTool(tool, zip, dest_, delayMs, workers);

    const QString root = dest_ + QStringLiteral("/nembral");
    int probesWhileWriting = 0;
    int mostThreads = 0;
    QElapsedTimer clock;
    clock.start();
    while (tool.state() != QProcess::NotRunning && clock.elapsed() < 60000) {
        const bool stagedBefore = !stagingDirs(dest_).isEmpty();
        const bool mutex = namedMutexExists(kMutex);
        const bool stagedAfter = !stagingDirs(dest_).isEmpty();
        if (stagedBefore && stagedAfter) {
            QVERIFY2(mutex, "the staging directory existed while the mutex did not");
            ++probesWhileWriting;
        }
        // Its main thread and the workers it names (a sanitizer's own threads do not count).
        mostThreads = std::max(mostThreads, 1 + namedWorkerThreads(tool.processId()));
        if (QFile::exists(root + QStringLiteral("/version.txt"))) {
            for (const TestZipEntry &e : entries)
                QVERIFY2(QFileInfo(dest_ + QLatin1Char('/') + QFile::decodeName(e.name)).exists(), e.name.constData());
        }
        tool.waitForFinished(5);
    }
    QCOMPARE(tool.state(), QProcess::NotRunning);
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY2(probesWhileWriting > 5, "the extraction was not observed in progress");
    QCOMPARE(mostThreads, threads);
    QCOMPARE(readAll(root + QStringLiteral("/version.txt")), QByteArray("4.0\n"));
}

void TestUnzip::stoppedExtractionLeavesOldTree_data()
{
    QTest::addColumn<bool>("kill");
    QTest::newRow("killed, no chance to clean up") << true;
    QTest::newRow("asked to stop") << false;
}

// Stopped midway, the tool leaves the installed tree as it was. Asked to, it cleans up and says
// why; killed, its staging stays under a name nobody looks at, until the next extraction removes
// it and installs normally.
void TestUnzip::stoppedExtractionLeavesOldTree()
{
    QFETCH(bool, kill);
    putOldTree();
    const QString zip = makeZip(QStringLiteral("slow.zip"), package("5.0", 30));
    QProcess tool;
    startSlowTool(tool, zip, dest_, 50);
    QTRY_VERIFY_WITH_TIMEOUT(stagedFileCount(dest_) >= 4, 20000);
    QVERIFY(namedMutexExists(kMutex));
    if (!kill) {
        QVERIFY(requestStop(tool));
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 1);
        QVERIFY2(tool.readAllStandardError().contains("interrupted"), "no reason given");
        verifyOldTreeIntact();
        return;
    }
    tool.kill();
    QVERIFY(tool.waitForFinished());
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("0.9\n"));
    QCOMPARE(stagingDirs(dest_).size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!namedMutexExists(kMutex), 2000);

    const ToolRun r = runTool({zip, dest_});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("5.0\n"));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

void TestUnzip::flushesBeforePublishing_data()
{
    QTest::addColumn<bool>("download");    // the launcher's package download instead of the extraction
    QTest::addColumn<QString>("flush");    // NEMBRAL_UNZIP_FLUSH
    QTest::addColumn<int>("descriptors");  // the process's hard limit of open files, 0: as it is
    QTest::newRow("extraction") << false << QString() << 0;
    // Fewer descriptors than files: the files kept open for the wait make room by being waited for.
    QTest::newRow("extraction, few descriptors") << false << QString() << 160;
    QTest::newRow("extraction, each entry flushed") << false << QStringLiteral("entries") << 0;
    QTest::newRow("extraction, the file system flushed") << false << QStringLiteral("filesystem") << 0;
    QTest::newRow("package download") << true << QString() << 0;
}

// A power cut cannot be simulated here, so the order of the system calls is checked, as the
// crash consistency of applications is: one run is recorded with strace and must keep the
// protocol flushBreaches() states.
void TestUnzip::flushesBeforePublishing()
{
    QFETCH(bool, download);
    QFETCH(QString, flush);
    QFETCH(int, descriptors);
    if (!systemCallsCanBeRecorded())
        QSKIP("no strace here: the order of the file system calls cannot be recorded");
    const QString zip = makeZip(QStringLiteral("flush.zip"), nestedPackage("12.0", 150) << zipFile("zzz-after/z.txt", "z"));
    // The tool's own flush waits for each file while the next are written; slowed down a
    // little, so that the writing lasts longer than the first wait.
    const bool overlaps = !download && flush.isEmpty();
    QProcessEnvironment env = toolEnvironment(2, overlaps ? 3 : 0);
    env.insert(QStringLiteral("NEMBRAL_UNZIP_FLUSH"), flush);
    QStringList command{QStringLiteral(NEMBRAL_UNZIP_EXE), zip, dest_};
    if (descriptors > 0)
        command = QStringList{QStringLiteral("prlimit"), QStringLiteral("--nofile=%1").arg(descriptors), QStringLiteral("--")}
                  + command;
    TestVendor vendor;
    if (download) {
        const QString served = tmp_->filePath(QStringLiteral("served"));
        QVERIFY(writeFile(served + QStringLiteral("/nembral.zip"), readAll(zip)));
        QVERIFY(vendor.start(served, 0, tmp_->filePath(QStringLiteral("state"))));
        env.insert(QStringLiteral("SSL_CERT_FILE"), vendor.caFile());
        // Into "nembral/nembral.zip" below the working directory, the folder that holds dest_.
        command = QStringList{QStringLiteral(NEMBRAL_DOWNLOAD_ONCE),
                              QString::fromStdString(vendor.url(QStringLiteral("/Software/Nembral/nembral.zip"))),
                              QStringLiteral("%s\\nembral\\nembral.zip")};
    } else {
        putOldTree();  // moved aside on the way
    }
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp_->path()));
    QString error;
    const QList<Call> calls = recordCalls(command.takeFirst(), command, env, error);
    QVERIFY(QDir::setCurrent(previous));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QStringList breaches = flushBreaches(calls, QFileInfo(dest_).canonicalFilePath(),
                                               download ? QStringLiteral("nembral.zip") : QStringLiteral("nembral"), !download);
    QVERIFY2(breaches.isEmpty(), qPrintable(breaches.join(QLatin1Char('\n'))));
    if (overlaps) {
        const auto first = [&calls](const QString &name) {
            return std::find_if(calls.cbegin(), calls.cend(), [&name](const Call &c) { return c.ok && c.name == name; });
        };
        const auto lastWrite = std::find_if(calls.crbegin(), calls.crend(), [](const Call &c) {
            return c.ok && c.name == QLatin1String("pwrite64");
        });
        QVERIFY2(first(QStringLiteral("fdatasync")) < lastWrite.base(), "no file was waited for before the last was written");
    }
    QCOMPARE(QFileInfo::exists(dest_ + (download ? QStringLiteral("/nembral.zip") : QStringLiteral("/nembral/version.txt"))),
             true);
}

// The tool makes every entry relative to the folder handles it opened: the destination moved
// away while the tool writes takes the entries along, and nothing is made under its old name.
// The tree then moves into place in the moved folder; wine 8 resolves a rename relative to a
// handle through the path the handle was opened by, so there the final move fails, saying so.
void TestUnzip::followsAMovedDestination()
{
    const QString zip = makeZip(QStringLiteral("slow.zip"), package("3.0", 60));
    QProcess tool;
    startSlowTool(tool, zip, dest_, 40, 1);
    QVERIFY(QTest::qWaitFor([&] { return stagedFileCount(dest_) >= 4; }, 60000));
    const QString moved = tmp_->filePath(QStringLiteral("moved"));
    if (!QDir().rename(dest_, moved)) {
        tool.waitForFinished(120000);
        QSKIP("Windows keeps a folder with open handles below it in its place");
    }
    const int stagedWhenMoved = stagedFileCount(moved);
    QVERIFY(QTest::qWaitFor(
        [&] { return stagedFileCount(moved) >= stagedWhenMoved + 4 || tool.state() == QProcess::NotRunning; }, 60000));
    QVERIFY(stagedFileCount(moved) >= stagedWhenMoved + 4 || QFileInfo::exists(moved + QStringLiteral("/nembral/version.txt")));
    QVERIFY(tool.waitForFinished(120000));
    const QByteArray stdErr = tool.readAllStandardError();
    QVERIFY(!QFileInfo::exists(dest_));
    if (tool.exitCode() == 0 || !runningUnderWine()) {
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(readAll(moved + QStringLiteral("/nembral/version.txt")), QByteArray("3.0\n"));
        QCOMPARE(readAll(moved + QStringLiteral("/nembral/data/f59.txt")), QByteArray("59"));
        QCOMPARE(stagingDirs(moved), QStringList());
    } else {
        QVERIFY2(stdErr.startsWith("unzip.exe: cannot move 'nembral' into '"), stdErr.constData());
        QCOMPARE(stdErr.count('\n'), 1);
        QVERIFY(!QFileInfo::exists(moved + QStringLiteral("/nembral")));
    }
}

// A virus scanner holds a new executable open for a moment without delete sharing, and no
// folder above it can be renamed meanwhile: the move into place waits for it. wine refuses a
// folder's rename only while the folder itself is held, so the staged top folder is held here,
// from before the extraction ends until well after.
void TestUnzip::moveIntoPlaceWaitsForAHolder()
{
    if (!holdWithoutDeleteSharing(dest_))
        QSKIP("a file held open here stops no rename");
    const QList<TestZipEntry> entries = package("7.0", 12);
    const QString zip = makeZip(QStringLiteral("held.zip"), entries);
    QProcess tool;
    startSlowTool(tool, zip, dest_, 30, 1);
    QString staged;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QStringList found = stagingDirs(dest_);
            const QString top = found.isEmpty() ? QString() : dest_ + QLatin1Char('/') + found.first() + QStringLiteral("/tree/nembral");
            if (!top.isEmpty() && QFileInfo::exists(top))
                staged = top;
            return !staged.isEmpty();
        },
        60000));
    std::shared_ptr<void> holder = holdWithoutDeleteSharing(staged);
    QVERIFY(holder);
    const int files = static_cast<int>(std::count_if(entries.cbegin(), entries.cend(),
                                                     [](const TestZipEntry &e) { return !e.name.endsWith('/'); }));
    QVERIFY(QTest::qWaitFor([&] { return stagedFileCount(dest_) >= files || tool.state() == QProcess::NotRunning; }, 60000));
    // Long enough for the tool to meet the holder, short of the time it waits at most.
    QTest::qWait(1500);
    const bool waited = tool.state() != QProcess::NotRunning;
    holder.reset();
    QVERIFY(tool.waitForFinished(120000));
    QVERIFY2(waited, tool.readAllStandardError().constData());
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/version.txt")), QByteArray("7.0\n"));
    QCOMPARE(readAll(dest_ + QStringLiteral("/nembral/data/f11.txt")), QByteArray("11"));
    QCOMPARE(stagingDirs(dest_), QStringList());
}

void TestUnzip::folderFlushesThatAreNotSupported_data()
{
    QTest::addColumn<int>("error");  // what each flush answers; 0: the system's own flush
    QTest::addColumn<bool>("folderFlushed");
    QTest::addColumn<bool>("fileFlushed");

    QTest::newRow("flushes as the system does them") << 0 << true << true;
    // Windows' ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED and ERROR_IO_DEVICE.
    QTest::newRow("refused as an invalid function (FAT, exFAT)") << 1 << true << false;
    QTest::newRow("refused as not supported (a network share)") << 50 << true << false;
    QTest::newRow("failing on the device") << 1117 << false << false;
}

// FAT, exFAT and network shares refuse a folder's flush as unsupported: done, for the tool; any
// other failure, and any failed file flush, stays one. The tool's folder and file code is
// called here as it is, with the system's answer replaced.
void TestUnzip::folderFlushesThatAreNotSupported()
{
    QFETCH(int, error);
    QFETCH(bool, folderFlushed);
    QFETCH(bool, fileFlushed);

    Result<NativeHandle> opened = openDestination(QString(dest_ + QStringLiteral("/flushed")).toStdString());
    QVERIFY2(opened.ok(), opened.ok() ? "" : opened.failure().text.c_str());
    const NativeHandle folder = std::move(opened).value();
    PlannedEntry entry;
    entry.name = entry.leaf = entry.path = "file.bin";
    entry.size = 4;
    OutputFile file(folder.get(), entry);
    QVERIFY(file.create().ok() && file.writeAt("data", 4, 0).ok());

    const std::shared_ptr<void> refused = error != 0 ? refuseFlushes(error) : nullptr;
    if (error != 0 && !refused)
        QSKIP("the system's answer to a flush cannot be replaced here");
    const Result<> folderResult = flushOpenDirectory(folder.get());
    QCOMPARE(folderResult.ok(), folderFlushed);
    QVERIFY(folderResult.ok() || folderResult.failure().code == error);
    const Result<> fileResult = file.finish(FileFlush::Now, nullptr);
    QCOMPARE(fileResult.ok(), fileFlushed);
    if (!fileFlushed) {
        QVERIFY2(fileResult.failure().text.rfind("cannot write 'file.bin': ", 0) == 0, fileResult.failure().text.c_str());
        QCOMPARE(fileResult.failure().code, error);
    }
}

void TestUnzip::removesItsOwnTrees_data()
{
    QTest::addColumn<QString>("layout");

    QTest::newRow("read-only files and nested folders") << QStringLiteral("plain");
    QTest::newRow("a held file stays, the rest goes") << QStringLiteral("held");
    QTest::newRow("a link below is never followed") << QStringLiteral("link");
}

// The tool's own listing and removal (by handles, as the launcher's): a read-only file does not
// stop it, a file another program holds without delete sharing stays while the rest goes, and a
// link below is removed itself or, where only its target opens (wine), left with its target.
void TestUnzip::removesItsOwnTrees()
{
    QFETCH(QString, layout);

    QString parentPath = dest_;
    QString tree = dest_ + QStringLiteral("/tree");
    QString elsewhere;
    std::shared_ptr<void> holder;
    if (layout == QLatin1String("link")) {
        elsewhere = tmp_->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(tree));
        QVERIFY(writeFile(elsewhere + QStringLiteral("/keep.txt"), "keep"));
        const QString fixture = QDir::fromNativeSeparators(qEnvironmentVariable("NEMBRAL_LINK_FIXTURE"));
        if (!makeFolderLink(elsewhere, tree + QStringLiteral("/nembral"))) {
            // The lane's link (see neverWritesThroughLinks), where an earlier run left it.
            parentPath = fixture + QStringLiteral("/unzip-tree-link");
            tree = parentPath + QStringLiteral("/nembral");
            elsewhere = fixture + QStringLiteral("/outside/unzip-tree-link");
            if (fixture.isEmpty() || !isFolderLink(tree + QStringLiteral("/nembral")))
                QSKIP("no folder links can be made here, and the lane has none of this kind (NEMBRAL_LINK_FIXTURE)");
        }
    } else {
        QVERIFY(writeFile(tree + QStringLiteral("/top.txt"), "x"));
        QVERIFY(writeFile(tree + QStringLiteral("/a/held.bin"), "x"));
        QVERIFY(writeFile(tree + QStringLiteral("/a/b/read-only.txt"), "x"));
        QVERIFY(QFile::setPermissions(tree + QStringLiteral("/a/b/read-only.txt"), QFile::ReadOwner | QFile::ReadUser));
        if (layout == QLatin1String("held")) {
            holder = holdWithoutDeleteSharing(tree + QStringLiteral("/a/held.bin"));
            if (!holder)
                QSKIP("a file held open here stops no removal");
        }
    }
    Result<NativeHandle> destination = openDestination(parentPath.toStdString());
    QVERIFY(destination.ok());
    const NativeHandle parent = std::move(destination).value();
    QStringList names;
    {
        // Closed before the removal: a folder goes when its last handle does.
        const Result<NativeHandle> opened = openDirectoryAt(parent.get(), QFileInfo(tree).fileName().toStdString());
        QVERIFY(opened.ok());
        Result<std::vector<DirectoryEntry>> listing = listDirectory(opened.value().get());
        QVERIFY2(listing.ok(), listing.ok() ? "" : listing.failure().text.c_str());
        for (const DirectoryEntry &entry : listing.value())
            names << QString::fromStdString(entry.name) + (entry.isDirectory ? QStringLiteral("/") : QString());
    }
    names.sort();
    // A link to a folder is no directory to the listing (the lane's holds the tool's result too).
    if (layout == QLatin1String("link"))
        QVERIFY2(names.contains(QStringLiteral("nembral")), qPrintable(names.join(QLatin1Char(' '))));
    else
        QCOMPARE(names, (QStringList{QStringLiteral("a/"), QStringLiteral("top.txt")}));

    const bool removed = removeTreeAt(parent.get(), QFileInfo(tree).fileName().toStdString());
    if (layout == QLatin1String("held")) {
        QVERIFY(!removed);
        QVERIFY(QFileInfo::exists(tree + QStringLiteral("/a/held.bin")));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/top.txt")) && !QFileInfo::exists(tree + QStringLiteral("/a/b")));
    } else if (layout == QLatin1String("link")) {
        QCOMPARE(removed, !QFileInfo::exists(tree));
        QVERIFY(removed || isFolderLink(tree + QStringLiteral("/nembral")));
        QVERIFY(removed || runningUnderWine());
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("keep.txt")});
        QCOMPARE(readAll(elsewhere + QStringLiteral("/keep.txt")), QByteArray("keep"));
    } else {
        QVERIFY(removed);
        QVERIFY(!QFileInfo::exists(tree));
    }
}

QTEST_GUILESS_MAIN(TestUnzip)
#include "tst_unzip.moc"
