#pragma once
// ledger --report FILE: the shift report, one HTML file that needs nothing
// beside it (its CSS and its four charts' SVG inline, no script) and prints
// on A4. Every number in its text and tables is the summary's, the one
// --summary prints for the same records; the charts draw the ledger's
// series of them.

#include "charts/LineCharts.h"
#include "records/Ledger.h"

#include <QStringList>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct TCardOptions;

// The four charts: cards per 10 minutes per station (stacked), failures by
// cause, card times, yield per station.
std::vector<TBarChartData> ShiftReportCharts(const TLedgerSeries& Series);

// The report's page. Filters: what narrowed the records, as name and value.
std::string ShiftReportHtml(const QString& Ledger, const std::vector<std::pair<QString, QString>>& Filters, const TLedgerSummary& Summary,
    const TLedgerSeries& Series);

// Reads the summary and the series Options' filters let through and writes
// the report to Options.ReportFile, whole or not at all. The exit status.
int WriteShiftReport(TLedger& Ledger, const TCardOptions& Options, const std::function<void(const std::string&)>& Say);
