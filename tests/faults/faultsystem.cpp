#include "faultsystem.h"

#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool setImmutable(int fd, bool on)
{
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

}  // namespace

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

TmpfsMount::~TmpfsMount()
{
    unmount();
}

QString TmpfsMount::mount(const QString &path, int kilobytes)
{
    if (!runningAsRoot())
        return QStringLiteral("mounting a tmpfs needs root");
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0755";
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0)
        return QStringLiteral("mount -t tmpfs on %1 failed: %2").arg(path, systemError(errno));
    path_ = path;
    kilobytes_ = kilobytes;
    return {};
}

QString TmpfsMount::remountReadOnly()
{
    const QByteArray options = "size=" + QByteArray::number(kilobytes_) + "k,mode=0755";
    if (::mount("tmpfs", QFile::encodeName(path_).constData(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                options.constData())
        != 0)
        return QStringLiteral("remounting %1 read-only failed: %2").arg(path_, systemError(errno));
    return {};
}

bool TmpfsMount::unmount()
{
    if (path_.isEmpty())
        return true;
    const QByteArray path = QFile::encodeName(path_);
    // A path that vanished under the mount (the row deleted it) can still be unmounted by
    // name; something still working there (a process being killed) leaves it busy for a
    // moment, and a lazy unmount then detaches it at once and frees it when the last user goes.
    bool done = ::umount2(path.constData(), 0) == 0 || errno == EINVAL || errno == ENOENT;
    for (int i = 0; !done && i < 20; ++i) {
        ::usleep(50 * 1000);
        done = ::umount2(path.constData(), 0) == 0 || errno == EINVAL || errno == ENOENT;
    }
    if (!done)
        done = ::umount2(path.constData(), MNT_DETACH) == 0;
    if (done)
        path_.clear();
    return done;
}

qint64 TmpfsMount::usedKb() const
{
    struct statvfs fs {};
    if (path_.isEmpty() || ::statvfs(QFile::encodeName(path_).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_blocks - fs.f_bfree) * qint64(fs.f_frsize) / 1024;
}

UnremovableEntry::~UnremovableEntry()
{
    release();
}

QString UnremovableEntry::make(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    if (runningAsRoot()) {
        // The descriptor stays open: the attribute is taken off through it, wherever a faulty
        // program may have moved the file meanwhile.
        fd_ = ::open(file.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd_ < 0 || !setImmutable(fd_, true)) {
            const QString why = systemError(errno);
            release();
            return QStringLiteral("cannot make %1 immutable (chattr +i): %2").arg(path, why);
        }
    } else {
        // Through a descriptor too: the permission comes back wherever the folder has gone.
        const QString folder = QFileInfo(path).absolutePath();
        folderFd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0 || ::fchmod(folderFd_, 0555) != 0) {
            const QString why = systemError(errno);
            release();
            return QStringLiteral("cannot take the write permission of %1: %2").arg(folder, why);
        }
    }
    return {};
}

QString UnremovableEntry::reason() const
{
    return systemError(fd_ >= 0 ? EPERM : EACCES);
}

void UnremovableEntry::release()
{
    if (fd_ >= 0) {
        setImmutable(fd_, false);
        ::close(fd_);
        fd_ = -1;
    }
    if (folderFd_ >= 0) {
        ::fchmod(folderFd_, 0755);
        ::close(folderFd_);
        folderFd_ = -1;
    }
}

int pipeWithoutReader()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    ::close(ends[0]);
    return ends[1];
}

qint64 peakMemoryKb(pid_t pid)
{
    const QByteArray status = readAll(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

QMap<QString, QString> snapshot(const QString &dir)
{
    QMap<QString, QString> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString what = QStringLiteral("mode %1 size %2 changed %3.%4")
                           .arg(st.st_mode, 0, 8)
                           .arg(qint64(st.st_size))
                           .arg(qint64(st.st_ctim.tv_sec))
                           .arg(qint64(st.st_ctim.tv_nsec));
        if (S_ISLNK(st.st_mode))
            what += QStringLiteral(" link");
        else if (S_ISREG(st.st_mode))
            what += QStringLiteral(" sha1 ")
                    + QString::fromLatin1(QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha1).toHex());
        entries.insert(QDir(dir).relativeFilePath(path), what);
    }
    return entries;
}

QString differences(const QMap<QString, QString> &before, const QMap<QString, QString> &after)
{
    QStringList lines;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            lines << QStringLiteral("removed: ") + it.key();
        else if (after.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key() + QStringLiteral(" (") + it.value()
                         + QStringLiteral(" -> ") + after.value(it.key()) + QStringLiteral(")");
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (!before.contains(it.key()))
            lines << QStringLiteral("added: ") + it.key();
    return lines.join(QLatin1Char('\n'));
}

QStringList diskListing(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString entry = QDir(dir).relativeFilePath(path);
        const QFileInfo info(path);
        if (info.isSymLink()) {
            char target[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            entry += QStringLiteral(" -> ") + QString::fromLocal8Bit(target, n > 0 ? n : 0);
        }
        found << entry;
    }
    found.sort();
    return found;
}
