#include "platform/posix/partfile_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace {

std::atomic<unsigned> partCounter{0};

// Names are `prefix` + PID + "-" + N, both numbers in decimal digits only.
void removeOrphans(const std::filesystem::path &directory, const std::string &prefix)
{
    std::error_code ec;
    const auto dirPath = directory.empty() ? std::filesystem::path(".") : directory;
    for (std::filesystem::directory_iterator it(dirPath, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        const std::string rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || rest.find_first_not_of("0123456789") != dash
            || rest.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash + 1 == rest.size())
            continue;
        const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlink(it->path().c_str());
    }
}

}  // namespace

PartFile::PartFile(std::string destination) : destination_(std::move(destination)) {}

PartFile::~PartFile()
{
    fd_.reset();
    if (!path_.empty())
        ::unlink(path_.c_str());
}

int PartFile::open()
{
    if (fd_)
        return 0;
    const std::filesystem::path destination(destination_);
    std::error_code ec;
    // A first install has no "nembral" directory yet; without it the package could never be
    // stored, so the directories on the way are made.
    if (destination.has_parent_path())
        std::filesystem::create_directories(destination.parent_path(), ec);
    std::string hiddenName = ".";
    hiddenName += destination.filename().string();
    removeOrphans(destination.parent_path(), hiddenName + ".part-");
    const std::string stem = (destination.parent_path() / hiddenName).string();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string candidate =
            stem + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(partCounter.fetch_add(1));
        UniqueFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd) {
            fd_ = std::move(fd);
            path_ = std::move(candidate);
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
    if (const int error = fd_.close(); error != 0)
        return error;
    if (::rename(path_.c_str(), destination_.c_str()) != 0)
        return errno;
    path_.clear();
    return 0;
}
