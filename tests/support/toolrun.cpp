#include "support/toolrun.h"

#include "platform/namedmutex.h"
#include "platform/packagenames.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>

ToolRun runProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    ToolRun r;
    // wine now and then fails to create a process on a busy machine (one start among the
    // hundreds of some lane runs); the tool has not run then, so starting it again changes nothing.
    for (int attempt = 1;; ++attempt) {
        p.start(program, args);
        if (p.waitForStarted(60000))
            break;
        if (attempt == 3 || p.error() != QProcess::FailedToStart) {
            r.stdErr = "cannot start " + QFile::encodeName(program) + ": " + p.errorString().toUtf8();
            return r;
        }
    }
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.stdErr = "timed out";
        return r;
    }
    r.status = p.exitStatus();
    r.exitCode = r.status == QProcess::NormalExit ? p.exitCode() : -1;
    r.stdErr = p.readAllStandardError();
    r.stdOut = p.readAllStandardOutput();
    return r;
}

bool ToolFolders::usePrivateRuntimeDir()
{
    if (!runtimeDir_.isValid() || !makePrivateDir(runtimeDir_.path()))
        return false;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
    return true;
}

QString ToolFolders::freshDestination()
{
    if (namedMutexExists(kExtractMutex))
        return QStringLiteral("another extraction holds the mutex; the tests cannot run");
    tmp_ = std::make_unique<QTemporaryDir>();
    if (!tmp_->isValid())
        return QStringLiteral("cannot make a temporary folder: ") + tmp_->errorString();
    dest_ = tmp_->filePath(QStringLiteral("nembral"));
    if (!QDir().mkpath(dest_))
        return QStringLiteral("cannot make ") + dest_;
    return {};
}
