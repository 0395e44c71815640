#pragma once

#include <QProcess>  // the suites that use a server start other programs with it too
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

// Suites with a vendor server write the files it serves with these.
#include "support/testfiles.h"

// The local vendor server (tools/vendor-server) on loopback, serving a folder with
// version.txt and nembral.zip, with its own throw-away CA, optionally with injected faults.
class TestVendor {
public:
    TestVendor();
    ~TestVendor();
    TestVendor(const TestVendor &) = delete;
    TestVendor &operator=(const TestVendor &) = delete;

    // Starts the server for `servedDir` on 127.0.0.1:`port` (0: a free port) with the CA kept in
    // `stateDir` and the extra `options` (faults). Returns once it listens.
    bool start(const QString &servedDir, quint16 port, const QString &stateDir, const QStringList &options = {});
    void stop();

    quint16 port() const { return port_; }
    // The CA bundle that makes its certificate trusted (for SSL_CERT_FILE); empty with --http.
    QString caFile() const { return caFile_; }
    // "https://localhost:<port>" + path ("http://" with --http)
    std::string url(const QString &path) const;

private:
    // Starts the server with `arguments` (after the server's program) and waits for its
    // start-up lines, which takeStartLines reads: a child process on Linux, the broker's under
    // wine.
    bool launch(const QStringList &arguments, bool plainHttp);
    // The server's start-up lines (PORT=, SSL_CERT_FILE=): true when they name what is needed.
    bool takeStartLines(const QByteArray &seen, bool plainHttp);

    // The running server: a child process on Linux; under wine a connection to the broker
    // that started it outside (tools/vendor-server/vendor-broker).
    struct Server;
    std::unique_ptr<Server> server_;
    quint16 port_ = 0;
    QString caFile_;
};

// Test servers are on loopback: a proxy from the environment must not stand between them and
// the code under test (children started afterwards inherit this too). TestVendor::start calls it.
void clearProxyEnvironment();

// A fake command interpreter for COMSPEC: appends each argument it gets as one line to
// `recordFile` and exits. Returns the program's path. On Windows the arguments are the
// interpreter's switch and the rest of its command line, as cmd.exe reads them.
QString writeRecordingInterpreter(const QString &dir, const QString &recordFile);

// The lines recorded so far (empty when nothing was run).
QStringList recordedArguments(const QString &recordFile);
