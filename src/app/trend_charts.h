#pragma once
// Point bookkeeping of the trend charts. The chart items of Qt Charts rebuild the
// whole polyline on every point added or removed, which makes one measurement
// update cost grow with the points held (up to 10000 per series). So the series
// change with their signals blocked, and a chart is redrawn from its series with
// one full replace when its view is shown and, while the view is visible, once
// per pass of the event loop. The series themselves always hold the exact points.
// The chart items are stale between redraws, so the drawn series must change
// only through these functions (a plain append or remove would patch a stale item).
#include <QPointF>

#include <functional>

QT_BEGIN_NAMESPACE
class QChart;
class QChartView;
class QXYSeries;
QT_END_NAMESPACE

namespace tagris {

// Redraws view's chart from its series whenever the view is shown.
void WatchChartView(QChartView* view);

// Drops point 0 when the series already holds `cap` points.
void CapSeries(QXYSeries* series, int cap);
void AppendPoint(QXYSeries* series, QPointF point);
void ClearSeries(QXYSeries* series);

// Runs change (axis range moves) on chart. An axis move makes every chart item
// recompute all its points; a hidden chart skips that and is redrawn when shown.
void ChangeAxes(QChart* chart, const std::function<void()>& change);

// Brings every chart item of view's chart up to date with its series.
void RedrawChart(QChartView* view);

}  // namespace tagris
