#pragma once
// Helpers shared by the test programs.

#include "platform/Dialogs.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// Installs a scripted dialog service for the life of the object and gives it back.
class TScriptedDialogsScope {
public:
    TScriptedDialogsScope();
    ~TScriptedDialogsScope();
    TScriptedDialogs& operator*() { return *FDialogs; }
    TScriptedDialogs* operator->() { return FDialogs; }

private:
    TScriptedDialogs* FDialogs;
    std::unique_ptr<TDialogService> FPrevious;
};

// Runs the event loop until Condition holds or TimeoutMs passes; the result of
// Condition at the end.
bool WaitFor(const std::function<bool()>& Condition, int TimeoutMs = 5000);

// A pseudo-terminal pair: the test holds the master, the code under test opens
// the slave by its path.
class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    QString SlavePath() const { return FSlavePath; }
    int MasterFd() const { return FMaster; }

    void Write(const QByteArray& Data);
    // Reads what arrives within TimeoutMs until at least MinBytes are there.
    QByteArray Read(int MinBytes, int TimeoutMs = 3000);
    void CloseMaster();

private:
    int FMaster = -1;
    int FSlaveKeeper = -1;  // keeps the slave side alive between opens
    QString FSlavePath;
};

QByteArray Hex(const QByteArray& Bytes);
