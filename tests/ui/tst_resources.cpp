// The images compiled into the program: present before any Qt object exists, and of the
// sizes and animation timing the window was laid out for.
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QTest>

namespace {
const char *const kPaths[] = {":/icons/icons/kandu-logo.png", ":/icons/icons/nembrals_logo.png",
                              ":/icons/icons/rotating_logo.gif"};
bool resolvedBeforeApplication[3] = {};
} // namespace

class TestResources : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resolveBeforeTheApplicationExists()
    {
        for (bool resolved : resolvedBeforeApplication)
            QVERIFY(resolved);
    }

    void images_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("opaque");
        QTest::newRow("window icon") << QString::fromLatin1(kPaths[0]) << QByteArray("png") << QSize(256, 256) << true;
        QTest::newRow("banner") << QString::fromLatin1(kPaths[1]) << QByteArray("png") << QSize(1140, 114) << false;
        QTest::newRow("animation") << QString::fromLatin1(kPaths[2]) << QByteArray("gif") << QSize(41, 41) << false;
    }

    void images()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(bool, opaque);
        QImageReader reader(path);
        QCOMPARE(reader.format(), format);
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());
        bool allOpaque = true;
        bool someTransparent = false;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const int alpha = qAlpha(image.pixel(x, y));
                allOpaque = allOpaque && alpha == 255;
                someTransparent = someTransparent || alpha == 0;
            }
        QCOMPARE(allOpaque, opaque);
        QCOMPARE(someTransparent, !opaque);
    }

    void pngsAreRgba8()
    {
        for (const char *path : {kPaths[0], kPaths[1]}) {
            QFile file(QString::fromLatin1(path));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray header = file.read(33);
            // IHDR: bit depth 8, colour type 6 (RGBA).
            QCOMPARE(header.mid(12, 4), QByteArray("IHDR"));
            QCOMPARE(int(uchar(header.at(24))), 8);
            QCOMPARE(int(uchar(header.at(25))), 6);
        }
    }

    void animationLoopsTenFramesAt130ms()
    {
        QFile file(QString::fromLatin1(kPaths[2]));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(6), QByteArray("GIF89a"));
        file.close();

        QImageReader reader(QString::fromLatin1(kPaths[2]));
        QVERIFY(reader.supportsAnimation());
        QCOMPARE(reader.imageCount(), 10);
        QCOMPARE(reader.loopCount(), -1);  // for ever
        for (int frame = 0; frame < 10; ++frame) {
            QVERIFY(reader.jumpToImage(frame) || frame == 0 || reader.canRead());
            const QImage image = reader.read();
            QVERIFY(!image.isNull());
            QCOMPARE(reader.nextImageDelay(), 130);
        }

        QMovie movie(QString::fromLatin1(kPaths[2]), QByteArray());
        QVERIFY(movie.isValid());
        QCOMPARE(movie.frameCount(), 10);
    }
};

int main(int argc, char *argv[])
{
    for (int i = 0; i < 3; ++i)
        resolvedBeforeApplication[i] = QFile::exists(QString::fromLatin1(kPaths[i]));
    QApplication app(argc, argv);
    TestResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
