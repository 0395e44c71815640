#include "tests/tools/testzip.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

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
    std::vector<ZipEntry> plain;
    plain.reserve(std::size_t(entries.size()));
    for (const TestZipEntry &e : entries) {
        ZipEntry z;
        z.kind = e.kind;
        z.name = e.name.toStdString();
        z.data = e.data.toStdString();
        z.permissions = e.permissions;
        plain.push_back(std::move(z));
    }
    return QString::fromStdString(writeZip(QFileInfo(path).filesystemFilePath(), plain));
}
