#include "controls/About.h"

#include "controls/JpegImage.h"
#include "platform/OutsideText.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QUrl>

namespace {

// Restores the cursor however the filling ends.
struct TBusyCursor {
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
};

QString Field(const char* Format, const QString& Label, const QString& Value)
{
    // A value the system holds (a name, a description) stays on its line.
    return QString::asprintf(Format, Label.toUtf8().constData(), OutsideText::OneLine(Value).toUtf8().constData());
}

// The system tab's lines are label, blanks, value. In a proportional font the
// blanks do not bring the values under one another, so each line's run of
// padding blanks is widened or narrowed until every value starts at the same
// place; the text itself stays as it is.
void AlignValues(QPlainTextEdit* Memo)
{
    static const QRegularExpression padding("\\S(  +)\\S");
    const QFontMetricsF metrics(Memo->font());
    struct TLine {
        QTextBlock Block;
        qsizetype At, Length;
        qreal LabelWidth;
    };
    QList<TLine> lines;
    qreal column = 0;
    for (QTextBlock block = Memo->document()->begin(); block.isValid(); block = block.next()) {
        const QRegularExpressionMatch m = padding.match(block.text());
        if (!m.hasMatch())
            continue;
        const qreal labelWidth = metrics.horizontalAdvance(block.text().left(m.capturedStart(1)));
        lines.append({block, m.capturedStart(1), m.capturedLength(1), labelWidth});
        column = qMax(column, labelWidth + 2 * metrics.horizontalAdvance(' ') + 8);
    }
    const qreal blank = metrics.horizontalAdvance(' ');
    for (const TLine& line : lines) {
        QTextCursor cursor(line.Block);
        cursor.setPosition(line.Block.position() + line.At);
        cursor.setPosition(line.Block.position() + line.At + line.Length, QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        format.setFontLetterSpacing((column - line.LabelWidth) / line.Length - blank);
        cursor.mergeCharFormat(format);
    }
}

}  // namespace

QString ExeDateTimeText(const QDateTime& Modified, const QLocale& Locale)
{
    const QDateTime local = Modified.toLocalTime();
    QString text = Locale.toString(local.date(), QLocale::ShortFormat);
    if (local.time() != QTime(0, 0))
        text += ' ' + Locale.toString(local.time(), QLocale::LongFormat);
    return text;
}

QString VersionText(const TEPInfoExe& Info, const QLocale& Locale)
{
    const QString separator = Locale.decimalPoint();
    return QStringList({Info.MajorVersion(), Info.MinorVersion(), Info.Release(), Info.Build()}).join(separator);
}

TAboutBox::TAboutBox(QWidget* Parent) : QDialog(Parent)
{
    setObjectName("AboutBox");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(498, 326);
    setModal(false);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(8, 8, 482, 266);
    CreateSoftwareTab();
    CreateSystemTab();

    imgCompany = new QLabel(this);
    imgCompany->setObjectName("imgCompany");
    imgCompany->setGeometry(8, 282, 100, 40);
    imgCompany->setScaledContents(true);
    imgCompany->setPixmap(LoadPicture(":/pictures/company.jpg", QSize(100, 40)));

    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(415, 290, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    AppInfo = new TEPInfoExe(this);
    AppInfo->setObjectName("AppInfo");
    AppInfo->SetLangId("0409");
    TarnSysInfo1 = new TTarnSysInfo(this);
    TarnSysInfo1->setObjectName("TarnSysInfo1");

    if (auto* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TAboutBox::CreateSoftwareTab()
{
    tbsExeInfo = new QWidget;
    tbsExeInfo->setObjectName("tbsExeInfo");
    PageControl1->addTab(tbsExeInfo, QString());

    auto* panel = new QFrame(tbsExeInfo);
    panel->setObjectName("pnlSoftware");
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setGeometry(6, 6, 464, 224);

    imgInstr = new QLabel(panel);
    imgInstr->setObjectName("imgInstr");
    imgInstr->setGeometry(10, 10, 114, 146);
    imgInstr->setScaledContents(true);
    imgInstr->setPixmap(LoadPicture(":/pictures/instrument-large.jpg", QSize(114, 146)));

    lblProductName = new QLabel(panel);
    lblProductName->setObjectName("lblProductName");
    lblProductName->setGeometry(136, 10, 318, 20);
    QFont bold = font();
    bold.setBold(true);
    bold.setPixelSize(13);
    lblProductName->setFont(bold);

    lblVersion = new QLabel(panel);
    lblVersion->setObjectName("lblVersion");
    lblVersion->setGeometry(136, 36, 150, 16);
    lblExeDateTime = new QLabel(panel);
    lblExeDateTime->setObjectName("lblExeDateTime");
    lblExeDateTime->setGeometry(290, 36, 164, 16);
    lblExeDateTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    lblCopyright = new QLabel(panel);
    lblCopyright->setObjectName("lblCopyright");
    lblCopyright->setGeometry(136, 60, 318, 32);
    lblCopyright->setWordWrap(true);
    lblComments = new QLabel(panel);
    lblComments->setObjectName("lblComments");
    lblComments->setGeometry(136, 94, 318, 44);
    lblComments->setWordWrap(true);

    // The texts of the program file's version block: shown as they are.
    for (QLabel* label : {lblProductName, lblVersion, lblExeDateTime, lblCopyright, lblComments})
        label->setTextFormat(Qt::PlainText);

    lblWebSites = new QLabel("Web Sites:", panel);
    lblWebSites->setObjectName("lblWebSites");
    lblWebSites->setGeometry(136, 142, 318, 16);
    lblUpdateWebsite = MakeLink(panel, "lblUpdateWebsite", "Product Updates:", "https://corvane.example/kt4", 160);
    lblCompWebsite = MakeLink(panel, "lblCompWebsite", "Company:", "https://www.corvane.example", 178);
    lblCorpWebsite = MakeLink(panel, "lblCorpWebsite", "Corporate:", "https://group.corvane.example", 196);
}

QLabel* TAboutBox::MakeLink(QWidget* Parent, const char* Name, const QString& Kind, const QString& Address, int Top)
{
    auto* link = new QLabel(Kind + " " + Address, Parent);
    link->setObjectName(Name);
    link->setGeometry(136, Top, 318, 16);
    link->setStyleSheet("color: navy");
    link->setCursor(Qt::PointingHandCursor);
    link->setTextInteractionFlags(Qt::NoTextInteraction);
    link->installEventFilter(this);
    link->setProperty("address", Address);
    return link;
}

void TAboutBox::CreateSystemTab()
{
    tbsSystemInfo = new QWidget;
    tbsSystemInfo->setObjectName("tbsSystemInfo");
    PageControl1->addTab(tbsSystemInfo, "System");
    memSysInfo = new QPlainTextEdit(tbsSystemInfo);
    memSysInfo->setObjectName("memSysInfo");
    memSysInfo->setReadOnly(true);
    // One line each, never wrapped; the values under one another (AlignValues).
    memSysInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memSysInfo->setGeometry(0, 0, 476, 238);
}

bool TAboutBox::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {  // a left click opens a link
        const QString address = Watched->property("address").toString();
        if (!address.isEmpty())
            QDesktopServices::openUrl(QUrl(address));
    }
    return QDialog::eventFilter(Watched, Event);
}

void TAboutBox::showEvent(QShowEvent* Event)
{
    QDialog::showEvent(Event);
    PageControl1->setCurrentWidget(tbsExeInfo);
    TBusyCursor busy;
    LoadSoftwareInfo();
    LoadSystemInfo();
}

void TAboutBox::LoadSoftwareInfo()
{
    AppInfo->SetExeName(QCoreApplication::applicationFilePath());
    AppInfo->ReadVersionInfo();
    const QLocale locale;
    lblProductName->setText(AppInfo->ProductName());
    PageControl1->setTabText(PageControl1->indexOf(tbsExeInfo), AppInfo->ProductName());
    setWindowTitle("About Corvnae " + AppInfo->ProductName());
    lblVersion->setText(VersionText(*AppInfo, locale));
    lblExeDateTime->setText(ExeDateTimeText(QFileInfo(AppInfo->ExeName()).lastModified(), locale));
    lblCopyright->setText(AppInfo->LegalCopyright());
    lblComments->setText(AppInfo->Comments());
}

void TAboutBox::LoadSystemInfo()
{
    memSysInfo->clear();
    memSysInfo->appendPlainText(Field("%-28s %s", "OS", TarnSysInfo1->OSDescription()));
    const QString version =
        QString("%1.%2.%3").arg(TarnSysInfo1->OSMajor()).arg(TarnSysInfo1->OSMinor()).arg(TarnSysInfo1->OSBuild());
    memSysInfo->appendPlainText(Field("%-23s %s", "OS Version", version));
    memSysInfo->appendPlainText(" ");
    memSysInfo->appendPlainText(Field("%-18s %s", "Computer Name", TarnSysInfo1->ComputerName()));
    memSysInfo->appendPlainText(Field("%-22s %s", "User Name", TarnSysInfo1->UserName()));
    AlignValues(memSysInfo);
}
