#pragma once
// TLumLed: a 15-pixel round indicator lamp with an on colour, an off colour, a
// highlight spot and an optional blinking timer. The lamp draws over its parent
// (only the disc is painted) and keeps itself 15 x 15: every repaint puts the
// size back.

#include "platform/Events.h"
#include "platform/Timer.h"

#include <QColor>
#include <QImage>
#include <QWidget>

class TLumLed : public QWidget {
public:
    explicit TLumLed(QWidget* Parent = nullptr);

    static constexpr int LedSize = 15;

    bool LedisOn() const { return FLedisOn; }
    void SetLedisOn(bool Value);

    QColor LedOnColor() const { return FLedOnColor; }
    void SetLedOnColor(const QColor& Value);

    QColor LedOffColor() const { return FLedOffColor; }
    void SetLedOffColor(const QColor& Value);

    // Colour of the highlight spot.
    QColor LedShadow() const { return FLedShadow; }
    void SetLedShadow(const QColor& Value);

    // Every tick of the blink timer inverts LedisOn; switching blinking off leaves
    // LedisOn as the last tick left it.
    bool Blinking() const { return FBlinking; }
    void SetBlinking(bool Value);

    // Blink period per toggle, in milliseconds.
    int Interval() const { return FInterval; }
    void SetInterval(int Milliseconds);

    // The blink timer the lamp owns (tests fire it instead of waiting).
    TTimer* BlinkTimer() { return FTimer; }

    // Puts the size back to 15 x 15 and gives the picture a repaint copies onto
    // the control: transparent outside the disc.
    QImage Render();

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;

private:
    void Tick();

    bool FLedisOn = false;
    QColor FLedOnColor = Qt::red;
    QColor FLedOffColor = QColor(0, 128, 0);  // the named colour green, #008000
    QColor FLedShadow = Qt::white;
    bool FBlinking = false;
    int FInterval = 200;
    bool FPressed = false;
    TTimer* FTimer;
};
