#pragma once
// One series of a chart's values, Qt Core only: the ledger fills it without
// knowing how a chart is drawn.

#include <QString>

#include <vector>

struct TChartSeries {
    QString Name;
    std::vector<double> Values; // one value per category
};
