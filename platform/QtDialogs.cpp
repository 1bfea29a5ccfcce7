#include "platform/QtDialogs.h"

#include "link/ComSelectForm.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace {

QMessageBox::Icon IconFor(TMsgDlgType Type)
{
    switch (Type) {
    case mtWarning: return QMessageBox::Warning;
    case mtError: return QMessageBox::Critical;
    case mtInformation: return QMessageBox::Information;
    case mtConfirmation: return QMessageBox::Question;
    case mtCustom: break;
    }
    return QMessageBox::NoIcon;
}

QString CaptionFor(TMsgDlgType Type)
{
    switch (Type) {
    case mtWarning: return "Warning";
    case mtError: return "Error";
    case mtInformation: return "Information";
    case mtConfirmation: return "Confirm";
    case mtCustom: break;
    }
    return QApplication::applicationName();
}

TModalResult ResultFor(QMessageBox::StandardButton Button)
{
    switch (Button) {
    case QMessageBox::Ok: return mrOk;
    case QMessageBox::Cancel: return mrCancel;
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    default: break;
    }
    return mrCancel;
}

}  // namespace

TModalResult TQtDialogs::MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons)
{
    QString text = Msg;
    text.replace('\r', '\n');
    QMessageBox box(IconFor(Type), CaptionFor(Type), text, QMessageBox::NoButton, QApplication::activeWindow());
    if (Buttons & mbYes) box.addButton(QMessageBox::Yes);
    if (Buttons & mbNo) box.addButton(QMessageBox::No);
    if (Buttons & mbOK) box.addButton(QMessageBox::Ok);
    if (Buttons & mbCancel) box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(DefaultButton(Buttons) == mrOk ? QMessageBox::Ok : QMessageBox::Yes);
    box.exec();
    return ResultFor(box.standardButton(box.clickedButton()));
}

QString QtFileFilter(const QString& Filter)
{
    const QStringList parts = Filter.split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << QString("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(';', ' '));
    return filters.join(";;");
}

std::optional<QString> TQtDialogs::OpenFile(const QString& Filter)
{
    const QString name = QFileDialog::getOpenFileName(QApplication::activeWindow(), QString(), QString(),
                                                      QtFileFilter(Filter));
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

int TQtDialogs::SelectComPort(const QList<int>& Available)
{
    return ShowComSelectForm(Available);
}
