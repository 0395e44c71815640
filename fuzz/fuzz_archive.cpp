// A package as unzip.exe reads it: the input is opened as the archive, every entry is checked
// and the tree planned; when the tool would go on (a complete package), the plan is extracted
// into a private temporary folder through a staging directory and moved into place, as by the
// tool, and the result is compared with the plan before it is removed.
//
// Properties checked besides "no crash, no sanitizer report": a plan holds only safe names and
// link targets, every parent before its children, no name twice and no set-id bits; the tree
// written holds exactly what the plan lists, of the planned kinds; nothing appears beside the
// destination.

#include "fuzz/memoryfile.h"
#include "platform/posix/directorywalk_posix.h"
#include "unzip/archive.h"
#include "unzip/system.h"
#include "unzip/plan.h"
#include "unzip/extract.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace {

// What one input may unpack: the sizes an archive states, and (as a file size limit, for data
// that decompresses to more than stated) what any one file may grow to.
constexpr std::uint64_t kSizeCap = 32 * 1024 * 1024;

std::string g_folder;  // private to this process: "dest" (the destination) and "beside"
UniqueFd g_folderFd;

void removeFolder()
{
    g_folderFd.reset();
    if (!g_folder.empty())
        removeTreeAt(AT_FDCWD, g_folder);
}

bool isEmptyDirectory(int parent, const char *name)
{
    UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return false;
    std::size_t names = 0;
    const int error = walkDirectory(fd.get(), [&names](const char *, unsigned char) {
        ++names;
        return true;
    });
    return error == 0 && names == 0;
}

std::string joinedPath(const ExtractionPlan &plan, std::size_t parent, const std::string &leaf)
{
    return parent == kTopDirectory ? leaf : plan.directories[parent].path + "/" + leaf;
}

void checkPlan(const ExtractionPlan &plan)
{
    std::set<std::string> directories;
    for (std::size_t i = 0; i < plan.directories.size(); ++i) {
        const PlannedDirectory &d = plan.directories[i];
        fuzzCheck(d.parent == kTopDirectory || d.parent < i, "a directory is planned before its parent");
        fuzzCheck(checkEntryPath(d.path).ok(), "a planned directory has an unsafe name");
        fuzzCheck(d.path == joinedPath(plan, d.parent, d.leaf), "a planned directory is not in its parent");
        fuzzCheck(pathParts(d.leaf).size() == 1 && d.leaf != "..", "a planned directory's leaf is not one name");
        fuzzCheck(directories.insert(d.path).second, "a directory is planned twice");
        fuzzCheck((d.permissions & ~0777u) == 0, "a directory is planned with set-id or sticky bits");
    }
    std::set<std::string> entries;
    std::uint64_t bytes = 0;
    for (const PlannedEntry &e : plan.entries) {
        fuzzCheck(e.parent == kTopDirectory || e.parent < plan.directories.size(), "an entry has no planned parent");
        fuzzCheck(checkEntryPath(e.name).ok() && checkEntryPath(e.path).ok(), "an entry has an unsafe name");
        fuzzCheck(e.path == joinedPath(plan, e.parent, e.leaf), "an entry is not in its parent");
        fuzzCheck(pathParts(e.leaf).size() == 1 && e.leaf != "..", "an entry's leaf is not one name");
        fuzzCheck(!directories.count(e.path), "a name is planned as a directory and as a file or link");
        fuzzCheck(entries.insert(e.path).second, "a name is planned twice");
        fuzzCheck((e.permissions & ~0777u) == 0, "an entry is planned with set-id or sticky bits");
        if (e.kind == PlannedEntry::Symlink)
            fuzzCheck(checkLinkTarget(e.path, e.target).ok(), "a link is planned with an unsafe target");
        bytes += e.size;
    }
    fuzzCheck(bytes == plan.bytes, "the plan's byte count is not the sum of its files");
}

