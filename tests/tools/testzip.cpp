#include "tests/tools/testzip.h"

#include <archive.h>
#include <archive_entry.h>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <memory>

namespace {

struct WriterDeleter {
    void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};

} // namespace

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

QString writeTestZip(const QString &path, const QList<TestZipEntry> &entries)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::unique_ptr<archive, WriterDeleter> out(archive_write_new());
    archive_write_set_format_zip(out.get());
    // Names are flagged as UTF-8, as the archivers packages are made with do.
    archive_write_set_options(out.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8");
    const QByteArray file = path.toLocal8Bit();
    if (archive_write_open_filename(out.get(), file.constData()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));

    const QByteArray zeroBlock(1 << 20, '\0');
    for (const TestZipEntry &e : entries) {
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), e.name.constData());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        switch (e.kind) {
        case TestZipEntry::File:
        case TestZipEntry::Zeros:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), e.permissions);
            archive_entry_set_size(entry.get(), e.kind == TestZipEntry::File ? e.data.size() : e.size);
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
        for (qint64 left = e.kind == TestZipEntry::Zeros ? e.size : 0; left > 0; left -= zeroBlock.size()) {
            const size_t piece = size_t(qMin<qint64>(left, zeroBlock.size()));
            if (archive_write_data(out.get(), zeroBlock.constData(), piece) < 0)
                return QString::fromLocal8Bit(archive_error_string(out.get()));
        }
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));
    return {};
}
