#include "tools/unzip/entryplan.h"

#include "tools/unzip/archivereader.h"
#include "tools/unzip/entrycheck.h"

#include <archive_entry.h>

#include <set>
#include <string_view>
#include <unordered_map>

namespace {

std::string joined(const std::vector<std::string> &parts)
{
    std::string out;
    for (const std::string &part : parts) {
        if (!out.empty())
            out.push_back('/');
        out += part;
    }
    return out;
}

// "a/b" for "a/b/c"; empty at the top.
std::string_view parentOf(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

EntryTimes timesOf(archive_entry *entry)
{
    EntryTimes t;
    if ((t.accessSet = archive_entry_atime_is_set(entry) != 0)) {
        t.accessSeconds = archive_entry_atime(entry);
        t.accessNanoseconds = archive_entry_atime_nsec(entry);
    }
    if ((t.modifySet = archive_entry_mtime_is_set(entry) != 0)) {
        t.modifySeconds = archive_entry_mtime(entry);
        t.modifyNanoseconds = archive_entry_mtime_nsec(entry);
    }
    return t;
}

// One entry as read, before repeated names are resolved.
struct Candidate {
    enum Kind { File,
                Directory,
                Symlink };
    Kind kind = File;
    std::size_t archiveIndex = 0;
    std::string name;
    std::string path;  // normalised: parts joined by '/'
    unsigned permissions = 0;
    std::uint64_t size = 0;
    std::string target;
    EntryTimes times;
};

class Planner {
public:
    explicit Planner(const ArchiveFile &file) : file_(file) {}

    PlanResult run()
    {
        ArchiveReader reader(file_);
        std::string error;
        if (!reader.open(error))
            return failed(error);
        for (std::size_t index = 0;; ++index) {
            archive_entry *entry = nullptr;
            const ArchiveReader::Next next = reader.next(entry, error);
            if (next == ArchiveReader::Next::End)
                break;
            if (next == ArchiveReader::Next::Damaged)
                return failed(error);
            if (!read(entry, index, error))
                return failed(error);
        }
        if (candidates_.empty())
            return failed("archive '" + file_.name() + "' holds no entries");
        if (!resolve(error))
            return failed(error);
        result_.ok = true;
        return std::move(result_);
    }

private:
    PlanResult failed(std::string error)
    {
        PlanResult r;
        r.error = std::move(error);
        return r;
    }

    std::string refused(const std::string &name, const std::string &why) const
    {
        return "refusing unsafe entry '" + name + "' in '" + file_.name() + "': " + why;
    }

    // Empty when no directory on the way to `path` is a link made earlier by this archive.
    std::string linkOnTheWay(const std::string &path) const
    {
        if (links_.empty())
            return {};
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            const std::string prefix = path.substr(0, slash);
            if (links_.count(prefix))
                return "it would be written through the link '" + prefix + "'";
        }
        return {};
    }

    // Empty when neither `path` nor a directory on the way to it differs only in case from a
    // name seen before: on Windows (and on other case-insensitive file systems) both would be
    // one file, and which entry wins would depend on the order of writing.
    std::string caseClash(const std::string &path)
    {
        // Entries come grouped by directory: the directories on the way were checked with
        // the entry before.
        const std::string_view parent = parentOf(path);
        std::size_t from = 0;
        if (!parent.empty() && parent == lastCheckedParent_)
            from = parent.size() + 1;
        for (std::size_t slash = path.find('/', from);; slash = path.find('/', slash + 1)) {
            const std::string prefix = path.substr(0, slash);
            const auto [it, added] = spellings_.emplace(caseFolded(prefix), prefix);
            if (!added && it->second != prefix)
                return "'" + it->second + "' and '" + prefix + "' differ only in case, and would be one file on Windows";
            if (slash == std::string::npos)
                break;
        }
        lastCheckedParent_.assign(parent);
        return {};
    }

    // The checks of one entry, in archive order: a link counts from the entry that makes it
    // until an entry of another kind replaces it.
    bool read(archive_entry *entry, std::size_t index, std::string &error)
    {
        Candidate c;
        c.archiveIndex = index;
        if (!entryName(entry, c.name)) {
            error = refused("?", "its name cannot be read");
            return false;
        }
        if (std::string why = entryPathProblem(c.name); !why.empty()) {
            error = refused(c.name, why);
            return false;
        }
        c.path = joined(pathParts(c.name));
        if (std::string why = linkOnTheWay(c.path); !why.empty()) {
            error = refused(c.name, why);
            return false;
        }
        if (std::string why = caseClash(c.path); !why.empty()) {
            error = refused(c.name, why);
            return false;
        }
        const std::string &path = c.path;
        if (archive_entry_hardlink(entry)) {
            error = refused(c.name, "hard links are not supported");
            return false;
        }
        switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
            c.kind = Candidate::File;
            c.size = archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0
                         ? static_cast<std::uint64_t>(archive_entry_size(entry))
                         : 0;
            links_.erase(path);  // a link of that name is replaced, not followed
            break;
        case AE_IFDIR:
            c.kind = Candidate::Directory;
            links_.erase(path);
            break;
        case AE_IFLNK: {
            c.kind = Candidate::Symlink;
            entryLinkTarget(entry, c.target);
            if (std::string why = linkTargetProblem(c.name, c.target); !why.empty()) {
                error = refused(c.name, why + " ('" + c.target + "')");
                return false;
            }
            links_.insert(path);
            break;
        }
        default:
            error = refused(c.name, "not a file, directory or link");
            return false;
        }
        // Never hand out set-id bits; the rest of the mode (the executable bits) is kept.
        c.permissions = static_cast<unsigned>(archive_entry_perm(entry)) & 0777;
        c.times = timesOf(entry);
        last_[path] = candidates_.size();
        candidates_.push_back(std::move(c));
        return true;
    }

