#include "app/QtDialogs.h"

#include "app/ComSelectForm.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

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
    return Type == mtCustom ? QApplication::applicationName() : KindName(Type);
}

// A box with a short text would be narrower than its title bar needs, and
// the window manager would cut the title: the box is made at least as wide as
// the title with room for the title bar's buttons.
void KeepTitleWhole(QMessageBox* Box)
{
    auto* grid = qobject_cast<QGridLayout*>(Box->layout());
    if (!grid)
        return;
    QFont titleFont = Box->font();
    titleFont.setBold(true);  // title bars commonly show the title in bold
    const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(Box->windowTitle());
    const int minimum = qMax(280, titleWidth + 160);
    grid->addItem(new QSpacerItem(minimum, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
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
    QMessageBox box(IconFor(Type), CaptionFor(Type), QString(), QMessageBox::NoButton, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);  // a message may hold outside text: shown, never read as markup
    box.setText(text);
    if (Buttons & mbYes) box.addButton(QMessageBox::Yes);
    if (Buttons & mbNo) box.addButton(QMessageBox::No);
    if (Buttons & mbOK) box.addButton(QMessageBox::Ok);
    if (Buttons & mbCancel) box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(DefaultButton(Buttons) == mrOk ? QMessageBox::Ok : QMessageBox::Yes);
    KeepTitleWhole(&box);
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
