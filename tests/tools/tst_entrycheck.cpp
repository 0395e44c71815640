// The name rules of the extraction tool: which entry names and link targets may be created
// below the extraction directory; and how its folder making tells a taken name from other
// failures, on which the staging folder's choice of a fresh name rests.
#include "tests/support/windowsnames.h"
#include "unzip/plan.h"
#include "unzip/system.h"

#include <QtTest>

class TestEntryCheck : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entryPath_data();
    void entryPath();
    void linkTarget_data();
    void linkTarget();
    void caseFolded_data();
    void caseFolded();
    void pathParts();
    void nameTaken_data();
    void nameTaken();
};

void TestEntryCheck::entryPath_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("problem");  // expected substring; empty: accepted

    QTest::newRow("plain file") << QByteArray("nembral/version.txt") << QByteArray();
    QTest::newRow("directory entry") << QByteArray("nembral/") << QByteArray();
    QTest::newRow("dots in a name") << QByteArray("nembral/a..b/..c") << QByteArray();
    QTest::newRow("leading dot part") << QByteArray("./nembral/x") << QByteArray();
    QTest::newRow("backslash separators") << QByteArray("nembral\\bin\\x.dll") << QByteArray();
    QTest::newRow("absolute") << QByteArray("/etc/passwd") << QByteArray("absolute");
    QTest::newRow("absolute backslash") << QByteArray("\\windows\\x") << QByteArray("absolute");
    QTest::newRow("leading dotdot") << QByteArray("../evil") << QByteArray("\"..\"");
    QTest::newRow("inner dotdot") << QByteArray("nembral/../../evil") << QByteArray("\"..\"");
    QTest::newRow("dotdot that stays inside") << QByteArray("nembral/sub/../x") << QByteArray("\"..\"");
    QTest::newRow("only dotdot") << QByteArray("..") << QByteArray("\"..\"");
    QTest::newRow("empty") << QByteArray("") << QByteArray("empty");
    QTest::newRow("only dots and slashes") << QByteArray("././/") << QByteArray("empty");
    // Names that Windows takes for something else are refused everywhere: the same package
    // is installed on every system.
    for (const WindowsNameRow &r : kWindowsNameRows)
        QTest::newRow(r.row) << QByteArray(r.name) << QByteArray(r.problem);
    QByteArray deepest = "f";
    for (int i = 1; i < 256; ++i)
        deepest.prepend("d/");
    QTest::newRow("256 levels") << deepest << QByteArray();
    QTest::newRow("257 levels") << QByteArray("d/" + deepest) << QByteArray("levels deep");
}

void TestEntryCheck::entryPath()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, problem);
    const Result<> checked = checkEntryPath(path.toStdString());
    const std::string why = checked ? std::string() : checked.failure().text;
    if (problem.isEmpty())
        QVERIFY2(checked.ok(), why.c_str());
    else
        QVERIFY2(!checked.ok() && why.find(problem.toStdString()) != std::string::npos, why.c_str());
}

void TestEntryCheck::linkTarget_data()
{
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("sibling") << QByteArray("nembral/lib/libx.so") << QByteArray("libx.so.1") << true;
    QTest::newRow("into a subdirectory") << QByteArray("nembral/run") << QByteArray("bin/run") << true;
    QTest::newRow("up to a sibling directory") << QByteArray("nembral/bin/x") << QByteArray("../lib/x") << true;
    QTest::newRow("up to the top") << QByteArray("nembral/bin/x") << QByteArray("../..") << true;
    QTest::newRow("one level too far") << QByteArray("nembral/bin/x") << QByteArray("../../../x") << false;
    QTest::newRow("top-level link going up") << QByteArray("x") << QByteArray("../y") << false;
    QTest::newRow("absolute") << QByteArray("nembral/x") << QByteArray("/etc/passwd") << false;
    QTest::newRow("drive") << QByteArray("nembral/x") << QByteArray("C:\\x") << false;
    QTest::newRow("empty") << QByteArray("nembral/x") << QByteArray("") << false;
    // After a name, ".." may be resolved against a link's target rather than the name's parent.
    QTest::newRow("dotdot after a name") << QByteArray("nembral/x") << QByteArray("sub/../y") << false;
    QTest::newRow("backslash escape") << QByteArray("nembral/x") << QByteArray("..\\..\\y") << false;
    QTest::newRow("dot parts ignored") << QByteArray("nembral/./bin/x") << QByteArray("./../lib") << true;
}

