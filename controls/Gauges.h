#pragma once
// TGauge: a self-drawn progress gauge with the percentage written across it.
//
// Every repaint composes the picture off-screen and copies it to the screen in
// one step, so the bar and the text never flicker. The percentage text is
// combined with exclusive-or, so every pixel under it shows inverted, over the
// bar and the background alike.
//
// Rectangles in the drawing have Right and Bottom one past the last pixel (the
// client rectangle of a 100 x 100 gauge is 0, 0, 100, 100): fills stop before
// Right and Bottom, and an ellipse's box (L, T)-(R, B) outlines the pixels
// L..R-1 and T..B-1. So, as the sizes are defined, a borderless bar is measured
// against W = width + 1 and a bordered one against W = width - 1.

#include "platform/ErrorDisplay.h"

#include <QColor>
#include <QImage>
#include <QWidget>

// Raised by a setter that refuses its value; the object keeps its previous state.
class EInvalidOperation : public EKT4Error {
public:
    using EKT4Error::EKT4Error;
};

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };

enum TBorderStyle { bsNone, bsSingle };

class TGauge : public QWidget {
public:
    explicit TGauge(QWidget* Parent = nullptr);

    TGaugeKind Kind() const { return FKind; }
    void SetKind(TGaugeKind Value);

    // Refuses a value above MaxValue with "Value must be between %d and %d".
    int MinValue() const { return FMinValue; }
    void SetMinValue(int Value);

    // Refuses a value below MinValue with "Value must be between %d and %d".
    int MaxValue() const { return FMaxValue; }
    void SetMaxValue(int Value);

    // Always within MinValue..MaxValue; repaints only when PercentDone changes.
    int Progress() const { return FCurValue; }
    void SetProgress(int Value);

    bool ShowText() const { return FShowText; }
    void SetShowText(bool Value);

    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);

    QColor ForeColor() const { return FForeColor; }
    void SetForeColor(const QColor& Value);

    QColor BackColor() const { return FBackColor; }
    void SetBackColor(const QColor& Value);

    // Surround of the pie and needle kinds; the window colour at creation.
    QColor Color() const { return FColor; }
    void SetColor(const QColor& Value);

    // 0 when MinValue = MaxValue, else the share of the range reached, truncated.
    int PercentDone() const;

    // While loading stored design-time values the bound setters accept any
    // order of values and refuse nothing.
    bool Loading() const { return FLoading; }
    void SetLoading(bool Value) { FLoading = Value; }

    // The picture a repaint copies onto the control, at the control's size.
    QImage Render() const;

    // How many times a property change has asked for a repaint.
    int Repaints() const { return FRepaints; }

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    void Refresh();

    TGaugeKind FKind = gkHorizontalBar;
    int FMinValue = 0;
    int FMaxValue = 100;
    int FCurValue = 0;
    bool FShowText = true;
    TBorderStyle FBorderStyle = bsSingle;
    QColor FForeColor = Qt::black;
    QColor FBackColor = Qt::white;
    QColor FColor;
    bool FLoading = false;
    int FRepaints = 0;
};
