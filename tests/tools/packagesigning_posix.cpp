#include "tests/tools/packagesigning.h"

#include <QProcess>

QString signPackageFile(const QString &path, const QString &privateKey)
{
    QProcess p;
    p.start(qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/tools/sign-package"), {path, privateKey});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("sign-package: ") + QString::fromLocal8Bit(p.readAllStandardError()) + p.errorString();
    return {};
}

bool vendorProgramsRunHere()
{
    return true;
}
