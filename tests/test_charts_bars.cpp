// The line's bar charts: made, updated in place, drawn into SVG.
#include "charts/LineCharts.h"

#include <gtest/gtest.h>

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QLegend>
#include <QStackedBarSeries>
#include <QValueAxis>

#include <memory>

namespace {

TBarChartData TwoStations()
{
    return {.Title = QStringLiteral("Cards per 10 minutes"),
        .Categories = {QStringLiteral("06:00"), QStringLiteral("06:10"), QStringLiteral("06:20")},
        .Series = {{QStringLiteral("desk-1"), {3, 0, 5}}, {QStringLiteral("desk-2"), {1, 2, 0}}},
        .ValueTitle = QStringLiteral("cards"),
        .Stacked = true};
}

std::vector<double> ValuesOf(const QBarSet* Set)
{
    std::vector<double> values;
    for (qsizetype i = 0; i < Set->count(); ++i)
        values.push_back(Set->at(i));
    return values;
}

TEST(ChartsBars, ChartHoldsTheSeriesAxesAndTitle)
{
    const std::unique_ptr<QChart> chart(MakeBarChart(TwoStations()));
    EXPECT_EQ(chart->title(), QStringLiteral("Cards per 10 minutes"));
    EXPECT_EQ(chart->animationOptions(), QChart::NoAnimation);
    ASSERT_EQ(chart->series().size(), 1);
    const auto* bars = qobject_cast<QStackedBarSeries*>(chart->series().front());
    ASSERT_NE(bars, nullptr);
    ASSERT_EQ(bars->count(), 2);
    EXPECT_EQ(bars->barSets()[0]->label(), QStringLiteral("desk-1"));
    EXPECT_EQ(ValuesOf(bars->barSets()[1]), (std::vector<double>{1, 2, 0}));
    auto* categories = qobject_cast<QBarCategoryAxis*>(chart->axes(Qt::Horizontal).value(0));
    ASSERT_NE(categories, nullptr);
    EXPECT_EQ(categories->categories(), TwoStations().Categories);
    auto* values = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).value(0));
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values->titleText(), QStringLiteral("cards"));
    EXPECT_GE(values->max(), 5.0); // the highest stack
    EXPECT_TRUE(chart->legend()->isVisible());
}

TEST(ChartsBars, UpdateKeepsTheSeriesAndReplacesTheValues)
{
    const std::unique_ptr<QChart> chart(MakeBarChart(TwoStations()));
    QAbstractSeries* before = chart->series().front();
    TBarChartData next = TwoStations();
    next.Categories << QStringLiteral("06:30");
    next.Series = {{QStringLiteral("desk-1"), {4, 1, 5, 9}}};
    UpdateBarChart(chart.get(), next);
    ASSERT_EQ(chart->series().size(), 1);
    EXPECT_EQ(chart->series().front(), before);
    const auto* bars = qobject_cast<QStackedBarSeries*>(before);
    ASSERT_EQ(bars->count(), 1);
    EXPECT_EQ(ValuesOf(bars->barSets()[0]), (std::vector<double>{4, 1, 5, 9}));
    EXPECT_EQ(qobject_cast<QBarCategoryAxis*>(chart->axes(Qt::Horizontal).value(0))->count(), 4);
    EXPECT_FALSE(chart->legend()->isVisible()); // one series
    // Side by side bars are another kind of series.
    next.Stacked = false;
    UpdateBarChart(chart.get(), next);
    ASSERT_EQ(chart->series().size(), 1);
    EXPECT_EQ(chart->series().front()->type(), QAbstractSeries::SeriesTypeBar);
    EXPECT_EQ(chart->axes().size(), 2);
}

TEST(ChartsBars, SvgIsTheChartsDrawing)
{
    const QByteArray svg = ChartSvg(TwoStations(), QSize(600, 300));
    EXPECT_TRUE(svg.contains("<svg")) << svg.left(200).constData();
    EXPECT_TRUE(svg.contains("viewBox=\"0 0 600 300\"")) << svg.left(400).constData();
    // The title and the legend's names are drawn as text.
    EXPECT_TRUE(svg.contains("Cards per 10 minutes"));
    EXPECT_TRUE(svg.contains("desk-2"));
    EXPECT_TRUE(svg.contains("06:20"));
}

} // namespace
