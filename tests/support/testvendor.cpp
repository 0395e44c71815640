#include "support/testvendor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

TestVendor::~TestVendor()
{
    stop();
}

bool TestVendor::start(const QString &servedDir, quint16 port, const QString &stateDir)
{
    const QString script = QString::fromLocal8Bit(qgetenv("NEMBRAL_SOURCE_DIR")) + QStringLiteral("/tools/vendor-server/vendor-server");
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start(QStringLiteral("python3"), {script, QStringLiteral("--dir"), servedDir, QStringLiteral("--port"),
                                               QString::number(port), QStringLiteral("--state-dir"), stateDir});
    if (!process_.waitForStarted(5000))
        return false;

    // The server announces the CA bundle to trust once it listens.
    static const QRegularExpression announce(QStringLiteral("SSL_CERT_FILE=(\\S+)"));
    QByteArray seen;
    for (int waited = 0; waited < 30000 && caFile_.isEmpty(); waited += 100) {
        if (process_.state() != QProcess::Running)
            break;
        process_.waitForReadyRead(100);
        seen += process_.readAllStandardOutput();
        const QRegularExpressionMatch match = announce.match(QString::fromLocal8Bit(seen));
        if (match.hasMatch())
            caFile_ = match.captured(1);
    }
    if (caFile_.isEmpty()) {
        qWarning("vendor server did not start: %s %s", seen.constData(), process_.readAllStandardError().constData());
        return false;
    }
    qputenv("SSL_CERT_FILE", caFile_.toLocal8Bit());
    return true;
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
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    // One argument per line; appended in one write so concurrent runs do not mix lines.
    script.write("#!/bin/sh\nout=$(printf '%s\\n' \"$@\")\nprintf '%s\\n' \"$out\" >> '" + recordFile.toLocal8Bit() + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
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

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}
