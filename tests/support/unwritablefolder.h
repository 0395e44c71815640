#pragma once

#include <QFile>
#include <QString>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

// Takes the write permission of the folder `path`, so that nothing in it can be removed: how a
// user without root locks part of their own tree. Run as root, this thread also drops its
// capability to override permissions while the object lives (capabilities belong to each
// thread), so the unprivileged case is tested under root too. Undone when the object goes away,
// on the folder itself wherever the code under test has moved it meanwhile.
// Windows has no such permission bits: there made() is false and the test skips (the Windows
// lane locks entries by holding them open instead).
#ifndef Q_OS_LINUX
class UnwritableFolder {
public:
    explicit UnwritableFolder(const QString &) {}
    bool made() const { return false; }
};
#else
class UnwritableFolder {
public:
    explicit UnwritableFolder(const QString &path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || ::fchmod(fd_, st.st_mode & 0555) != 0)
            return;
        mode_ = st.st_mode & 07777;
        made_ = ::geteuid() != 0 || (dropped_ = setOverride(false));
    }
    ~UnwritableFolder()
    {
        if (dropped_)
            setOverride(true);
        if (mode_)
            ::fchmod(fd_, mode_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    UnwritableFolder(const UnwritableFolder &) = delete;
    UnwritableFolder &operator=(const UnwritableFolder &) = delete;

    bool made() const { return made_; }

private:
    static bool setOverride(bool on)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
        if (::syscall(SYS_capget, &header, caps) != 0)
            return false;
        caps[0].effective = on ? caps[0].effective | (1u << CAP_DAC_OVERRIDE) : caps[0].effective & ~(1u << CAP_DAC_OVERRIDE);
        return ::syscall(SYS_capset, &header, caps) == 0;
    }

    int fd_;
    mode_t mode_ = 0;
    bool made_ = false;
    bool dropped_ = false;
};
#endif
