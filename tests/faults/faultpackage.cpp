#include "faultpackage.h"

#include "tests/tools/testzip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QByteArray kApplication = "#!/bin/sh\n"
                                "# Notes its start, and whether its installation is whole, for the fault suite.\n"
                                "trap '' PIPE\n"
                                "if [ -f version.txt ] && [ -f data/payload.bin ]; then state=complete; else state=incomplete; fi\n"
                                "echo \"$(head -n1 version.txt 2>/dev/null) $state\" >> \"${NEMBRAL_FAULTS_STARTED:-/dev/null}\"\n";

constexpr int kManyFiles = 120;

using Entry = TestZipEntry;

// The good package's entries, the version file last (as packaging tools tend to put it
// anywhere, the extraction tool must not rely on the order; last is the unkind case for a
// tool that writes in place).
QList<Entry> goodEntries(const QByteArray &version = "1.0")
{
    return {zipDirectory("nembral/"), zipFile("nembral/Nembrals.exe", kApplication, 0755), zipDirectory("nembral/data/"),
            zipFile("nembral/data/payload.bin", randomBytes(48 * 1024, 7)), zipFile("nembral/version.txt", version + '\n')};
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
        good.insert(3, zipFile("nembral/data/big.bin", randomBytes(3 * 1024 * 1024, 11)));
        return good;
    case Package::Many:
        for (int i = 0; i < kManyFiles; ++i)
            good.insert(3, zipFile("nembral/data/f" + QByteArray::number(i).rightJustified(3, '0') + ".txt",
                                   QByteArray::number(i) + '\n'));
        return good;
    case Package::Zeros:
        good.insert(3, zipZeros("nembral/data/zeros.bin", 16 * 1024 * 1024));
        return good;
    case Package::NoVersion:
        return without(good, "nembral/version.txt");
    case Package::NoExe:
        return without(good, "nembral/Nembrals.exe");
    case Package::DotDot:
        // Extracted into <work>/nembral, this climbs to the folder beside the working directory.
        good.insert(3, zipFile("nembral/../../../outside/evil.txt", "written through a name\n"));
        return good;
    case Package::Absolute:
        good.insert(3, zipFile(outside + "/evil.txt", "written through an absolute name\n"));
        return good;
    case Package::LinkOut:
        good.insert(3, zipSymlink("nembral/escape", "../../../outside"));
        good.insert(4, zipFile("nembral/escape/evil.txt", "written through a link\n"));
        return good;
    case Package::Bomb:
        good.insert(3, zipZeros("nembral/data/bomb.bin", qint64(256) * 1024 * 1024));
        return good;
    }
    return {};
}

}  // namespace

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
        if (QString error = writeTestZip(path, goodEntries()); !error.isEmpty())
            return error;
        QFile f(path);
        return f.resize(f.size() / 2) ? QString() : QStringLiteral("cannot cut %1").arg(path);
    }
    return writeTestZip(path, entriesOf(package, outside.toLocal8Bit()));
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
