// The images compiled into the program. They are registered by a static initialiser (nothing
// calls Q_INIT_RESOURCE), so they must be there, and decodable, before any Qt object exists;
// and the loading animation must be an animation.
#include <QApplication>
#include <QImageReader>
#include <QMovie>
#include <QTest>

namespace {

struct Image {
    const char *path;
    bool animated;
    bool decodedBeforeApplication = false;
};

Image embedded[] = {{":/icons/icons/kandu-logo.png", false},
                    {":/icons/icons/nembrals_logo.png", false},
                    {":/icons/icons/rotating_logo.gif", true}};

}  // namespace

class TestResources : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void images_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(embedded)); ++i)
            QTest::newRow(embedded[i].path) << i;
    }

    void images()
    {
        QFETCH(int, index);
        const Image &image = embedded[index];
        QVERIFY(image.decodedBeforeApplication);

        QMovie movie(QString::fromLatin1(image.path), QByteArray());
        QVERIFY(movie.isValid());
        if (image.animated)
            QVERIFY(movie.frameCount() > 1);
    }
};

int main(int argc, char *argv[])
{
    for (Image &image : embedded) {
        QImageReader reader(QString::fromLatin1(image.path));
        image.decodedBeforeApplication = !reader.read().isNull();
    }
    QApplication app(argc, argv);
    TestResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
