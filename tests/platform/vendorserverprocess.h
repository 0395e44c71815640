#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// tools/vendor-server on a free loopback port, serving `dir`, with extra (fault) options.
class VendorServerProcess {
public:
    VendorServerProcess() = default;
    ~VendorServerProcess() { stop(); }
    VendorServerProcess(const VendorServerProcess &) = delete;
    VendorServerProcess &operator=(const VendorServerProcess &) = delete;

    bool start(const QString &dir, const QString &stateDir, const QStringList &options = {});
    void stop();

    quint16 port() const { return port_; }
    QString caFile() const { return caFile_; }
    // "https://localhost:<port>" + path
    std::string url(const QString &path) const;

private:
    QProcess process_;
    quint16 port_ = 0;
    QString caFile_;
};

// The served folder's files, made once per test run.
void writeVendorFiles(const QString &dir);
