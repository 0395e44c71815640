// The fault table acted out: the real launcher and extraction tool against the vendor
// server's fault modes and prepared working directories. Every row is run first, side by side
// in lanes (see CMakeLists.txt), then each row's outcome is compared with the sound outcome
// the row states: how the run ends, the last log lines, the download failures, what is on
// disk, what was started, and that nothing outside the working directory changed.
#include "faultrun.h"
#include "faulttable.h"
#include "support/launcherprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace {

// Longest log line a sound launcher writes, in bytes: lines from outside are cut well before.
constexpr int kMaxLineBytes = 8192;

// The end of what the launcher logged, each line cut short, for failure messages.
QString logOf(const FaultOutcome &outcome)
{
    const auto shown = [](const QStringList &lines) {
        QStringList kept;
        for (const QString &line : lines.mid(std::max<qsizetype>(0, lines.size() - 40)))
            kept << (line.size() > 200 ? line.left(200) + QStringLiteral(" [...]") : line);
        return kept.join(QLatin1Char('\n'));
    };
    return QStringLiteral("\n--- log (GUI lines) ---\n") + shown(guiLines(outcome.out))
           + QStringLiteral("\n--- standard error ---\n") + shown(outcome.err);
}

bool matchesWhole(const QString &pattern, const QString &line)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(line).hasMatch();
}

// The disk listing against the row's, where entries ending in "?" may be missing. The
// launcher's support log (and the folder it makes for it) may be there in every row; its
// content is the launcher suite's to check.
QString diskMismatch(const QStringList &expected, const QStringList &actual)
{
    QStringList missing, unexpected;
    QStringList optional{QStringLiteral("nembral"), QStringLiteral("nembral/launcher.log"),
                         QStringLiteral("nembral/launcher.log.1")};
    for (const QString &entry : expected) {
        if (entry.endsWith(QLatin1Char('?')))
            optional << entry.chopped(1);
        else if (!actual.contains(entry))
            missing << entry;
    }
    for (const QString &entry : actual)
        if (!expected.contains(entry) && !optional.contains(entry))
            unexpected << entry;
    if (missing.isEmpty() && unexpected.isEmpty())
        return {};
    return QStringLiteral("missing: [%1], unexpected: [%2]")
        .arg(missing.join(QStringLiteral(", ")), unexpected.join(QStringLiteral(", ")));
}

qint64 median(QList<qint64> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

}  // namespace

