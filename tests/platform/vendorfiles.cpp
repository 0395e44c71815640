#include "vendorfiles.h"

#include <QDir>
#include <QFile>

#include "cases/download_cases.h"

void writeVendorFiles(const QString &dir)
{
    QDir().mkpath(dir);
    QFile version(dir + QStringLiteral("/version.txt"));
    version.open(QIODevice::WriteOnly);
    version.write(nembral_cases::kVersionBody);
    QFile package(dir + QStringLiteral("/nembral.zip"));
    package.open(QIODevice::WriteOnly);
    QByteArray data(int(nembral_cases::kPackageSize), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131 + i / 4096) & 0xff);
    package.write(data);
}
