#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Zip archives for the extraction tests, in Qt's types, written by support/zipwriter.h, which
// stores names exactly as given, so unsafe names ("../x", "/x", links) can be produced on purpose.
struct TestZipEntry {
    enum Kind { File,
                Directory,
                Symlink,
                Zeros };  // as ZipEntry::Kind
    Kind kind = File;
    QByteArray name;
    QByteArray data;         // File: contents; Symlink: target
    int permissions = 0644;  // File, Zeros and Directory
    qint64 size = 0;         // Zeros: how many zero bytes, written a block at a time
};

inline TestZipEntry zipFile(const QByteArray &name, const QByteArray &data, int permissions = 0644)
{
    return {TestZipEntry::File, name, data, permissions};
}
inline TestZipEntry zipDirectory(const QByteArray &name)
{
    return {TestZipEntry::Directory, name, {}, 0755};
}
inline TestZipEntry zipSymlink(const QByteArray &name, const QByteArray &target)
{
    return {TestZipEntry::Symlink, name, target, 0777};
}
// A file of `size` zero bytes that is never held whole in memory (bombs, full disks).
inline TestZipEntry zipZeros(const QByteArray &name, qint64 size)
{
    return {TestZipEntry::Zeros, name, {}, 0644, size};
}

// `size` bytes that look random but are the same on every call with the same size and seed
// (by default the size itself), so a test can rebuild the expected contents.
QByteArray randomBytes(qsizetype size, quint32 seed);
inline QByteArray randomBytes(qsizetype size)
{
    return randomBytes(size, quint32(size));
}

// Writes `entries` in order to a deflate-compressed zip at `path`, making its folder if
// needed. Empty on success, otherwise libarchive's message.
QString writeTestZip(const QString &path, const QList<TestZipEntry> &entries);
