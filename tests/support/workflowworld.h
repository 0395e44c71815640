#pragma once

#include "support/testvendor.h"

#include <QStringList>
#include <QTemporaryDir>

#include <optional>

struct MainWindowUi;

// The world a workflow suite runs in: a vendor server on loopback publishing a version and a
// package, a recording interpreter as COMSPEC, a private runtime directory for named mutexes
// (other suites run at the same time), and a fresh working directory for every test.
class WorkflowWorld {
public:
    bool start(quint16 port, const QByteArray &publishedVersion, const QByteArray &package);
    void stop();
    // The same server again, on the same port and with the same CA, with test-only faults
    // (tools/vendor-server/README.md), such as failing the next request.
    bool restartVendor(const QStringList &faults);

    // Call from init() and cleanup(); leaving removes the working directory, and is false when
    // something in it could not be removed (an entry a test locked and did not unlock, say).
    bool enterFreshWorkDir();
    [[nodiscard]] bool leaveWorkDir();

    // What the interpreter was given so far, one argument a line.
    QStringList commands() const { return recordedArguments(record_); }
    QString commandsFile() const { return record_; }

private:
    QTemporaryDir root_;
    TestVendor vendor_;
    QString startDir_;
    quint16 port_ = 0;
    QString record_;
    std::optional<QTemporaryDir> workDir_;
};

// The window's pages as the user would see them: which of the dialog's widgets, the status
// line and the animation are visible.
QStringList visiblePageWidgets(const MainWindowUi &ui);

inline const QStringList kErrorPage = {QStringLiteral("dialog"), QStringLiteral("info_error"), QStringLiteral("exitBtn")};
inline const QStringList kQuestionPage = {QStringLiteral("dialog"), QStringLiteral("info"), QStringLiteral("startBtn"),
                                          QStringLiteral("updateBtn")};
inline const QStringList kWorkingPage = {QStringLiteral("progress"), QStringLiteral("loadingIcon")};
