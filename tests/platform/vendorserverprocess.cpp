#include "vendorserverprocess.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include "cases/download_cases.h"

bool VendorServerProcess::start(const QString &dir, const QString &stateDir, const QStringList &options)
{
    stop();
    const QString script = qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/tools/vendor-server/vendor-server");
    QStringList arguments{script, QStringLiteral("--dir"), dir, QStringLiteral("--port"), QStringLiteral("0"),
                          QStringLiteral("--state-dir"), stateDir, QStringLiteral("--quiet")};
    arguments << options;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("python3"), arguments);
    if (!process_.waitForStarted(5000))
        return false;
    QByteArray seen;
    for (int waited = 0; waited < 30000; waited += 50) {
        if (process_.state() != QProcess::Running)
            return false;
        process_.waitForReadyRead(50);
        seen += process_.readAllStandardOutput();
        // The third line says the server is listening; the first two carry port and CA.
        if (seen.count('\n') >= 3)
            break;
    }
    for (const QByteArray &line : seen.split('\n')) {
        if (line.startsWith("PORT="))
            port_ = quint16(line.mid(5).toUInt());
        else if (line.startsWith("SSL_CERT_FILE="))
            caFile_ = QString::fromLocal8Bit(line.mid(14));
    }
    return port_ != 0 && !caFile_.isEmpty();
}

void VendorServerProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

std::string VendorServerProcess::url(const QString &path) const
{
    return QStringLiteral("https://localhost:%1%2").arg(port_).arg(path).toStdString();
}

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
