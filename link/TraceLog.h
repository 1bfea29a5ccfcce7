#pragma once
// The serial port's traffic trace: a ring of LogSize entries, one per byte with
// its direction, dumped to a text file in hexadecimal (or as printable text).

#include <QByteArray>
#include <QString>
#include <vector>

enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

class TTraceLog {
public:
    explicit TTraceLog(unsigned Size = 10000) : FSize(Size) {}

    void SetSize(unsigned Size);
    unsigned Size() const { return FSize; }

    bool Recording() const { return FRecording; }
    void Start() { FRecording = true; }   // starts or resumes recording
    void Pause() { FRecording = false; }
    void Clear() { FEntries.clear(); FFirst = 0; }

    void AddSent(const QByteArray& Data) { Add('T', Data); }
    void AddReceived(const QByteArray& Data) { Add('R', Data); }

    unsigned Count() const { return static_cast<unsigned>(FEntries.size()); }

    // Writes the recorded entries to FileName (replacing or appending); false
    // when the file cannot be written.
    bool WriteTo(const QString& FileName, bool Append, bool Hex) const;

    // The entries as text: one line per run of bytes in the same direction,
    // "T: 45 4E 51 30" for sent bytes, "R: ..." for received ones.
    QByteArray Format(bool Hex) const;

private:
    struct TEntry {
        char Direction;
        unsigned char Byte;
    };
    void Add(char Direction, const QByteArray& Data);
    const TEntry& At(unsigned Index) const { return FEntries[(FFirst + Index) % FEntries.size()]; }

    unsigned FSize;
    bool FRecording = false;
    std::vector<TEntry> FEntries;
    unsigned FFirst = 0;  // oldest entry once the ring is full
};