// The extracted tree below `top` against the plan: the same names, each of the planned kind,
// each link with its planned target.
void checkTree(const std::filesystem::path &top, const ExtractionPlan &plan)
{
    std::map<std::string, std::filesystem::file_type> found;
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(top, ec), end;
    for (; !ec && it != end; it.increment(ec))
        found.emplace(it->path().lexically_relative(top).generic_string(), it->symlink_status().type());
    if (ec)
        return;  // a directory the archive made unreadable (when not run as root): nothing to compare
    std::size_t planned = 0;
    for (const PlannedDirectory &d : plan.directories) {
        ++planned;
        const auto f = found.find(d.path);
        fuzzCheck(f != found.end() && f->second == std::filesystem::file_type::directory,
                  "a planned directory is missing from the tree");
    }
    for (const PlannedEntry &e : plan.entries) {
        ++planned;
        const auto f = found.find(e.path);
        fuzzCheck(f != found.end(), "a planned entry is missing from the tree");
        if (e.kind == PlannedEntry::File) {
            fuzzCheck(f->second == std::filesystem::file_type::regular, "a planned file is not a file");
        } else {
            fuzzCheck(f->second == std::filesystem::file_type::symlink, "a planned link is not a link");
            fuzzCheck(std::filesystem::read_symlink(top / e.path, ec).string() == e.target,
                      "a link points elsewhere than planned");
        }
    }
    fuzzCheck(found.size() == planned, "the tree holds entries the plan does not list");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // As the tool's main(): entry names become UTF-8 file names whatever the locale.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/nembral-fuzz-archive.XXXXXX";
    fuzzCheck(::mkdtemp(pattern.data()) != nullptr, "cannot make the private folder");
    g_folder = pattern;
    g_folderFd.reset(::open(g_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fuzzCheck(g_folderFd.valid() && ::mkdirat(g_folderFd.get(), "beside", 0700) == 0, "cannot fill the private folder");
    std::atexit(removeFolder);
    // Writing past the limit fails with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    fuzzCheck(::getrlimit(RLIMIT_FSIZE, &limit) == 0, "getrlimit failed");
    limit.rlim_cur = kSizeCap;
    fuzzCheck(::setrlimit(RLIMIT_FSIZE, &limit) == 0, "cannot limit the size of a file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const MemoryFile input(data, size);
    Result<std::unique_ptr<ArchiveFile>> opened = ArchiveFile::open(input.path());
    fuzzCheck(opened.ok(), "the input's memory file cannot be opened as the archive");
    const std::unique_ptr<ArchiveFile> archive = std::move(opened).value();

    const Result<ExtractionPlan> planned = planExtraction(*archive);
    if (!planned) {
        // unzip.exe escapes what it prints; still, its own messages end without a line feed.
        const std::string &refusal = planned.failure().text;
        fuzzCheck(!refusal.empty() && refusal.back() != '\n', "a refusal is not one line", refusal);
        return 0;
    }
    const ExtractionPlan &plan = planned.value();
    checkPlan(plan);
    if (!checkPackage(plan) || plan.bytes > kSizeCap)
        return 0;

    const std::string destinationPath = g_folder + "/dest";
    bool extracted = false;
    {
        Result<NativeHandle> openedDestination = openDestination(destinationPath);
        fuzzCheck(openedDestination.ok(), "cannot open the destination");
        const NativeHandle destination = std::move(openedDestination).value();
        removeStaleStaging(destination.get());
        Result<std::unique_ptr<StagingDirectory>> made = StagingDirectory::create(destination.get(), destinationPath);
        fuzzCheck(made.ok(), "cannot create the staging directory");
        const std::unique_ptr<StagingDirectory> staging = std::move(made).value();
        ExtractOptions options;
        options.workers = 2;
        const Result<std::size_t> result = extractPlan(*archive, plan, staging->tree(), options);
        if (result) {
            fuzzCheck(result.value() == plan.entries.size(), "not every planned entry was written");
            fuzzCheck(staging->moveIntoPlace().ok(), "the extracted tree cannot be moved into place");
            extracted = true;
        } else {
            const std::string &failure = result.failure().text;
            fuzzCheck(!failure.empty() && failure.back() != '\n', "an extraction failure is not one line", failure);
        }
        // The staging directory is removed here, with anything a failed extraction left.
    }
    if (extracted)
        checkTree(destinationPath, plan);
    else
        fuzzCheck(isEmptyDirectory(g_folderFd.get(), "dest"), "a failed extraction left something in the destination");
    fuzzCheck(isEmptyDirectory(g_folderFd.get(), "beside"), "something was written beside the destination");
    fuzzCheck(removeTreeAt(g_folderFd.get(), "dest"), "the extracted tree cannot be removed");
    return 0;
}
