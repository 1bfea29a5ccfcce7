#pragma once
// The about box: which build of the utility runs, and on what workstation.

#include "controls/Info.h"
#include "controls/TarnSysInfo.h"

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget* Parent = nullptr);

    void LoadSoftwareInfo();
    void LoadSystemInfo();

    QTabWidget* PageControl1;
    QWidget* tbsExeInfo;
    QWidget* tbsSystemInfo;
    QLabel* imgInstr;
    QLabel* lblProductName;
    QLabel* lblVersion;
    QLabel* lblExeDateTime;
    QLabel* lblCopyright;
    QLabel* lblComments;
    QLabel* lblWebSites;
    QLabel* lblUpdateWebsite;
    QLabel* lblCompWebsite;
    QLabel* lblCorpWebsite;
    QPlainTextEdit* memSysInfo;
    QLabel* imgCompany;
    QPushButton* OKButton;
    TEPInfoExe* AppInfo;
    TTarnSysInfo* TarnSysInfo1;

protected:
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void CreateSoftwareTab();
    void CreateSystemTab();
    QLabel* MakeLink(QWidget* Parent, const char* Name, const QString& Kind, const QString& Address, int Top);
};

// The program file's time as the about box shows it: the locale's short date and
// long time, the time left out at exactly midnight.
QString ExeDateTimeText(const QDateTime& Modified, const QLocale& Locale);

// The version parts joined with the locale's decimal separator.
QString VersionText(const TEPInfoExe& Info, const QLocale& Locale);
