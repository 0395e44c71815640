#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

bool writeExecutable(const QString &path, const QByteArray &data)
{
    return writeFile(path, data) && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList entriesBelow(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(dir).relativeFilePath(it.next());
    found.sort();
    return found;
}

bool makePrivateDir(const QString &path)
{
    return QDir().mkpath(path) && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

ScratchDir::ScratchDir() : startDir_(QDir::currentPath()) {}

bool ScratchDir::enterFreshWorkDir()
{
    workDir_ = root_.filePath(QStringLiteral("work%1").arg(++rounds_));
    return root_.isValid() && QDir().mkpath(workDir_) && QDir::setCurrent(workDir_);
}

void ScratchDir::leaveWorkDir() const
{
    QDir::setCurrent(startDir_);
}

int filesBelow(const QString &dir)
{
    int n = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}
