#include "charts/LoopReport.h"

#include "charts/ChartsApplication.h"

#include <QSize>

namespace {

const QSize ChartPixels(600, 300);

const char* const PageStyle = "@page { size: A4; margin: 15mm; }\n"
                              "body { font-family: sans-serif; font-size: 10pt; color: #222; }\n"
                              "h1 { font-size: 16pt; margin: 0 0 0.3em 0; }\n"
                              "h2 { font-size: 12pt; margin: 1em 0 0.3em 0; }\n"
                              "p { margin: 0.3em 0; }\n"
                              "table { border-collapse: collapse; font-size: 8.5pt; }\n"
                              "th, td { border: 1px solid #bbb; padding: 2px 5px; text-align: right; }\n"
                              "th:first-child, td:first-child { text-align: left; }\n"
                              "td.detail { text-align: left; }\n"
                              "th { background: #eee; }\n"
                              ".note { color: #a40; }\n"
                              ".chart { page-break-inside: avoid; break-inside: avoid; }\n"
                              ".chart svg { width: 180mm; max-width: 100%; height: 90mm; }\n";

QString Escaped(const QString& Text) { return Text.toHtmlEscaped(); }

QString OrDash(const QString& Text) { return Text.isEmpty() ? QStringLiteral("-") : Text; }

QString Facts(const TLoopRunData& Run)
{
    QString page = QStringLiteral("<h2>Run</h2>\n<table class=\"run\">\n");
    for (const auto& [name, value] : std::vector<std::pair<QString, QString>>{{QStringLiteral("report"), Run.Csv}, {QStringLiteral("kind"), Run.Kind},
             {QStringLiteral("start"), Run.Start}, {QStringLiteral("stop"), Run.Stop}, {QStringLiteral("elapsed_s"), Run.ElapsedS},
             {QStringLiteral("cycles_per_minute"), Run.CyclesPerMinute}})
        page += QStringLiteral("<tr><th>%1</th><td data-field=\"%1\">%2</td></tr>\n").arg(Escaped(name), Escaped(OrDash(value)));
    for (const auto& [name, value] : Run.Settings)
        page += QStringLiteral("<tr><th>%1</th><td data-setting=\"%1\">%2</td></tr>\n").arg(Escaped(name), Escaped(OrDash(value)));
    page += QStringLiteral("</table>\n<h2>Totals</h2>\n<table class=\"totals\">\n<tr>");
    for (const auto& [name, value] : Run.Totals)
        page += QStringLiteral("<th>%1</th>").arg(Escaped(name));
    page += QStringLiteral("</tr>\n<tr>");
    for (const auto& [name, value] : Run.Totals)
        page += QStringLiteral("<td data-total=\"%1\">%2</td>").arg(Escaped(name)).arg(value);
    return page + QStringLiteral("</tr>\n</table>\n");
}

QString EventTable(const TLoopRunData& Run)
{
    QString page = QStringLiteral("<h2>Events</h2>\n");
    if (Run.Events.empty())
        return page + QStringLiteral("<p data-field=\"events\">No failed cycle.</p>\n");
    page += QStringLiteral("<table class=\"events\">\n<tr><th>time</th><th>cycle</th><th>kind</th><th>count</th><th>detail</th></tr>\n");
    for (const TLoopRunEvent& event : Run.Events)
        page += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td class=\"detail\">%5</td></tr>\n")
                    .arg(Escaped(event.Time))
                    .arg(event.Cycle)
                    .arg(Escaped(event.Kind))
                    .arg(event.Count)
                    .arg(Escaped(event.Detail));
    page += QStringLiteral("</table>\n");
    if (Run.MoreEvents > 0)
        page += QStringLiteral("<p data-field=\"more_events\">%1 more rows in the events file.</p>\n").arg(Run.MoreEvents);
    return page;
}

} // namespace

std::vector<TBarChartData> LoopReportCharts(const TLoopRunData& Run)
{
    return {{.Title = QStringLiteral("Cycles per minute"),
                .Categories = Run.Minutes,
                .Series = {{QStringLiteral("cycles per minute"), Run.CycleRates}},
                .ValueTitle = QStringLiteral("cycles/min")},
        {.Title = QStringLiteral("Failed cycles by kind"),
            .Categories = Run.Minutes,
            .Series = Run.FailuresByKind,
            .ValueTitle = QStringLiteral("cycles"),
            .Stacked = true}};
}

QByteArray LoopReportHtml(const TLoopRunData& Run)
{
    if (!ChartsCanDraw())
        return {};
    const QString title = QStringLiteral("Loop run report");
    QString page = QStringLiteral("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"utf-8\" />\n"
                                  "<title>%1</title>\n<style>\n%2</style>\n</head>\n<body>\n<h1>%1</h1>\n")
                       .arg(title, QLatin1String(PageStyle));
    if (!Run.Note.isEmpty())
        page += QStringLiteral("<p class=\"note\">%1</p>\n").arg(Escaped(Run.Note));
    page += Facts(Run);
    page += QStringLiteral("<h2>Charts</h2>\n");
    int chart = 0;
    for (const TBarChartData& data : LoopReportCharts(Run))
        page += QStringLiteral("<div class=\"chart\">%1</div>\n").arg(InlineSvg(ChartSvg(data, ChartPixels), ++chart));
    page += EventTable(Run);
    page += QStringLiteral("</body>\n</html>\n");
    return page.toUtf8();
}
