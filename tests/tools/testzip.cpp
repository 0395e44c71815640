#include "tests/tools/testzip.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

struct WriterDeleter {
    void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};

} // namespace

QString writeTestZip(const QString &path, const QList<TestZipEntry> &entries)
{
    std::unique_ptr<archive, WriterDeleter> out(archive_write_new());
    archive_write_set_format_zip(out.get());
    // Names are flagged as UTF-8, as the archivers packages are made with do.
    archive_write_set_options(out.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8");
    const QByteArray file = path.toLocal8Bit();
    if (archive_write_open_filename(out.get(), file.constData()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));

    for (const TestZipEntry &e : entries) {
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), e.name.constData());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        switch (e.kind) {
        case TestZipEntry::File:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), e.permissions);
            archive_entry_set_size(entry.get(), e.data.size());
            break;
        case TestZipEntry::Directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            archive_entry_set_perm(entry.get(), e.permissions);
            break;
        case TestZipEntry::Symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_perm(entry.get(), 0777);
            archive_entry_set_symlink(entry.get(), e.data.constData());
            break;
        }
        if (archive_write_header(out.get(), entry.get()) != ARCHIVE_OK)
            return QString::fromLocal8Bit(archive_error_string(out.get()));
        if (e.kind == TestZipEntry::File && !e.data.isEmpty()
            && archive_write_data(out.get(), e.data.constData(), size_t(e.data.size())) < 0)
            return QString::fromLocal8Bit(archive_error_string(out.get()));
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));
    return {};
}
