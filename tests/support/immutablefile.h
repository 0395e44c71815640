#pragma once

#include <QString>

#ifdef Q_OS_LINUX
#include <QFile>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

// chattr +i makes an entry that even root cannot remove, nor anything be removed from or
// added to it when it is a folder: how the tests stand for a file held by a running program or
// kept without permission. Undone when the object goes away, on the entry itself wherever the
// code under test has moved it meanwhile (a tree set aside, say): otherwise it would stay behind,
// and nothing could remove it. made() is false without root, on a file system without the flag,
// or away from Linux; the test then skips.
#ifndef Q_OS_LINUX
class ImmutableFile {
public:
    explicit ImmutableFile(const QString &) {}
    bool made() const { return false; }
};
#else
class ImmutableFile {
public:
    explicit ImmutableFile(const QString &path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC))
    {
        made_ = fd_ >= 0 && setFlag(true);
    }
    ~ImmutableFile()
    {
        if (made_)
            setFlag(false);
        if (fd_ >= 0)
            ::close(fd_);
    }
    ImmutableFile(const ImmutableFile &) = delete;
    ImmutableFile &operator=(const ImmutableFile &) = delete;

    bool made() const { return made_; }

private:
    bool setFlag(bool on) const
    {
        int flags = 0;
        if (::ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0)
            return false;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        return ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }

    int fd_;
    bool made_ = false;
};
#endif
