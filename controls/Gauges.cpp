#include "controls/Gauges.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <cmath>

namespace {

// A rectangle as the drawing code sees it: Right and Bottom one past the last pixel.
struct TArea {
    int Left, Top, Right, Bottom;
};

// Round half to even, as the pie and the needle need (nearbyint rounds in the
// current mode, which is to nearest, ties to even, unless a program changes it).
int RoundEven(double Value)
{
    return static_cast<int>(std::nearbyint(Value));
}

// The length for Percent percent of Pixels pixels, truncated toward zero.
int Share(int Pixels, int Percent)
{
    return static_cast<int>(Pixels * (Percent * 0.01));
}

QString RangeMessage(qint64 Low, qint64 High)
{
    return QString::asprintf("Value must be between %lld and %lld", static_cast<long long>(Low),
                             static_cast<long long>(High));
}

// A painter over an image with the primitives the gauge is drawn with, in the
// rectangle convention of TArea.
class TCanvas {
public:
    explicit TCanvas(QImage& Image) : FPainter(&Image) { FPainter.setRenderHint(QPainter::Antialiasing, false); }

    // Fills L..R-1 x T..B-1; nothing when the rectangle is empty.
    void FillRect(int L, int T, int R, int B, const QColor& Color)
    {
        if (R > L && B > T)
            FPainter.fillRect(QRect(L, T, R - L, B - T), Color);
    }

    void SetPen(const QColor& Color) { FPainter.setPen(QPen(Color, 1)); }
    void SetBrush(const QColor& Color) { FPainter.setBrush(Color); }

    // An ellipse inside the box (L, T)-(R, B).
    void Ellipse(int L, int T, int R, int B) { FPainter.drawEllipse(Box(L, T, R, B)); }

    // The slice of the ellipse in (L, T)-(R, B) that runs counterclockwise from
    // the radial through (X1, Y1) to the radial through (X2, Y2); the whole
    // ellipse when both radials are the same.
    void Pie(int L, int T, int R, int B, int X1, int Y1, int X2, int Y2)
    {
        const double start = Angle(L, T, R, B, X1, Y1);
        double span = Angle(L, T, R, B, X2, Y2) - start;
        while (span <= 0)
            span += 360.0;
        FPainter.drawPie(Box(L, T, R, B), RoundEven(start * 16), RoundEven(span * 16));
    }

    void Line(int X1, int Y1, int X2, int Y2) { FPainter.drawLine(X1, Y1, X2, Y2); }

    QPainter& Painter() { return FPainter; }

private:
    static QRect Box(int L, int T, int R, int B) { return QRect(L, T, R - L - 1, B - T - 1); }

    // The angle, in degrees counterclockwise from three o'clock, of the radial
    // of the ellipse in (L, T)-(R, B) through (X, Y).
    static double Angle(int L, int T, int R, int B, int X, int Y)
    {
        const double cx = (L + R) / 2.0, cy = (T + B) / 2.0;
        const double rx = std::max((R - L) / 2.0, 0.5), ry = std::max((B - T) / 2.0, 0.5);
        double degrees = std::atan2(-(Y - cy) / ry, (X - cx) / rx) * 180.0 / M_PI;
        if (degrees < 0)
            degrees += 360.0;
        return degrees;
    }

    QPainter FPainter;
};

}  // namespace

TGauge::TGauge(QWidget* Parent) : QWidget(Parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    FColor = palette().color(QPalette::Window);
    resize(100, 100);
}

void TGauge::Refresh()
{
    ++FRepaints;
    update();
}

void TGauge::SetKind(TGaugeKind Value)
{
    if (Value == FKind)
        return;
    FKind = Value;
    Refresh();
}

void TGauge::SetMinValue(int Value)
{
    if (Value == FMinValue)
        return;
    if (Value > FMaxValue && !FLoading)
        throw EInvalidOperation(RangeMessage(-2147483647, qint64(FMaxValue) - 1));
    FMinValue = Value;
    if (FCurValue < Value)
        FCurValue = Value;
    Refresh();
}

void TGauge::SetMaxValue(int Value)
{
    if (Value == FMaxValue)
        return;
    if (Value < FMinValue && !FLoading)
        throw EInvalidOperation(RangeMessage(qint64(FMinValue) + 1, 2147483647));
    FMaxValue = Value;
    if (FCurValue > Value)
        FCurValue = Value;
    Refresh();
}

void TGauge::SetProgress(int Value)
{
    if (Value < FMinValue)
        Value = FMinValue;
    else if (Value > FMaxValue)
        Value = FMaxValue;
    if (Value == FCurValue)
        return;
    const int before = PercentDone();
    FCurValue = Value;
    if (PercentDone() != before)
        Refresh();
}

void TGauge::SetShowText(bool Value)
{
    if (Value == FShowText)
        return;
    FShowText = Value;
    Refresh();
}

void TGauge::SetBorderStyle(TBorderStyle Value)
{
    if (Value == FBorderStyle)
        return;
    FBorderStyle = Value;
    Refresh();
}

