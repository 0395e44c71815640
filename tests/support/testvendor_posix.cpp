// The vendor server as a child process of the test program.
#include "support/testvendor.h"

#include <QProcess>

struct TestVendor::Server {
    QProcess process;
};

TestVendor::TestVendor() = default;

TestVendor::~TestVendor()
{
    stop();
}

bool TestVendor::launch(const QStringList &arguments, bool plainHttp)
{
    const QString script = qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/tools/vendor-server/vendor-server");
    server_ = std::make_unique<Server>();
    QProcess &process = server_->process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("python3"), QStringList{script} << arguments);
    if (!process.waitForStarted(5000))
        return false;

    // Once it listens the server prints PORT=, then SSL_CERT_FILE= (not over plain http), then
    // the "serving" line for people.
    QByteArray seen;
    for (int waited = 0; waited < 30000 && !seen.contains("\nvendor-server: serving"); waited += 50) {
        if (process.state() != QProcess::Running)
            break;
        process.waitForReadyRead(50);
        seen += process.readAllStandardOutput();
    }
    return takeStartLines(seen, plainHttp);
}

void TestVendor::stop()
{
    if (!server_)
        return;
    QProcess &process = server_->process;
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    server_.reset();
}

QString writeRecordingInterpreter(const QString &dir, const QString &recordFile)
{
    const QString path = dir + QStringLiteral("/record-interpreter.sh");
    // One argument per line; appended in one write so concurrent runs do not mix lines.
    const QByteArray script = "#!/bin/sh\nout=$(printf '%s\\n' \"$@\")\nprintf '%s\\n' \"$out\" >> '"
                              + recordFile.toLocal8Bit() + "'\n";
    return writeExecutable(path, script) ? path : QString();
}
