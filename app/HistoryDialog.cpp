#include "app/HistoryDialog.h"

#include "platform/OutsideText.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSqlError>
#include <QSqlQuery>
#include <QVBoxLayout>

namespace {

const char* const Selected =
    "SELECT started, outcome, way, port, dock_address, dock_kind, instrument_type, version_before,"
    " image_version, image_file, pages_sent, resends, ended, message, image_sha256, program,"
    " program_version, host, user, id, writer_pid, writer_host, writer_boot, writer_start"
    " FROM attempts ORDER BY started DESC, id DESC";

const char* const Captions[] = {
    "Started", "Outcome", "Way", "Port", "Dock address", "Dock kind", "Instrument", "Version before",
    "Image version", "Image file", "Pages", "Resends", "Ended", "Message", "Image SHA-256", "Program",
    "Program version", "Host", "User",
};
constexpr int ShownColumns = sizeof(Captions) / sizeof(Captions[0]);

}  // namespace

// Every cell holds what was recorded, from outside in part (versions, file
// names, messages): on one line, with nothing that reorders what is shown.
QVariant THistoryModel::data(const QModelIndex& Index, int Role) const
{
    const QVariant shown = Shown(Index, Role);
    if (Role == Qt::DisplayRole && shown.typeId() == QMetaType::QString)
        return OutsideText::OneLine(shown.toString());
    return shown;
}

QVariant THistoryModel::Shown(const QModelIndex& Index, int Role) const
{
    const QVariant value = QSqlQueryModel::data(Index, Role);
    if (Role == Qt::TextAlignmentRole && (Index.column() == colPages || Index.column() == colResends))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (Role != Qt::DisplayRole || !Index.isValid())
        return value;
    auto field = [&](int Column) { return QSqlQueryModel::data(index(Index.row(), Column), Qt::DisplayRole); };
    switch (Index.column()) {
    case colStarted:
    case colEnded: {
        const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
        return time.isValid() ? time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : value;
    }
    case colOutcome:
        if (value.toString() == HistoryOutcome::InProgress &&
            TUpgradeHistory::WriterGone(field(colWriterHost).toString(), field(colWriterBoot).toString(),
                                        field(colWriterPid).toLongLong(), field(colWriterStart).toLongLong()))
            return HistoryOutcome::Unfinished;
        return value;
    case colImageFile:
        return QFileInfo(value.toString()).fileName();
    case colMessage:
        return value.toString().simplified();
    default:
        return value;
    }
}

THistoryDialog::THistoryDialog(const QString& Path, QWidget* Parent)
    : QDialog(Parent), FHistory(std::make_unique<TUpgradeHistory>(Path)), FModel(std::make_unique<THistoryModel>())
{
    setObjectName("frmHistory");
    setWindowTitle("Upgrade History");
    lblHistory = new QLabel(this);
    lblHistory->setObjectName("lblHistory");
    lblHistory->setWordWrap(true);
    lblHistory->setTextFormat(Qt::PlainText);  // it names the file and what was wrong with it
    lblHistory->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grdHistory = new QTableView(this);
    grdHistory->setObjectName("grdHistory");
    grdHistory->setModel(FModel.get());
    grdHistory->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdHistory->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdHistory->setAlternatingRowColors(true);
    grdHistory->verticalHeader()->hide();
    grdHistory->verticalHeader()->setDefaultSectionSize(grdHistory->fontMetrics().height() + 6);
    grdHistory->horizontalHeader()->setStretchLastSection(true);
    cbRefresh = new QPushButton("Refresh", this);
    cbRefresh->setObjectName("cbRefresh");
    cbClose = new QPushButton("Close", this);
    cbClose->setObjectName("cbClose");
    connect(cbRefresh, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(cbClose, &QPushButton::clicked, this, &QDialog::close);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cbRefresh);
    buttons->addWidget(cbClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblHistory);
    layout->addWidget(grdHistory, 1);
    layout->addLayout(buttons);
    resize(900, 360);
    Refresh();
}

THistoryDialog::~THistoryDialog()
{
    grdHistory->setModel(nullptr);
    FModel.reset();  // its query goes before the history's connection
}

void THistoryDialog::Refresh()
{
    FModel->clear();
    if (!FHistory->Enabled()) {
        lblHistory->setText("No upgrade history is kept: KT4_HISTORY is set but empty.");
        return;
    }
    const QString path = FHistory->Path();
    QSqlDatabase db = FHistory->Database();
    if (!db.isValid() || !db.isOpen()) {
        const QString warning = FHistory->Warning();
        lblHistory->setText(warning.isEmpty() ? QString("No upgrade has been recorded in %1.").arg(path) : warning);
        return;
    }
    FModel->setQuery(QSqlQuery(Selected, db));
    while (FModel->canFetchMore())
        FModel->fetchMore();  // all of it, so that no read stays open on the file
    for (int column = 0; column < ShownColumns; ++column)
        FModel->setHeaderData(column, Qt::Horizontal, Captions[column]);
    for (int column = ShownColumns; column < FModel->columnCount(); ++column)
        grdHistory->setColumnHidden(column, true);
    if (FModel->lastError().isValid())
        lblHistory->setText(QString("The upgrade history %1 could not be read (%2).")
                                .arg(path, FModel->lastError().text()));
    else
        lblHistory->setText(QString("%1 upgrade attempt%2, newest first, in %3.")
                                .arg(FModel->rowCount())
                                .arg(FModel->rowCount() == 1 ? "" : "s", path));
    grdHistory->resizeColumnsToContents();
}

THistoryDialog* ShowUpgradeHistory(QWidget* Parent)
{
    auto* dialog = Parent ? Parent->findChild<THistoryDialog*>("frmHistory", Qt::FindDirectChildrenOnly) : nullptr;
    if (dialog) {
        dialog->Refresh();
    } else {
        dialog = new THistoryDialog(TUpgradeHistory::DefaultPath(), Parent);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}
