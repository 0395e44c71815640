// deleteFile, removeTree and canOpenForReading on a real file system. What a running program
// does to its files is played on Linux by chattr +i, on Windows by another process holding the
// file open (hold-file).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstring>
#include <memory>

#include "cases/filehelper_cases.h"
#include "platform/filehelpers.h"
#include "support/casetable.h"
#include "support/immutablefile.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/underwine.h"

#ifdef Q_OS_WIN
#include "winfs.h"
#include "workflow/installwipe.h"
#endif

using namespace nembral_cases;

namespace {

QStringList linesOf(const char *text)
{
    QStringList lines = QString::fromLatin1(text).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

#ifdef Q_OS_WIN
// The system's code for an entry that a running program keeps: it has the file open.
constexpr int kEntryInUse = 32;  // ERROR_SHARING_VIOLATION

// Another process keeping `path` open for writing with the sharing `share` (none, read,
// readwrite, all); with `folder`, it runs there, as a started program runs in its own folder.
class HeldFile {
public:
    explicit HeldFile(const QString &path, const QString &share = QStringLiteral("readwrite"),
                      const QString &folder = QString())
    {
        if (!folder.isEmpty())
            process_.setWorkingDirectory(QFileInfo(folder).absoluteFilePath());
        process_.start(QStringLiteral(NEMBRAL_HOLDFILE), {QFileInfo(path).absoluteFilePath(), share});
        held_ = process_.waitForReadyRead(10000) && process_.readLine().trimmed() == "held";
    }
    ~HeldFile()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    bool held() const { return held_; }

private:
    QProcess process_;
    bool held_ = false;
};
#else
constexpr int kEntryInUse = EPERM;  // chattr +i
#endif

#ifdef Q_OS_WIN
constexpr bool isWindows = true;
#else
constexpr bool isWindows = false;
#endif

// A file made read-only (on Windows its attribute, which a plain removal refuses).
bool makeReadOnly(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser);
}

// Makes `link` a symbolic link to `target`; false where none can be made.
bool makeLink(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    // QFile::link makes a shortcut on Windows.
    return makeFileLink(QDir::toNativeSeparators(link).toStdWString(), QDir::toNativeSeparators(target).toStdWString());
#else
    return QFile::link(target, link);
#endif
}

}  // namespace