    // Sets `index` to the directory `path` (a prefix of `user`'s path), which is added to the
    // plan (after its parents) on first use. False with `error` set when the archive's last
    // word on that name is not a directory.
    bool directory(const Candidate &user, std::string_view path, std::size_t &index, std::string &error)
    {
        if (path.empty()) {
            index = kTopDirectory;
            return true;
        }
        // Entries come grouped by directory: most ask for the same one as the entry before.
        if (path == lastDirectory_) {
            index = lastDirectoryIndex_;
            return true;
        }
        const std::string key(path);
        if (auto it = directoryByPath_.find(key); it != directoryByPath_.end()) {
            index = it->second;
        } else {
            if (auto it = last_.find(key); it != last_.end() && candidates_[it->second].kind != Candidate::Directory) {
                error = refused(user.name, "'" + key + "' is stored both as a directory and as a file or link");
                return false;
            }
            std::size_t parent = kTopDirectory;
            if (!directory(user, parentOf(path), parent, error))
                return false;
            PlannedDirectory d;
            d.path = key;
            d.leaf = std::string(path.substr(parentOf(path).empty() ? 0 : parentOf(path).size() + 1));
            d.parent = parent;
            std::vector<PlannedDirectory> &dirs = result_.plan.directories;
            index = dirs.size();
            directoryByPath_.emplace(key, index);
            dirs.push_back(std::move(d));
        }
        lastDirectory_ = key;
        lastDirectoryIndex_ = index;
        return true;
    }

    bool resolve(std::string &error)
    {
        ExtractionPlan &plan = result_.plan;
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            Candidate &c = candidates_[i];
            if (last_.at(c.path) != i)
                continue;  // a later entry of the same name wins
            if (c.kind == Candidate::Directory) {
                std::size_t d = kTopDirectory;
                if (!directory(c, c.path, d, error))
                    return false;
                PlannedDirectory &dir = plan.directories[d];
                dir.listed = true;
                dir.permissions = c.permissions;
                dir.times = c.times;
                continue;
            }
            std::size_t parent = kTopDirectory;
            const std::string_view parentPath = parentOf(c.path);
            if (!directory(c, parentPath, parent, error))
                return false;
            PlannedEntry e;
            e.kind = c.kind == Candidate::File ? PlannedEntry::File : PlannedEntry::Symlink;
            e.archiveIndex = c.archiveIndex;
            e.name = std::move(c.name);
            e.leaf = c.path.substr(parentPath.empty() ? 0 : parentPath.size() + 1);
            e.path = std::move(c.path);
            e.parent = parent;
            e.permissions = c.permissions;
            e.size = c.size;
            e.target = std::move(c.target);
            e.times = c.times;
            plan.bytes += e.size;
            plan.entries.push_back(std::move(e));
        }
        for (PlannedEntry &e : plan.entries) {
            if (e.kind == PlannedEntry::Symlink)
                e.targetIsDirectory = pointsToDirectory(e);
        }
        return true;
    }

    // Whether the link `e` points to a directory of the plan (or the top of the tree). Its
    // target stays inside the tree, with ".." only as a leading run (linkTargetProblem).
    bool pointsToDirectory(const PlannedEntry &e) const
    {
        std::vector<std::string> parts = pathParts(parentOf(e.path));
        for (std::string &part : pathParts(e.target)) {
            if (part == "..")
                parts.pop_back();
            else
                parts.push_back(std::move(part));
        }
        return parts.empty() || directoryByPath_.count(joined(parts)) != 0;
    }

    const ArchiveFile &file_;
    PlanResult result_;
    std::vector<Candidate> candidates_;
    std::set<std::string> links_;                        // links made so far, by path
    std::unordered_map<std::string, std::size_t> last_;  // path -> its last candidate
    std::unordered_map<std::string, std::size_t> directoryByPath_;
    std::unordered_map<std::string, std::string> spellings_;  // case-folded path -> as first seen
    std::string lastCheckedParent_;
    std::string lastDirectory_;  // the directory asked for last, and its index
    std::size_t lastDirectoryIndex_ = kTopDirectory;
};

}  // namespace

const PlannedEntry *ExtractionPlan::entryAt(const std::string &path) const
{
    for (const PlannedEntry &e : entries) {
        if (e.path == path)
            return &e;
    }
    return nullptr;
}

PlanResult planExtraction(const ArchiveFile &file)
{
    return Planner(file).run();
}
