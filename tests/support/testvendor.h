#pragma once

#include <QProcess>
#include <QString>

// The local vendor server (tools/vendor-server) on loopback, serving a folder with
// version.txt and nembral.zip, with its own throw-away CA. Tests point SSL_CERT_FILE at it.
class TestVendor {
public:
    TestVendor() = default;
    ~TestVendor();
    TestVendor(const TestVendor &) = delete;
    TestVendor &operator=(const TestVendor &) = delete;

    // Starts the server for `servedDir` on 127.0.0.1:`port` and exports SSL_CERT_FILE.
    bool start(const QString &servedDir, quint16 port, const QString &stateDir);
    void stop();
    QString caFile() const { return caFile_; }

private:
    QProcess process_;
    QString caFile_;
};

// A fake command interpreter for COMSPEC: appends each argument it gets as one line to
// `recordFile` and exits. Returns the script's path.
QString writeRecordingInterpreter(const QString &dir, const QString &recordFile);

// The lines recorded so far (empty when nothing was run).
QStringList recordedArguments(const QString &recordFile);

// Writes `data` to `path`, creating parent directories.
bool writeFile(const QString &path, const QByteArray &data);
