// The measurement update: labels, channel table, serial settings and charts.
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QLinearGradient>
#include <QPen>
#include <QTableWidget>
#include <QValueAxis>

#include <utility>

#include "tform1.h"
#include "measure/measure_text.h"
#include "measure/register_block.h"
#include "trend_charts.h"
#include "ui_form1.h"

namespace {

constexpr int kPointCap = 10000;            // points kept per drawn series
constexpr double kStartWindowWidth = 100;   // seconds shown until the first connect
constexpr double kWindowWidth = 10000;      // seconds shown after a connect
constexpr double kWindowStep = 300;         // seconds the window jumps forward

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

void SetCell(QTableWidget* grid, int row, int column, const std::string& text) {
  if (QTableWidgetItem* item = grid->item(row, column)) {
    item->setText(Q(text));
    return;
  }
  auto* item = new QTableWidgetItem(Q(text));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  grid->setItem(row, column, item);
}

QValueAxis* MakeAxis(const QString& title, double min, double max) {
  auto* axis = new QValueAxis;
  axis->setRange(min, max);
  axis->setTitleText(title);
  axis->setLabelFormat(QStringLiteral("%g"));
  return axis;
}

// A chart with a white-to-colour background, no title and no legend.
QChart* BuildChart(QChartView* view, const QColor& gradientEnd, const QString& leftTitle, QValueAxis*& bottom,
                   QValueAxis*& left) {
  auto* chart = new QChart;
  chart->setObjectName(view->objectName() + QStringLiteral("Chart"));
  QLinearGradient background(0, 0, 0, 1);
  background.setCoordinateMode(QGradient::ObjectBoundingMode);
  background.setColorAt(0, Qt::white);
  background.setColorAt(1, gradientEnd);
  chart->setBackgroundBrush(background);
  chart->setPlotAreaBackgroundVisible(false);  // back wall: clear
  chart->legend()->hide();
  chart->setAnimationOptions(QChart::NoAnimation);
  bottom = MakeAxis(QStringLiteral("Время, с"), 0, kStartWindowWidth);
  left = MakeAxis(leftTitle, 0, 100);
  chart->addAxis(bottom, Qt::AlignBottom);
  chart->addAxis(left, Qt::AlignLeft);
  // The view lets go of the chart it was built with instead of deleting it.
  QChart* initial = view->chart();
  view->setChart(chart);
  delete initial;
  tagris::WatchChartView(view);
  return chart;
}

// Line series have one colour: the points the update adds in red show red
// because the drawn series (Series1, Series3) are red themselves.
QLineSeries* AddSeries(QChart* chart, const char* name, const QColor& colour) {
  auto* series = new QLineSeries;
  series->setObjectName(QString::fromLatin1(name));
  QPen pen(colour);
  pen.setWidth(2);
  series->setPen(pen);
  series->setPointsVisible(false);
  series->setUseOpenGL(false);
  chart->addSeries(series);
  for (QAbstractAxis* axis : chart->axes()) series->attachAxis(axis);
  return series;
}

}  // namespace

void TForm1::SetupCharts() {
  Chart1Chart = BuildChart(ui->Chart1, QColor(159, 217, 255), QStringLiteral("Влагосодержание, %"),
                           Chart1BottomAxis, Chart1LeftAxis);
  Series1 = AddSeries(Chart1Chart, "Series1", QColor(255, 0, 0));
  Series2 = AddSeries(Chart1Chart, "Series2", QColor(0, 0, 255));

  Chart2Chart = BuildChart(ui->Chart2, QColor(255, 255, 136), QStringLiteral("Температура, С"),
                           Chart2BottomAxis, Chart2LeftAxis);
  Series3 = AddSeries(Chart2Chart, "Series3", QColor(255, 0, 0));
  Series4 = AddSeries(Chart2Chart, "Series4", QColor(0, 128, 255));
  Series5 = AddSeries(Chart2Chart, "Series5", QColor(0, 128, 0));
}

void TForm1::ResetCharts() {
  plotWindowStart_ = 0;
  for (QLineSeries* series : {Series1, Series2, Series3, Series4, Series5}) tagris::ClearSeries(series);
  Chart1BottomAxis->setRange(plotWindowStart_, plotWindowStart_ + kWindowWidth);
  Chart2BottomAxis->setRange(plotWindowStart_, plotWindowStart_ + kWindowWidth);
  Chart1LeftAxis->setRange(0, 100);
}

void TForm1::MeasurementUpdate(const tagris::RegisterBlock& block, double count) {
  ShowMeasurementTexts(block);
  AddChartPoints(block, count);
}

void TForm1::ShowMeasurementTexts(const tagris::RegisterBlock& block) {
  const tagris::MeasurementTexts text = tagris::RenderMeasurementTexts(block);

  // What the unit reports of its own settings, never what was last sent.
  ui->lb_Baud->setText(Q(text.baud));
  ui->lb_Par->setText(Q(text.parity));
  ui->lb_Stop->setText(Q(text.stop));
  ui->lb_Chan->setText(Q(text.channel));
  for (int k = 1; k <= tagris::kChannelCount; ++k) {
    SetCell(ui->StringGrid1, k, 1, text.grade[k - 1]);
    SetCell(ui->StringGrid1, k, 2, text.salinity[k - 1]);
  }

  ui->Label6->setText(Q(text.peakFrequency));
  ui->Label7->setText(Q(text.peakWidth));
  // The medium label lags one reply behind lb_Phase.
  ui->Label8->setText(Q(tagris::PhaseText(ui->lb_Phase->text().toStdString())));

  ui->lb_TOUT->setText(Q(text.temperature));
  ui->lb_TermTWO->setText(Q(text.mixTemperature));
  ui->lb_Curr->setText(Q(text.moisture));
  ui->lb_Wlag->setText(Q(text.moistureUnlimited));
  if (text.medium) ui->lb_Phase->setText(Q(*text.medium));

  ui->lb_SmCorr->setText(Q(text.smCorr));
  ui->lb_YmaxOp->setText(Q(text.ymaxOp));
  ui->lb_XmaxOp->setText(Q(text.xmaxOp));
  ui->lb_PolOp->setText(Q(text.polOp));
  ui->lb_Ymax->setText(Q(text.ymax));
  ui->lb_Xmax->setText(Q(text.xmax));
  ui->lb_Sm->setText(Q(text.sm));
  ui->lb_Pol->setText(Q(text.pol));
  ui->lb_Marker->setText(Q(text.marker));
  ui->lb_Dac->setText(Q(text.dac));
}

void TForm1::AddChartPoints(const tagris::RegisterBlock& block, double count) {
  // The time axis counts replies: one per second at the window's pace.
  const double plotTime = count;
  // The drawn series keep their newest 10000 points.
  tagris::CapSeries(Series1, kPointCap);
  tagris::CapSeries(Series3, kPointCap);
  tagris::AppendPoint(Series1, QPointF(plotTime, block.moisture));
  tagris::AppendPoint(Series3, QPointF(plotTime, block.temperature));

  // The time window jumps forward once the newest point passes its right edge;
  // maximum before minimum so that the range never turns inside out.
  if (plotTime - plotWindowStart_ > kWindowWidth) {
    for (auto [chart, axis] : {std::pair{Chart1Chart, Chart1BottomAxis}, std::pair{Chart2Chart, Chart2BottomAxis}})
      tagris::ChangeAxes(chart, [&, axis = axis] {
        axis->setMax(plotTime + kWindowStep);
        axis->setMin(plotWindowStart_ + kWindowStep);
      });
    plotWindowStart_ += kWindowStep;
  }
}