void TestEntryCheck::linkTarget()
{
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, target);
    QFETCH(bool, accepted);
    const Result<> checked = checkLinkTarget(link.toStdString(), target.toStdString());
    QVERIFY2(checked.ok() == accepted, checked.ok() ? "accepted" : checked.failure().text.c_str());
}

// Names that differ only in case are one file on Windows.
void TestEntryCheck::caseFolded_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("ASCII") << QByteArray("nembral/Version.TXT") << QByteArray("NEMBRAL/version.txt") << true;
    QTest::newRow("Latin-1") << QByteArray("caf\xc3\xa9") << QByteArray("CAF\xc3\x89") << true;
    QTest::newRow("y with diaeresis") << QByteArray("\xc3\xbf") << QByteArray("\xc5\xb8") << true;
    QTest::newRow("Latin Extended-A, capital first") << QByteArray("\xc4\x8d") << QByteArray("\xc4\x8c") << true;
    QTest::newRow("Latin Extended-A, small first") << QByteArray("\xc5\x82") << QByteArray("\xc5\x81") << true;
    QTest::newRow("Greek, final sigma") << QByteArray("\xcf\x82") << QByteArray("\xce\xa3") << true;
    QTest::newRow("Cyrillic") << QByteArray("\xd0\xb4\xd1\x91") << QByteArray("\xd0\x94\xd0\x81") << true;
    QTest::newRow("division sign is no letter") << QByteArray("\xc3\xb7") << QByteArray("\xc3\x97") << false;
    QTest::newRow("different letters") << QByteArray("nembral/a") << QByteArray("nembral/b") << false;
    QTest::newRow("stray byte kept") << QByteArray("a\xff") << QByteArray("A\xff") << true;
    QTest::newRow("stray bytes differ") << QByteArray("a\xfe") << QByteArray("a\xff") << false;
}

void TestEntryCheck::caseFolded()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, same);
    QCOMPARE(::caseFolded(a.toStdString()) == ::caseFolded(b.toStdString()), same);
}

void TestEntryCheck::pathParts()
{
    QCOMPARE(::pathParts("a//b/./c\\d/"), (std::vector<std::string>{"a", "b", "c", "d"}));
    QCOMPARE(::pathParts("/"), std::vector<std::string>{});
}

void TestEntryCheck::nameTaken_data()
{
    QTest::addColumn<QByteArray>("existing");  // what is at "x" first: "folder", "file" or nothing
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("made");
    QTest::addColumn<bool>("taken");

    QTest::newRow("a new name") << QByteArray() << QByteArray("x") << true << false;
    QTest::newRow("a folder there") << QByteArray("folder") << QByteArray("x") << false << true;
    QTest::newRow("a file there") << QByteArray("file") << QByteArray("x") << false << true;
    QTest::newRow("below a folder that is not there") << QByteArray() << QByteArray("missing/x") << false << false;
}

void TestEntryCheck::nameTaken()
{
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, name);
    QFETCH(bool, made);
    QFETCH(bool, taken);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (existing == "folder")
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("x")));
    if (existing == "file") {
        QFile file(dir.filePath(QStringLiteral("x")));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const Result<NativeHandle> destination = openDestination(dir.path().toStdString());
    QVERIFY2(destination.ok(), destination.ok() ? "" : destination.failure().text.c_str());
    const Result<> result = makeDirectoryAt(destination.value().get(), name.toStdString(), 0700);
    QCOMPARE(result.ok(), made);
    if (made)
        return;
    const Failure &failure = result.failure();
    QCOMPARE(alreadyThere(failure), taken);
    QVERIFY(failure.code != 0);
    QVERIFY2(!failure.text.empty() && failure.text.find('\n') == std::string::npos, failure.text.c_str());
}

QTEST_APPLESS_MAIN(TestEntryCheck)
#include "tst_entrycheck.moc"
