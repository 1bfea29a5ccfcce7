#include "link/TraceLog.h"

#include <QFile>

void TTraceLog::SetSize(unsigned Size)
{
    FSize = Size;
    Clear();
}

void TTraceLog::Add(char Direction, const QByteArray& Data)
{
    if (!FRecording || FSize == 0)
        return;
    for (char c : Data) {
        const TEntry entry{Direction, static_cast<unsigned char>(c)};
        if (FEntries.size() < FSize) {
            FEntries.push_back(entry);
        } else {
            FEntries[FFirst] = entry;  // the oldest entry makes room
            FFirst = (FFirst + 1) % FSize;
        }
    }
}

QByteArray TTraceLog::Format(bool Hex) const
{
    QByteArray text;
    char direction = 0;
    for (unsigned i = 0; i < Count(); ++i) {
        const TEntry& e = At(i);
        if (e.Direction != direction) {
            if (direction != 0)
                text += '\n';
            direction = e.Direction;
            text += direction;
            text += ':';
        }
        text += ' ';
        if (Hex || e.Byte < 0x20 || e.Byte > 0x7E)
            text += QByteArray::number(e.Byte, 16).rightJustified(2, '0').toUpper();
        else
            text += static_cast<char>(e.Byte);
    }
    if (direction != 0)
        text += '\n';
    return text;
}

bool TTraceLog::WriteTo(const QString& FileName, bool Append, bool Hex) const
{
    QFile file(FileName);
    const auto mode = QIODevice::WriteOnly | (Append ? QIODevice::Append : QIODevice::Truncate);
    if (!file.open(mode))
        return false;
    return file.write(Format(Hex)) >= 0;
}
