#pragma once
// "Upgrade History…": a read-only table of the upgrade history, newest first,
// straight from the history file (opened read-only, never changed) through
// Qt's SQL query model; a file that is not a history is named in its label.

#include "history/UpgradeHistory.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSqlQueryModel>
#include <QTableView>
#include <memory>

// The rows as the table shows them: times in local time, and a row left "in
// progress" by a process that is gone as "unfinished".
class THistoryModel : public QSqlQueryModel {
public:
    using QSqlQueryModel::QSqlQueryModel;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;

    // The columns, in order; the last ones (the writing process) are hidden.
    enum TColumn {
        colStarted, colOutcome, colWay, colPort, colDockAddress, colDockKind, colInstrument, colVersionBefore,
        colImageVersion, colImageFile, colPages, colResends, colEnded, colMessage, colImageSha256, colProgram,
        colProgramVersion, colHost, colUser, colId, colWriterPid, colWriterHost, colWriterBoot, colWriterStart,
    };

private:
    QVariant Shown(const QModelIndex& Index, int Role) const;
};

class THistoryDialog : public QDialog {
public:
    explicit THistoryDialog(const QString& Path, QWidget* Parent = nullptr);
    ~THistoryDialog() override;

    // Reads the file again.
    void Refresh();

    QLabel* lblHistory;   // the file, or why there is nothing to show
    QTableView* grdHistory;
    QPushButton* cbRefresh;
    QPushButton* cbClose;
    THistoryModel* Model() const { return FModel.get(); }

private:
    std::unique_ptr<TUpgradeHistory> FHistory;
    std::unique_ptr<THistoryModel> FModel;  // goes before the history's connection
};

// Shows the history of TUpgradeHistory::DefaultPath() beside Parent: a new
// dialog, or the one already open read again and raised.
THistoryDialog* ShowUpgradeHistory(QWidget* Parent);
