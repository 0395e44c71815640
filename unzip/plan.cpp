#include "unzip/plan.h"

#include "unzip/archive.h"
#include "platform/packagenames.h"

#include <archive_entry.h>

#include <cstdint>
#include <set>
#include <string_view>
#include <unordered_map>

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool looksAbsolute(std::string_view path)
{
    if (!path.empty() && isSeparator(path.front()))
        return true;
    // "C:", "C:\x" and "C:x" all depend on a drive rather than on the extraction directory.
    return path.size() >= 2 && path[1] == ':';
}

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperAscii(a[i]) != upperAscii(b[i]))
            return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Windows opens a device, not a file, for these names, whatever extension follows and with
// spaces before it ("NUL.txt", "con .log"); COM and LPT also with a superscript 1, 2 or 3.
bool isReservedDeviceName(std::string_view part)
{
    std::string_view base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (equalsIgnoringAsciiCase(base, device))
            return true;
    }
    if (base.size() < 4 || !(equalsIgnoringAsciiCase(base.substr(0, 3), "COM") || equalsIgnoringAsciiCase(base.substr(0, 3), "LPT")))
        return false;
    const std::string_view number = base.substr(3);
    return (number.size() == 1 && isDigit(number[0]))
           || number == "\xc2\xb9" || number == "\xc2\xb2" || number == "\xc2\xb3";
}

// The form of the short (8.3) names Windows gives long names: up to 8 characters ending in
// "~" and a number, then an extension of up to 3. Such a name can stand for another folder
// of the tree ("NEMBRA~1" for "nembral-data") and reach it under a name no check has seen.
bool looksLikeShortName(std::string_view part)
{
    const std::size_t dot = part.find('.');
    const std::string_view base = part.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : part.substr(dot + 1);
    const std::size_t tilde = base.rfind('~');
    if (tilde == std::string_view::npos || tilde == 0 || tilde + 1 == base.size() || base.size() > 8)
        return false;
    for (std::size_t i = tilde + 1; i < base.size(); ++i) {
        if (!isDigit(base[i]))
            return false;
    }
    return extension.size() <= 3 && extension.find('.') == std::string_view::npos;
}

// Whether one part of a name is safe on Windows too.
Result<> checkPart(std::string_view part)
{
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ':')
            return Failure{"name with ':' (on Windows a drive or an alternate data stream)"};
        if (byte < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
            return Failure{"name with a character that Windows does not allow in file names"};
    }
    if (part.back() == '.' || part.back() == ' ')
        return Failure{"name ending in a dot or a space, which Windows drops"};
    if (isReservedDeviceName(part))
        return Failure{"reserved device name on Windows ('" + std::string(part) + "')"};
    if (looksLikeShortName(part))
        return Failure{"name in the form of a Windows short name ('" + std::string(part) + "')"};
    return {};
}

// Below U+0800: one or two bytes.
void appendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The capital of a lower-case letter of the scripts most names are written in.
std::uint32_t upperCodePoint(std::uint32_t c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        || (c >= 0x430 && c <= 0x44F))
        return c - 0x20;
    if (c == 0xFF)
        return 0x178;
    if (c == 0x3C2)  // final sigma
        return 0x3A3;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    // Latin Extended-A: pairs of capital and small letter, the capital first, except in
    // U+0139-U+0148 and U+0179-U+017E, where the small letter comes first.
    if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) && (c & 1) == 1)
        return c - 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && (c & 1) == 0)
        return c - 1;
    return c;
}

}  // namespace

std::vector<std::string> pathParts(std::string_view path)
{
    std::vector<std::string> parts;
    std::string current;
    auto flush = [&] {
        if (!current.empty() && current != ".")
            parts.push_back(current);
        current.clear();
    };
    for (char c : path) {
        if (isSeparator(c))
            flush();
        else
            current.push_back(c);
    }
    flush();
    return parts;
}

