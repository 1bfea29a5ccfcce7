#include "controls/Gauges.h"

#include <QFontMetrics>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

const QColor Navy(0, 0, 128);
const QColor Grey(0xC8, 0xC8, 0xC8);
const QColor Black(Qt::black), White(Qt::white), Red(Qt::red), Blue(Qt::blue);

QColor At(const QImage& Image, int X, int Y)
{
    return Image.pixelColor(X, Y);
}

// The gauge of the main window: 367 x 15 inside its lowered panel, no border.
void MainWindowGauge(TGauge& Gauge)
{
    Gauge.resize(367, 15);
    Gauge.SetBorderStyle(bsNone);
    Gauge.SetBackColor(Grey);
    Gauge.SetForeColor(Navy);
}

// Text alone, white on black, centred as in a 100 x 100 gauge with a border.
QImage TextAlone(const TGauge& Gauge, const QString& Text)
{
    QFont font = Gauge.font();
    font.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics metrics(font);
    QImage image(Gauge.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::white);
    const int left = 1, top = 1, right = 99, bottom = 99;
    painter.drawText((right - left + 1 - metrics.horizontalAdvance(Text)) / 2,
                     (bottom - top + 1 - metrics.height()) / 2 + metrics.ascent(), Text);
    return image;
}

}  // namespace

TEST(GaugeTest, HalfOf446PagesReadsFiftyPercent)
{
    TGauge gauge;
    gauge.SetKind(gkText);
    gauge.SetBackColor(Qt::black);  // leaves only the text white
    gauge.SetMaxValue(446);
    gauge.SetProgress(223);
    EXPECT_EQ(gauge.Render(), TextAlone(gauge, "50%"));
    EXPECT_NE(gauge.Render(), TextAlone(gauge, "49%"));
}

TEST(GaugeTest, OnePageShortOf446ReadsNinetyNineNotAHundred)
{
    TGauge pages, known;
    pages.SetMaxValue(446);
    pages.SetProgress(445);
    known.SetProgress(99);
    EXPECT_EQ(pages.Render(), known.Render());
    known.SetProgress(100);
    EXPECT_NE(pages.Render(), known.Render());
}

TEST(GaugeTest, BarEndsAtItsShareOfTheWidth)
{
    TGauge gauge;
    MainWindowGauge(gauge);
    gauge.SetShowText(false);
    gauge.SetMaxValue(446);
    gauge.SetProgress(223);
    // No border: the drawing area is 0, 0, 367, 15, so W = 368 and half of it 184.
    QImage image = gauge.Render();
    for (int y : {0, 14}) {
        EXPECT_EQ(At(image, 183, y), Navy);
        EXPECT_EQ(At(image, 184, y), Grey);
    }

    // With the default single border: the drawing area is 1, 1, 99, 99 inside a
    // black frame, W = 99, and 50% of it is the columns 1..48.
    TGauge framed;
    framed.SetShowText(false);
    framed.SetProgress(50);
    image = framed.Render();
    EXPECT_EQ(At(image, 48, 98), Black);
    EXPECT_EQ(At(image, 49, 98), White);
    EXPECT_EQ(At(image, 98, 1), White);
    for (QPoint p : {QPoint(99, 50), QPoint(50, 0), QPoint(50, 99)})
        EXPECT_EQ(At(image, p.x(), p.y()), Black);
}

TEST(GaugeTest, EqualBoundsGiveZeroPercentAndAnEmptyBar)
{
    TGauge gauge, zero;
    MainWindowGauge(gauge);
    MainWindowGauge(zero);
    gauge.SetMinValue(40);
    gauge.SetMaxValue(40);
    gauge.SetProgress(1000);
    EXPECT_EQ(gauge.Progress(), 40);
    EXPECT_EQ(gauge.PercentDone(), 0);
    EXPECT_EQ(gauge.Render(), zero.Render());  // grey, reading 0%
}

TEST(GaugeTest, ProgressIsClampedIntoTheRange)
{
    TGauge gauge;
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetMinValue(10);
    EXPECT_EQ(gauge.Progress(), 10);
    gauge.SetMinValue(100);  // a bound may equal the other
    EXPECT_EQ(gauge.Progress(), 100);
}

