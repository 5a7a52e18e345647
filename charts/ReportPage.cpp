#include "charts/ReportPage.h"

#include <QSize>

namespace {

// A chart's size in the page: 180 by 90 mm fit an A4 page's width within
// its margins, two charts to a page with the tables.
const QSize ChartPixels(600, 300);

const char* const PageStyle = "@page { size: A4; margin: 15mm; }\n"
                              "body { font-family: sans-serif; font-size: 10pt; color: #222; }\n"
                              "h1 { font-size: 16pt; margin: 0 0 0.3em 0; }\n"
                              "h2 { font-size: 12pt; margin: 1em 0 0.3em 0; }\n"
                              "p, dl { margin: 0.3em 0; }\n"
                              "table { border-collapse: collapse; font-size: 8.5pt; }\n"
                              "th, td { border: 1px solid #bbb; padding: 2px 5px; text-align: right; }\n"
                              "th:first-child, td:first-child { text-align: left; }\n"
                              "th { background: #eee; }\n"
                              "section, .chart { page-break-inside: avoid; break-inside: avoid; }\n"
                              ".chart svg { width: 180mm; max-width: 100%; height: 90mm; }\n";

} // namespace

QString ReportPageStart(const QString& Title, const char* ExtraStyle)
{
    return QStringLiteral("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"utf-8\" />\n"
                          "<title>%1</title>\n<style>\n%2%3</style>\n</head>\n<body>\n<h1>%1</h1>\n")
        .arg(Title.toHtmlEscaped(), QLatin1String(PageStyle), QLatin1String(ExtraStyle));
}

QString ReportChartsSection(const std::vector<TBarChartData>& Charts)
{
    QString section = QStringLiteral("<h2>Charts</h2>\n");
    int chart = 0;
    for (const TBarChartData& data : Charts)
        section += QStringLiteral("<div class=\"chart\">%1</div>\n").arg(InlineSvg(ChartSvg(data, ChartPixels), ++chart));
    return section;
}

QString ReportPageEnd() { return QStringLiteral("</body>\n</html>\n"); }
