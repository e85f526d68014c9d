#include "trend_charts.h"

#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QGraphicsScene>
#include <QPointer>
#include <QSignalBlocker>
#include <QTimer>
#include <QXYSeries>

#include <utility>
#include <vector>

namespace tagris {

namespace {

constexpr char kRedrawQueued[] = "tagrisRedrawQueued";

class ShowWatcher : public QObject {
 public:
  explicit ShowWatcher(QChartView* view) : QObject(view) { view->installEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show)
      if (auto* view = qobject_cast<QChartView*>(watched)) RedrawChart(view);
    return QObject::eventFilter(watched, event);
  }
};

QChartView* VisibleViewOf(QChart* chart) {
  if (!chart || !chart->scene()) return nullptr;
  for (QGraphicsView* v : chart->scene()->views())
    if (v->isVisible())
      if (auto* view = qobject_cast<QChartView*>(v)) return view;
  return nullptr;
}

// A hidden view is redrawn when it is shown; a visible one once the event loop runs.
void Changed(QXYSeries* series) {
  QChartView* view = VisibleViewOf(series->chart());
  if (!view || view->property(kRedrawQueued).toBool()) return;
  view->setProperty(kRedrawQueued, true);
  QTimer::singleShot(0, view, [v = QPointer<QChartView>(view)] {
    if (!v) return;
    v->setProperty(kRedrawQueued, false);
    if (v->isVisible()) RedrawChart(v);
  });
}

}  // namespace

void WatchChartView(QChartView* view) { new ShowWatcher(view); }

void CapSeries(QXYSeries* series, int cap) {
  if (series->count() < cap) return;
  {
    const QSignalBlocker quiet(series);
    series->remove(0);
  }
  Changed(series);
}

void AppendPoint(QXYSeries* series, QPointF point) {
  {
    const QSignalBlocker quiet(series);
    series->append(point);
  }
  Changed(series);
}

void ClearSeries(QXYSeries* series) {
  {
    const QSignalBlocker quiet(series);
    series->clear();
  }
  Changed(series);
}

void ChangeAxes(QChart* chart, const std::function<void()>& change) {
  if (VisibleViewOf(chart)) {
    change();
    return;
  }
  // Chart items of empty series skip the recompute; the lists are shared, not copied.
  std::vector<std::pair<QXYSeries*, QList<QPointF>>> held;
  for (QAbstractSeries* s : chart->series())
    if (auto* xy = qobject_cast<QXYSeries*>(s)) {
      held.emplace_back(xy, xy->points());
      const QSignalBlocker quiet(xy);
      xy->replace(QList<QPointF>());
    }
  change();
  for (auto& [xy, points] : held) {
    const QSignalBlocker quiet(xy);
    xy->replace(points);
  }
}

void RedrawChart(QChartView* view) {
  QChart* chart = view->chart();
  if (!chart) return;
  for (QAbstractSeries* s : chart->series())
    if (auto* xy = qobject_cast<QXYSeries*>(s)) xy->replace(xy->points());
}

}  // namespace tagris
