#pragma once

#include "faultrow.h"
#include "faultsystem.h"
#include "support/testvendor.h"

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// What all rows share: the suite's folder, the CA every server's certificate is signed with,
// and the programs under test.
struct FaultSuite {
    QString root;          // rows make their folders here
    QString stateDir;      // the vendor servers' CA and certificates
    QString caFile;        // the CA the launchers trust
    QString launcherStem;  // + lane number: the launcher built for that lane's port
    QString unzipTool;     // the extraction tool
    QString toolDir;       // a folder with unzip.exe only, put on the launchers' search path
    QList<quint16> ports;  // each lane's vendor port
};

// One row's world: a folder of its own holding
//   work/     the working directory the launcher runs in (or unzip.exe, for archive rows)
//   outside/  a sibling folder that must come out of the row unchanged
//   served/   what the vendor server publishes
//   aux/      the test's own files: runtime directory, request logs, the started log
// and the vendor server on its lane's port. Everything it mounted, locked or started is undone
// when it goes, whatever the row's outcome.
class FaultWorld {
public:
    FaultWorld(const FaultSuite &suite, const FaultRow &row, int lane);
    ~FaultWorld();
    FaultWorld(const FaultWorld &) = delete;
    FaultWorld &operator=(const FaultWorld &) = delete;

    // Builds the world the row describes. Empty on success; otherwise why not, and
    // `skipReason` is set when the row cannot run here (not root, no mount).
    QString prepare();
    QString skipReason;

    // The vendor server with the row's options; false with `error` set if it does not come up.
    QString startServer();
    void stopServer();
    // Publishes `package` and the row's version file.
    QString publish(Package package);

    QProcessEnvironment environment(int unzipDelayMs = 0) const;
    QString launcher() const;

    // After the row: what changed outside the working directory (empty: nothing), and the
    // entries that appeared beside the row's four folders.
    QString outsideChanges() const;
    // Ends every process still working in the row's folder (tools, applications).
    void endStrayProcesses() const;

    const FaultSuite &suite;
    const FaultRow &row;
    const int lane;
    QTemporaryDir dir;
    QString root, work, outside, served, aux, runtime, startedLog, requestLog, auxRequestLog;
    TmpfsMount mount;
    UnremovableEntry unremovable;

private:
    QString prepareOutside() const;
    QString prepareWork();

    std::unique_ptr<TestVendor> vendor_;
    std::unique_ptr<TestVendor> auxVendor_;
    QMap<QString, QString> outsideBefore_;
    bool rootWasClean_ = true;
    QString rootEntriesBefore_;
};
