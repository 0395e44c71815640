#include "tools/unzip/staging.h"

#include <algorithm>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

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

bool holdsVersionFile(const fs::path &entry)
{
    std::error_code ec;
    return entry.filename() == "version.txt" || fs::exists(entry / "version.txt", ec);
}

} // namespace

StagingDirectory::StagingDirectory(fs::path destination, fs::path root)
    : destination_(std::move(destination)), root_(std::move(root)), tree_(root_ / "tree"),
      replaced_(root_ / "replaced")
{
}

std::unique_ptr<StagingDirectory> StagingDirectory::create(const fs::path &destination,
                                                           std::string &error)
{
    std::error_code ec;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path root = destination / (std::string(kStagingPrefix) + randomSuffix());
        if (!fs::create_directory(root, ec)) {
            if (ec)
                break;
            continue; // name taken; draw another
        }
        std::unique_ptr<StagingDirectory> staging(new StagingDirectory(destination, root));
        if (!fs::create_directory(staging->tree_, ec) || !fs::create_directory(staging->replaced_, ec)) {
            error = "cannot create '" + staging->tree_.string() + "': " + ec.message();
            return nullptr;
        }
        return staging;
    }
    error = "cannot create a staging directory in '" + destination.string() + "'"
            + (ec ? ": " + ec.message() : std::string());
    return nullptr;
}

StagingDirectory::~StagingDirectory()
{
    std::error_code ec;
    fs::remove_all(root_, ec);
}

bool StagingDirectory::moveIntoPlace(std::string &error)
{
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(tree_, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec) {
        error = "cannot list '" + tree_.string() + "': " + ec.message();
        return false;
    }
    std::stable_partition(entries.begin(), entries.end(),
                          [](const fs::path &p) { return !holdsVersionFile(p); });

    for (const fs::path &entry : entries) {
        const fs::path target = destination_ / entry.filename();
        const fs::path aside = replaced_ / entry.filename();
        const bool occupied = fs::exists(fs::symlink_status(target, ec));
        if (occupied) {
            fs::rename(target, aside, ec);
            if (ec) {
                error = "cannot move the old '" + target.string() + "' aside: " + ec.message();
                return false;
            }
        }
        fs::rename(entry, target, ec);
        if (ec) {
            error = "cannot move '" + entry.filename().string() + "' into '" + destination_.string()
                    + "': " + ec.message();
            if (occupied) {
                std::error_code ignored;
                fs::rename(aside, target, ignored); // put the old one back
            }
            return false;
        }
    }
    return true;
}

std::size_t removeStaleStaging(const fs::path &destination)
{
    std::error_code ec;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(destination, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (name.rfind(kStagingPrefix, 0) == 0 && it->is_directory(typeError) && !it->is_symlink(typeError))
            stale.push_back(it->path());
    }
    std::size_t removed = 0;
    for (const fs::path &path : stale) {
        std::error_code removeError;
        fs::remove_all(path, removeError);
        if (!removeError)
            ++removed;
    }
    return removed;
}
