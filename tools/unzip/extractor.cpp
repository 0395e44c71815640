#include "tools/unzip/extractor.h"

#include "tools/unzip/entrycheck.h"
#include "tools/unzip/stoprequest.h"

#include <archive.h>
#include <archive_entry.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct ReaderDeleter {
    void operator()(archive *a) const { archive_read_free(a); }
};
struct WriterDeleter {
    void operator()(archive *a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;
using Writer = std::unique_ptr<archive, WriterDeleter>;

// Makes `directory` the current directory for its lifetime. libarchive's own link and ".."
// guards work on names relative to the current directory, so entries are written with their
// archive names from inside the extraction directory, as "bsdtar -C" does.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path &directory, std::error_code &ec)
        : previous_(fs::current_path(ec))
    {
        if (!ec)
            fs::current_path(directory, ec);
        entered_ = !ec;
    }
    ~CurrentDirectory()
    {
        std::error_code ignored;
        if (entered_)
            fs::current_path(previous_, ignored);
    }
    CurrentDirectory(const CurrentDirectory &) = delete;
    CurrentDirectory &operator=(const CurrentDirectory &) = delete;

private:
    fs::path previous_;
    bool entered_ = false;
};

std::string errorText(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? text : "unknown error";
}

// libarchive reports unrecognised or malformed data with EILSEQ (EFTYPE where the system has
// it) or its own code -1; anything else is the system's reason for not opening the file.
bool isFormatError(int code)
{
#ifdef EFTYPE
    if (code == EFTYPE)
        return true;
#endif
    return code == EILSEQ || code == -1;
}

std::string joined(const std::vector<std::string> &parts, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            out.push_back('/');
        out += parts[i];
    }
    return out;
}

ExtractResult failure(std::size_t entries, std::string error)
{
    return ExtractResult{false, entries, std::move(error)};
}

class Extraction {
public:
    // `archivePath` is opened; `displayName` is what messages call it (the name as given).
    Extraction(const fs::path &archivePath, std::string displayName, const ExtractOptions &options)
        : archivePath_(archivePath.string()), displayName_(std::move(displayName)), options_(options)
    {
    }

    ExtractResult run()
    {
        Reader in(archive_read_new());
        Writer out(archive_write_disk_new());
        if (!in || !out)
            return failure(0, "out of memory");
        archive_read_support_format_zip(in.get());
        // The staging directory starts empty, so only an entry repeated within the archive
        // meets an existing file; with SECURE_SYMLINKS a link in its place is replaced rather
        // than followed.
        archive_write_disk_set_options(out.get(),
            ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);

        if (openArchive(in.get()) != ARCHIVE_OK) {
            if (isFormatError(archive_errno(in.get())))
                return damaged(in.get());
            return failure(0, "cannot read archive '" + displayName_ + "': " + errorText(in.get()));
        }

        for (;;) {
            archive_entry *entry = nullptr;
            const int r = archive_read_next_header(in.get(), &entry);
            if (r == ARCHIVE_EOF)
                break;
            if (r != ARCHIVE_OK)
                return damaged(in.get());
            if (ExtractResult problem = extractEntry(in.get(), out.get(), entry); !problem.ok)
                return problem;
            ++entries_;
            if (options_.entryDelayMs)
                sleepUnlessStopped(options_.entryDelayMs);
            if (stopRequested())
                return failure(entries_, "interrupted");
        }
        // Directory permissions and times are applied when the writer is closed.
        if (archive_write_close(out.get()) != ARCHIVE_OK)
            return failure(entries_, "cannot finish writing: " + errorText(out.get()));
        if (entries_ == 0)
            return failure(0, "archive '" + displayName_ + "' holds no entries");
        return ExtractResult{true, entries_, {}};
    }

private:
    int openArchive(archive *in) const
    {
        if (options_.archiveFd < 0)
            return archive_read_open_filename(in, archivePath_.c_str(), 64 * 1024);
        // libarchive counts positions from where the descriptor stands.
        if (::lseek(options_.archiveFd, 0, SEEK_SET) != 0) {
            archive_set_error(in, errno, "cannot seek: %s", std::strerror(errno));
            return ARCHIVE_FATAL;
        }
        return archive_read_open_fd(in, options_.archiveFd, 64 * 1024);
    }

