#pragma once

#include "support/immutablefile.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>

// An entry that a removal on this thread cannot take away, made one of two ways:
//   Immutable   chattr +i on the entry: even root cannot remove it, nor anything from inside
//               it when it is a folder. Root only.
//   NoWrite     the write permission of the entry's folder taken away, so nothing in that
//               folder can be removed (a user's own tree with a folder locked). Run as root,
//               the thread also drops the capability that overrides permissions for as long as
//               the object lives (capabilities belong to each thread), so this way tests the
//               unprivileged case under root too. Other threads keep their rights.
// Everything is undone when the object goes away.
class LockedEntry {
public:
    enum class Way { Immutable, NoWrite };

    LockedEntry(const QString &path, Way way) : way_(way)
    {
        if (way == Way::Immutable) {
            immutable_ = std::make_unique<ImmutableFile>(path);
            if (!immutable_->made())
                why_ = QStringLiteral("chattr +i is not available here (needs root and a file system that supports it)");
            return;
        }
        folder_ = QFile::encodeName(QFileInfo(path).absolutePath());
        struct stat st {};
        if (::stat(folder_.constData(), &st) != 0 || ::chmod(folder_.constData(), st.st_mode & 0555) != 0) {
            why_ = QStringLiteral("cannot take the write permission of %1").arg(QString::fromLocal8Bit(folder_));
            return;
        }
        mode_ = st.st_mode & 07777;
        if (::geteuid() == 0 && !setPermissionOverride(false))
            why_ = QStringLiteral("cannot drop this thread's capability to override permissions");
    }

    ~LockedEntry()
    {
        if (droppedOverride_)
            setPermissionOverride(true);
        if (mode_ != 0)
            ::chmod(folder_.constData(), mode_);
    }

    LockedEntry(const LockedEntry &) = delete;
    LockedEntry &operator=(const LockedEntry &) = delete;

    // Empty when the entry is locked; otherwise why not (the test skips saying so).
    QString skipReason() const { return why_; }

    // The system's text for the refusal a removal then meets.
    QString reason() const { return QString::fromLocal8Bit(std::strerror(way_ == Way::Immutable ? EPERM : EACCES)); }

private:
    bool setPermissionOverride(bool on)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (::syscall(SYS_capget, &header, data) != 0)
            return false;
        const unsigned bit = 1u << CAP_DAC_OVERRIDE;
        data[0].effective = on ? (data[0].effective | bit) : (data[0].effective & ~bit);
        if (::syscall(SYS_capset, &header, data) != 0)
            return false;
        droppedOverride_ = !on;
        return true;
    }

    Way way_;
    std::unique_ptr<ImmutableFile> immutable_;
    QByteArray folder_;
    mode_t mode_ = 0;
    bool droppedOverride_ = false;
    QString why_;
};
