#include "tests/tools/toolsystem.h"

#include "platform/posix/uniquefd_posix.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class InotifyEvents final : public DirectoryEvents {
public:
    explicit InotifyEvents(const QString &dir) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_)
            ::inotify_add_watch(fd_.get(), QFile::encodeName(dir).constData(), IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE);
    }

    bool valid() const { return fd_.valid(); }

    QStringList take() override
    {
        alignas(inotify_event) char buffer[64 * 1024];
        ssize_t n;
        while ((n = ::read(fd_.get(), buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(p);
                const QString name = QFile::decodeName(e->len ? e->name : "");
                if (e->mask & IN_CREATE)
                    events_ << QStringLiteral("created ") + name;
                else if (e->mask & IN_MOVED_TO)
                    events_ << QStringLiteral("moved in ") + name;
                else if (e->mask & IN_MOVED_FROM)
                    events_ << QStringLiteral("moved out ") + name;
                else if (e->mask & IN_DELETE)
                    events_ << QStringLiteral("deleted ") + name;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return events_;
    }

private:
    UniqueFd fd_;
    QStringList events_;
};

}  // namespace

// The tool names its worker threads, which shows in each task's comm.
int namedWorkerThreads(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    int workers = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        workers += readAll(tasks + QLatin1Char('/') + task + QStringLiteral("/comm")) == "unzip worker\n";
    return workers;
}

bool filesHavePermissions()
{
    return true;
}

int masked(int permissions)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return permissions & ~int(mask);
}

int permissionsOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

bool symbolicLinksCanBeMade()
{
    return true;
}

bool makeFolderLink(const QString &target, const QString &link)
{
    return QFile::link(target, link);
}

bool isFolderLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

// A file open here stops no rename or removal.
std::shared_ptr<void> holdWithoutDeleteSharing(const QString &)
{
    return nullptr;
}

std::shared_ptr<void> refuseFlushes(int)
{
    return nullptr;
}

std::unique_ptr<DirectoryEvents> DirectoryEvents::watch(const QString &dir)
{
    auto events = std::make_unique<InotifyEvents>(dir);
    if (!events->valid())
        return nullptr;
    return events;
}

bool startWithLostStandardError(QProcess &process, const QString &program, const QStringList &args,
                                const QString &workingDirectory)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    ::close(ends[0]);
    const int lost = ends[1];
    process.setWorkingDirectory(workingDirectory);
    process.setChildProcessModifier([lost] { ::dup2(lost, STDERR_FILENO); });
    process.start(program, args);
    const bool started = process.waitForStarted(10000);
    ::close(lost);
    return started;
}

void prepareForStopRequest(QProcess &)
{
}

bool requestStop(QProcess &process)
{
    process.terminate();  // SIGTERM
    return true;
}

bool systemCallsCanBeRecorded()
{
    return true;
}

QByteArray consoleLineEnd()
{
    return QByteArrayLiteral("\n");
}