TEST(GaugeTest, LoweringMaxValuePullsProgressDown)
{
    TGauge gauge;
    gauge.SetProgress(80);
    gauge.SetMaxValue(60);
    EXPECT_EQ(gauge.Progress(), 60);
    gauge.SetMaxValue(200);
    EXPECT_EQ(gauge.Progress(), 60);
    EXPECT_EQ(gauge.PercentDone(), 30);
}

TEST(GaugeTest, BoundsThatCrossAreRefusedAndTheGaugeKept)
{
    TGauge gauge;
    gauge.SetMaxValue(446);
    gauge.SetProgress(223);
    const int repaints = gauge.Repaints();
    try {
        gauge.SetMaxValue(-1);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between 1 and 2147483647");
    }
    try {
        gauge.SetMinValue(447);
        FAIL() << "no error";
    } catch (const EKT4Error& e) {  // what the default error display catches
        EXPECT_STREQ(e.what(), "Value must be between -2147483647 and 445");
    }
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 446);
    EXPECT_EQ(gauge.Progress(), 223);
    EXPECT_EQ(gauge.Repaints(), repaints);
}

TEST(GaugeTest, WhileLoadingTheBoundsMayCross)
{
    TGauge gauge;
    gauge.SetLoading(true);
    gauge.SetMinValue(500);  // before the stored MaxValue
    gauge.SetMaxValue(1000);
    gauge.SetLoading(false);
    EXPECT_EQ(gauge.Progress(), 500);
    EXPECT_THROW(gauge.SetMinValue(1001), EInvalidOperation);
}

TEST(GaugeTest, ProgressRepaintsOnlyWhenThePercentageChanges)
{
    TGauge gauge;
    gauge.SetMaxValue(446);
    const int before = gauge.Repaints();
    for (int page = 1; page <= 446; ++page)
        gauge.SetProgress(page);
    EXPECT_EQ(gauge.Repaints() - before, 100);  // once per percent, not once per page
    gauge.SetProgress(1000);                    // clamped to the same value
    gauge.SetForeColor(Qt::black);              // unchanged
    EXPECT_EQ(gauge.Repaints() - before, 100);
}

TEST(GaugeTest, TextInvertsThePixelsUnderIt)
{
    TGauge gauge;
    gauge.SetForeColor(Navy);
    gauge.SetBackColor(Grey);
    gauge.SetProgress(50);  // the bar ends under the middle of the text
    gauge.SetShowText(false);
    const QImage plain = gauge.Render();
    gauge.SetShowText(true);
    const QImage withText = gauge.Render();

    int overBar = 0, overBack = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const QRgb below = plain.pixel(x, y) & 0xFFFFFF, shown = withText.pixel(x, y) & 0xFFFFFF;
            if (below != shown) {
                ASSERT_EQ(shown, ~below & 0xFFFFFF) << x << "," << y;
                (QColor(below) == Navy ? overBar : overBack)++;
            }
        }
    EXPECT_GT(overBar, 10);
    EXPECT_GT(overBack, 10);
}

TEST(GaugeTest, OtherKindsDrawTheirShare)
{
    TGauge gauge;
    gauge.SetBorderStyle(bsNone);
    gauge.SetShowText(false);
    gauge.SetColor(Blue);
    gauge.SetForeColor(Red);
    gauge.SetProgress(50);

    gauge.SetKind(gkVerticalBar);  // H = 101, h = 50: rows 51..99
    EXPECT_EQ(At(gauge.Render(), 50, 50), White);
    EXPECT_EQ(At(gauge.Render(), 50, 51), Red);

    gauge.SetKind(gkPie);  // clockwise from the top: the right half
    QImage image = gauge.Render();
    EXPECT_EQ(At(image, 1, 1), Blue);  // the surround
    EXPECT_EQ(At(image, 75, 25), Red);
    EXPECT_EQ(At(image, 75, 75), Red);
    EXPECT_EQ(At(image, 25, 75), White);

    gauge.SetKind(gkNeedle);  // from (50, 99) straight up
    image = gauge.Render();
    EXPECT_EQ(At(image, 50, 30), Red);
    EXPECT_EQ(At(image, 30, 80), White);
    EXPECT_EQ(At(image, 1, 1), Blue);
}

TEST(GaugeTest, PaintingShowsTheRenderedPicture)
{
    TGauge gauge;
    gauge.SetForeColor(Navy);
    gauge.SetProgress(37);
    gauge.show();
    EXPECT_EQ(gauge.grab().toImage().convertToFormat(QImage::Format_RGB32), gauge.Render());
}