class TestFileHelpers : public QObject {
    Q_OBJECT

private:
    ScratchDir scratch_;
    QString work_;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
    }

    // The helpers take paths relative to the working directory, as the launcher passes them.
    void init()
    {
        QVERIFY(scratch_.enterFreshWorkDir());
        work_ = scratch_.workDir();
    }

    void cleanup() { scratch_.leaveWorkDir(); }

    void deleteFileOutcomes_data() { addCaseRows(kDeleteFileCases); }

    void deleteFileOutcomes()
    {
        QFETCH(int, index);
        const DeleteFileCase &c = kDeleteFileCases[index];
        const QString path = QString::fromLatin1(c.path);
        std::unique_ptr<ImmutableFile> immutable;
#ifdef Q_OS_WIN
        std::unique_ptr<HeldFile> held;
#endif
        switch (c.entry) {
        case Entry::Nothing:
            break;
        case Entry::File:
            QVERIFY(writeFile(path, "data"));
            break;
        case Entry::EmptyDirectory:
            QVERIFY(QDir().mkpath(path));
            break;
        case Entry::FullDirectory:
            QVERIFY(writeFile(path + QStringLiteral("/inner.txt"), "data"));
            break;
        case Entry::Undeletable:
            QVERIFY(writeFile(path, "data"));
#ifdef Q_OS_WIN
            held = std::make_unique<HeldFile>(path);
            QVERIFY(held->held());
#else
            immutable = std::make_unique<ImmutableFile>(path);
            if (!immutable->made())
                QSKIP("chattr +i is not available on this file system");
#endif
            break;
        }

        LogCapture capture;
        deleteFile(c.path);
        const LogCapture::Lines log = capture.take();

        QCOMPARE(log.out, linesOf(c.out));
        const QString err = log.err.isEmpty() ? QString() : log.err.join(QLatin1Char('\n')) + QLatin1Char('\n');
        if (*c.errPrefix == '\0') {
            QCOMPARE(err, QString());
        } else {
            QVERIFY2(err.startsWith(QString::fromLatin1(c.errPrefix)), qPrintable(err));
            QVERIFY2(err.endsWith(QString::fromLatin1(c.errSuffix)), qPrintable(err));
        }
        // Every failure is one line; a failure other than absence carries the system's reason.
        QVERIFY(log.err.size() <= 1);
        if (QByteArray(c.errPrefix).startsWith("remove failed"))
            QVERIFY2(err.size() > qsizetype(qstrlen(c.errPrefix)) + 2, qPrintable(err));
        QCOMPARE(QFileInfo::exists(path), !c.removed && c.entry != Entry::Nothing);
    }

    // Each row builds a working directory from a few instructions, wipes "nembral/nembral" and
    // checks what went, what stayed and what was reported. In the instructions "@" stands for a
    // folder outside the working directory:
    //   file:P  a file          dir:P  a directory        link:T>P  a symbolic link to T
    //   fixed:P chattr +i (even root cannot remove it, nor anything from inside a fixed folder);
    //           on Windows a file held open by another process (folders cannot be fixed there)
    //   marker  the wipe's first step only: removeFileIn("nembral/nembral", "version.txt")
    void removeTree_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("removed");
        QTest::addColumn<QString>("failedPath");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QStringList>("gone");

        const QStringList outsideFiles = {QStringLiteral("file:@/keep.txt"), QStringLiteral("file:@/nembral/version.txt"),
                                          QStringLiteral("file:@/nembral/Nembrals.exe")};
        const QStringList outsideKept = {QStringLiteral("@/keep.txt"), QStringLiteral("@/nembral/version.txt"),
                                         QStringLiteral("@/nembral/Nembrals.exe")};

        QTest::newRow("missing tree") << QStringList() << 0 << QString() << QStringList() << QStringList{QStringLiteral("nembral")};
        QTest::newRow("links inside the tree are removed, not followed")
            << outsideFiles + QStringList{QStringLiteral("file:nembral/nembral/version.txt"), QStringLiteral("file:nembral/nembral/sub/deep/file.bin"), QStringLiteral("link:@>nembral/nembral/sub/to-outside"), QStringLiteral("link:@/keep.txt>nembral/nembral/to-file"), QStringLiteral("link:/nonexistent/target>nembral/nembral/dangling"), QStringLiteral("file:nembral/nembral.zip")}
            << 8 << QString() << outsideKept + QStringList{QStringLiteral("nembral/nembral.zip")}
            << QStringList{QStringLiteral("nembral/nembral")};
        QTest::newRow("the installed folder is a link")
            << outsideFiles + QStringList{QStringLiteral("link:@/nembral>nembral/nembral")} << 1 << QString()
            << outsideKept + QStringList{QStringLiteral("nembral")} << QStringList{QStringLiteral("nembral/nembral")};
        // An installation moved elsewhere, a link left in the place of "nembral": wiped where it
        // lies now, the link and what lies beside the installation stay.
        QTest::newRow("the folder on the way is a link")
            << outsideFiles + QStringList{QStringLiteral("link:@>nembral")} << 3 << QString()
            << QStringList{QStringLiteral("@/keep.txt"), QStringLiteral("nembral")} << QStringList{QStringLiteral("@/nembral")};
        QTest::newRow("a file where the folder on the way should be")
            << QStringList{QStringLiteral("file:nembral")} << 0 << QString() << QStringList{QStringLiteral("nembral")}
            << QStringList();
        QTest::newRow("a file at the path") << QStringList{QStringLiteral("file:nembral/nembral")} << 1 << QString()
                                            << QStringList{QStringLiteral("nembral")}
                                            << QStringList{QStringLiteral("nembral/nembral")};
        // A running copy of the application (or no permission): the first entry that stays is
        // named, with the system's reason, and nothing of it is taken for removed.
        QTest::newRow("the executable cannot be removed")
            << QStringList{QStringLiteral("file:nembral/nembral/Nembrals.exe"), QStringLiteral("fixed:nembral/nembral/Nembrals.exe")}
            << 0 << QStringLiteral("nembral/nembral/Nembrals.exe")
            << QStringList{QStringLiteral("nembral/nembral/Nembrals.exe")} << QStringList();
        QTest::newRow("a folder whose contents cannot be removed")
            << QStringList{QStringLiteral("file:nembral/nembral/data/a.bin"), QStringLiteral("fixed:nembral/nembral/data")}
            << 0 << QStringLiteral("nembral/nembral/data/a.bin") << QStringList{QStringLiteral("nembral/nembral/data/a.bin")}
            << QStringList();
        QTest::newRow("the marker in a folder that cannot be changed")
            << QStringList{QStringLiteral("file:nembral/nembral/version.txt"), QStringLiteral("fixed:nembral/nembral")}
            << 0 << QStringLiteral("nembral/nembral/version.txt")
            << QStringList{QStringLiteral("nembral/nembral/version.txt")} << QStringList();

        // The marker alone, inside the installed folder and never through a link in its place.
        QTest::newRow("marker: only the marker goes")
            << QStringList{QStringLiteral("marker"), QStringLiteral("file:nembral/nembral/version.txt"),
                           QStringLiteral("file:nembral/nembral/Nembrals.exe")}
            << 1 << QString() << QStringList{QStringLiteral("nembral/nembral/Nembrals.exe")}
            << QStringList{QStringLiteral("nembral/nembral/version.txt")};
        QTest::newRow("marker: the installed folder is a link")
            << QStringList{QStringLiteral("marker")} + outsideFiles + QStringList{QStringLiteral("link:@/nembral>nembral/nembral")}
            << 0 << QString() << outsideKept + QStringList{QStringLiteral("nembral/nembral")} << QStringList();
        QTest::newRow("marker: the folder on the way is a link")
            << QStringList{QStringLiteral("marker")} + outsideFiles + QStringList{QStringLiteral("link:@>nembral")} << 1
            << QString() << QStringList{QStringLiteral("@/keep.txt"), QStringLiteral("@/nembral/Nembrals.exe")}
            << QStringList{QStringLiteral("@/nembral/version.txt")};
    }

    void removeTree()
    {
        QFETCH(QStringList, setup);
        QFETCH(int, removed);
        QFETCH(QString, failedPath);
        QFETCH(QStringList, kept);
        QFETCH(QStringList, gone);

        const QString outside = scratch_.filePath(QStringLiteral("outside-%1").arg(QFileInfo(work_).fileName()));
        QVERIFY(QDir().mkpath(outside));
        const auto place = [&outside](QString path) { return path.replace(QLatin1Char('@'), outside); };
        std::vector<std::unique_ptr<ImmutableFile>> fixed;
#ifdef Q_OS_WIN
        std::vector<std::unique_ptr<HeldFile>> held;
#endif
        for (const QString &step : setup) {
            const QString what = step.section(QLatin1Char(':'), 0, 0);
            const QString arg = place(step.section(QLatin1Char(':'), 1));
            if (what == QLatin1String("file")) {
                QVERIFY(writeFile(arg, "x"));
            } else if (what == QLatin1String("link")) {
#ifdef Q_OS_WIN
                QSKIP("symbolic links: QFile makes shortcuts here and wine makes no links (the lane's fixture has them: linksOfTheLane)");
#endif
                const QString link = arg.section(QLatin1Char('>'), 1);
                QVERIFY(QDir().mkpath(QFileInfo(link).path()));
                QVERIFY(QFile::link(arg.section(QLatin1Char('>'), 0, 0), link));
            } else if (what == QLatin1String("fixed")) {
#ifdef Q_OS_WIN
                if (QFileInfo(arg).isDir())
                    QSKIP("a folder cannot be kept from changing on Windows as chattr +i does");
                held.push_back(std::make_unique<HeldFile>(arg));
                QVERIFY(held.back()->held());
#else
                fixed.push_back(std::make_unique<ImmutableFile>(arg));
                if (!fixed.back()->made())
                    QSKIP("chattr +i is not available here (needs root and a file system that supports it)");
#endif
            }
        }

        LogCapture capture;
        const Result<std::uintmax_t> result = setup.contains(QStringLiteral("marker"))
                                                  ? ::removeFileIn("nembral/nembral", "version.txt")
                                                  : ::removeTree("nembral/nembral");
        const LogCapture::Lines log = capture.take();

        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QCOMPARE(result.ok(), failedPath.isEmpty());
        if (result) {
            QCOMPARE(int(result.value()), removed);
        } else {
            QCOMPARE(QString::fromStdString(result.failure().path), failedPath);
            QCOMPARE(result.failure().code, kEntryInUse);
#ifdef Q_OS_WIN
            const QString text = QString::fromStdString(result.failure().text);
            QVERIFY2(!text.isEmpty() && !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')),
                     qPrintable(text));
#else
            QCOMPARE(QString::fromStdString(result.failure().text), QString::fromUtf8(std::strerror(EPERM)));
#endif
        }
        for (const QString &path : kept)
            QVERIFY2(QFileInfo(place(path)).exists() || QFileInfo(place(path)).isSymLink(), qPrintable(path));
        for (const QString &path : gone)
            QVERIFY2(!QFileInfo(path).exists() && !QFileInfo(path).isSymLink(), qPrintable(path));
    }

    // A line of any length costs at most the bound; shorter lines are read whole.
    void readLineIsBounded_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("firstLine");
        const QByteArray full(int(ReadableFile::kMaxLineBytes), 'v');
        QTest::newRow("exactly the bound") << full + "\nnext\n"
                                           << full;
        QTest::newRow("one byte more") << full + "w\nnext\n"
                                       << full;
        QTest::newRow("8 MiB without a line feed") << QByteArray(8 << 20, 'v') << full;
