#include "controls/LumLed.h"

#include <QMouseEvent>
#include <QPainter>

namespace {

const QColor OutlineGrey(128, 128, 128);

// The highlight spot in the upper left of the disc, as (x, y).
const QPoint HighlightPixels[] = {{6, 5}, {7, 5}, {8, 5}, {5, 6}, {6, 6}, {7, 6}, {5, 7}, {6, 7}, {5, 8}};

}  // namespace

TLumLed::TLumLed(QWidget* Parent) : QWidget(Parent), FTimer(new TTimer(this))
{
    FTimer->SetEnabled(false);
    FTimer->SetInterval(FInterval);
    FTimer->OnTimer = [this](QObject*) { Tick(); };
    resize(LedSize, LedSize);
}

void TLumLed::SetLedisOn(bool Value)
{
    FLedisOn = Value;
    update();
}

void TLumLed::SetLedOnColor(const QColor& Value)
{
    FLedOnColor = Value;
    update();
}

void TLumLed::SetLedOffColor(const QColor& Value)
{
    FLedOffColor = Value;
    update();
}

void TLumLed::SetLedShadow(const QColor& Value)
{
    FLedShadow = Value;
    update();
}

void TLumLed::SetBlinking(bool Value)
{
    FTimer->SetEnabled(Value);
    FBlinking = Value;
    update();
}

void TLumLed::SetInterval(int Milliseconds)
{
    FTimer->SetInterval(Milliseconds);
    FInterval = Milliseconds;
}

void TLumLed::Tick()
{
    SetLedisOn(!FLedisOn);
}

QImage TLumLed::Render()
{
    if (width() != LedSize || height() != LedSize)
        resize(LedSize, LedSize);

    QImage image(LedSize, LedSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(OutlineGrey, 1));
    painter.setBrush(FLedisOn ? FLedOnColor : FLedOffColor);
    // The circle through the box (2, 2)-(14, 14): outline on pixels 2..13.
    painter.drawEllipse(QRect(2, 2, 11, 11));
    painter.end();
    for (const QPoint& p : HighlightPixels)
        image.setPixelColor(p, FLedShadow);
    return image;
}

void TLumLed::paintEvent(QPaintEvent*)
{
    const QImage image = Render();
    QPainter painter(this);
    painter.drawImage(0, 0, image);
}

void TLumLed::mousePressEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton)
        FPressed = true;
}

void TLumLed::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() != Qt::LeftButton || !FPressed)
        return;
    FPressed = false;
    if (rect().contains(Event->position().toPoint()))
        OnClick(this);
}

void TLumLed::mouseDoubleClickEvent(QMouseEvent* Event)
{
    // The second press of a double click raises OnDblClick instead of a click.
    if (Event->button() != Qt::LeftButton)
        return;
    FPressed = false;
    OnDblClick(this);
}
