#include "support/testvendor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void clearProxyEnvironment()
{
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

bool TestVendor::start(const QString &servedDir, quint16 port, const QString &stateDir, const QStringList &options)
{
    stop();
    port_ = 0;
    caFile_.clear();
    clearProxyEnvironment();
    // Absolute: under wine the server runs outside, in a working directory of its own.
    const auto absolute = [](const QString &path) { return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()); };
    QStringList arguments{QStringLiteral("--dir"), absolute(servedDir), QStringLiteral("--port"), QString::number(port),
                          QStringLiteral("--state-dir"), absolute(stateDir), QStringLiteral("--quiet")};
    arguments << options;
    return launch(arguments, options.contains(QStringLiteral("--http")));
}

bool TestVendor::takeStartLines(const QByteArray &seen, bool plainHttp)
{
    for (const QByteArray &line : seen.split('\n')) {
        if (line.startsWith("PORT="))
            port_ = quint16(line.mid(5).trimmed().toUInt());
        else if (line.startsWith("SSL_CERT_FILE="))
            caFile_ = QString::fromLocal8Bit(line.mid(14).trimmed());
    }
    if (port_ == 0 || (caFile_.isEmpty() && !plainHttp)) {
        qWarning("vendor server did not start: %s", seen.constData());
        return false;
    }
    return true;
}

std::string TestVendor::url(const QString &path) const
{
    const QString scheme = caFile_.isEmpty() ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://localhost:%2%3").arg(scheme).arg(port_).arg(path).toStdString();
}

QStringList recordedArguments(const QString &recordFile)
{
    QFile file(recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
