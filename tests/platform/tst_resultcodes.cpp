// docs/download-service.md against the code: its table of result codes must be the table of
// causes in platform/downloadresult.h, row for row, so that neither changes without the other.
#include <QFile>
#include <QTest>

#include "platform/downloadresult.h"

namespace {

// The cells of each row of the first table below the line `heading`, without its header row.
QList<QStringList> tableBelow(const QString &markdown, const QString &heading)
{
    QList<QStringList> rows;
    const QStringList lines = markdown.split(QLatin1Char('\n'));
    qsizetype i = lines.indexOf(heading);
    if (i < 0)
        return rows;
    while (++i < lines.size() && !lines[i].startsWith(QLatin1Char('|'))) {
    }
    for (i += 2; i < lines.size() && lines[i].startsWith(QLatin1Char('|')); ++i) {
        QStringList cells = lines[i].trimmed().mid(1).chopped(1).split(QLatin1Char('|'));
        for (QString &cell : cells)
            cell = cell.trimmed();
        rows << cells;
    }
    return rows;
}

// As the document writes a code, and as downloadFile logs it after "0x".
QString hex(HResult code)
{
    return QStringLiteral("0x") + QString::number(quint32(code), 16);
}

}  // namespace

class TestResultCodes : public QObject {
    Q_OBJECT

    QList<QStringList> documented_;

private Q_SLOTS:
    void initTestCase()
    {
        QFile doc(qEnvironmentVariable("NEMBRAL_SOURCE_DIR") + QStringLiteral("/docs/download-service.md"));
        QVERIFY2(doc.open(QIODevice::ReadOnly), qPrintable(doc.fileName()));
        documented_ = tableBelow(QString::fromUtf8(doc.readAll()), QStringLiteral("## Result codes"));
        QVERIFY(!documented_.isEmpty());
    }

    void documentedAsInTheCode_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kDownloadResultCauses)); ++i)
            QTest::addRow("row %d, %s", i + 1, qPrintable(hex(kDownloadResultCauses[i].code))) << i;
    }

    void documentedAsInTheCode()
    {
        QFETCH(int, row);
        const DownloadResultCause &c = kDownloadResultCauses[row];
        const QStringList cells{QString::fromLatin1(c.cause), hex(c.code), QString::fromLatin1(c.name)};
        QCOMPARE(documented_.value(row), cells);
    }

    void documentedNothingElse()
    {
        QCOMPARE(documented_.size(), qsizetype(std::size(kDownloadResultCauses)));
    }
};

QTEST_GUILESS_MAIN(TestResultCodes)
#include "tst_resultcodes.moc"
