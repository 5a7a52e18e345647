#include "charts/LoopReport.h"

#include "charts/ChartsApplication.h"
#include "charts/ReportPage.h"

namespace {

// The loop page's own rules beside the shared ones.
const char* const LoopStyle = "td.detail { text-align: left; }\n"
                              ".note { color: #a40; }\n";

QString Escaped(const QString& Text) { return Text.toHtmlEscaped(); }

QString Facts(const TLoopRunData& Run)
{
    QString page = QStringLiteral("<h2>Run</h2>\n<table class=\"run\">\n");
    for (const auto& [name, value] : std::vector<std::pair<QString, QString>>{{QStringLiteral("report"), Run.Csv}, {QStringLiteral("kind"), Run.Kind},
             {QStringLiteral("start"), Run.Start}, {QStringLiteral("stop"), Run.Stop}, {QStringLiteral("elapsed_s"), Run.ElapsedS},
             {QStringLiteral("cycles_per_minute"), Run.CyclesPerMinute}})
        page += QStringLiteral("<tr><th>%1</th><td data-field=\"%1\">%2</td></tr>\n").arg(Escaped(name), PageText(value));
    for (const auto& [name, value] : Run.Settings)
        page += QStringLiteral("<tr><th>%1</th><td data-setting=\"%1\">%2</td></tr>\n").arg(Escaped(name), PageText(value));
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
    QString page = ReportPageStart(QStringLiteral("Loop run report"), LoopStyle);
    if (!Run.Note.isEmpty())
        page += QStringLiteral("<p class=\"note\">%1</p>\n").arg(Escaped(Run.Note));
    page += Facts(Run);
    page += ReportChartsSection(LoopReportCharts(Run));
    page += EventTable(Run);
    return (page + ReportPageEnd()).toUtf8();
}
