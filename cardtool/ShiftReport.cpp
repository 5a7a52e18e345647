// The shift report's page: XHTML-shaped (every element closed, every text
// escaped), so that an SVG drawn by the charts sits in it as it is. Each
// number of the summary is in a cell that names its field (data-field, the
// JSON summary's key), so that a check can read the page back.
#include "cardtool/ShiftReport.h"

#include "cardtool/CardOptions.h"
#include "cardtool/Output.h"
#include "charts/ChartsApplication.h"
#include "charts/ReportPage.h"
#include "protocol/SafeFile.h"

#include <QDateTime>

#include <cstdio>
#include <map>

namespace {

// The shift page's own rules beside the shared ones.
const char* const ShiftStyle = "dt { float: left; clear: left; width: 6em; font-weight: bold; }\n"
                               "dd { margin-left: 6em; }\n"
                               "table { page-break-inside: avoid; break-inside: avoid; }\n";

QString Escaped(const QString& Text) { return Text.toHtmlEscaped(); }

QString OrDash(const QString& Text) { return Text.isEmpty() ? QStringLiteral("-") : Text; }

QString Causes(const TLedgerSummaryLine& Line)
{
    QStringList causes;
    for (const auto& [code, count] : Line.FailedByCause)
        causes << QStringLiteral("%1 %2").arg(OrDash(code)).arg(count);
    return causes.isEmpty() ? QStringLiteral("-") : causes.join(QStringLiteral(", "));
}

// The summary's figures of a line, each with its field's name, as --summary
// --json names them; cards an hour with one decimal, as --summary prints it.
std::vector<std::pair<const char*, QString>> Figures(const TLedgerSummaryLine& Line)
{
    const auto ms = [](const std::optional<qint64>& Value) { return Value ? QString::number(*Value) : QStringLiteral("-"); };
    return {{"done", QString::number(Line.Done)}, {"failed", QString::number(Line.Failed)}, {"failed_by_cause", Causes(Line)},
        {"repeats", QString::number(Line.Repeats)}, {"first", OrDash(Line.First)}, {"last", OrDash(Line.Last)},
        {"cards_per_hour", Line.CardsPerHour ? QString::number(*Line.CardsPerHour, 'f', 1) : QStringLiteral("-")}, {"median_ms", ms(Line.MedianMs)},
        {"p95_ms", ms(Line.P95Ms)}, {"rows_left", QString::number(Line.RowsLeft)}, {"open_claims", QString::number(Line.OpenClaims)}};
}

const QStringList FigureHeads{QStringLiteral("done"), QStringLiteral("failed"), QStringLiteral("causes"), QStringLiteral("repeats"),
    QStringLiteral("first"), QStringLiteral("last"), QStringLiteral("cards/h"), QStringLiteral("median ms"), QStringLiteral("p95 ms"),
    QStringLiteral("rows left"), QStringLiteral("open claims")};

QString Cells(const TLedgerSummaryLine& Line)
{
    QString cells;
    for (const auto& [field, text] : Figures(Line))
        cells += QStringLiteral("<td data-field=\"%1\">%2</td>").arg(QLatin1String(field), Escaped(text));
    return cells;
}

QString Heads(const QString& First)
{
    QString heads = First.isEmpty() ? QString() : QStringLiteral("<th>%1</th>").arg(First);
    for (const QString& head : FigureHeads)
        heads += QStringLiteral("<th>%1</th>").arg(head);
    return QStringLiteral("<tr>%1</tr>\n").arg(heads);
}

// "06:00" when every bucket is of one day, else "12-08 06:00".
QStringList BucketLabels(const QStringList& Buckets)
{
    const bool oneDay = Buckets.isEmpty() || Buckets.front().left(10) == Buckets.back().left(10);
    QStringList labels;
    for (const QString& bucket : Buckets)
        labels << (oneDay ? bucket.mid(11, 5) : bucket.mid(5, 5) + QLatin1Char(' ') + bucket.mid(11, 5));
    return labels;
}

} // namespace

std::vector<TBarChartData> ShiftReportCharts(const TLedgerSeries& Series)
{
    std::vector<TBarChartData> charts;
    charts.push_back({.Title = QStringLiteral("Done cards per 10 minutes"),
        .Categories = BucketLabels(Series.Buckets),
        .Series = Series.CardsPer10Min,
        .ValueTitle = QStringLiteral("cards"),
        .Stacked = true});
    TBarChartData causes{.Title = QStringLiteral("Failures by cause"), .Series = {{QStringLiteral("failures"), {}}}, .ValueTitle = QStringLiteral("cards")};
    for (const auto& [cause, count] : Series.FailuresByCause) {
        causes.Categories << OrDash(cause);
        causes.Series.front().Values.push_back(count);
    }
    charts.push_back(causes);
    TBarChartData times{.Title = QStringLiteral("Card times (done cards)"),
        .Categories = Series.DurationBins,
        .Series = {{QStringLiteral("cards"), {}}},
        .ValueTitle = QStringLiteral("cards")};
    for (const int count : Series.DurationCounts)
        times.Series.front().Values.push_back(count);
    charts.push_back(times);
    TBarChartData yield{
        .Title = QStringLiteral("Yield by station: done / (done + failed)"), .Series = {{QStringLiteral("yield"), {}}}, .ValueTitle = QStringLiteral("%")};
    for (const auto& [station, share] : Series.YieldByStation) {
        yield.Categories << station;
        yield.Series.front().Values.push_back(share * 100.0);
    }
    charts.push_back(yield);
    return charts;
}

