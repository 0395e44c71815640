// The download observer: its COM-shaped operations and the OnProgress table.
#include <QTest>

#include "cases/onprogress_cases.h"
#include "platform/callbackhandler.h"
#include "platform/downloadstatus.h"
#include "support/casetable.h"
#include "support/logcapture.h"

using namespace nembral_cases;

class TestCallbackHandler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void onProgress_data() { addCaseRows(kOnProgressCases); }

    void onProgress()
    {
        QFETCH(int, index);
        const OnProgressCase &c = kOnProgressCases[index];
        downloadStatus.downloadProgress.store(kProgressUntouched);
        CallbackHandler handler;

        LogCapture capture;
        for (int i = 0; i < c.callCount; ++i) {
            const HResult result = handler.OnProgress(c.calls[i].progress, c.calls[i].progressMax,
                                                      c.calls[i].statusCode, L"ignored");
            QCOMPARE(result, kSOk);
        }
        const LogCapture::Lines log = capture.take();

        QStringList expected = QString::fromLatin1(c.log).split(QLatin1Char('\n'));
        expected.removeLast();  // after the last '\n'
        QCOMPARE(log.out, expected);
        QCOMPARE(log.err, QStringList());
        QCOMPARE(handler.lastPercent, c.lastPercent);
        QCOMPARE(downloadStatus.downloadProgress.load(), c.downloadProgress);
    }

    // A fresh observer reports from scratch: its first percentage is stored even when it is
    // lower than what a failed earlier attempt stored.
    void freshObserverStartsAgain()
    {
        LogCapture capture;
        CallbackHandler first;
        first.OnProgress(80, 100, kBindStatusDownloadingData, nullptr);
        CallbackHandler second;
        second.OnProgress(10, 100, kBindStatusDownloadingData, nullptr);
        QCOMPARE(capture.take().out, (QStringList{QStringLiteral("80"), QStringLiteral("10")}));
        QCOMPARE(downloadStatus.downloadProgress.load(), 10);
    }

    void queryInterface_data()
    {
        QTest::addColumn<quint32>("data1");
        QTest::addColumn<quint16>("data2");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("IUnknown") << quint32(kIidIUnknown.data1) << kIidIUnknown.data2 << true;
        QTest::newRow("IBindStatusCallback") << quint32(kIidIBindStatusCallback.data1) << kIidIBindStatusCallback.data2
                                             << true;
        QTest::newRow("IBindStatusCallback, one field off") << quint32(kIidIBindStatusCallback.data1)
                                                            << quint16(kIidIBindStatusCallback.data2 + 1) << false;
        QTest::newRow("IDispatch") << 0x00020400u << quint16(0) << false;
    }

    void queryInterface()
    {
        QFETCH(quint32, data1);
        QFETCH(quint16, data2);
        QFETCH(bool, accepted);
        Guid iid = data1 == kIidIBindStatusCallback.data1 ? kIidIBindStatusCallback : kIidIUnknown;
        iid.data1 = data1;
        iid.data2 = data2;
        CallbackHandler handler;
        int untouched = 0;
        void *out = &untouched;
        const HResult result = handler.QueryInterface(iid, &out);
        QCOMPARE(result, accepted ? kSOk : kENoInterface);
        QCOMPARE(out, accepted ? static_cast<void *>(&handler) : nullptr);
    }

    void referenceCountIsConstantAndTheRestIsNotImplemented()
    {
        CallbackHandler handler;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(handler.AddRef(), 2u);
            QCOMPARE(handler.Release(), 1u);
        }
        std::int32_t priority = 7;
        std::uint32_t flags = 9;
        QCOMPARE(handler.OnStartBinding(0, nullptr), kENotImpl);
        QCOMPARE(handler.GetPriority(&priority), kENotImpl);
        QCOMPARE(handler.OnLowResource(0), kENotImpl);
        QCOMPARE(handler.OnStopBinding(kSOk, nullptr), kENotImpl);
        QCOMPARE(handler.GetBindInfo(&flags, nullptr), kENotImpl);
        QCOMPARE(handler.OnDataAvailable(0, 0, nullptr, nullptr), kENotImpl);
        QCOMPARE(handler.OnObjectAvailable(kIidIUnknown, nullptr), kENotImpl);
        QCOMPARE(priority, 7);
        QCOMPARE(flags, 9u);
        QCOMPARE(handler.lastPercent, 0);
    }
};

QTEST_GUILESS_MAIN(TestCallbackHandler)
#include "tst_callbackhandler.moc"
