// The download observer: its COM-shaped operations and the OnProgress table, on Windows also
// through the COM faces the download service calls.
#include <QTest>

#include "cases/onprogress_cases.h"
#include "platform/callbackhandler.h"
#include "platform/downloadstatus.h"
#include "support/logcapture.h"

#ifdef Q_OS_WIN
#include "bindstatus.h"
#endif

using namespace nembral_cases;

class TestCallbackHandler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each case called directly and, on Windows, through the COM face as well.
    void onProgress_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("throughCom");
        for (std::size_t i = 0; i < std::size(kOnProgressCases); ++i) {
            QTest::newRow(kOnProgressCases[i].name) << int(i) << false;
#ifdef Q_OS_WIN
            QTest::addRow("through COM: %s", kOnProgressCases[i].name) << int(i) << true;
#endif
        }
    }

    void onProgress()
    {
        QFETCH(int, index);
        QFETCH(bool, throughCom);
        const OnProgressCase &c = kOnProgressCases[index];
        downloadStatus.downloadProgress.store(kProgressUntouched);
        CallbackHandler handler;

        LogCapture capture;
        for (int i = 0; i < c.callCount; ++i) {
            const ProgressCall &call = c.calls[i];
            HResult result = kENotImpl;
            if (!throughCom)
                result = handler.OnProgress(call.progress, call.progressMax, call.statusCode, L"ignored");
#ifdef Q_OS_WIN
            else
                result = bindstatus::onProgress(handler, call.progress, call.progressMax, call.statusCode);
#endif
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

#ifdef Q_OS_WIN
    // The adapter hands out itself for what it implements, its IHttpNegotiate face for the
    // server's answer (checked through a real download in the download suites), and refuses
    // what the service asks for besides.
    void queryInterfaceThroughCom_data()
    {
        QTest::addColumn<int>("face");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("IBindStatusCallback") << int(bindstatus::Face::BindStatusCallback) << true;
        QTest::newRow("IUnknown") << int(bindstatus::Face::Unknown) << true;
        QTest::newRow("IHttpNegotiate") << int(bindstatus::Face::HttpNegotiate) << true;
        QTest::newRow("IServiceProvider") << int(bindstatus::Face::ServiceProvider) << false;
        QTest::newRow("IAuthenticate") << int(bindstatus::Face::Authenticate) << false;
    }

    void queryInterfaceThroughCom()
    {
        QFETCH(int, face);
        QFETCH(bool, accepted);
        const bindstatus::Answer answer = bindstatus::queryInterface(static_cast<bindstatus::Face>(face));
        QCOMPARE(answer.result, accepted ? kSOk : kENoInterface);
        QCOMPARE(answer.self, accepted);
        QCOMPARE(answer.null, !accepted);
        QVERIFY(bindstatus::queryInterfaceWithoutPlaceIsRefused());
    }

    // An https download follows redirects on https only; plain http, or a target the service
    // does not name, ends it.
    void redirectOfADownload_data()
    {
        QTest::addColumn<bool>("httpsOnly");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("refused");
        const QString none;
        QTest::newRow("https to https") << true << QStringLiteral("https://127.0.0.1/Software/Nembral/version.txt")
                                        << false;
        QTest::newRow("https to HTTPS, any case") << true << QStringLiteral("HTTPS://127.0.0.1/") << false;
        QTest::newRow("https to plain http") << true << QStringLiteral("http://127.0.0.1/Software/Nembral/version.txt")
                                             << true;
        QTest::newRow("https to a target not told") << true << none << true;
        QTest::newRow("http to http") << false << QStringLiteral("http://127.0.0.1/") << false;
    }

    void redirectOfADownload()
    {
        QFETCH(bool, httpsOnly);
        QFETCH(QString, target);
        QFETCH(bool, refused);
        const std::wstring wide = target.toStdWString();
        LogCapture capture;
        const bindstatus::Redirect answer = bindstatus::redirect(httpsOnly, target.isNull() ? nullptr : wide.c_str());
        QCOMPARE(answer.refused, refused);
        QCOMPARE(answer.leftHttps, refused);
    }
#endif
};

QTEST_GUILESS_MAIN(TestCallbackHandler)
#include "tst_callbackhandler.moc"
