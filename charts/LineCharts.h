#pragma once
// The production line's charts: bars per category, drawn once by Qt Charts
// for a window and for a report's SVG pictures alike. A QChart is a
// QGraphicsWidget, so every call needs a QApplication.

#include "charts/ChartSeries.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

class QChart;

// (Each member initialized, so that a chart may name only the fields it
// sets.)
struct TBarChartData {
    QString Title{};
    QStringList Categories{};
    std::vector<TChartSeries> Series{};
    QString ValueTitle{};
    bool Stacked = false;
};

// A new chart, the caller owns it.
QChart* MakeBarChart(const TBarChartData& Data);
// The same chart, new values (no flicker).
void UpdateBarChart(QChart* Chart, const TBarChartData& Data);
// The same drawing, as an SVG document.
QByteArray ChartSvg(const TBarChartData& Data, QSize Size);
// An SVG document as a part of an XHTML page: without its XML declaration,
// its size left to the page's style, and its ids made its own by the
// chart's number in the page (the charts' gradients share names otherwise,
// and a reference finds the first).
QString InlineSvg(const QByteArray& Svg, int Chart);
