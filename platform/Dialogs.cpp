#include "platform/Dialogs.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>

QString KindName(TMsgDlgType Type)
{
    switch (Type) {
    case mtWarning: return "Warning";
    case mtError: return "Error";
    case mtInformation: return "Information";
    case mtConfirmation: return "Confirm";
    case mtCustom: break;
    }
    return "Message";
}

namespace {

std::unique_ptr<TDialogService>& Installed()
{
    static std::unique_ptr<TDialogService> service;
    return service;
}


QString ButtonsPrompt(TMsgDlgButtons Buttons)
{
    QStringList names;
    if (Buttons & mbYes) names << "y=Yes";
    if (Buttons & mbNo) names << "n=No";
    if (Buttons & mbOK) names << "o=OK";
    if (Buttons & mbCancel) names << "c=Cancel";
    return names.join(", ");
}

// The answer a typed reply stands for, or mrNone when it names no offered button.
TModalResult AnswerFor(const QString& Reply, TMsgDlgButtons Buttons)
{
    const QString r = Reply.trimmed().toLower();
    if ((Buttons & mbYes) && (r == "y" || r == "yes")) return mrYes;
    if ((Buttons & mbNo) && (r == "n" || r == "no")) return mrNo;
    if ((Buttons & mbOK) && (r == "o" || r == "ok" || r.isEmpty())) return mrOk;
    if ((Buttons & mbCancel) && (r == "c" || r == "cancel")) return mrCancel;
    return mrNone;
}

TModalResult RefusingButton(TMsgDlgButtons Buttons)
{
    if (Buttons & mbCancel) return mrCancel;
    if (Buttons & mbNo) return mrNo;
    return DefaultButton(Buttons);
}

}  // namespace

TDialogService& Dialogs()
{
    auto& service = Installed();
    if (!service)
        service = std::make_unique<TConsoleDialogs>();
    return *service;
}

std::unique_ptr<TDialogService> SetDialogService(std::unique_ptr<TDialogService> Service)
{
    std::swap(Installed(), Service);
    return Service;
}

TModalResult DefaultButton(TMsgDlgButtons Buttons)
{
    if (Buttons & mbOK) return mrOk;
    if (Buttons & mbYes) return mrYes;
    if (Buttons & mbNo) return mrNo;
    return mrCancel;
}

// ---- console ----

TConsoleDialogs::TConsoleDialogs(bool AssumeYes, FILE* In, FILE* Out, FILE* Err)
    : FAssumeYes(AssumeYes), FIn(In), FOut(Out), FErr(Err)
{
}

void TConsoleDialogs::SetInterruptFd(int Fd)
{
    FInterruptFd = Fd;
    if (FIn != nullptr && Fd >= 0)
        std::setvbuf(FIn, nullptr, _IONBF, 0);
}

TConsoleDialogs::TRead TConsoleDialogs::ReadLine(QString* Line)
{
    Line->clear();
    if (FIn == nullptr || std::feof(FIn))
        return TRead::Ended;
    if (FInterruptFd >= 0 && fileno(FIn) >= 0) {
        pollfd wait[2] = {{fileno(FIn), POLLIN, 0}, {FInterruptFd, POLLIN, 0}};
        for (;;) {
            if (::poll(wait, 2, -1) >= 0 || errno != EINTR)
                break;
        }
        if (wait[1].revents & POLLIN)
            return TRead::Interrupted;
    }
    char buffer[1024];
    if (std::fgets(buffer, sizeof buffer, FIn) == nullptr)
        return TRead::Ended;
    *Line = QString::fromLocal8Bit(buffer).trimmed();
    return TRead::Line;
}

TModalResult TConsoleDialogs::Answered(TModalResult Answer, const char* How)
{
    if (OnAnswer) {
        const char* button = Answer == mrOk ? "OK" : Answer == mrCancel ? "Cancel" : Answer == mrYes ? "Yes" : "No";
        OnAnswer(button, How);
    }
    return Answer;
}