std::string ShiftReportHtml(const QString& Ledger, const std::vector<std::pair<QString, QString>>& Filters, const TLedgerSummary& Summary,
    const TLedgerSeries& Series)
{
    QString page = ReportPageStart(QStringLiteral("Shift report"), ShiftStyle);
    page += QStringLiteral("<p>Ledger: <span data-field=\"ledger\">%1</span></p>\n<dl class=\"filters\">\n").arg(Escaped(Ledger));
    for (const auto& [name, value] : Filters)
        page += QStringLiteral("<dt>%1</dt><dd data-filter=\"%1\">%2</dd>\n").arg(Escaped(name), Escaped(value));
    page += QStringLiteral("</dl>\n");

    page += QStringLiteral("<h2>Total</h2>\n<table class=\"total\">\n") + Heads({}) + QStringLiteral("<tr data-total=\"total\">%1</tr>\n</table>\n").arg(Cells(Summary.Total));

    // A table a station, a line a batch it worked on.
    std::map<QString, std::vector<const TLedgerSummaryLine*>> stations;
    for (const TLedgerSummaryLine& line : Summary.Groups)
        stations[line.Station].push_back(&line);
    for (const auto& [station, lines] : stations) {
        page += QStringLiteral("<section class=\"station\">\n<h2>Station %1</h2>\n<table>\n").arg(PageText(station)) + Heads(QStringLiteral("batch"));
        for (const TLedgerSummaryLine* line : lines)
            page += QStringLiteral("<tr data-station=\"%1\" data-batch=\"%2\"><td>%3</td>%4</tr>\n")
                        .arg(Escaped(station), Escaped(line->Batch), PageText(line->Batch), Cells(*line));
        page += QStringLiteral("</table>\n</section>\n");
    }

    page += ReportChartsSection(ShiftReportCharts(Series)) + ReportPageEnd();
    return page.toUtf8().toStdString();
}

int WriteShiftReport(TLedger& Ledger, const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    if (!ChartsCanDraw()) {
        Say("the report's charts cannot be drawn: the program was started without its drawing application");
        return ExitNotDone;
    }
    const TLedgerFilter filter{.Batch = Options.BatchName, .Station = Options.Station, .Since = Options.Since, .Until = Options.Until, .Result = Options.Result};
    // The same call --summary makes, so that the two agree.
    const std::optional<TLedgerSummary> summary = Ledger.Summary(filter, Options.LocalTimes);
    const std::optional<TLedgerSeries> series = summary ? Ledger.Series(filter, Options.LocalTimes) : std::nullopt;
    if (!summary || !series) {
        Say("the ledger cannot be summed up: " + Ledger.Error().toStdString());
        return ExitLedgerFailed;
    }
    const auto time = [&Options](const QDateTime& When) {
        return Options.LocalTimes ? When.toLocalTime().toString(Qt::ISODate) : When.toUTC().toString(Qt::ISODate);
    };
    std::vector<std::pair<QString, QString>> filters;
    for (const auto& [name, value] : {std::pair{"batch", Options.BatchName}, std::pair{"station", Options.Station}})
        if (!value.isEmpty())
            filters.emplace_back(QLatin1String(name), value);
    if (Options.Since.isValid())
        filters.emplace_back(QStringLiteral("since"), time(Options.Since));
    if (Options.Until.isValid())
        filters.emplace_back(QStringLiteral("until"), time(Options.Until));
    if (!Options.Result.isEmpty())
        filters.emplace_back(QStringLiteral("result"), Options.Result);
    if (filters.empty())
        filters.emplace_back(QStringLiteral("records"), QStringLiteral("all"));
    filters.emplace_back(QStringLiteral("times"), Options.LocalTimes ? QStringLiteral("local") : QStringLiteral("UTC"));

    const std::string html = ShiftReportHtml(Ledger.Place(), filters, *summary, *series);
    std::string error;
    if (!ReplaceFile(Options.ReportFile, std::span(reinterpret_cast<const uint8_t*>(html.data()), html.size()), error)) {
        Say("the report cannot be written: " + error);
        return ExitNotDone;
    }
    return ExitDone;
}
