#include "support/testvendor.h"

#include <QFile>

void clearProxyEnvironment()
{
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
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
    return QStringLiteral("https://localhost:%1%2").arg(port_).arg(path).toStdString();
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
