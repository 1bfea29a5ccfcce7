#pragma once
// The one dialog service behind every message box, the file-open dialog and the
// port prompt. Three back ends: Qt (modal windows, in the widgets library),
// console (command-line use) and scripted (tests: records every box and answers
// from a queue).

#include "platform/OutsideText.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// A box's kind as its caption and the logs name it: "Warning", "Error",
// "Information", "Confirm", or "Message" for a custom box.
QString KindName(TMsgDlgType Type);

enum TMsgDlgBtn { mbYes = 0x1, mbNo = 0x2, mbOK = 0x4, mbCancel = 0x8 };
using TMsgDlgButtons = int;  // an or-ed set of TMsgDlgBtn
constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
constexpr TMsgDlgButtons mbYesNo = mbYes | mbNo;

enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

// What the operator was shown, for the scripted back end's record.
enum class TDialogKind { Message, FileOpen, PortSelect };

struct TDialogRecord {
    TDialogKind Kind = TDialogKind::Message;
    TMsgDlgType Type = mtCustom;
    QString Text;  // message text, file filter or the offered ports
    TMsgDlgButtons Buttons = mbOK;
};

class TDialogService {
public:
    virtual ~TDialogService() = default;

    virtual TModalResult MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons) = 0;

    // Filter as "Description|*.ext"; the chosen file, or nothing when cancelled.
    virtual std::optional<QString> OpenFile(const QString& Filter) = 0;

    // Offers the available COM port numbers; the chosen one, or 0 when cancelled.
    virtual int SelectComPort(const QList<int>& Available) = 0;

    // A plain box with only OK.
    void ShowMessage(const QString& Msg) { MessageDlg(Msg, mtCustom, mbOK); }
};

// The service in force; a console service until another is installed.
TDialogService& Dialogs();

// Installs Service (owned) and returns the one it replaces.
std::unique_ptr<TDialogService> SetDialogService(std::unique_ptr<TDialogService> Service);

// The default answer of a box: OK where offered, else Yes.
TModalResult DefaultButton(TMsgDlgButtons Buttons);

// Console back end: boxes are printed; questions are asked on the terminal unless
// AssumeYes, in which case the default button answers. A box that tells an
// error or a warning without asking goes to Err when one is given (standard
// error for the command line), everything else to Out. A question is never
// left on the terminal without its line's end: input that ends, or an
// interruption, is answered with the refusing button (Cancel, No) and said so.
class TConsoleDialogs : public TDialogService {
public:
    explicit TConsoleDialogs(bool AssumeYes = false, FILE* In = stdin, FILE* Out = stderr, FILE* Err = nullptr);

    TModalResult MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons) override;
    std::optional<QString> OpenFile(const QString& Filter) override;
    int SelectComPort(const QList<int>& Available) override;

    // The file that OpenFile returns without asking (the command line's image).
    void SetPresetFile(const QString& FileName) { FPresetFile = FileName; }

    // A question waiting for its answer is given up (refused) once Fd becomes
    // readable (a signal was caught). In is read unbuffered from then on, so
    // that what waits to be read is what the descriptor holds.
    void SetInterruptFd(int Fd);

    // How each question was answered: the button ("OK", "Cancel", "Yes",
    // "No") and how it came ("typed", "--yes", "standard input ended",
    // "interrupted").
    std::function<void(const QString& Button, const QString& How)> OnAnswer;

private:
    enum class TRead { Line, Ended, Interrupted };
    TRead ReadLine(QString* Line);
    TModalResult Answered(TModalResult Answer, const char* How);

    bool FAssumeYes;
    FILE* FIn;
    FILE* FOut;
    FILE* FErr;
    int FInterruptFd = -1;
    std::optional<QString> FPresetFile;
};

// Scripted back end for tests: every box is recorded with its kind and text, and
// answered from a queue (the default button when the queue is empty).
class TScriptedDialogs : public TDialogService {
public:
    TModalResult MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons) override;
    std::optional<QString> OpenFile(const QString& Filter) override;
    int SelectComPort(const QList<int>& Available) override;

    void QueueAnswer(TModalResult Answer) { FAnswers.push_back(Answer); }
    void QueueFile(std::optional<QString> FileName) { FFiles.push_back(std::move(FileName)); }
    void QueuePort(int ComNumber) { FPorts.push_back(ComNumber); }

    const QList<TDialogRecord>& Records() const { return FRecords; }
    QStringList Texts() const;  // the texts of the message boxes, in order
    void Clear() { FRecords.clear(); }

    // Called while a box is "open", before it is answered (a test may let the
    // event loop run here, as it runs under a real modal box).
    std::function<void(const TDialogRecord&)> OnShow;

private:
    void Record(const TDialogRecord& R);

    QList<TDialogRecord> FRecords;
    std::deque<TModalResult> FAnswers;
    std::deque<std::optional<QString>> FFiles;
    std::deque<int> FPorts;
};
