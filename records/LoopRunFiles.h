#pragma once
// A loop run's files read back, for its report page: the minute rows
// (<stem>.csv), the summary (<stem>.json) and the events (<stem>-events.csv)
// that records/RunReport.h writes; and the page written beside them. The
// page itself is drawn by whoever may draw (charts/LoopReport.h), handed in.
// Qt Core only; nothing here throws.

#include "charts/ChartSeries.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The events a page lists at most; the rest are counted.
constexpr int LoopReportEventRows = 1000;
// The bars a chart gets at most: a longer run's minutes are taken a few
// to a bar.
constexpr int LoopReportBars = 120;

// The run's stem (its path without ".csv") from its CSV, its events file,
// its summary or the stem itself.
QString LoopRunStem(const QString& CsvOrStem);

// The run's figures, or none with Problem saying why ("FILE: reason"): its
// CSV is missing, unreadable or no run's, or a file beside it is unreadable.
// A summary or an events file that is not there is said in the data's Note.
std::optional<TLoopRunData> ReadLoopRun(const QString& CsvOrStem, QString* Problem);

// Draws a run's page; an empty page when it cannot be drawn.
using TLoopReportDraw = std::function<QByteArray(const TLoopRunData& Run)>;

enum class TLoopReportEnd { Written,
    RunUnreadable, // ReadLoopRun failed: nothing written
    NotWritten };  // the page could not be drawn or written

struct TLoopReportResult {
    TLoopReportEnd End = TLoopReportEnd::NotWritten;
    QString Html;    // the page's path, when written
    QString Problem; // why not
};

// Reads the run, draws its page and writes it to Html (empty: <stem>.html)
// whole or not at all (protocol/SafeFile.h's ReplaceFile).
TLoopReportResult WriteLoopReport(const QString& CsvOrStem, const QString& Html, const TLoopReportDraw& Draw);
