// The name rules of the extraction tool: which entry names and link targets may be created
// below the extraction directory.
#include "tools/unzip/entrycheck.h"

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
};

void TestEntryCheck::entryPath_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("problem"); // expected substring; empty: accepted

    QTest::newRow("plain file") << QByteArray("nembral/version.txt") << QByteArray();
    QTest::newRow("directory entry") << QByteArray("nembral/") << QByteArray();
    QTest::newRow("dots in a name") << QByteArray("nembral/a..b/..c") << QByteArray();
    QTest::newRow("leading dot part") << QByteArray("./nembral/x") << QByteArray();
    QTest::newRow("backslash separators") << QByteArray("nembral\\bin\\x.dll") << QByteArray();
    QTest::newRow("absolute") << QByteArray("/etc/passwd") << QByteArray("absolute");
    QTest::newRow("absolute backslash") << QByteArray("\\windows\\x") << QByteArray("absolute");
    QTest::newRow("drive letter") << QByteArray("C:\\x") << QByteArray("absolute");
    QTest::newRow("drive relative") << QByteArray("C:x") << QByteArray("absolute");
    QTest::newRow("leading dotdot") << QByteArray("../evil") << QByteArray("\"..\"");
    QTest::newRow("inner dotdot") << QByteArray("nembral/../../evil") << QByteArray("\"..\"");
    QTest::newRow("dotdot that stays inside") << QByteArray("nembral/sub/../x") << QByteArray("\"..\"");
    QTest::newRow("backslash dotdot") << QByteArray("nembral\\..\\..\\evil") << QByteArray("\"..\"");
    QTest::newRow("only dotdot") << QByteArray("..") << QByteArray("\"..\"");
    QTest::newRow("empty") << QByteArray("") << QByteArray("empty");
    QTest::newRow("only dots and slashes") << QByteArray("././/") << QByteArray("empty");
    // Names that Windows takes for something else are refused everywhere: the same package
    // is installed on every system.
    QTest::newRow("UNC path") << QByteArray("\\\\server\\share\\x") << QByteArray("absolute");
    QTest::newRow("device path") << QByteArray("\\\\?\\C:\\x") << QByteArray("absolute");
    QTest::newRow("UNC path, slashes") << QByteArray("//server/share/x") << QByteArray("absolute");
    QTest::newRow("drive letter inside") << QByteArray("nembral/C:x") << QByteArray("':'");
    QTest::newRow("alternate data stream") << QByteArray("nembral/a.txt:stream") << QByteArray("alternate data stream");
    QTest::newRow("stream of a folder") << QByteArray("nembral:x/a.txt") << QByteArray("alternate data stream");
    QTest::newRow("CON") << QByteArray("nembral/CON") << QByteArray("reserved device name");
    QTest::newRow("NUL.txt") << QByteArray("nembral/NUL.txt") << QByteArray("reserved device name");
    QTest::newRow("nul.tar.gz, lower case") << QByteArray("nembral/nul.tar.gz") << QByteArray("reserved device name");
    QTest::newRow("AUX as a folder") << QByteArray("nembral/aux/x") << QByteArray("reserved device name");
    QTest::newRow("PRN with a space") << QByteArray("nembral/PRN .log") << QByteArray("reserved device name");
    QTest::newRow("COM1") << QByteArray("nembral/COM1") << QByteArray("reserved device name");
    QTest::newRow("LPT9.dat") << QByteArray("nembral/LPT9.dat") << QByteArray("reserved device name");
    QTest::newRow("COM superscript 2") << QByteArray("nembral/COM\xc2\xb2") << QByteArray("reserved device name");
    QTest::newRow("CONOUT$") << QByteArray("nembral/conout$") << QByteArray("reserved device name");
    QTest::newRow("device name inside a name") << QByteArray("nembral/CONFIG.txt") << QByteArray();
    QTest::newRow("COM10 is a file") << QByteArray("nembral/COM10") << QByteArray();
    QTest::newRow("device name as extension") << QByteArray("nembral/x.CON") << QByteArray();
    QTest::newRow("trailing dot") << QByteArray("nembral/version.txt.") << QByteArray("dot or a space");
    QTest::newRow("trailing space") << QByteArray("nembral/Nembrals.exe ") << QByteArray("dot or a space");
    QTest::newRow("folder with a trailing dot") << QByteArray("nembral./x") << QByteArray("dot or a space");
    QTest::newRow("three dots") << QByteArray("nembral/...") << QByteArray("dot or a space");
    QTest::newRow("short name of the top folder") << QByteArray("NEMBRA~1/version.txt") << QByteArray("short name");
    QTest::newRow("short name with an extension") << QByteArray("nembral/VERSIO~1.TXT") << QByteArray("short name");
    QTest::newRow("short name, two digits") << QByteArray("nembral/NEMBR~12/x") << QByteArray("short name");
    QTest::newRow("tilde in a long name") << QByteArray("nembral/backup~1.old.txt") << QByteArray();
    QTest::newRow("tilde without a number") << QByteArray("nembral/a~b") << QByteArray();
    QTest::newRow("tilde in a name too long to be short") << QByteArray("nembral/NEMBRAL~1") << QByteArray();
    QTest::newRow("question mark") << QByteArray("nembral/what?.txt") << QByteArray("does not allow");
    QTest::newRow("pipe") << QByteArray("nembral/a|b") << QByteArray("does not allow");
    QTest::newRow("control character") << QByteArray("nembral/a\tb") << QByteArray("does not allow");
    QTest::newRow("non-ASCII") << QByteArray("nembral/Donn\xc3\xa9" "es/\xce\xb1.txt") << QByteArray();
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
    const std::string why = entryPathProblem(path.toStdString());
    if (problem.isEmpty())
        QVERIFY2(why.empty(), why.c_str());
    else
        QVERIFY2(why.find(problem.toStdString()) != std::string::npos, why.c_str());
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
    const std::string why = linkTargetProblem(link.toStdString(), target.toStdString());
    QVERIFY2(why.empty() == accepted, why.empty() ? "accepted" : why.c_str());
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

QTEST_APPLESS_MAIN(TestEntryCheck)
#include "tst_entrycheck.moc"
