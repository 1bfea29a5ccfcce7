#pragma once
// kt4-flash --history: the upgrade history, newest first, as a table for a
// person, as one JSON object per line for a program, or as CSV for a
// spreadsheet.

#include "history/UpgradeHistory.h"  // the file: TUpgradeHistory::DefaultPath()

#include <QString>
#include <cstdio>

// Prints the records of the history file Path (the last Last of them when
// Last > 0), opened read-only: nothing is made, moved or converted. 0 when
// the history could be read (an empty or missing one too), 4 when it could
// not or the file is not a history (the reason, naming it, on standard
// error).
enum class THistoryFormat { Table, Json, Csv };
int RunHistoryCommand(const QString& Path, int Last, THistoryFormat Format, FILE* Out);
