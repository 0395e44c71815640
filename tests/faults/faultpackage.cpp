#include "faultpackage.h"

#include <archive.h>
#include <archive_entry.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <memory>

namespace {

const QByteArray kApplication = "#!/bin/sh\n"
                                "# Notes its start, and whether its installation is whole, for the fault suite.\n"
                                "trap '' PIPE\n"
                                "if [ -f version.txt ] && [ -f data/payload.bin ]; then state=complete; else state=incomplete; fi\n"
                                "echo \"$(head -n1 version.txt 2>/dev/null) $state\" >> \"${NEMBRAL_FAULTS_STARTED:-/dev/null}\"\n";

constexpr int kManyFiles = 120;

struct Entry {
    enum Kind { File, Directory, Symlink, Zeros };
    Kind kind = File;
    QByteArray name;
    QByteArray data;   // File: contents; Symlink: target
    qint64 size = 0;   // Zeros: how many
    int mode = 0644;
};

Entry file(const QByteArray &name, const QByteArray &data, int mode = 0644)
{
    return {Entry::File, name, data, 0, mode};
}
Entry directory(const QByteArray &name)
{
    return {Entry::Directory, name, {}, 0, 0755};
}
Entry symlink(const QByteArray &name, const QByteArray &target)
{
    return {Entry::Symlink, name, target, 0, 0777};
}
Entry zeros(const QByteArray &name, qint64 size)
{
    return {Entry::Zeros, name, {}, size, 0644};
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

struct WriterDeleter {
    void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};

QString writeZip(const QString &path, const QList<Entry> &entries)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::unique_ptr<archive, WriterDeleter> out(archive_write_new());
    archive_write_set_format_zip(out.get());
    archive_write_set_options(out.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8");
    const QByteArray fileName = path.toLocal8Bit();
    if (archive_write_open_filename(out.get(), fileName.constData()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));
    const QByteArray zeroBlock(1 << 20, '\0');
    for (const Entry &e : entries) {
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), e.name.constData());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        archive_entry_set_perm(entry.get(), e.mode);
        switch (e.kind) {
        case Entry::File:
        case Entry::Zeros:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), e.kind == Entry::File ? e.data.size() : e.size);
            break;
        case Entry::Directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            break;
        case Entry::Symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), e.data.constData());
            break;
        }
        if (archive_write_header(out.get(), entry.get()) != ARCHIVE_OK)
            return QString::fromLocal8Bit(archive_error_string(out.get()));
        if (e.kind == Entry::File && !e.data.isEmpty()
            && archive_write_data(out.get(), e.data.constData(), size_t(e.data.size())) < 0)
            return QString::fromLocal8Bit(archive_error_string(out.get()));
        // Big runs of zeros are written a block at a time, never held whole in memory.
        for (qint64 left = e.kind == Entry::Zeros ? e.size : 0; left > 0; left -= zeroBlock.size()) {
            const size_t piece = size_t(qMin<qint64>(left, zeroBlock.size()));
            if (archive_write_data(out.get(), zeroBlock.constData(), piece) < 0)
                return QString::fromLocal8Bit(archive_error_string(out.get()));
        }
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        return QString::fromLocal8Bit(archive_error_string(out.get()));
    return {};
}

// The good package's entries, the version file last (as packaging tools tend to put it
// anywhere, the extraction tool must not rely on the order; last is the unkind case for a
// tool that writes in place).
QList<Entry> goodEntries(const QByteArray &version = "1.0")
{
    return {directory("nembral/"), file("nembral/Nembrals.exe", kApplication, 0755), directory("nembral/data/"),
            file("nembral/data/payload.bin", randomBytes(48 * 1024, 7)), file("nembral/version.txt", version + '\n')};
}

QList<Entry> without(QList<Entry> entries, const QByteArray &name)
{
    entries.removeIf([&name](const Entry &e) { return e.name == name; });
    return entries;
}

QList<Entry> entriesOf(Package package, const QByteArray &outside)
{
    QList<Entry> good = goodEntries();
    switch (package) {
    case Package::None:
    case Package::Corrupt:
    case Package::Truncated:
        return {};
    case Package::Good:
        return good;
    case Package::Big:
        good.insert(3, file("nembral/data/big.bin", randomBytes(3 * 1024 * 1024, 11)));
        return good;
    case Package::Many:
        for (int i = 0; i < kManyFiles; ++i)
            good.insert(3, file("nembral/data/f" + QByteArray::number(i).rightJustified(3, '0') + ".txt",
                                QByteArray::number(i) + '\n'));
        return good;
    case Package::Zeros:
        good.insert(3, zeros("nembral/data/zeros.bin", 16 * 1024 * 1024));
        return good;
    case Package::NoVersion:
        return without(good, "nembral/version.txt");
    case Package::NoExe:
        return without(good, "nembral/Nembrals.exe");
    case Package::DotDot:
        // Extracted into <work>/nembral, this climbs to the folder beside the working directory.
        good.insert(3, file("nembral/../../../outside/evil.txt", "written through a name\n"));
        return good;
    case Package::Absolute:
        good.insert(3, file(outside + "/evil.txt", "written through an absolute name\n"));
        return good;
    case Package::LinkOut:
        good.insert(3, symlink("nembral/escape", "../../../outside"));
        good.insert(4, file("nembral/escape/evil.txt", "written through a link\n"));
        return good;
    case Package::Bomb:
        good.insert(3, zeros("nembral/data/bomb.bin", qint64(256) * 1024 * 1024));
        return good;
    }
    return {};
}

} // namespace

QString writePackage(Package package, const QString &path, const QString &outside)
{
    if (package == Package::None)
        return {};
    if (package == Package::Corrupt) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(randomBytes(4096, 3)) != 4096)
            return QStringLiteral("cannot write %1").arg(path);
        return {};
    }
    if (package == Package::Truncated) {
        if (QString error = writeZip(path, goodEntries()); !error.isEmpty())
            return error;
        QFile f(path);
        return f.resize(f.size() / 2) ? QString() : QStringLiteral("cannot cut %1").arg(path);
    }
    return writeZip(path, entriesOf(package, outside.toLocal8Bit()));
}

QString writeInstallation(const QString &installDir, const QByteArray &version)
{
    if (!QDir().mkpath(installDir + QStringLiteral("/data")))
        return QStringLiteral("cannot make %1").arg(installDir);
    const auto write = [](const QString &path, const QByteArray &data) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    };
    const QString exe = installDir + QStringLiteral("/Nembrals.exe");
    if (!write(exe, kApplication) || !write(installDir + QStringLiteral("/data/payload.bin"), randomBytes(1024, 5))
        || !write(installDir + QStringLiteral("/version.txt"), version + '\n')
        || !QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                           | QFile::ExeOther))
        return QStringLiteral("cannot write the installation in %1").arg(installDir);
    return {};
}

QStringList installedTree(Package package)
{
    QStringList tree{QStringLiteral("nembral"), QStringLiteral("nembral/nembral"),
                     QStringLiteral("nembral/nembral/Nembrals.exe"), QStringLiteral("nembral/nembral/data"),
                     QStringLiteral("nembral/nembral/data/payload.bin"), QStringLiteral("nembral/nembral/version.txt")};
    if (package == Package::Many)
        for (int i = 0; i < kManyFiles; ++i)
            tree << QStringLiteral("nembral/nembral/data/f%1.txt").arg(i, 3, 10, QLatin1Char('0'));
    tree.sort();
    return tree;
}
