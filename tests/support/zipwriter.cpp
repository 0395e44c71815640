#include "support/zipwriter.h"

#include <archive.h>
#include <archive_entry.h>

#include <fstream>
#include <memory>

namespace {

struct WriterDeleter {
    void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};

// The archive goes through a stream opened by path, which takes any file name on every system.
la_ssize_t writeToStream(archive *, void *stream, const void *buffer, size_t length)
{
    auto &out = *static_cast<std::ofstream *>(stream);
    out.write(static_cast<const char *>(buffer), static_cast<std::streamsize>(length));
    return out ? static_cast<la_ssize_t>(length) : -1;
}

std::string errorOf(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? text : "unknown libarchive error";
}

// UTF-16 for `utf8`, or empty when it is not UTF-8 (or needs more than 16 bits a character).
std::wstring utf16(const std::string &utf8)
{
    std::wstring wide;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2
                                         : (lead >> 4) == 0xE   ? 3
                                                                : 0;
        if (length == 0 || i + length > utf8.size())
            return {};
        unsigned code = length == 1 ? lead : lead & (length == 2 ? 0x1Fu : 0x0Fu);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                return {};
            code = (code << 6) | (next & 0x3Fu);
        }
        wide.push_back(static_cast<wchar_t>(code));
        i += length;
    }
    return wide;
}

// Windows libarchive writes names from their wide form and derives it from UTF-8 through the
// ANSI code page, which may not hold them: there the name is given wide (wchar_t is UTF-16
// only there). Elsewhere, and for names that are not UTF-8, the bytes are given as they are.
void setName(archive_entry *entry, const std::string &name, void (*setUtf8)(archive_entry *, const char *),
             void (*setWide)(archive_entry *, const wchar_t *))
{
    const std::wstring wide = sizeof(wchar_t) == 2 ? utf16(name) : std::wstring();
    if (!wide.empty())
        setWide(entry, wide.c_str());
    else
        setUtf8(entry, name.c_str());
}

}  // namespace

std::string writeZip(const std::filesystem::path &path, const std::vector<ZipEntry> &entries)
{
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    if (!stream)
        return "cannot create " + path.string();
    std::unique_ptr<archive, WriterDeleter> out(archive_write_new());
    archive_write_set_format_zip(out.get());
    // Names are flagged as UTF-8, as the archivers packages are made with do.
    archive_write_set_options(out.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8");
    // No padding after the archive: the file ends with the zip's last record, as it does when
    // libarchive writes to a file by name.
    archive_write_set_bytes_in_last_block(out.get(), 1);
    if (archive_write_open(out.get(), &stream, nullptr, writeToStream, nullptr) != ARCHIVE_OK)
        return errorOf(out.get());

    for (const ZipEntry &e : entries) {
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        setName(entry.get(), e.name, archive_entry_set_pathname_utf8, archive_entry_copy_pathname_w);
        archive_entry_set_mtime(entry.get(), e.mtime, 0);
        switch (e.kind) {
        case ZipEntry::File:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), e.permissions);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
            break;
        case ZipEntry::Directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            archive_entry_set_perm(entry.get(), e.permissions);
            break;
        case ZipEntry::Symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_perm(entry.get(), 0777);
            setName(entry.get(), e.data, archive_entry_set_symlink_utf8, archive_entry_copy_symlink_w);
            break;
        }
        if (archive_write_header(out.get(), entry.get()) != ARCHIVE_OK)
            return errorOf(out.get());
        if (e.kind == ZipEntry::File && !e.data.empty() && archive_write_data(out.get(), e.data.data(), e.data.size()) < 0)
            return errorOf(out.get());
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        return errorOf(out.get());
    stream.close();
    return stream ? std::string() : "cannot write " + path.string();
}
