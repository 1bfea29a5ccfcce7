#include "app/HistoryCommand.h"

#include "history/AttemptRows.h"
#include "history/UpgradeHistory.h"
#include "platform/Dialogs.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int HistoryUnreadable = 4;

// One line of a cell: nothing from the file may break the line, drive the
// terminal or reorder what stands beside it.
QString Cell(const QString& Text)
{
    return OutsideText::OneLine(Text);
}

QString Or(const QString& Text, const char* Empty = "-")
{
    return Text.isEmpty() ? QString(Empty) : Text;
}

QString Elided(const QString& Text, int Width)
{
    if (Width <= 0 || Text.size() <= Width)
        return Text;
    return Width <= 3 ? Text.left(Width) : Text.left(Width - 3) + "...";
}

int TerminalWidth(FILE* Out)
{
    winsize size{};
    if (::isatty(fileno(Out)) && ::ioctl(fileno(Out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 0;  // not a terminal: nothing cut
}

void PrintTable(const QList<TUpgradeAttempt>& Rows, FILE* Out)
{
    const QStringList header = {"Started", "Outcome", "Way", "Versions", "Pages", "Image file"};
    QList<QStringList> lines;
    for (const TUpgradeAttempt& row : Rows) {
        const QString where = row.Way.startsWith("dock") ? row.DockAddress : row.Port;
        lines << QStringList{
            row.Started.isValid() ? row.Started.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : QString("-"),
            Cell(row.Outcome),
            Cell((Or(row.Way) + " " + where).trimmed()),
            Cell(Or(row.VersionBefore) + " -> " + Or(row.ImageVersion)),
            QString::number(row.PagesSent),
            Cell(Or(QFileInfo(row.ImageFile).fileName())),
        };
    }
    QList<int> widths;
    for (int column = 0; column < header.size(); ++column) {
        int width = header[column].size();
        for (const QStringList& line : lines)
            width = std::max<int>(width, line[column].size());
        widths << width;
    }
    // On a terminal the way and the file give way, so that a record stays on
    // one line.
    const int columns = TerminalWidth(Out);
    if (columns > 0) {
        auto total = [&widths] {
            int sum = int(widths.size()) - 1;
            for (int width : widths)
                sum += width;
            return sum;
        };
        const int wayMinimum = std::min<int>(widths[2], 16), fileMinimum = std::min<int>(widths[5], 12);
        while (total() > columns - 1 && (widths[2] > wayMinimum || widths[5] > fileMinimum)) {
            if (widths[5] > fileMinimum && widths[5] >= widths[2])
                --widths[5];
            else if (widths[2] > wayMinimum)
                --widths[2];
            else
                --widths[5];
        }
    }
    auto print = [&](const QStringList& Line) {
        QString text;
        for (int column = 0; column < Line.size(); ++column) {
            const QString cell = Elided(Line[column], widths[column]);
            if (column == 4)
                text += cell.rightJustified(widths[column]);
            else if (column == Line.size() - 1)
                text += cell;
            else
                text += cell.leftJustified(widths[column]);
            if (column + 1 < Line.size())
                text += ' ';
        }
        std::fprintf(Out, "%s\n", qPrintable(text));
    };
    print(header);
    for (const QStringList& line : lines)
        print(line);
}

}  // namespace

int RunHistoryCommand(const QString& Path, int Last, THistoryFormat Format, FILE* Out)
{
    TUpgradeHistory history(Path);
    if (!history.Enabled()) {
        std::fprintf(stderr, "kt4-flash: no upgrade history is kept (KT4_HISTORY is set but empty).\n");
        return 0;
    }
    if (!QFileInfo::exists(history.Path())) {
        if (Format == THistoryFormat::Table)
            std::fprintf(Out, "No upgrade has been recorded in %s.\n", qPrintable(Cell(history.Path())));
        return 0;
    }
    const QList<TUpgradeAttempt> rows = history.Records(Last);
    const QString warning = history.Warning();
    if (!warning.isEmpty())
        std::fprintf(stderr, "kt4-flash: %s\n", qPrintable(OutsideText::Lines(warning, ' ')));
    if (Format == THistoryFormat::Json) {
        for (const TUpgradeAttempt& row : rows)
            std::fprintf(Out, "%s\n", QJsonDocument(AttemptRows::Json(row)).toJson(QJsonDocument::Compact).constData());
    } else if (Format == THistoryFormat::Csv) {
        std::fputs(AttemptRows::CsvHeader().constData(), Out);
        for (const TUpgradeAttempt& row : rows)
            std::fputs(AttemptRows::Csv(row).constData(), Out);
    } else if (rows.isEmpty()) {
        if (warning.isEmpty())
            std::fprintf(Out, "No upgrade has been recorded in %s.\n", qPrintable(Cell(history.Path())));
    } else {
        PrintTable(rows, Out);
    }
    std::fflush(Out);
    return warning.isEmpty() ? 0 : HistoryUnreadable;
}
