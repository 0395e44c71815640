// tools/make-package: the package it writes installs, through the real extraction tool, into
// the tree the launcher expects, and the demo application in it tells its version.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result run(const QString &program, const QStringList &args, const QString &workingDirectory = QString(),
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString makePackage() { return qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/tools/make-package"); }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestMakePackage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void packageInstallsAndRuns_data();
    void packageInstallsAndRuns();
    void payload();
    void refusesBadVersion_data();
    void refusesBadVersion();

private:
    QTemporaryDir runtimeDir_;
};

void TestMakePackage::initTestCase()
{
    QVERIFY(QFileInfo(makePackage()).isExecutable());
    // The extraction tool's mutex in a directory of our own (see tst_unzip).
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

void TestMakePackage::packageInstallsAndRuns_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("1.0") << QStringLiteral("1.0");
    QTest::newRow("longer") << QStringLiteral("2.10.3-beta+7");
}

void TestMakePackage::packageInstallsAndRuns()
{
    QFETCH(QString, version);
    QTemporaryDir tmp;
    const QString served = tmp.filePath(QStringLiteral("served"));
    const Result made = run(makePackage(), {version, served});
    QVERIFY2(made.exitCode == 0, made.err.constData());

    QCOMPARE(readAll(served + QStringLiteral("/version.txt")), version.toLatin1() + '\n');
    QCOMPARE(QDir(served).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("nembral.zip"), QStringLiteral("version.txt")}));

    // Every entry is rooted at "nembral/".
    const Result listed = run(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), served + QStringLiteral("/nembral.zip")});
    QCOMPARE(listed.exitCode, 0);
    const QList<QByteArray> entries = listed.out.trimmed().split('\n');
    QVERIFY(entries.contains("nembral/version.txt"));
    QVERIFY(entries.contains("nembral/Nembrals.exe"));
    for (const QByteArray &e : entries)
        QVERIFY2(e.startsWith("nembral/"), e.constData());

    // Installed as the launcher does it: "unzip.exe nembral/nembral.zip nembral" in the working directory.
    const QString work = tmp.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(work + QStringLiteral("/nembral")));
    QVERIFY(QFile::copy(served + QStringLiteral("/nembral.zip"), work + QStringLiteral("/nembral/nembral.zip")));
    const Result unzipped = run(QStringLiteral(NEMBRAL_UNZIP_EXE), {QStringLiteral("nembral/nembral.zip"), QStringLiteral("nembral")}, work);
    QVERIFY2(unzipped.exitCode == 0, unzipped.err.constData());
    const QString app = work + QStringLiteral("/nembral/nembral");
    QCOMPARE(readAll(app + QStringLiteral("/version.txt")), version.toLatin1() + '\n');
    QVERIFY(QFileInfo(app + QStringLiteral("/Nembrals.exe")).isExecutable());

    // Started as the launcher starts it, twice: each run adds its line to the log.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NEMBRAL_DEMO_HEADLESS"), QStringLiteral("1"));
    env.insert(QStringLiteral("PATH"), QStringLiteral(".:") + env.value(QStringLiteral("PATH")));
    const QByteArray line = "Nembral " + version.toLatin1() + " running\n";
    for (int i = 1; i <= 2; ++i) {
        const Result started = run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("cd ./nembral/nembral/ && Nembrals.exe")}, work, env);
        QCOMPARE(started.exitCode, 0);
        QCOMPARE(started.out, line);
        QCOMPARE(readAll(app + QStringLiteral("/nembral-demo.log")), line.repeated(i));
    }
}

void TestMakePackage::payload()
{
    QTemporaryDir tmp;
    const QString served = tmp.filePath(QStringLiteral("served"));
    const Result made = run(makePackage(), {QStringLiteral("--payload-mb"), QStringLiteral("2"), QStringLiteral("--payload-files"),
                                            QStringLiteral("7"), QStringLiteral("3.0"), served});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    const Result unzipped = run(QStringLiteral(NEMBRAL_UNZIP_EXE), {served + QStringLiteral("/nembral.zip"), tmp.filePath(QStringLiteral("out"))});
    QVERIFY2(unzipped.exitCode == 0, unzipped.err.constData());
    const QDir payload(tmp.filePath(QStringLiteral("out/nembral/payload")));
    const QFileInfoList files = payload.entryInfoList(QDir::Files);
    QCOMPARE(files.size(), 7);
    qint64 total = 0;
    for (const QFileInfo &f : files)
        total += f.size();
    QCOMPARE(total, qint64(2) * 1024 * 1024);
}

void TestMakePackage::refusesBadVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("empty") << QString();
    QTest::newRow("blank inside") << QStringLiteral("1 0");
    QTest::newRow("path") << QStringLiteral("../1.0");
    QTest::newRow("quote") << QStringLiteral("1.0'");
}

void TestMakePackage::refusesBadVersion()
{
    QFETCH(QString, version);
    QTemporaryDir tmp;
    const QString served = tmp.filePath(QStringLiteral("served"));
    const Result made = run(makePackage(), {version, served});
    QCOMPARE(made.exitCode, 2);
    QVERIFY(!made.err.isEmpty());
    QVERIFY(!QFileInfo::exists(served));
}

QTEST_GUILESS_MAIN(TestMakePackage)
#include "tst_makepackage.moc"