class TestFaults : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    FaultSuite suite;
    QHash<QString, FaultOutcome> outcomes;
    qint64 typicalPeakKb = 0;

    // Rows picked by NEMBRAL_FAULTS_ONLY (a regular expression on the row names), else all.
    static QList<FaultRow> selectedRows()
    {
        const QString only = qEnvironmentVariable("NEMBRAL_FAULTS_ONLY");
        QList<FaultRow> rows = faultTable();
        if (!only.isEmpty())
            rows.removeIf([&only](const FaultRow &row) { return !QRegularExpression(only).match(row.fault).hasMatch(); });
        return rows;
    }

    // Runs every row, the longest first, in as many lanes as there are launcher builds.
    void runAll(const QList<FaultRow> &rows)
    {
        std::vector<int> order(size_t(rows.size()));
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = int(i);
        std::stable_sort(order.begin(), order.end(),
                         [&rows](int a, int b) { return rows.at(a).boundSeconds > rows.at(b).boundSeconds; });
        std::atomic<size_t> next{0};
        QMutex lock;
        std::vector<std::unique_ptr<QThread>> lanes;
        for (int lane = 0; lane < NEMBRAL_FAULTS_LANES; ++lane) {
            lanes.emplace_back(QThread::create([&, lane] {
                for (size_t i; (i = next.fetch_add(1)) < order.size();) {
                    const FaultRow &row = rows.at(order[i]);
                    FaultOutcome outcome = runFaultRow(suite, row, lane);
                    const QMutexLocker locked(&lock);
                    outcomes.insert(row.fault, outcome);
                }
            }));
            lanes.back()->start();
        }
        for (auto &lane : lanes)
            lane->wait();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        suite.root = root.path();
        suite.stateDir = root.filePath(QStringLiteral("state"));
        suite.launcherStem = QStringLiteral(NEMBRAL_FAULTS_LAUNCHER_STEM);
        suite.unzipTool = QStringLiteral(NEMBRAL_FAULTS_UNZIP);
        suite.ports = {NEMBRAL_FAULTS_PORTS};
        suite.toolDir = root.filePath(QStringLiteral("tool"));
        QVERIFY(QDir().mkpath(suite.toolDir));
        QVERIFY(QFile::link(suite.unzipTool, suite.toolDir + QStringLiteral("/unzip.exe")));
        {
            // Makes the CA once, before the rows' servers all want it.
            TestVendor first;
            QVERIFY(first.start(root.path(), 0, suite.stateDir));
            suite.caFile = first.caFile();
        }

        QElapsedTimer clock;
        clock.start();
        runAll(selectedRows());
        qInfo("fault suite: %lld rows in %lld ms with %d lanes", static_cast<long long>(outcomes.size()),
              static_cast<long long>(clock.elapsed()), NEMBRAL_FAULTS_LANES);

        QList<qint64> peaks;
        for (const FaultOutcome &outcome : std::as_const(outcomes))
            if (outcome.peakMemoryKb > 0)
                peaks << outcome.peakMemoryKb;
        typicalPeakKb = median(peaks);
    }

    void faults_data()
    {
        QTest::addColumn<FaultRow>("row");
        for (const FaultRow &row : faultTable())
            QTest::newRow(qPrintable(row.fault)) << row;
    }

    void faults()
    {
        QFETCH(FaultRow, row);
        if (!outcomes.contains(row.fault))
            QSKIP("not selected by NEMBRAL_FAULTS_ONLY");
        const FaultOutcome &outcome = outcomes.value(row.fault);
        if (!outcome.skipped.isEmpty())
            QSKIP(qPrintable(outcome.skipped));
        qInfo("%s: %lld ms", qPrintable(row.fault), static_cast<long long>(outcome.elapsedMs));
        const QString log = logOf(outcome);
        QVERIFY2(outcome.problems.isEmpty(), qPrintable(outcome.problems.join(QLatin1Char('\n')) + log));

        // How it ends.
        if (row.end == End::Exit) {
            QVERIFY2(outcome.exited, qPrintable(QStringLiteral("still running after %1 s").arg(row.boundSeconds) + log));
            QVERIFY2(!outcome.crashed, qPrintable(QStringLiteral("ended by a signal") + log));
            QCOMPARE(outcome.exitCode, row.exitCode);
        } else {
            QVERIFY2(!outcome.exited,
                     qPrintable(QStringLiteral("exited with %1, but should stay open").arg(outcome.exitCode) + log));
            QVERIFY2(outcome.quietAtEnd, qPrintable(QStringLiteral("never came to rest where it should") + log));
        }

        // The log.
        const QStringList gui = guiLines(outcome.out);
        if (!row.tail.isEmpty()) {
            QVERIFY2(gui.size() >= row.tail.size(), qPrintable(QStringLiteral("too few lines") + log));
            const QStringList last = gui.mid(gui.size() - row.tail.size());
            for (qsizetype i = 0; i < row.tail.size(); ++i)
                QVERIFY2(matchesWhole(row.tail.at(i), last.at(i)),
                         qPrintable(QStringLiteral("line \"%1\" does not match \"%2\"").arg(last.at(i), row.tail.at(i))
                                    + log));
        }
        if (row.act == Act::Unzip || row.act == Act::UnzipOutputGone) {
            QCOMPARE(outcome.err.size(), row.errLines.size());
            for (qsizetype i = 0; i < row.errLines.size(); ++i)
                QVERIFY2(matchesWhole(row.errLines.at(i), outcome.err.at(i)), qPrintable(outcome.err.at(i)));
        }
        if (!row.oneLineNaming.isEmpty()) {
            const QStringList naming = (outcome.out + outcome.err).filter(QRegularExpression(QRegularExpression::anchoredPattern(row.oneLineNaming)));
            QVERIFY2(naming.size() == 1, qPrintable(QStringLiteral("%1 lines name it").arg(naming.size()) + log));
        }
        const QStringList failures = downloadErrorLines(outcome.out);
        QVERIFY2(failures.size() == row.failures,
                 qPrintable(QStringLiteral("%1 download failures, expected %2").arg(failures.size()).arg(row.failures)
                            + QLatin1Char('\n') + failures.join(QLatin1Char('\n'))));
        for (const QString &failure : failures) {
            QCOMPARE(failure, failures.first());
            QVERIFY2(matchesWhole(QStringLiteral("An error occured : error code = 0x") + row.failureCode, failure),
                     qPrintable(failure));
        }
        if (outcome.isLauncher)
            QVERIFY2(outcome.longestLine <= kMaxLineBytes,
                     qPrintable(QStringLiteral("a log line of %1 bytes").arg(outcome.longestLine)));

        // What is left.
        const QString diskProblem = diskMismatch(row.disk, outcome.disk);
        QVERIFY2(diskProblem.isEmpty(), qPrintable(diskProblem + QStringLiteral("\n") + outcome.disk.join(QLatin1Char('\n'))));
        QCOMPARE(outcome.installedVersion.trimmed(), row.installedVersion);
        QStringList started = outcome.started;
        started.sort();
        QCOMPARE(started, row.started);
        if (row.noRequests)
            QCOMPARE(outcome.requests, QStringList());
        if (row.extraMemoryMb >= 0)
            QVERIFY2(outcome.peakMemoryKb - typicalPeakKb <= qint64(row.extraMemoryMb) * 1024,
                     qPrintable(QStringLiteral("peak memory %1 KiB, a launcher typically %2 KiB")
                                    .arg(outcome.peakMemoryKb)
                                    .arg(typicalPeakKb)));
        QVERIFY2(outcome.outsideChanges.isEmpty(), qPrintable(outcome.outsideChanges));
    }

    // docs/faults.md lists every row with its outcome, as the table says them.
    void documented()
    {
        QFile doc(qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/docs/faults.md"));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(doc.readAll()).split(QLatin1Char('\n'));
        QStringList missing;
        for (const FaultRow &row : faultTable()) {
            const QString line = QStringLiteral("| `%1` | %2 |").arg(row.fault, row.outcome);
            if (!lines.contains(line))
                missing << line;
        }
        for (const QString &line : std::as_const(missing))
            qInfo("docs/faults.md lacks: %s", qPrintable(line));
        QVERIFY2(missing.isEmpty(), "docs/faults.md does not list every row as the table has it");
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
