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

struct TBarChartData {
    QString Title;
    QStringList Categories;
    std::vector<TChartSeries> Series;
    QString ValueTitle;
    bool Stacked = false;
};

// A new chart, the caller owns it.
QChart* MakeBarChart(const TBarChartData& Data);
// The same chart, new values (no flicker).
void UpdateBarChart(QChart* Chart, const TBarChartData& Data);
// The same drawing, as an SVG document.
QByteArray ChartSvg(const TBarChartData& Data, QSize Size);
