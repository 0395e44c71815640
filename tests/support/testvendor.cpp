#include "support/testvendor.h"

#include <QFile>

void clearProxyEnvironment()
{
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

TestVendor::~TestVendor()
{
    stop();
}

bool TestVendor::start(const QString &servedDir, quint16 port, const QString &stateDir, const QStringList &options)
{
    stop();
    port_ = 0;
    caFile_.clear();
    clearProxyEnvironment();
    const QString script = qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/tools/vendor-server/vendor-server");
    QStringList arguments{script, QStringLiteral("--dir"), servedDir, QStringLiteral("--port"), QString::number(port),
                          QStringLiteral("--state-dir"), stateDir, QStringLiteral("--quiet")};
    arguments << options;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("python3"), arguments);
    if (!process_.waitForStarted(5000))
        return false;

    // Once it listens the server prints PORT=, then SSL_CERT_FILE= (not over plain http), then
    // the "serving" line for people.
    const bool plainHttp = options.contains(QStringLiteral("--http"));
    QByteArray seen;
    for (int waited = 0; waited < 30000 && !seen.contains("\nvendor-server: serving"); waited += 50) {
        if (process_.state() != QProcess::Running)
            break;
        process_.waitForReadyRead(50);
        seen += process_.readAllStandardOutput();
    }
    for (const QByteArray &line : seen.split('\n')) {
        if (line.startsWith("PORT="))
            port_ = quint16(line.mid(5).toUInt());
        else if (line.startsWith("SSL_CERT_FILE="))
            caFile_ = QString::fromLocal8Bit(line.mid(14));
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

void TestVendor::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QString writeRecordingInterpreter(const QString &dir, const QString &recordFile)
{
    const QString path = dir + QStringLiteral("/record-interpreter.sh");
    // One argument per line; appended in one write so concurrent runs do not mix lines.
    const QByteArray script = "#!/bin/sh\nout=$(printf '%s\\n' \"$@\")\nprintf '%s\\n' \"$out\" >> '"
        + recordFile.toLocal8Bit() + "'\n";
    return writeExecutable(path, script) ? path : QString();
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