#ifdef Q_OS_WIN
        // Read as text: the Windows line end comes back as a plain line.
        QTest::newRow("short line with CR") << QByteArray("2.0\r\nnext\n") << QByteArray("2.0");
#else
        QTest::newRow("short line with CR") << QByteArray("2.0\r\nnext\n") << QByteArray("2.0\r");
#endif
    }

    void readLineIsBounded()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, firstLine);
        QVERIFY(writeFile(QStringLiteral("version.txt"), content));
        ReadableFile file = canOpenForReading("version.txt");
        QVERIFY(file.isOpen());
        QCOMPARE(QByteArray::fromStdString(file.readLine()), firstLine);
    }

    void canOpenForReadingNeverCreates_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing file") << QStringLiteral("version.txt");
        QTest::newRow("missing directory on the way") << QStringLiteral("nembral/nembral/version.txt");
        QTest::newRow("dangling link") << QStringLiteral("dangling");
        QTest::newRow("directory") << QStringLiteral("adir");
#ifdef Q_OS_UNIX
        QTest::newRow("FIFO, without waiting for a writer") << QStringLiteral("afifo");
#endif
    }

    void canOpenForReadingNeverCreates()
    {
        QFETCH(QString, path);
        const bool linked = makeLink(QStringLiteral("target-that-is-not-there"), QStringLiteral("dangling"));
        if (path == QLatin1String("dangling") && !linked)
            QSKIP("no symbolic link can be made here (wine makes none)");
        QVERIFY(QDir().mkpath(QStringLiteral("adir")));
#ifdef Q_OS_UNIX
        QCOMPARE(::mkfifo("afifo", 0600), 0);
#endif
        const QStringList before = QDir(work_).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);

        ReadableFile file = canOpenForReading(path.toStdString());

        QVERIFY(!file.isOpen());
        QVERIFY(!file);
        QCOMPARE(file.readLine(), std::string());
        QCOMPARE(QDir(work_).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("target-that-is-not-there")));
    }

