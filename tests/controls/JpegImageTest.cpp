#include "controls/JpegImage.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

QByteArray Resource(const QString& Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class JpegImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitControlsResources(); }
};

}  // namespace

TEST_F(JpegImageTest, EmbeddedPicturesDecodeAtTheirSizes)
{
    const std::pair<const char*, QSize> pictures[] = {{":/pictures/instrument.jpg", {57, 73}},
                                                      {":/pictures/instrument-large.jpg", {114, 146}},
                                                      {":/pictures/dock.jpg", {57, 73}},
                                                      {":/pictures/company.jpg", {100, 40}}};
    for (const auto& [path, size] : pictures) {
        const QImage image = DecodeJpeg(Resource(path));
        EXPECT_EQ(image.size(), size) << path;
        EXPECT_EQ(LoadPicture(path, {57, 73}).size(), QSize(57, 73)) << path;
    }
    // The instrument: a dark body with its sensor grille on a light ground.
    const QImage instrument = DecodeJpeg(Resource(":/pictures/instrument.jpg"));
    EXPECT_GT(qGray(instrument.pixel(2, 2)), 180);
    EXPECT_LT(qGray(instrument.pixel(28, 19)), 90);
    EXPECT_TRUE(LoadPicture(":/pictures/missing.jpg", {57, 73}).isNull());
}

TEST_F(JpegImageTest, ColourAndGreyPicturesComeOutAsRgb)
{
    QImage picture(32, 16, QImage::Format_RGB32);
    picture.fill(QColor(200, 30, 30));
    QImage grey(8, 8, QImage::Format_Grayscale8);
    grey.fill(QColor(90, 90, 90));
    for (const QImage& original : {picture, grey}) {
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(100);
        ASSERT_TRUE(writer.write(original));

        const QImage decoded = DecodeJpeg(data);
        ASSERT_EQ(decoded.size(), original.size());
        const QRgb expected = original.pixel(3, 3), shown = decoded.pixel(3, 3);
        EXPECT_NEAR(qRed(shown), qRed(expected), 6);
        EXPECT_NEAR(qGreen(shown), qGreen(expected), 6);
        EXPECT_NEAR(qBlue(shown), qBlue(expected), 6);
    }
}

TEST_F(JpegImageTest, DamagedDataGivesANullImage)
{
    QRandomGenerator random(4);
    for (int round = 0; round < 40; ++round) {
        QByteArray data(int(random.bounded(1, 4000)), '\0');
        for (char& c : data)
            c = char(random.bounded(256));
        if (round % 2)  // half of them begin as a JPEG does
            data.replace(0, 4, "\xFF\xD8\xFF\xE0");
        EXPECT_TRUE(DecodeJpeg(data).isNull()) << round;
    }
    EXPECT_TRUE(DecodeJpeg(QByteArray()).isNull());

    const QByteArray good = Resource(":/pictures/instrument-large.jpg");
    for (qsizetype length : {qsizetype(200), good.size() / 2, good.size() - 10})
        EXPECT_TRUE(DecodeJpeg(good.left(length)).isNull()) << length;

    QByteArray scribbled = good;  // markers in the middle of the coded data
    for (qsizetype i = good.size() / 2; i < good.size() / 2 + 40; i += 2)
        scribbled.replace(i, 2, "\xFF\xC4");
    EXPECT_TRUE(DecodeJpeg(scribbled).isNull());
}