Result<> checkEntryPath(std::string_view path)
{
    if (looksAbsolute(path))
        return Failure{"absolute path"};
    const std::vector<std::string> parts = pathParts(path);
    if (parts.empty())
        return Failure{"empty name"};
    for (const std::string &part : parts) {
        if (part == "..")
            return Failure{"name contains \"..\""};
    }
    if (parts.size() > kMaxEntryDepth)
        return Failure{"name nested more than " + std::to_string(kMaxEntryDepth) + " levels deep"};
    for (const std::string &part : parts) {
        if (Result<> checked = checkPart(part); !checked)
            return checked;
    }
    return {};
}

std::string caseFolded(std::string_view name)
{
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        // Two-byte sequences hold every letter folded here besides ASCII; anything else
        // (longer sequences, stray bytes) is kept as it is.
        if (lead >= 0xC2 && lead <= 0xDF && i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) {
            appendUtf8(folded, upperCodePoint(((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(name[i + 1]) & 0x3Fu)));
            i += 2;
        } else {
            folded.push_back(upperAscii(name[i]));
            ++i;
        }
    }
    return folded;
}

Result<> checkLinkTarget(std::string_view linkPath, std::string_view target)
{
    if (target.empty())
        return Failure{"link with an empty target"};
    if (looksAbsolute(target))
        return Failure{"link to an absolute path"};

    // Depth of the directory that holds the link, counted from the extraction directory.
    const std::vector<std::string> linkParts = pathParts(linkPath);
    long depth = linkParts.empty() ? 0 : static_cast<long>(linkParts.size()) - 1;

    bool leadingRun = true;
    for (const std::string &part : pathParts(target)) {
        if (part == "..") {
            if (!leadingRun)
                return Failure{"link target with \"..\" after a name"};
            if (--depth < 0)
                return Failure{"link pointing outside the extraction directory"};
        } else {
            leadingRun = false;
        }
    }
    return {};
}

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

    Result<ExtractionPlan> run()
    {
        ArchiveReader reader(file_);
        if (Result<> opened = reader.open(); !opened)
            return opened.failure();
        for (std::size_t index = 0;; ++index) {
            archive_entry *entry = nullptr;
            const Result<ArchiveReader::Next> next = reader.next(entry);
            if (!next)
                return next.failure();
            if (next.value() == ArchiveReader::Next::End)
                break;
            if (Result<> taken = read(entry, index); !taken)
                return taken.failure();
        }
        if (candidates_.empty())
            return Failure{"archive '" + file_.name() + "' holds no entries"};
        if (Result<> resolved = resolve(); !resolved)
            return resolved.failure();
        return std::move(plan_);
    }