TModalResult TConsoleDialogs::MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons)
{
    const bool question = (Buttons & ~mbOK) != 0;
    FILE* to = !question && FErr && (Type == mtError || Type == mtWarning) ? FErr : FOut;
    std::fprintf(to, "\n[%s] %s\n", qPrintable(KindName(Type)), qPrintable(TerminalSafe(Msg)));
    if (!question) {
        std::fflush(to);
        return mrOk;
    }
    if (FAssumeYes) {
        std::fprintf(FOut, "  (answered %s)\n", DefaultButton(Buttons) == mrOk ? "OK" : "Yes");
        std::fflush(FOut);
        return Answered(DefaultButton(Buttons), "--yes");
    }
    for (;;) {
        std::fprintf(FOut, "  [%s]? ", qPrintable(ButtonsPrompt(Buttons)));
        std::fflush(FOut);
        QString reply;
        const TRead read = ReadLine(&reply);
        if (read == TRead::Line || (read == TRead::Ended && !reply.isEmpty())) {
            const TModalResult answer = AnswerFor(reply, Buttons);
            if (answer != mrNone)
                return Answered(answer, "typed");
            continue;
        }
        const TModalResult refusal = RefusingButton(Buttons);
        const char* how = read == TRead::Interrupted ? "interrupted" : "standard input ended";
        // The question's line ends here, with what answered it.
        std::fprintf(FOut, "(%s: %s)\n", how, refusal == mrCancel ? "Cancel" : refusal == mrNo ? "No" : "OK");
        std::fflush(FOut);
        return Answered(refusal, how);
    }
}

std::optional<QString> TConsoleDialogs::OpenFile(const QString& Filter)
{
    if (FPresetFile)
        return FPresetFile;
    std::fprintf(FOut, "\nOpen file (%s), empty to cancel: ", qPrintable(Filter));
    std::fflush(FOut);
    QString name;
    if (ReadLine(&name) != TRead::Line || name.isEmpty()) {
        std::fprintf(FOut, "%s", name.isEmpty() ? "\n" : "");  // the prompt's line ends
        std::fflush(FOut);
        return std::nullopt;
    }
    return name;
}

int TConsoleDialogs::SelectComPort(const QList<int>& Available)
{
    std::fprintf(FOut, "\nThe configured serial port is not valid. Available ports:");
    for (int n : Available)
        std::fprintf(FOut, " COM%d", n);
    std::fprintf(FOut, "\nPort number, empty to cancel: ");
    std::fflush(FOut);
    if (FAssumeYes) {
        std::fprintf(FOut, "\n");
        return 0;  // answering every question never chooses the device to write to
    }
    QString reply;
    if (ReadLine(&reply) != TRead::Line) {
        std::fprintf(FOut, "\n");
        return 0;
    }
    bool ok = false;
    const int n = reply.toInt(&ok);
    return ok && Available.contains(n) ? n : 0;
}

// ---- scripted ----

void TScriptedDialogs::Record(const TDialogRecord& R)
{
    FRecords.append(R);
    if (OnShow)
        OnShow(R);
}

TModalResult TScriptedDialogs::MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons)
{
    Record({TDialogKind::Message, Type, Msg, Buttons});
    if (FAnswers.empty())
        return DefaultButton(Buttons);
    const TModalResult answer = FAnswers.front();
    FAnswers.pop_front();
    return answer;
}

std::optional<QString> TScriptedDialogs::OpenFile(const QString& Filter)
{
    Record({TDialogKind::FileOpen, mtCustom, Filter, mbOKCancel});
    if (FFiles.empty())
        return std::nullopt;
    const bool chosen = FFiles.front().has_value();
    const QString name = FFiles.front().value_or(QString());
    FFiles.pop_front();
    return chosen ? std::optional<QString>(name) : std::nullopt;
}

int TScriptedDialogs::SelectComPort(const QList<int>& Available)
{
    QStringList names;
    for (int n : Available)
        names << QString("COM%1").arg(n);
    Record({TDialogKind::PortSelect, mtCustom, names.join(','), mbOKCancel});
    if (FPorts.empty())
        return 0;
    const int n = FPorts.front();
    FPorts.pop_front();
    return n;
}

QStringList TScriptedDialogs::Texts() const
{
    QStringList texts;
    for (const auto& r : FRecords)
        if (r.Kind == TDialogKind::Message)
            texts << r.Text;
    return texts;
}
