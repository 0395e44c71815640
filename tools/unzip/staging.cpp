#include "tools/unzip/staging.h"

#include "tools/unzip/removetree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::string_view kStagingPrefix = ".unzip-";
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string randomSuffix()
{
    static std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<int> pick(0, 35);
    std::string suffix(12, '0');
    for (char &c : suffix)
        c = digits[pick(generator)];
    return suffix;
}

bool existsAt(int directory, const std::string &name)
{
    struct stat st {};
    return ::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

// The names in the open directory `directory` (without "." and ".."), and for each whether
// it is a directory (not a link to one). False when it cannot be read.
bool listDirectory(int directory, std::vector<std::pair<std::string, bool>> &names)
{
    UniqueFd copy(::openat(directory, ".", kDirectoryFlags));
    if (!copy.valid())
        return false;
    const int fd = copy.get();
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(copy.release()));
    if (!stream) {
        ::close(fd);
        return false;
    }
    errno = 0;
    while (const dirent *entry = ::readdir(stream.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDirectory = ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        names.emplace_back(name, isDirectory);
    }
    return errno == 0;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

UniqueFd openDestination(const std::string &given, std::string &error)
{
    const std::string path = withoutTrailingSlashes(given);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    if (ec) {
        error = "cannot create '" + parent.string() + "': " + ec.message();
        return UniqueFd();
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot create '" + given + "': " + std::strerror(errno);
        return UniqueFd();
    }
    UniqueFd destination(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (destination.valid())
        return destination;
    const int openError = errno;
    struct stat st {};
    if (openError == ENOENT && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        error = "cannot extract into '" + given + "': it is a symbolic link to nothing";
    else if (openError == ENOTDIR)
        error = "'" + given + "' is not a directory";
    else
        error = "cannot open '" + given + "': " + std::strerror(openError);
    return UniqueFd();
}

std::unique_ptr<StagingDirectory> StagingDirectory::create(int destination, const std::string &destinationName,
                                                           std::string &error)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = std::string(kStagingPrefix) + randomSuffix();
        if (::mkdirat(destination, name.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue; // name taken; draw another
            break;
        }
        std::unique_ptr<StagingDirectory> staging(
            new StagingDirectory(destination, destinationName, name, UniqueFd(::openat(destination, name.c_str(), kDirectoryFlags))));
        StagingDirectory &s = *staging;
        const int root = s.root_.get();
        if (root < 0 || ::mkdirat(root, "tree", 0700) != 0 || ::mkdirat(root, "replaced", 0700) != 0
            || !(s.tree_ = UniqueFd(::openat(root, "tree", kDirectoryFlags))).valid()
            || !(s.replaced_ = UniqueFd(::openat(root, "replaced", kDirectoryFlags))).valid()) {
            error = "cannot create '" + destinationName + "/" + name + "/tree': " + std::strerror(errno);
            return nullptr;
        }
        return staging;
    }
    error = "cannot create a staging directory in '" + destinationName + "': " + std::strerror(errno);
    return nullptr;
}

StagingDirectory::~StagingDirectory()
{
    tree_.reset();
    replaced_.reset();
    root_.reset();
    removeTreeAt(destination_, rootName_);
}

bool StagingDirectory::flush(bool wholeFileSystem, std::string &error)
{
    if ((wholeFileSystem ? ::syncfs(tree_.get()) : ::fsync(tree_.get())) == 0)
        return true;
    error = "cannot write '" + destinationName_ + "/" + rootName_ + "/tree' to the disk: " + std::strerror(errno);
    return false;
}

bool StagingDirectory::moveIntoPlace(std::string &error)
{
    std::vector<std::pair<std::string, bool>> listed;
    if (!listDirectory(tree_.get(), listed)) {
        error = "cannot list '" + destinationName_ + "/" + rootName_ + "/tree': " + std::strerror(errno);
        return false;
    }
    // Entries holding the marker go last. A link to a folder that holds it is not that
    // folder: it goes with the others.
    const auto holdsVersionFile = [this](const std::pair<std::string, bool> &entry) {
        return entry.first == "version.txt" || (entry.second && existsAt(tree_.get(), entry.first + "/version.txt"));
    };
    std::stable_partition(listed.begin(), listed.end(), [&](const auto &entry) { return !holdsVersionFile(entry); });

    for (const auto &[name, isDirectory] : listed) {
        const std::string target = destinationName_ + "/" + name;
        // renameat moves a link itself, never what it points to.
        const bool occupied = existsAt(destination_, name);
        if (occupied && ::renameat(destination_, name.c_str(), replaced_.get(), name.c_str()) != 0) {
            error = "cannot move the old '" + target + "' aside: " + std::strerror(errno);
            return false;
        }
        if (::renameat(tree_.get(), name.c_str(), destination_, name.c_str()) != 0) {
            error = "cannot move '" + name + "' into '" + destinationName_ + "': " + std::strerror(errno);
            if (occupied)
                ::renameat(replaced_.get(), name.c_str(), destination_, name.c_str()); // put the old one back
            return false;
        }
    }
    if (::fsync(destination_) != 0) {
        error = "cannot write '" + destinationName_ + "' to the disk: " + std::strerror(errno);
        return false;
    }
    return true;
}

std::size_t removeStaleStaging(int destination)
{
    std::vector<std::pair<std::string, bool>> listed;
    listDirectory(destination, listed);
    std::size_t removed = 0;
    for (const auto &[name, isDirectory] : listed) {
        if (isDirectory && name.rfind(kStagingPrefix, 0) == 0 && removeTreeAt(destination, name))
            ++removed;
    }
    return removed;
}
