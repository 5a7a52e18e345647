#pragma once
// One series of a chart's values, and a loop run's figures for its report
// page, Qt Core only: the records fill them without knowing how a chart is
// drawn.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <utility>
#include <vector>

struct TChartSeries {
    QString Name{};
    std::vector<double> Values{}; // one value per category
};

// A row of a loop run's events file.
struct TLoopRunEvent {
    QString Time{};
    qint64 Cycle = 0;
    QString Kind{};
    qint64 Count = 0;
    QString Detail{};
};

// A loop run's files read back (records/LoopRunFiles.h), as its report page
// shows them. (Each member initialized, so that a test names only what it
// sets.)
struct TLoopRunData {
    QString Csv{};                                       // the minute rows' file
    QString Kind{};                                      // loop-read, loop-write
    QString Start{};                                     // as the summary or the first row says
    QString Stop{};                                      // "" when the run left no summary
    std::vector<std::pair<QString, QString>> Settings{}; // the summary's, name and value
    std::vector<std::pair<QString, qint64>> Totals{};    // cycles, search_failures, ... as the CSV names them
    QString CyclesPerMinute{};                           // over the whole run, as written
    QString ElapsedS{};
    QString Note{}; // what is missing, said on the page ("" when nothing)
    // A category a minute row; the cycles per minute of each, and for each
    // kind of event the failed cycles in it.
    QStringList Minutes{};
    std::vector<double> CycleRates{};
    std::vector<TChartSeries> FailuresByKind{};
    // The first rows of the events file, and how many more it has.
    std::vector<TLoopRunEvent> Events{};
    qint64 MoreEvents = 0;
};