#ifdef Q_OS_UNIX
    // Held open for writing by another process, the file still counts as present and its lines
    // are read as they stand.
    void fileBeingWrittenElsewhereIsPresent()
    {
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "2.0.1\r\nsecond line\n"));
        QProcess writer;
        writer.start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"), QStringLiteral("exec 3>>nembral/nembral/version.txt; echo ready; cat >/dev/null")});
        QVERIFY(writer.waitForReadyRead(5000));

        ReadableFile file = canOpenForReading("nembral/nembral/version.txt");
        QVERIFY(file.isOpen());
        QCOMPARE(file.readLine(), std::string("2.0.1\r"));
        QCOMPARE(file.readLine(), std::string("second line"));
        QCOMPARE(file.readLine(), std::string());

        writer.closeWriteChannel();
        QVERIFY(writer.waitForFinished(5000));
    }

#endif

    // Our reading denies nobody anything: the vendor's updater or an editor may write the file
    // while we hold it.
    void ourOpenLetsOthersWrite()
    {
        QVERIFY(writeFile(QStringLiteral("version.txt"), "1.0\n"));
        ReadableFile file = canOpenForReading("version.txt");
        QVERIFY(file.isOpen());
        QFile writer(QStringLiteral("version.txt"));
        QVERIFY2(writer.open(QIODevice::WriteOnly | QIODevice::Append), qPrintable(writer.errorString()));
    }

    // Entries a plain removal walk stops at, which the wipe takes away: a read-only file, link or
    // version file (else every later update would stop at the wipe's first step), and on Windows
    // a file another program holds open while it allows deletion (its name must go at once, or
    // its folder stays). The wipe's two steps as it takes them: the version file, then the tree.
    void wipeTakesAwkwardEntries_data()
    {
        QTest::addColumn<QString>("readOnly");  // below nembral/nembral; empty: none
        QTest::addColumn<bool>("link");         // readOnly is a link to a file outside the tree
        QTest::addColumn<bool>("held");         // bin/data.pak held elsewhere with delete sharing
        QTest::newRow("a read-only file") << QStringLiteral("bin/data.pak") << false << false;
        QTest::newRow("a file another process holds with delete sharing") << QString() << false << true;
        QTest::newRow("a read-only file held with delete sharing") << QStringLiteral("bin/data.pak") << false << true;
        QTest::newRow("a read-only version file") << QStringLiteral("version.txt") << false << false;
        QTest::newRow("a read-only link to a file outside") << QStringLiteral("bin/outside.pak") << true << false;
    }

    void wipeTakesAwkwardEntries()
    {
        QFETCH(QString, readOnly);
        QFETCH(bool, link);
        QFETCH(bool, held);
#ifdef Q_OS_WIN
        // wine 8 accepts the POSIX-semantics disposition but keeps the name until the holder
        // closes the file (a FIXME in its ntdll), as Windows did before 1809.
        if (held && runningUnderWine())
            QSKIP("wine does not take a held file's name away at once");
#else
        if (held)
            QSKIP("sharing modes are Windows'");
#endif
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "1.0\n"));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/bin/data.pak"), "x"));
        QVERIFY(writeFile(QStringLiteral("outside.txt"), "keep"));
        const QString entry = QStringLiteral("nembral/nembral/") + readOnly;
        if (link && !makeLink(QFileInfo(QStringLiteral("outside.txt")).absoluteFilePath(), entry))
            QSKIP("no symbolic link can be made here (wine makes none)");
        const QFile::Permissions outside = QFile::permissions(QStringLiteral("outside.txt"));
        // A link has an attribute of its own on Windows; on Linux a change would reach its target.
        if (!readOnly.isEmpty() && !(link && !isWindows))
            QVERIFY(makeReadOnly(entry));
