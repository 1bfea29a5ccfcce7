#pragma once
// The debug window: the traffic log, one entry per text sent to or received
// from the instrument.

#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

class TfrmDebug : public QWidget {
public:
    explicit TfrmDebug(QWidget* Parent = nullptr);

    // Adds one entry (a text may hold any byte; it is shown one character a byte).
    void AddLine(const QString& Line);
    void Clear();
    const QStringList& Lines() const { return FLines; }

    QPlainTextEdit* Debug = nullptr;

private:
    QStringList FLines;
};
