#pragma once

#include "support/zipwriter.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Zip archives for the extraction tests, in Qt's types, written by support/zipwriter.h, which
// stores names exactly as given, so unsafe names ("../x", "/x", links) can be produced on purpose.
struct TestZipEntry {
    ZipEntry::Kind kind = ZipEntry::File;
    QByteArray name;
    QByteArray data;         // File: contents; Symlink: target
    int permissions = 0644;  // File and Directory
};

inline TestZipEntry zipFile(const QByteArray &name, const QByteArray &data, int permissions = 0644)
{
    return {ZipEntry::File, name, data, permissions};
}
inline TestZipEntry zipDirectory(const QByteArray &name)
{
    return {ZipEntry::Directory, name, {}, 0755};
}
inline TestZipEntry zipSymlink(const QByteArray &name, const QByteArray &target)
{
    return {ZipEntry::Symlink, name, target, 0777};
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