    ExtractResult damaged(archive *in) const
    {
        return failure(entries_, "archive '" + displayName_ + "' is damaged or not a zip archive: "
                                     + errorText(in));
    }

    ExtractResult refused(const std::string &name, const std::string &why) const
    {
        return failure(entries_, "refusing unsafe entry '" + name + "' in '" + displayName_
                                     + "': " + why);
    }

    // Empty when no directory on the way to `parts` is a link created earlier by this archive.
    std::string linkOnTheWay(const std::vector<std::string> &parts) const
    {
        for (std::size_t n = 1; n < parts.size(); ++n) {
            const std::string prefix = joined(parts, n);
            if (links_.count(prefix))
                return "it would be written through the link '" + prefix + "'";
        }
        return {};
    }

    ExtractResult extractEntry(archive *in, archive *out, archive_entry *entry)
    {
        const char *rawName = archive_entry_pathname(entry);
        if (!rawName)
            return refused("?", "its name cannot be read");
        const std::string name = rawName;
        if (std::string why = entryPathProblem(name); !why.empty())
            return refused(name, why);
        const std::vector<std::string> parts = pathParts(name);
        if (std::string why = linkOnTheWay(parts); !why.empty())
            return refused(name, why);

        const std::string key = joined(parts, parts.size());
        if (const char *hardlink = archive_entry_hardlink(entry)) {
            if (std::string why = entryPathProblem(hardlink); !why.empty())
                return refused(name, "hard link target: " + why);
            if (std::string why = linkOnTheWay(pathParts(hardlink)); !why.empty())
                return refused(name, "hard link target: " + why);
        } else {
            switch (archive_entry_filetype(entry)) {
            case AE_IFREG:
            case AE_IFDIR:
                links_.erase(key); // an existing link at this name is replaced, not followed
                break;
            case AE_IFLNK: {
                const char *target = archive_entry_symlink(entry);
                if (std::string why = linkTargetProblem(name, target ? target : ""); !why.empty())
                    return refused(name, why + " ('" + (target ? target : "") + "')");
                links_.insert(key);
                break;
            }
            default:
                return refused(name, "not a file, directory or link");
            }
        }

        // Never hand out set-id bits; the rest of the mode (the executable bits) is kept.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);

        if (archive_write_header(out, entry) != ARCHIVE_OK)
            return failure(entries_, "cannot create '" + name + "': " + errorText(out));
        if (ExtractResult copied = copyData(in, out, name); !copied.ok)
            return copied;
        if (archive_write_finish_entry(out) != ARCHIVE_OK)
            return failure(entries_, "cannot finish '" + name + "': " + errorText(out));
        return ExtractResult{true, entries_, {}};
    }

    ExtractResult copyData(archive *in, archive *out, const std::string &name)
    {
        for (;;) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(in, &block, &size, &offset);
            if (r == ARCHIVE_EOF)
                return ExtractResult{true, entries_, {}};
            // A warning here is a checksum mismatch or a short entry: the data is not trustworthy.
            if (r != ARCHIVE_OK)
                return damaged(in);
            if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
                return failure(entries_, "cannot write '" + name + "': " + errorText(out));
            if (stopRequested())
                return failure(entries_, "interrupted");
        }
    }

    std::string archivePath_;
    std::string displayName_;
    ExtractOptions options_;
    std::size_t entries_ = 0;
    std::set<std::string> links_; // links created so far, by normalised name
};

} // namespace

ExtractResult extractArchive(const fs::path &archive, const fs::path &directory,
                             const ExtractOptions &options)
{
    std::error_code ec;
    const fs::path absoluteArchive = fs::absolute(archive, ec);
    if (ec)
        return failure(0, "cannot resolve '" + archive.string() + "': " + ec.message());
    CurrentDirectory inside(directory, ec);
    if (ec)
        return failure(0, "cannot enter '" + directory.string() + "': " + ec.message());
    return Extraction(absoluteArchive, archive.string(), options).run();
}
