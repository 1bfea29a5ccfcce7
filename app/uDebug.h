#pragma once
// The debug window: the traffic log, one entry per text sent to or received
// from the instrument.

#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

class TfrmDebug : public QWidget {
public:
    // The log keeps the newest MaxLines entries (a whole upgrade is 900), and
    // of an entry its first MaxLineLength characters (a page command is 264).
    static constexpr int MaxLines = 5000;
    static constexpr int MaxLineLength = 2048;

    explicit TfrmDebug(QWidget* Parent = nullptr);

    // Adds one entry (a text may hold any byte; it is shown one character a
    // byte, a control byte as its picture, so that an entry is one line).
    void AddLine(const QString& Line);
    void Clear();
    const QStringList& Lines() const { return FLines; }

    // Puts the window on the screen of Main, beside it (right, left, below or
    // above, the first side with room), or where it overlaps Main least when
    // no side has room; never partly off the screen.
    void PlaceBeside(const QWidget* Main);
    bool Placed() const { return FPlaced; }

    QPlainTextEdit* Debug = nullptr;

private:
    QStringList FLines;
    bool FPlaced = false;
};
