// Bars by Qt Charts. A chart keeps its series and axes from one update to
// the next, their values replaced in place, so that a window's chart does not
// blink when the line's figures change; only a change between stacked and
// side-by-side bars makes a new series.
#include "charts/LineCharts.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QBuffer>
#include <QChart>
#include <QFont>
#include <QGraphicsScene>
#include <QPainter>
#include <QRegularExpression>
#include <QStackedBarSeries>
#include <QSvgGenerator>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

// Category labels turned on end once there are more than fit side by side
// at 600 pixels (Qt Charts cuts a label short that is wider than its bar).
constexpr int UprightCategories = 8;

QAbstractBarSeries* BarsOf(QChart* Chart, bool Stacked)
{
    const QAbstractSeries::SeriesType wanted = Stacked ? QAbstractSeries::SeriesTypeStackedBar : QAbstractSeries::SeriesTypeBar;
    const QList<QAbstractSeries*> all = Chart->series();
    if (all.size() == 1 && all.front()->type() == wanted)
        return static_cast<QAbstractBarSeries*>(all.front());
    Chart->removeAllSeries();
    for (QAbstractAxis* axis : Chart->axes()) {
        Chart->removeAxis(axis);
        delete axis;
    }
    QAbstractBarSeries* bars = Stacked ? static_cast<QAbstractBarSeries*>(new QStackedBarSeries) : new QBarSeries;
    Chart->addSeries(bars);
    auto* categories = new QBarCategoryAxis;
    auto* values = new QValueAxis;
    Chart->addAxis(categories, Qt::AlignBottom);
    Chart->addAxis(values, Qt::AlignLeft);
    bars->attachAxis(categories);
    bars->attachAxis(values);
    return bars;
}

void SetValues(QBarSet* Set, const std::vector<double>& Values, qsizetype Count)
{
    if (Set->count() != Count)
        Set->remove(0, Set->count());
    for (qsizetype i = 0; i < Count; ++i) {
        const double value = i < qsizetype(Values.size()) ? Values[size_t(i)] : 0.0;
        if (i < Set->count())
            Set->replace(i, value);
        else
            Set->append(value);
    }
}

// The highest bar: a stack's sum, or the highest single value.
double Highest(const TBarChartData& Data)
{
    double top = 0;
    for (qsizetype i = 0; i < Data.Categories.size(); ++i) {
        double stack = 0;
        for (const TChartSeries& series : Data.Series) {
            const double value = i < qsizetype(series.Values.size()) ? series.Values[size_t(i)] : 0.0;
            stack = Data.Stacked ? stack + value : std::max(stack, value);
        }
        top = std::max(top, stack);
    }
    return top;
}

bool AllWhole(const TBarChartData& Data)
{
    for (const TChartSeries& series : Data.Series)
        for (const double value : series.Values)
            if (value != std::floor(value))
                return false;
    return true;
}

} // namespace

QChart* MakeBarChart(const TBarChartData& Data)
{
    auto* chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    QFont title = chart->titleFont();
    title.setBold(true);
    chart->setTitleFont(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    UpdateBarChart(chart, Data);
    return chart;
}

void UpdateBarChart(QChart* Chart, const TBarChartData& Data)
{
    Chart->setTitle(Data.Title);
    QAbstractBarSeries* bars = BarsOf(Chart, Data.Stacked);
    while (bars->count() > qsizetype(Data.Series.size()))
        bars->remove(bars->barSets().back());
    while (bars->count() < qsizetype(Data.Series.size()))
        bars->append(new QBarSet(QString()));
    const QList<QBarSet*> sets = bars->barSets();
    for (size_t i = 0; i < Data.Series.size(); ++i) {
        sets[qsizetype(i)]->setLabel(Data.Series[i].Name);
        SetValues(sets[qsizetype(i)], Data.Series[i].Values, Data.Categories.size());
    }
    bars->setBarWidth(Data.Stacked || Data.Series.size() <= 1 ? 0.8 : 0.9);

    auto* categories = qobject_cast<QBarCategoryAxis*>(Chart->axes(Qt::Horizontal).value(0));
    if (categories->categories() != Data.Categories) {
        categories->clear();
        categories->append(Data.Categories);
    }
    categories->setLabelsAngle(Data.Categories.size() > UprightCategories ? -90 : 0);
    QFont small = categories->labelsFont();
    small.setPointSizeF(Data.Categories.size() > UprightCategories ? 7 : 8);
    categories->setLabelsFont(small);

    auto* values = qobject_cast<QValueAxis*>(Chart->axes(Qt::Vertical).value(0));
    values->setTitleText(Data.ValueTitle);
    values->setLabelsFont(small);
    const bool whole = AllWhole(Data);
    // Whole counts get whole ticks; at least one step, so an empty chart
    // still has an axis.
    values->setRange(0, std::max(Highest(Data), whole ? 1.0 : 0.1));
    values->applyNiceNumbers();
    values->setLabelFormat(whole ? QStringLiteral("%d") : values->max() >= 10 ? QStringLiteral("%.0f")
                                                                              : QStringLiteral("%.2f"));
    if (whole)
        values->setTickType(QValueAxis::TicksFixed);
    if (whole && values->max() < 5)
        values->setTickCount(int(values->max()) + 1);

    Chart->legend()->setVisible(Data.Series.size() > 1);
}

QByteArray ChartSvg(const TBarChartData& Data, QSize Size)
{
    // The chart in a scene of its own, drawn by the same painting code a
    // view uses.
    QGraphicsScene scene;
    QChart* chart = MakeBarChart(Data);
    scene.addItem(chart); // the scene owns it now
    const QRectF area(QPointF(0, 0), QSizeF(Size));
    chart->setGeometry(area);
    scene.setSceneRect(area);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(Size);
    svg.setViewBox(QRect(QPoint(0, 0), Size));
    svg.setTitle(Data.Title);
    QPainter painter(&svg);
    painter.setRenderHint(QPainter::Antialiasing);
    scene.render(&painter, area, area);
    painter.end();
    return buffer.data();
}

QString InlineSvg(const QByteArray& Svg, int Chart)
{
    QString svg = QString::fromUtf8(Svg);
    svg.remove(QRegularExpression(QStringLiteral("^<\\?xml[^>]*\\?>\\s*")));
    svg.replace(QRegularExpression(QStringLiteral("^<svg width=\"[^\"]*\" height=\"[^\"]*\"")), QStringLiteral("<svg"));
    const QString prefix = QStringLiteral("c%1-").arg(Chart);
    svg.replace(QStringLiteral("id=\""), QStringLiteral("id=\"") + prefix);
    svg.replace(QStringLiteral("url(#"), QStringLiteral("url(#") + prefix);
    svg.replace(QStringLiteral("href=\"#"), QStringLiteral("href=\"#") + prefix);
    return svg.trimmed();
}
