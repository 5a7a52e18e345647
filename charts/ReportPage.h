#pragma once
// What the HTML reports share (the shift report, a loop run's page): an
// XHTML-shaped page that needs nothing beside it, its style inline and sized
// for A4, and its charts drawn by this module as inline SVG.

#include "charts/LineCharts.h"

#include <QString>

#include <vector>

// The page up to its heading: doctype, title, the shared style followed by
// ExtraStyle (the report's own rules), and <h1>Title</h1>.
QString ReportPageStart(const QString& Title, const char* ExtraStyle);
// "<h2>Charts</h2>" and each chart in a block of its own, 180 by 90 mm.
QString ReportChartsSection(const std::vector<TBarChartData>& Charts);
// The page's end.
QString ReportPageEnd();

// Text for a page: escaped, "-" for none.
inline QString PageText(const QString& Text) { return Text.isEmpty() ? QStringLiteral("-") : Text.toHtmlEscaped(); }
