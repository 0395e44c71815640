#include "tools/unzip/staging.h"

#include "tools/unzip/directoryops.h"
#include "tools/unzip/removetree.h"

#include <algorithm>
#include <random>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kStagingPrefix = ".unzip-";

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

}  // namespace

std::unique_ptr<StagingDirectory> StagingDirectory::create(NativeValue destination, const std::string &destinationName,
                                                           std::string &error)
{
    std::string reason;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = std::string(kStagingPrefix) + randomSuffix();
        bool exists = false;
        if (!makeDirectoryAt(destination, name, 0700, exists, reason)) {
            if (exists)
                continue;  // name taken; draw another
            break;
        }
        std::unique_ptr<StagingDirectory> staging(new StagingDirectory(destination, destinationName, name));
        StagingDirectory &s = *staging;
        if (!(s.root_ = openDirectoryAt(destination, name, reason)).valid()
            || !makeDirectoryAt(s.root_.get(), "tree", 0700, exists, reason)
            || !makeDirectoryAt(s.root_.get(), "replaced", 0700, exists, reason)
            || !(s.tree_ = openDirectoryAt(s.root_.get(), "tree", reason)).valid()
            || !(s.replaced_ = openDirectoryAt(s.root_.get(), "replaced", reason)).valid()) {
            // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on the way out
            error = "cannot create '" + destinationName + "/" + name + "/tree': " + reason;
            return nullptr;
        }
        return staging;
    }
    error = "cannot create a staging directory in '" + destinationName + "': " + reason;
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
    std::string reason;
    if (wholeFileSystem ? flushFileSystemOf(tree_.get(), reason) : flushOpenDirectory(tree_.get(), reason))
        return true;
    error = "cannot write '" + destinationName_ + "/" + rootName_ + "/tree' to the disk: " + reason;
    return false;
}

bool StagingDirectory::moveIntoPlace(std::string &error)
{
    std::vector<DirectoryEntry> listed;
    std::string reason;
    if (!listDirectory(tree_.get(), listed, reason)) {
        error = "cannot list '" + destinationName_ + "/" + rootName_ + "/tree': " + reason;
        return false;
    }
    // Entries holding the marker go last. A link to a folder that holds it is not that
    // folder: it goes with the others.
    const auto holdsVersionFile = [this](const DirectoryEntry &entry) {
        if (entry.name == "version.txt")
            return true;
        if (!entry.isDirectory)
            return false;
        std::string ignored;
        const NativeHandle folder = openDirectoryAt(tree_.get(), entry.name, ignored);
        return folder.valid() && existsAt(folder.get(), "version.txt");
    };
    std::stable_partition(listed.begin(), listed.end(), [&](const DirectoryEntry &entry) { return !holdsVersionFile(entry); });

    for (const DirectoryEntry &entry : listed) {
        const std::string &name = entry.name;
        const bool occupied = existsAt(destination_, name);
        if (occupied && !moveEntry(destination_, name, replaced_.get(), reason)) {
            // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on the way out
            error = "cannot move the old '" + destinationName_ + "/" + name + "' aside: " + reason;
            return false;
        }
        if (!moveEntry(tree_.get(), name, destination_, reason)) {
            // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on the way out
            error = "cannot move '" + name + "' into '" + destinationName_ + "': " + reason;
            if (occupied)
                moveEntry(replaced_.get(), name, destination_, reason);  // put the old one back
            return false;
        }
    }
    if (!flushOpenDirectory(destination_, reason)) {
        error = "cannot write '" + destinationName_ + "' to the disk: " + reason;
        return false;
    }
    return true;
}

std::size_t removeStaleStaging(NativeValue destination)
{
    std::vector<DirectoryEntry> listed;
    std::string reason;
    listDirectory(destination, listed, reason);
    std::size_t removed = 0;
    for (const DirectoryEntry &entry : listed) {
        if (entry.isDirectory && entry.name.rfind(kStagingPrefix, 0) == 0 && removeTreeAt(destination, entry.name))
            ++removed;
    }
    return removed;
}
