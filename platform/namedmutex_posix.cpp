#include "platform/namedmutex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/posix/uniquefd_posix.h"

// A Windows named mutex exists while some process holds a handle to it and vanishes when the
// last holder exits or dies. Here a holder keeps a read lock (an open-file-description record
// lock) on a lock file in a private per-user directory; the kernel drops the lock when the
// holder's descriptor goes away, kill -9 included. The file is only a rendezvous point: whether
// the name exists is decided by the locks, never by the file being there.
//
// Probe: open the file without creating it and ask which lock would stand in the way of a
// write lock. A read lock is a holder. The probe takes no lock itself, so probes never disturb
// each other or a holder. The only write lock ever taken is the last holder's, for the instant
// it tidies up; it means that nobody holds the name any more.

namespace {

// An existing directory counts only if it is ours, really a directory and private.
bool isPrivateDirectory(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// The directory that holds this user's mutex files: below $XDG_RUNTIME_DIR (per user, 0700,
// emptied at logout), otherwise a private directory of ours in the temporary directory.
// Empty when no safe place exists.
std::string mutexDirectory(bool create)
{
    std::string base;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/' && isPrivateDirectory(runtime)) {
        base = runtime;
    } else {
        const char *tmp = std::getenv("TMPDIR");
        base = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/nembral-"
               + std::to_string(::getuid());
        if (create)
            ::mkdir(base.c_str(), 0700);
        if (!isPrivateDirectory(base))
            return {};
    }
    const std::string dir = base + "/nembral-mutex";
    if (create)
        ::mkdir(dir.c_str(), 0700);
    return isPrivateDirectory(dir) ? dir : std::string();
}

// "Local\" is the session namespace, which is also where an unprefixed name lives, so both
// spellings denote the same mutex. Anything outside a safe set of characters is escaped.
std::string fileNameFor(const std::string &name)
{
    static const std::string localPrefix = "Local\\";
    std::string bare = name.rfind(localPrefix, 0) == 0 ? name.substr(localPrefix.size()) : name;
    std::string file;
    for (const char c : bare) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'
            || u == '-' || (u == '.' && !file.empty())) {
            file.push_back(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            file.push_back('%');
            file.push_back(hex[u >> 4]);
            file.push_back(hex[u & 15]);
        }
    }
    return file + ".lock";
}

std::string lockPathFor(const std::string &name, bool create)
{
    const std::string dir = mutexDirectory(create);
    return dir.empty() ? std::string() : dir + "/" + fileNameFor(name);
}

// Open-file-description locks belong to the descriptor, not the process, so a probe sees a
// holder in its own process too, and a holder keeps its lock until its descriptor is closed.
int setLock(int fd, short type, bool wait)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int rc;
    while ((rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock)) != 0 && errno == EINTR) {
    }
    return rc;
}

bool sameFile(int fd, const std::string &path)
{
    struct stat byFd {};
    struct stat byPath {};
    return ::fstat(fd, &byFd) == 0 && ::stat(path.c_str(), &byPath) == 0 && byFd.st_dev == byPath.st_dev
           && byFd.st_ino == byPath.st_ino;
}

}  // namespace

bool namedMutexExists(const std::string &name)
{
    const std::string path = lockPathFor(name, false);
    if (path.empty())
        return false;
    // Never O_CREAT: probing a name nobody holds leaves no trace.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (!fd.valid())
        return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type == F_RDLCK;
}

struct NamedMutexHolder::Impl {
    std::string path;
    UniqueFd fd;
};

NamedMutexHolder::NamedMutexHolder(const std::string &name) : impl_(new Impl)
{
    impl_->path = lockPathFor(name, true);
    if (impl_->path.empty())
        return;
    // A releasing holder may unlink the file between our open() and our lock; a lock on an
    // unlinked file would be invisible to probes, so check that we locked what the path names.
    for (int tries = 0; tries < 100; ++tries) {
        UniqueFd fd(::open(impl_->path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
        if (!fd.valid())
            return;
        if (setLock(fd.get(), F_RDLCK, true) != 0)
            return;
        if (sameFile(fd.get(), impl_->path)) {
            impl_->fd = std::move(fd);
            return;
        }
    }
}

NamedMutexHolder::~NamedMutexHolder()
{
    if (impl_->fd.valid()) {
        // Tidy up when we were the last holder: the exclusive lock shows that nobody else holds
        // the name, and holders that opened the file meanwhile notice the unlink and reopen.
        if (setLock(impl_->fd.get(), F_WRLCK, false) == 0)
            ::unlink(impl_->path.c_str());
    }
    delete impl_;
}

bool NamedMutexHolder::held() const
{
    return impl_->fd.valid();
}