void TGauge::SetForeColor(const QColor& Value)
{
    if (Value == FForeColor)
        return;
    FForeColor = Value;
    Refresh();
}

void TGauge::SetBackColor(const QColor& Value)
{
    if (Value == FBackColor)
        return;
    FBackColor = Value;
    Refresh();
}

void TGauge::SetColor(const QColor& Value)
{
    if (Value == FColor)
        return;
    FColor = Value;
    Refresh();
}

int TGauge::PercentDone() const
{
    if (FMaxValue == FMinValue)
        return 0;
    // In floating point: the range of two ints does not fit an int.
    const double done = (double(FCurValue) - FMinValue) * 100.0 / (double(FMaxValue) - FMinValue);
    return static_cast<int>(done);
}

QImage TGauge::Render() const
{
    const int width = std::max(this->width(), 1), height = std::max(this->height(), 1);

    // 1. The image, black.
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);

    // 2. The drawing area.
    TArea a{0, 0, this->width(), this->height()};
    if (FBorderStyle == bsSingle)
        a = {a.Left + 1, a.Top + 1, a.Right - 1, a.Bottom - 1};

    // 3. The kind, drawn on a black overlay.
    QImage overlay(width, height, QImage::Format_RGB32);
    overlay.fill(Qt::black);
    {
        TCanvas canvas(overlay);
        const int percent = PercentDone();
        switch (FKind) {
        case gkText:
            canvas.FillRect(a.Left, a.Top, a.Right, a.Bottom, FBackColor);
            break;
        case gkHorizontalBar:
        case gkVerticalBar: {
            canvas.FillRect(a.Left, a.Top, a.Right, a.Bottom, FBackColor);
            const int w = a.Right - a.Left + 1, h = a.Bottom - a.Top + 1;
            if (FKind == gkHorizontalBar) {
                const int bar = std::min(Share(w, percent), w);
                if (bar >= 1)
                    canvas.FillRect(a.Left, a.Top, bar, h, FForeColor);
            } else {
                int bar = Share(h, percent);
                if (bar >= h)
                    bar = h - 1;
                if (bar >= 1)
                    canvas.FillRect(a.Left, h - bar, w, h, FForeColor);
            }
            break;
        }
        case gkPie:
        case gkNeedle: {
            canvas.FillRect(a.Left, a.Top, a.Right, a.Bottom, FColor);
            int w = a.Right - a.Left, h = a.Bottom - a.Top;
            if (FBorderStyle == bsSingle) {
                ++w;
                ++h;
            }
            canvas.SetPen(FForeColor);
            canvas.SetBrush(FBackColor);
            if (FKind == gkPie) {
                canvas.Ellipse(a.Left, a.Top, w, h);
                if (percent > 0) {
                    const double angle = (percent / 50.0 + 0.5) * M_PI;
                    const int mx = w / 2, my = h / 2;
                    canvas.SetBrush(FForeColor);
                    canvas.Pie(a.Left, a.Top, w, h, RoundEven(mx * (1 - std::cos(angle))),
                               RoundEven(my * (1 - std::sin(angle))), mx, 0);
                }
            } else {
                canvas.Pie(a.Left, a.Top, w, 2 * h - 1, a.Left + w, a.Bottom - 1, a.Left, a.Bottom - 1);
                canvas.Line(a.Left, a.Bottom, a.Left + w, a.Bottom);
                if (percent > 0) {
                    const double angle = percent / 100.0 * M_PI;
                    const int hw = this->width() / 2;
                    canvas.Line(hw, a.Bottom - 1, RoundEven(hw * (1 - std::cos(angle))),
                                RoundEven((a.Bottom - 1) * (1 - std::sin(angle))));
                }
            }
            break;
        }
        }
    }

    // 4. Overlay into the image with exclusive-or: the image equals the overlay.
    QPainter combine(&image);
    combine.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    combine.drawImage(0, 0, overlay);

    // 5. The percentage in white on black, combined the same way, so that it
    // inverts whatever lies under it.
    if (FShowText) {
        const QString text = QString::asprintf("%d%%", PercentDone());
        QFont textFont = font();
        textFont.setStyleStrategy(QFont::NoAntialias);  // whole pixels invert cleanly
        const QFontMetrics metrics(textFont);
        const int x = (a.Right - a.Left + 1 - metrics.horizontalAdvance(text)) / 2;
        const int y = (a.Bottom - a.Top + 1 - metrics.height()) / 2;

        QImage textImage(width, height, QImage::Format_RGB32);
        textImage.fill(Qt::black);
        {
            QPainter painter(&textImage);
            painter.setFont(textFont);
            painter.setPen(Qt::white);
            painter.setClipRect(QRect(a.Left, a.Top, a.Right - a.Left, a.Bottom - a.Top));
            painter.drawText(x, y + metrics.ascent(), text);
        }
        combine.drawImage(0, 0, textImage);
    }
    return image;
}

void TGauge::paintEvent(QPaintEvent*)
{
    // 6. One copy onto the control.
    QPainter painter(this);
    painter.drawImage(0, 0, Render());
}
