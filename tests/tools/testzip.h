#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives for the extraction tests with libarchive's writer, which stores names
// exactly as given, so unsafe names ("../x", "/x", links) can be produced on purpose.
struct TestZipEntry {
    enum Kind { File, Directory, Symlink };
    Kind kind = File;
    QByteArray name;
    QByteArray data;        // File: contents; Symlink: target
    int permissions = 0644; // File and Directory
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

// Writes `entries` in order to a deflate-compressed zip at `path`. Empty on success, otherwise
// libarchive's message.
QString writeTestZip(const QString &path, const QList<TestZipEntry> &entries);
