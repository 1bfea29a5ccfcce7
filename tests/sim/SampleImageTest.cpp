#include "sim/SampleImage.h"

#include "tests/sim/SimTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

TEST(SimSampleImageTest, HasTheFieldsAtTheirOffsets)
{
    const QByteArray image = SampleImage::make("2.15", "2024-11-30 23:59:58");
    ASSERT_EQ(image.size(), 131072);
    EXPECT_EQ(image.mid(0x1FFC0, 19), "2024-11-30 23:59:58");
    EXPECT_EQ(image.mid(0x1FFD4, 4), "2.15");
    EXPECT_EQ(image.at(0x1FFD9), '\x10');
    EXPECT_EQ(SampleImage::versionOf(image), "2.15");
}

TEST(SimSampleImageTest, IsDeterministicAndDependsOnItsTexts)
{
    const QByteArray a = SampleImage::make("2.15", "2024-11-30 23:59:58");
    EXPECT_EQ(a, SampleImage::make("2.15", "2024-11-30 23:59:58"));
    const QByteArray b = SampleImage::make("2.16", "2024-11-30 23:59:58");
    EXPECT_NE(a.mid(0x4200, 0x100), b.mid(0x4200, 0x100));
}

TEST(SimSampleImageTest, ContentIsNotDegenerate)
{
    const QByteArray image = SampleImage::make("2.15", "2024-11-30 23:59:58");
    QList<int> counts(256, 0);
    for (char c : image) {
        ++counts[static_cast<quint8>(c)];
    }
    for (int byte = 0; byte < 256; ++byte) {
        EXPECT_GT(counts[byte], 200) << "byte value " << byte;  // about 512 each
    }
}

TEST(SimSampleImageTest, TextsOfTheWrongLengthAreFitted)
{
    const QByteArray image = SampleImage::make("1.2", "too long date text, really");
    EXPECT_EQ(image.mid(0x1FFD4, 4), "1.2 ");
    EXPECT_EQ(image.mid(0x1FFC0, 19), "too long date text,");
    EXPECT_EQ(image.at(0x1FFD9), '\x10');
}

TEST(SimSampleImageTest, PageChecksumIsThe16BitSum)
{
    EXPECT_EQ(SampleImage::pageChecksum(QByteArray(256, '\xFF')), 0xFF00);
    EXPECT_EQ(SampleImage::pageChecksum(QByteArray(256, '\0')), 0);
    EXPECT_EQ(SampleImage::pageChecksum(QByteArray("\x01\x02\x80", 3)), 0x83);
    EXPECT_EQ(SampleImage::pageChecksum(QByteArray(300, '\xFF')), (300 * 255) & 0xFFFF);
}

TEST(SimSampleImageTest, WriteFileWritesAllBytesAndReportsFailure)
{
    const QString path = scratchDirectory() + "/image.bin";
    const QByteArray image = SampleImage::make("2.15", "2024-11-30 23:59:58");
    QString error;
    ASSERT_TRUE(SampleImage::writeFile(path, image, &error)) << error.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), image);
    EXPECT_FALSE(SampleImage::writeFile(scratchDirectory() + "/missing/x.bin", image, &error));
    EXPECT_TRUE(error.contains("missing/x.bin")) << error.toStdString();
}
