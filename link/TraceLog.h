#pragma once
// Traces of the traffic with the instrument, for a person at support to read:
// one line per text sent or received, with its local time to the millisecond,
// its direction, its length in bytes and the bytes themselves:
//
//   2026-12-08 11:15:02.123 SND    4 "ENQ1"
//   2026-12-08 11:15:02.131 RCV    6 "ACK1\x00B"
//
// In text form the bytes stand between double quotes, printable ones as they
// are, '"' and '\' escaped with '\', every other byte as \xHH; in hexadecimal
// form they are two hex digits each, separated by blanks. Either way a line
// holds exactly the bytes that travelled. Lines that begin with '#' are notes
// (what the program was doing, what the operator was shown).
//
// TTraceLog is the serial port's ring of LogSize entries (one per byte), dumped
// on request; TTraceFile writes each text to its file as it happens.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>
#include <vector>

enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

// One line of a trace, without its line break. Time: milliseconds since the
// epoch; Direction: 'T' sent, 'R' received.
QByteArray TraceLine(qint64 Time, char Direction, const QByteArray& Bytes, bool Hex);

class TTraceLog {
public:
    explicit TTraceLog(unsigned Size = 10000) : FSize(Size) {}

    void SetSize(unsigned Size);
    unsigned Size() const { return FSize; }

    bool Recording() const { return FRecording; }
    void Start() { FRecording = true; }   // starts or resumes recording
    void Pause() { FRecording = false; }
    void Clear() { FEntries.clear(); FFirst = 0; }

    // Each call is one text, stamped with the time it was added.
    void AddSent(const QByteArray& Data) { Add('T', Data); }
    void AddReceived(const QByteArray& Data) { Add('R', Data); }

    unsigned Count() const { return static_cast<unsigned>(FEntries.size()); }

    // Writes the recorded entries to FileName (replacing or appending); false
    // when the file cannot be written.
    bool WriteTo(const QString& FileName, bool Append, bool Hex) const;

    // The entries as trace lines: one per text, or per the part of a text the
    // ring still holds.
    QByteArray Format(bool Hex) const;

private:
    struct TEntry {
        qint64 Time;
        char Direction;
        bool StartsText;
        unsigned char Byte;
    };
    void Add(char Direction, const QByteArray& Data);
    const TEntry& At(unsigned Index) const { return FEntries[(FFirst + Index) % FEntries.size()]; }

    unsigned FSize;
    bool FRecording = false;
    std::vector<TEntry> FEntries;
    unsigned FFirst = 0;  // oldest entry once the ring is full
};

// Why FileName cannot take a trace, or empty when it can: a trace goes only
// into a regular file or a new one, named without a symbolic link, and never
// into Keep (the image being traced, under any of its names).
QString TraceFileProblem(const QString& FileName, const QString& Keep);

// Opens FileName for writing under those rules, emptied, made for its user
// alone (0600) when it is new: the descriptor, or -1 with the cause in Failure.
int OpenWrittenFile(const QString& FileName, const QString& Keep, QString* Failure);

// A trace written as it happens, each line written through at once, so that
// it is complete up to the moment a program stops, however it stops. A line
// that cannot be written (a full disk, a file grown past its limit) is told
// once through OnFailed, and nothing more is written: the trace holds what was
// written up to that line (a full disk may cut it), and Failed() says so.
class TTraceFile {
public:
    // Opens (replaces) FileName, a new file made for its user alone (0600);
    // Ok() tells whether that worked. FileName is held to TraceFileProblem's
    // rules, and checked again once open: it is never Keep.
    explicit TTraceFile(const QString& FileName, const QString& Keep = QString());

    bool Ok() const { return FFile.isOpen(); }
    QString ErrorString() const { return FFailure.isEmpty() ? FFile.errorString() : FFailure; }
    QString FileName() const { return FFile.fileName(); }
    // A line could not be written whole: the trace stops short of the end.
    bool Failed() const { return FFailed; }
    // Told once, at the first line that could not be written, with the cause.
    std::function<void(const QString& Cause)> OnFailed;

    void Sent(const QByteArray& Text) { Write(TraceLine(Now(), 'T', Text, false)); }
    void Received(const QByteArray& Text) { Write(TraceLine(Now(), 'R', Text, false)); }
    // A note line: "# " and the time, then Text (line breaks become blanks).
    void Note(const QString& Text);

private:
    static qint64 Now();
    void Write(const QByteArray& Line);

    QFile FFile;
    bool FFailed = false;
    QString FFailure;
};
