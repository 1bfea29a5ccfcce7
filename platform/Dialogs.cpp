#include "platform/Dialogs.h"

#include <cstdio>

namespace {

std::unique_ptr<TDialogService>& Installed()
{
    static std::unique_ptr<TDialogService> service;
    return service;
}

const char* KindCaption(TMsgDlgType Type)
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

TConsoleDialogs::TConsoleDialogs(bool AssumeYes, FILE* In, FILE* Out)
    : FAssumeYes(AssumeYes), FIn(In), FOut(Out)
{
}

QString TConsoleDialogs::ReadLine()
{
    char buffer[1024];
    if (FIn == nullptr || std::fgets(buffer, sizeof buffer, FIn) == nullptr)
        return QString();
    return QString::fromLocal8Bit(buffer).trimmed();
}

QString TerminalSafe(const QString& Text)
{
    QString safe;
    for (const QChar c : Text) {
        const char16_t u = c.unicode();
        if (u == '\r' || u == '\n')
            safe += '\n';
        else if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            safe += QString("\\x%1").arg(int(u), 2, 16, QChar('0'));
        else
            safe += c;
    }
    return safe;
}

TModalResult TConsoleDialogs::MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons)
{
    std::fprintf(FOut, "\n[%s] %s\n", KindCaption(Type), qPrintable(TerminalSafe(Msg)));
    const bool question = (Buttons & ~mbOK) != 0;
    if (!question) {
        std::fflush(FOut);
        return mrOk;
    }
    if (FAssumeYes) {
        std::fprintf(FOut, "  (answered %s)\n", DefaultButton(Buttons) == mrOk ? "OK" : "Yes");
        std::fflush(FOut);
        return DefaultButton(Buttons);
    }
    for (;;) {
        std::fprintf(FOut, "  [%s]? ", qPrintable(ButtonsPrompt(Buttons)));
        std::fflush(FOut);
        if (FIn == nullptr || std::feof(FIn))
            return RefusingButton(Buttons);
        const QString reply = ReadLine();
        if (std::feof(FIn) && reply.isEmpty())
            return RefusingButton(Buttons);
        const TModalResult answer = AnswerFor(reply, Buttons);
        if (answer != mrNone)
            return answer;
    }
}

std::optional<QString> TConsoleDialogs::OpenFile(const QString& Filter)
{
    if (FPresetFile)
        return FPresetFile;
    std::fprintf(FOut, "\nOpen file (%s), empty to cancel: ", qPrintable(Filter));
    std::fflush(FOut);
    const QString name = ReadLine();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

int TConsoleDialogs::SelectComPort(const QList<int>& Available)
{
    std::fprintf(FOut, "\nThe configured serial port is not valid. Available ports:");
    for (int n : Available)
        std::fprintf(FOut, " COM%d", n);
    std::fprintf(FOut, "\nPort number, empty to cancel: ");
    std::fflush(FOut);
    if (FAssumeYes)
        return 0;  // answering every question never chooses the device to write to
    bool ok = false;
    const int n = ReadLine().toInt(&ok);
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
