// deleteFile, removeTree and canOpenForReading on a real file system.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include "cases/filehelper_cases.h"
#include "platform/filehelpers.h"
#include "support/casetable.h"
#include "support/logcapture.h"
#include "support/testfiles.h"

using namespace nembral_cases;

namespace {

// chattr +i makes a file that even root cannot remove; undone in the destructor.
class ImmutableFile {
public:
    explicit ImmutableFile(const QString &path) : path_(path)
    {
        made_ = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path_}) == 0;
    }
    ~ImmutableFile()
    {
        if (made_)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path_});
    }
    bool made() const { return made_; }

private:
    QString path_;
    bool made_ = false;
};

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

    void removeTreeLeavesLinkedOutsideDirectoryAlone()
    {
        const QString outside = scratch_.filePath(QStringLiteral("outside-%1").arg(QFileInfo(work_).fileName()));
        QVERIFY(writeFile(outside + QStringLiteral("/keep.txt"), "keep"));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "1"));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/sub/deep/file.bin"), "x"));
        QVERIFY(QFile::link(outside, QStringLiteral("nembral/nembral/sub/to-outside")));
        QVERIFY(QFile::link(outside + QStringLiteral("/keep.txt"), QStringLiteral("nembral/nembral/to-file")));
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/target"), QStringLiteral("nembral/nembral/dangling")));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral.zip"), "zip"));

        LogCapture capture;
        const std::uintmax_t removed = removeTree("nembral/nembral");
        const LogCapture::Lines log = capture.take();

        QCOMPARE(removed, std::uintmax_t(8));
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QVERIFY(!QFileInfo::exists(QStringLiteral("nembral/nembral")));
        // Only the named directory goes: its parent and siblings stay, and so does the outside.
        QVERIFY(QFileInfo::exists(QStringLiteral("nembral/nembral.zip")));
        QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
    }

    void removeTreeOnALinkRemovesOnlyTheLink()
    {
        const QString outside = scratch_.filePath(QStringLiteral("linked-%1").arg(QFileInfo(work_).fileName()));
        QVERIFY(writeFile(outside + QStringLiteral("/keep.txt"), "keep"));
        QVERIFY(QDir().mkpath(QStringLiteral("nembral")));
        QVERIFY(QFile::link(outside, QStringLiteral("nembral/nembral")));

        QCOMPARE(removeTree("nembral/nembral"), std::uintmax_t(1));
        QVERIFY(!QFileInfo(QStringLiteral("nembral/nembral")).isSymLink());
        QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
    }

    void removeTreeOnAMissingPathTwiceIsHarmless()
    {
        LogCapture capture;
        QCOMPARE(removeTree("nembral/nembral"), std::uintmax_t(0));
        QCOMPARE(removeTree("nembral/nembral"), std::uintmax_t(0));
        const LogCapture::Lines log = capture.take();
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QVERIFY(!QFileInfo::exists(QStringLiteral("nembral")));
    }

    // A file that cannot be removed (a running copy holding it, no permission) must not bring
    // the launcher down: one line names the operation, the path and the reason; what could be
    // removed is gone.
    void removeTreeFailureIsLoggedNotFatal()
    {
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/a.txt"), "a"));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/locked/in-use.exe"), "x"));
        ImmutableFile immutable(QStringLiteral("nembral/nembral/locked/in-use.exe"));
        if (!immutable.made())
            QSKIP("chattr +i is not available on this file system");

        LogCapture capture;
        removeTree("nembral/nembral");
        const LogCapture::Lines log = capture.take();

        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err.size(), 1);
        QVERIFY2(log.err[0].startsWith(QStringLiteral("remove_all failed for \"nembral/nembral\": ")),
                 qPrintable(log.err[0]));
        QVERIFY2(log.err[0].size() > 45, qPrintable(log.err[0]));
        QVERIFY(QFileInfo::exists(QStringLiteral("nembral/nembral/locked/in-use.exe")));
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
        QVERIFY(!moved.isOpen());
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
            char link[64];
            char target[4096];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            const ssize_t n = ::readlink(link, target, sizeof target - 1);
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
