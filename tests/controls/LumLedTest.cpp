#include "controls/LumLed.h"

#include "tests/TestSupport.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>

namespace {

const QColor Grey(128, 128, 128), Green(0, 128, 0), Red(Qt::red), White(Qt::white);
const QPoint Highlight[] = {{6, 5}, {7, 5}, {8, 5}, {5, 6}, {6, 6}, {7, 6}, {5, 7}, {6, 7}, {5, 8}};

void SendMouse(QWidget& Widget, QEvent::Type Type, QPoint Where)
{
    QMouseEvent event(Type, QPointF(Where), Widget.mapToGlobal(QPointF(Where)), Qt::LeftButton,
                      Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&Widget, &event);
}

}  // namespace

TEST(LumLedTest, DiscHasAGreyOutlineTheStateColourAndTheHighlight)
{
    TLumLed led;
    QImage image = led.Render();
    ASSERT_EQ(image.size(), QSize(15, 15));
    // The circle through (2, 2)-(14, 14) touches rows and columns 2 and 13; the
    // lamp paints nothing outside it.
    for (QPoint p : {QPoint(7, 2), QPoint(7, 13), QPoint(2, 7), QPoint(13, 7)})
        EXPECT_EQ(image.pixelColor(p), Grey) << p.x() << "," << p.y();
    for (QPoint p : {QPoint(2, 2), QPoint(7, 1), QPoint(14, 7), QPoint(0, 0)})
        EXPECT_EQ(qAlpha(image.pixel(p)), 0) << p.x() << "," << p.y();

    for (int y = 4; y <= 11; ++y)
        for (int x = 4; x <= 11; ++x) {
            const bool spot = std::find(std::begin(Highlight), std::end(Highlight), QPoint(x, y)) != std::end(Highlight);
            EXPECT_EQ(image.pixelColor(x, y), spot ? White : Green) << x << "," << y;
        }

    led.SetLedisOn(true);
    led.SetLedShadow(Qt::yellow);
    image = led.Render();
    EXPECT_EQ(image.pixelColor(10, 10), Red);
    for (const QPoint& p : Highlight)
        EXPECT_EQ(image.pixelColor(p), QColor(Qt::yellow));
}

TEST(LumLedTest, ResizedLampPaintsAtFifteenPixels)
{
    QWidget panel;
    panel.resize(60, 60);
    TLumLed led(&panel);
    led.setGeometry(0, 0, 30, 30);
    panel.show();  // the panel's first paint paints the lamp
    EXPECT_TRUE(WaitFor([&] { return led.size() == QSize(15, 15); }, 3000));
}

TEST(LumLedTest, EachTickInvertsTheLampUntilBlinkingStops)
{
    TLumLed led;
    EXPECT_EQ(led.BlinkTimer()->Interval(), 200);
    EXPECT_FALSE(led.BlinkTimer()->Running());
    led.SetBlinking(true);
    EXPECT_TRUE(led.BlinkTimer()->Running());
    led.BlinkTimer()->Fire();
    EXPECT_EQ(led.Render().pixelColor(10, 10), Red);
    led.BlinkTimer()->Fire();
    EXPECT_FALSE(led.LedisOn());
    led.BlinkTimer()->Fire();
    led.SetBlinking(false);
    EXPECT_FALSE(led.BlinkTimer()->Running());
    EXPECT_TRUE(led.LedisOn());  // as the last tick left it

    led.SetInterval(500);
    EXPECT_EQ(led.BlinkTimer()->Interval(), 500);
}

TEST(LumLedTest, ClickAndDoubleClickRaiseTheirEvents)
{
    TLumLed led;
    int clicks = 0, doubleClicks = 0;
    led.OnClick = [&](QObject* Sender) { clicks += Sender == &led; };
    led.OnDblClick = [&](QObject* Sender) { doubleClicks += Sender == &led; };

    SendMouse(led, QEvent::MouseButtonPress, {7, 7});
    SendMouse(led, QEvent::MouseButtonRelease, {40, 40});  // let go outside: no click
    EXPECT_EQ(clicks, 0);
    SendMouse(led, QEvent::MouseButtonPress, {7, 7});
    SendMouse(led, QEvent::MouseButtonRelease, {7, 7});
    SendMouse(led, QEvent::MouseButtonDblClick, {7, 7});
    SendMouse(led, QEvent::MouseButtonRelease, {7, 7});
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(doubleClicks, 1);
}