#ifdef Q_OS_WIN
        std::unique_ptr<HeldFile> holder;
        if (held) {
            holder = std::make_unique<HeldFile>(QStringLiteral("nembral/nembral/bin/data.pak"), QStringLiteral("all"));
            QVERIFY(holder->held());
        }
#endif

        const Result<std::uintmax_t> marker = ::removeFileIn("nembral/nembral", "version.txt");
        QVERIFY2(marker.ok(), marker ? "" : marker.failure().text.c_str());
        QCOMPARE(int(marker.value()), 1);
        const Result<std::uintmax_t> result = ::removeTree("nembral/nembral");
        QVERIFY2(result.ok(), result ? "" : (result.failure().path + ": " + result.failure().text).c_str());
        QCOMPARE(int(result.value()), link ? 4 : 3);
        QVERIFY(!QFileInfo::exists(QStringLiteral("nembral/nembral")));
        QVERIFY(QFileInfo::exists(QStringLiteral("nembral")));
        QCOMPARE(readAll(QStringLiteral("outside.txt")), QByteArray("keep"));
        QCOMPARE(QFile::permissions(QStringLiteral("outside.txt")), outside);
    }

#ifdef Q_OS_WIN
    // Deny-none: our read-only open asks for nothing the holder refuses as long as it lets
    // others read. A deny-write open would fail the "read" row, since the holder writes.
    void fileHeldByAnotherProcess_data()
    {
        QTest::addColumn<QString>("share");
        QTest::addColumn<bool>("present");
        QTest::newRow("holder shares reading and writing") << QStringLiteral("readwrite") << true;
        QTest::newRow("holder shares reading only, and writes") << QStringLiteral("read") << true;
        QTest::newRow("holder shares nothing") << QStringLiteral("none") << false;
    }

    void fileHeldByAnotherProcess()
    {
        QFETCH(QString, share);
        QFETCH(bool, present);
        QVERIFY(writeFile(QStringLiteral("version.txt"), "line one\r\nline two\r\n"));
        const HeldFile holder(QStringLiteral("version.txt"), share);
        QVERIFY(holder.held());
        ReadableFile file = canOpenForReading("version.txt");
        QCOMPARE(file.isOpen(), present);
        if (present) {
            QCOMPARE(file.readLine(), std::string("line one"));
            QCOMPARE(file.readLine(), std::string("line two"));
            QCOMPARE(file.readLine(), std::string());
        }
    }

    // "Update to New Version" while the application runs: the installation cannot be set aside
    // (the running program holds its folder as its current one), so it is wiped, and the wipe
    // stops at what the program holds: the file it has open, or its folder. The version file
    // has gone first, so the next run installs afresh; only a held version file keeps it all.
    void wipeStopsAtWhatARunningProgramHolds_data()
    {
        QTest::addColumn<QString>("held");
        QTest::newRow("its executable") << QStringLiteral("nembral/nembral/Nembrals.exe");
        QTest::newRow("a data file") << QStringLiteral("nembral/nembral/data/file.bin");
        QTest::newRow("the version file") << QStringLiteral("nembral/nembral/version.txt");
    }

    void wipeStopsAtWhatARunningProgramHolds()
    {
        QFETCH(QString, held);
        for (const char *file : {"nembral/nembral/version.txt", "nembral/nembral/data/file.bin", "nembral/nembral/Nembrals.exe"})
            QVERIFY(writeFile(QString::fromLatin1(file), "x"));
        const bool marker = held.endsWith(QLatin1String("version.txt"));
        const HeldFile running(held, QStringLiteral("readwrite"), QStringLiteral("nembral/nembral"));
        QVERIFY(running.held());

        LogCapture capture;
        QVERIFY(!wipeInstalledTree());
        const LogCapture::Lines log = capture.take();

        QCOMPARE(log.err.size(), 1);
        const auto names = [&](const QString &path) {
            return log.err[0].startsWith(QStringLiteral("cannot install: \"%1\"").arg(path));
        };
        QVERIFY2(names(held) || (!marker && names(QStringLiteral("nembral/nembral"))), qPrintable(log.err[0]));
        QVERIFY(QFileInfo::exists(held));
        QCOMPARE(QFileInfo::exists(QStringLiteral("nembral/nembral/version.txt")), marker);
        if (marker) {
            QVERIFY(QFileInfo::exists(QStringLiteral("nembral/nembral/Nembrals.exe")));
            QVERIFY(QFileInfo::exists(QStringLiteral("nembral/nembral/data/file.bin")));
        }
    }

    // The links of the Windows lane's fixture (scripts/test-windows.sh: wine makes no links to
    // folders, but shows Unix links as reparse points): CASE/nembral[/nembral] ->
    // outside/CASE[/nembral], an installation behind each. The installed folder as a link is
    // removed as a link (wine may refuse, and then the wipe fails on the link itself, never
    // going through it); through a link on the way the wipe goes, and the link stays.
    void linksOfTheLane_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("link");
        QTest::newRow("the installed folder is a link") << QStringLiteral("installed-link") << QStringLiteral("nembral/nembral");
        QTest::newRow("the folder on the way is a link") << QStringLiteral("way-link") << QStringLiteral("nembral");
    }

    void linksOfTheLane()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, link);
        const QString root = qEnvironmentVariable("NEMBRAL_LINK_FIXTURE");
        if (root.isEmpty())
            QSKIP("NEMBRAL_LINK_FIXTURE is not set (scripts/test-windows.sh sets it)");
        QVERIFY(QDir::setCurrent(root + QLatin1Char('/') + fixture));
        const QString outside = root + QStringLiteral("/outside/") + fixture;
        const bool onTheWay = link == QLatin1String("nembral");
        QVERIFY2(isReparsePoint(link.toStdWString()) && QFileInfo::exists(QStringLiteral("nembral/nembral/version.txt")),
                 "the fixture's link does not read back as a link to the folder");

        const Result<std::uintmax_t> marker = ::removeFileIn("nembral/nembral", "version.txt");
        QVERIFY2(marker.ok(), marker ? "" : marker.failure().text.c_str());
        QCOMPARE(int(marker.value()), onTheWay ? 1 : 0);
        const Result<std::uintmax_t> result = ::removeTree("nembral/nembral");
        const QString failure = result ? QString() : QString::fromStdString(result.failure().path + ": " + result.failure().text);
        if (onTheWay) {
            QVERIFY2(result.ok(), qPrintable(failure));
            QCOMPARE(int(result.value()), 2);
            QVERIFY(!QFileInfo::exists(outside + QStringLiteral("/nembral")));  // the tree behind it went
            QVERIFY(QFileInfo::exists(QStringLiteral("nembral")));              // the link stays
            return;
        }
        if (result.ok()) {
            QCOMPARE(int(result.value()), 1);
            QVERIFY(!isReparsePoint(link.toStdWString()) && !QFileInfo::exists(link));
            QVERIFY(QFileInfo::exists(QStringLiteral("nembral")));
        } else {
            QVERIFY2(runningUnderWine(), qPrintable(QStringLiteral("only wine cannot remove a link: ") + failure));
            QCOMPARE(QString::fromStdString(result.failure().path), link);
        }
        QCOMPARE(readAll(outside + QStringLiteral("/nembral/version.txt")), QByteArray("1.0\n"));
        QVERIFY(QFileInfo::exists(outside + QStringLiteral("/nembral/Nembrals.exe")));
    }
