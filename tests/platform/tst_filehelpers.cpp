// deleteFile, removeTree and canOpenForReading on a real file system.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "cases/filehelper_cases.h"
#include "platform/filehelpers.h"
#include "support/casetable.h"
#include "support/immutablefile.h"
#include "support/logcapture.h"
#include "support/testfiles.h"

using namespace nembral_cases;

namespace {

QStringList linesOf(const char *text)
{
    QStringList lines = QString::fromLatin1(text).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
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
            immutable = std::make_unique<ImmutableFile>(path);
            if (!immutable->made())
                QSKIP("chattr +i is not available on this file system");
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
    //   fixed:P chattr +i (even root cannot remove it, nor anything from inside a fixed folder)
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

        QTest::newRow("missing tree") << QStringList() << 0 << QString() << QStringList() << QStringList();
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
        for (const QString &step : setup) {
            const QString what = step.section(QLatin1Char(':'), 0, 0);
            const QString arg = place(step.section(QLatin1Char(':'), 1));
            if (what == QLatin1String("file")) {
                QVERIFY(writeFile(arg, "x"));
            } else if (what == QLatin1String("link")) {
                const QString link = arg.section(QLatin1Char('>'), 1);
                QVERIFY(QDir().mkpath(QFileInfo(link).path()));
                QVERIFY(QFile::link(arg.section(QLatin1Char('>'), 0, 0), link));
            } else if (what == QLatin1String("fixed")) {
                fixed.push_back(std::make_unique<ImmutableFile>(arg));
                if (!fixed.back()->made())
                    QSKIP("chattr +i is not available here (needs root and a file system that supports it)");
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
            QCOMPARE(result.failure().code, EPERM);
            QCOMPARE(QString::fromStdString(result.failure().text), QString::fromUtf8(std::strerror(EPERM)));
        }
        for (const QString &path : kept)
            QVERIFY2(QFileInfo(place(path)).exists() || QFileInfo(place(path)).isSymLink(), qPrintable(path));
        for (const QString &path : gone)
            QVERIFY2(!QFileInfo(path).exists() && !QFileInfo(path).isSymLink(), qPrintable(path));
    }

    void removeTreeOnAMissingPathTwiceIsHarmless()
    {
        LogCapture capture;
        QVERIFY(::removeTree("nembral/nembral").ok());
        QVERIFY(::removeTree("nembral/nembral").ok());
        const LogCapture::Lines log = capture.take();
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QVERIFY(!QFileInfo::exists(QStringLiteral("nembral")));
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
        QTest::newRow("short line with CR") << QByteArray("2.0\r\nnext\n") << QByteArray("2.0\r");
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
        QTest::newRow("FIFO, without waiting for a writer") << QStringLiteral("afifo");
    }

    void canOpenForReadingNeverCreates()
    {
        QFETCH(QString, path);
        QVERIFY(QFile::link(QStringLiteral("target-that-is-not-there"), QStringLiteral("dangling")));
        QVERIFY(QDir().mkpath(QStringLiteral("adir")));
        QCOMPARE(::mkfifo("afifo", 0600), 0);
        const QStringList before = QDir(work_).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);

        ReadableFile file = canOpenForReading(path.toStdString());

        QVERIFY(!file.isOpen());
        QVERIFY(!file);
        QCOMPARE(file.readLine(), std::string());
        QCOMPARE(QDir(work_).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("target-that-is-not-there")));
    }

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
};

QTEST_GUILESS_MAIN(TestFileHelpers)
#include "tst_filehelpers.moc"