private:
    Failure refused(const std::string &name, const std::string &why) const
    {
        return {"refusing unsafe entry '" + name + "' in '" + file_.name() + "': " + why};
    }

    // Whether no directory on the way to `path` is a link made earlier by this archive.
    Result<> linkOnTheWay(const std::string &path) const
    {
        if (links_.empty())
            return {};
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            const std::string prefix = path.substr(0, slash);
            if (links_.count(prefix))
                return Failure{"it would be written through the link '" + prefix + "'"};
        }
        return {};
    }

    // Whether neither `path` nor a directory on the way to it differs only in case from a
    // name seen before: on Windows (and on other case-insensitive file systems) both would be
    // one file, and which entry wins would depend on the order of writing.
    Result<> caseClash(const std::string &path)
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
                return Failure{"'" + it->second + "' and '" + prefix + "' differ only in case, and would be one file on Windows"};
            if (slash == std::string::npos)
                break;
        }
        lastCheckedParent_.assign(parent);
        return {};
    }

    // The checks of one entry, in archive order: a link counts from the entry that makes it
    // until an entry of another kind replaces it.
    Result<> read(archive_entry *entry, std::size_t index)
    {
        Candidate c;
        c.archiveIndex = index;
        if (!entryName(entry, c.name))
            return refused("?", "its name cannot be read");
        if (const Result<> checked = checkEntryPath(c.name); !checked)
            return refused(c.name, checked.failure().text);
        c.path = joined(pathParts(c.name));
        if (const Result<> checked = linkOnTheWay(c.path); !checked)
            return refused(c.name, checked.failure().text);
        if (const Result<> checked = caseClash(c.path); !checked)
            return refused(c.name, checked.failure().text);
        const std::string &path = c.path;
        if (archive_entry_hardlink(entry))
            return refused(c.name, "hard links are not supported");
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
            if (const Result<> checked = checkLinkTarget(c.name, c.target); !checked)
                return refused(c.name, checked.failure().text + " ('" + c.target + "')");
            links_.insert(path);
            break;
        }
        default:
            return refused(c.name, "not a file, directory or link");
        }
        // Never hand out set-id bits; the rest of the mode (the executable bits) is kept.
        c.permissions = static_cast<unsigned>(archive_entry_perm(entry)) & 0777;
        c.times = timesOf(entry);
        last_[path] = candidates_.size();
        candidates_.push_back(std::move(c));
        return {};
    }

    // The index of the directory `path` (a prefix of `user`'s path), which is added to the
    // plan (after its parents) on first use. Fails when the archive's last word on that name
    // is not a directory.
    Result<std::size_t> directory(const Candidate &user, std::string_view path)
    {
        if (path.empty())
            return kTopDirectory;
        // Entries come grouped by directory: most ask for the same one as the entry before.
        if (path == lastDirectory_)
            return lastDirectoryIndex_;
        const std::string key(path);
        std::size_t index = kTopDirectory;
        if (auto it = directoryByPath_.find(key); it != directoryByPath_.end()) {
            index = it->second;
        } else {
            if (auto it = last_.find(key); it != last_.end() && candidates_[it->second].kind != Candidate::Directory)
                return refused(user.name, "'" + key + "' is stored both as a directory and as a file or link");
            Result<std::size_t> parent = directory(user, parentOf(path));
            if (!parent)
                return parent;
            PlannedDirectory d;
            d.path = key;
            d.leaf = std::string(path.substr(parentOf(path).empty() ? 0 : parentOf(path).size() + 1));
            d.parent = parent.value();
            std::vector<PlannedDirectory> &dirs = plan_.directories;
            index = dirs.size();
            directoryByPath_.emplace(key, index);
            dirs.push_back(std::move(d));
        }
        lastDirectory_ = key;
        lastDirectoryIndex_ = index;
        return index;
    }

    Result<> resolve()
    {
        ExtractionPlan &plan = plan_;
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            Candidate &c = candidates_[i];
            if (last_.at(c.path) != i)
                continue;  // a later entry of the same name wins
            if (c.kind == Candidate::Directory) {
                const Result<std::size_t> d = directory(c, c.path);
                if (!d)
                    return d.failure();
                PlannedDirectory &dir = plan.directories[d.value()];
                dir.listed = true;
                dir.permissions = c.permissions;
                dir.times = c.times;
                continue;
            }
            const std::string_view parentPath = parentOf(c.path);
            const Result<std::size_t> parent = directory(c, parentPath);
            if (!parent)
                return parent.failure();
            PlannedEntry e;
            e.kind = c.kind == Candidate::File ? PlannedEntry::File : PlannedEntry::Symlink;
            e.archiveIndex = c.archiveIndex;
            e.name = std::move(c.name);
            e.leaf = c.path.substr(parentPath.empty() ? 0 : parentPath.size() + 1);
            e.path = std::move(c.path);
            e.parent = parent.value();
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
        return {};
    }

    // Whether the link `e` points to a directory of the plan (or the top of the tree). Its
    // target stays inside the tree, with ".." only as a leading run (checkLinkTarget).
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
    ExtractionPlan plan_;
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

Result<ExtractionPlan> planExtraction(const ArchiveFile &file)
{
    return Planner(file).run();
}

namespace {

constexpr const char *kRequiredFiles[] = {kPackageVersionFile, kPackageExecutable};

}  // namespace

Result<> checkPackage(const ExtractionPlan &plan)
{
    std::string missing;
    for (const char *path : kRequiredFiles) {
        const PlannedEntry *entry = plan.entryAt(path);
        if (entry && entry->kind == PlannedEntry::File)
            continue;
        missing += (missing.empty() ? "it has no file '" : " and no file '") + std::string(path) + "'";
    }
    if (!missing.empty())
        return Failure{missing};
    return {};
}
