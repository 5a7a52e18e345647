#pragma once
// A loop run's report page: one XHTML-shaped file that needs nothing beside
// it (its CSS and its two charts' SVG inline, no script, no link out), drawn
// from the run's files as records/LoopRunFiles.h reads them: the run's
// settings and totals, its cycles per minute, its failed cycles per minute
// by kind (stacked), and the events file's first rows. Each total sits in a
// cell that names it (data-total="cycles"), each setting likewise
// (data-setting="port"), so that a check can read the page back. Needs a
// QApplication (charts/ChartsApplication.h).

#include "charts/ChartSeries.h"
#include "charts/LineCharts.h"

#include <QByteArray>

#include <vector>

// The page's two charts: cycles per minute, failed cycles by kind.
std::vector<TBarChartData> LoopReportCharts(const TLoopRunData& Run);

// The page, UTF-8; empty when no chart can be drawn (no QApplication).
QByteArray LoopReportHtml(const TLoopRunData& Run);