#endif

    void movedFileStaysOpenAndIsClosedOnce()
    {
        QVERIFY(writeFile(QStringLiteral("a.txt"), "first\nsecond\n"));
        ReadableFile moved = canOpenForReading("a.txt");
        QCOMPARE(moved.readLine(), std::string("first"));
        ReadableFile target = std::move(moved);
        QVERIFY(!moved.isOpen());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
        QCOMPARE(target.readLine(), std::string("second"));
        target = canOpenForReading("missing.txt");
        QVERIFY(!target.isOpen());
    }

#ifdef Q_OS_UNIX
    void openFileIsNotPassedToChildren()
    {
        QVERIFY(writeFile(QStringLiteral("a.txt"), "x\n"));
        ReadableFile file = canOpenForReading("a.txt");
        QVERIFY(file.isOpen());
        // Find the descriptor and check it is marked close-on-exec.
        bool found = false;
        for (int fd = 3; fd < 1024 && !found; ++fd) {
            const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
            char target[4096];
            const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = '\0';
            if (QString::fromLocal8Bit(target) == QDir(work_).filePath(QStringLiteral("a.txt"))) {
                found = true;
                QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
            }
        }
        QVERIFY(found);
    }
#endif
};

QTEST_GUILESS_MAIN(TestFileHelpers)
#include "tst_filehelpers.moc"
