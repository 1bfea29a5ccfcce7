#include "app/uDebug.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// An entry as the memo shows it: on one line, each control byte as its picture.
QString Shown(const QString& Line)
{
    QString shown = Line;
    for (QChar& c : shown) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7F)
            c = QChar(0x2421);
    }
    return shown;
}

}  // namespace

TfrmDebug::TfrmDebug(QWidget* Parent) : QWidget(Parent, Qt::Tool)
{
    setObjectName("frmDebug");
    setWindowTitle("Debug Window");
    resize(536, 348);
    Debug = new QPlainTextEdit(this);
    Debug->setObjectName("Debug");
    Debug->setReadOnly(true);
    Debug->setLineWrapMode(QPlainTextEdit::NoWrap);
    Debug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Debug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Debug->setMaximumBlockCount(MaxLines);  // the oldest entry goes
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Debug);
}

void TfrmDebug::AddLine(const QString& Line)
{
    const QString kept = Line.size() <= MaxLineLength
                             ? Line
                             : Line.left(MaxLineLength) + QString("... (%1 more)").arg(Line.size() - MaxLineLength);
    FLines << kept;
    if (FLines.size() > MaxLines)
        FLines.removeFirst();
    Debug->appendPlainText(Shown(kept));
}

void TfrmDebug::Clear()
{
    FLines.clear();
    Debug->clear();
}

void TfrmDebug::PlaceBeside(const QWidget* Main)
{
    QScreen* screen = Main && Main->screen() ? Main->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // The window manager's frame: as on the main window (none known before it
    // was shown: a title bar's worth).
    QMargins frame(4, 28, 4, 4);
    const bool framed = Main && Main->isVisible() && Main->frameGeometry() != Main->geometry();
    if (framed)
        frame = QMargins(Main->geometry().left() - Main->frameGeometry().left(),
                         Main->geometry().top() - Main->frameGeometry().top(),
                         Main->frameGeometry().right() - Main->geometry().right(),
                         Main->frameGeometry().bottom() - Main->geometry().bottom());
    const QSize outer = size().grownBy(frame);
    const QRect main = !Main  ? QRect(area.center(), QSize(0, 0))
                       : framed ? Main->frameGeometry()
                                : Main->geometry().marginsAdded(frame);  // its frame not told yet
    const int gap = 8;
    const QPoint sides[] = {
        {main.right() + 1 + gap, main.top()},             // right
        {main.left() - gap - outer.width(), main.top()},  // left
        {main.left(), main.bottom() + 1 + gap},           // below
        {main.left(), main.top() - gap - outer.height()}, // above
    };
    const auto onScreen = [&](QPoint TopLeft) {
        // Moved the least so that the whole frame is on the screen.
        const int x = qBound(area.left(), TopLeft.x(), qMax(area.left(), area.right() + 1 - outer.width()));
        const int y = qBound(area.top(), TopLeft.y(), qMax(area.top(), area.bottom() + 1 - outer.height()));
        return QPoint(x, y);
    };
    QPoint best = onScreen(sides[0]);
    qint64 leastOverlap = -1;
    for (const QPoint& side : sides) {
        const QPoint at = onScreen(side);
        const QRect overlap = QRect(at, outer).intersected(main);
        const qint64 covered = overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
        if (leastOverlap < 0 || covered < leastOverlap) {
            leastOverlap = covered;
            best = at;
        }
        if (covered == 0)
            break;  // a side with room: the first one
    }
    move(best);  // a top-level widget's position is its frame's
    FPlaced = true;
}
