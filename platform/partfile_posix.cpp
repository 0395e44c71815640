#include "platform/posix/partfile_posix.h"

#include "platform/posix/directorywalk_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace {

std::atomic<unsigned> partCounter{0};

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Names are `prefix` + PID + "-" + N, both numbers in decimal digits only.
bool isOrphan(const std::string &name, const std::string &prefix)
{
    if (name.rfind(prefix, 0) != 0)
        return false;
    const std::string rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.find_first_not_of("0123456789") != dash
        || rest.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash + 1 == rest.size())
        return false;
    const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
    return pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void removeOrphans(int directory, const std::string &prefix)
{
    // A part file is a regular file: a link or a folder of that name is not ours.
    walkDirectory(directory, [&](const char *name, unsigned char) {
        struct stat st {};
        if (isOrphan(name, prefix) && ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(directory, name, 0);
        return true;
    });
}

// Moves `folder` on to its entry `name`, making that folder first when it is missing. A link
// to a folder is entered like the folder; a file in its place gives ENOTDIR, a link to nothing
// ENOENT.
int enterFolder(UniqueFd &folder, const std::string &name)
{
    if (::mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST)
        return errno;
    UniqueFd next(::openat(folder.get(), name.c_str(), kOpenFolder));
    if (!next)
        return errno;
    folder = std::move(next);
    return 0;
}

}  // namespace

PartFile::PartFile(std::string base, std::string relative) : base_(std::move(base)), relative_(std::move(relative)) {}

PartFile::~PartFile()
{
    fd_.reset();
    if (!partName_.empty())
        ::unlinkat(directory_.get(), partName_.c_str(), 0);
}

int PartFile::open()
{
    if (fd_)
        return 0;
    UniqueFd folder(::open(base_.empty() ? "." : base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return errno;
    // A first install has no "nembral" folder yet; without it the package could never be
    // stored, so the folders on the way are made.
    std::size_t start = 0;
    for (std::size_t slash; (slash = relative_.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = relative_.substr(start, slash - start);
        if (part.empty() || part == ".")
            continue;
        if (const int error = enterFolder(folder, part); error != 0)
            return error;
    }
    name_ = relative_.substr(start);
    if (name_.empty() || name_ == "." || name_ == "..")
        return EISDIR;
    directory_ = std::move(folder);

    const std::string prefix = "." + name_ + ".part-";
    removeOrphans(directory_.get(), prefix);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + std::to_string(::getpid()) + "-" + std::to_string(partCounter.fetch_add(1));
        UniqueFd fd(::openat(directory_.get(), candidate.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd) {
            fd_ = std::move(fd);
            partName_ = std::move(candidate);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int PartFile::write(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd_.get(), data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int PartFile::commit()
{
    // Not flushed: the archive is a passing file. After a crash the next run knows nothing of
    // it and downloads again, and the extraction checks every entry before it writes any; only
    // the installed tree has to survive a power cut, and the extraction tool flushes that.
    if (const int error = fd_.close(); error != 0)
        return error;
    // Within the folder opened above: a link at the destination's name is replaced, never
    // followed.
    if (::renameat(directory_.get(), partName_.c_str(), directory_.get(), name_.c_str()) != 0)
        return errno;
    partName_.clear();
    return 0;
}
