// TForm1's measurement update, reply by reply and not in real time: each reply is
// handled by the window's connection and shown by the window, as when the link hands it over.
#include <gtest/gtest.h>

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QTableWidget>
#include <QValueAxis>

#include <memory>
#include <optional>
#include <span>

#include "tform1.h"
#include "modal.h"
#include "reply_fixture.h"
#include "window.h"

namespace {

using tagris::test::AxisOf;
using tagris::test::ReplyFixture;
using tagris::test::SeriesOf;

class MeasurementUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TForm1>();
    ui.emplace(*form);
    Series1 = SeriesOf(ui->Chart1, "Series1");
    Series2 = SeriesOf(ui->Chart1, "Series2");
    Series3 = SeriesOf(ui->Chart2, "Series3");
    Series4 = SeriesOf(ui->Chart2, "Series4");
    Series5 = SeriesOf(ui->Chart2, "Series5");
  }

  // As the operator connects; the replies then come from the test.
  void Connect() { ASSERT_TRUE(tagris::test::ConnectWindow(*form, port.path())); }
  void Disconnect() {
    tagris::test::ModalAnswerer answer({QMessageBox::Ok});
    ui->bt_Connect->click();
    ASSERT_FALSE(form->Connection().IsOpen());
  }

  void Update(const ReplyFixture& reply) {
    tagris::test::FeedReply(*form, std::span(reply.data(), tagris::kMeasurementReplyLength));
  }
  void UpdateTimes(int n, const ReplyFixture& reply) {
    for (int i = 0; i < n; ++i) Update(reply);
  }
  static std::pair<double, double> Range(QValueAxis* axis) { return {axis->min(), axis->max()}; }
  QValueAxis* TimeAxis(QChartView* chart) const { return AxisOf(chart, Qt::Horizontal); }

  tagris::test::IdlePort port;
  std::unique_ptr<TForm1> form;
  std::optional<tagris::test::Controls> ui;
  QLineSeries* Series1 = nullptr;
  QLineSeries* Series2 = nullptr;
  QLineSeries* Series3 = nullptr;
  QLineSeries* Series4 = nullptr;
  QLineSeries* Series5 = nullptr;
};

TEST_F(MeasurementUpdate, ChartsAsBuilt) {
  QChart* chart1 = ui->Chart1->chart();
  QChart* chart2 = ui->Chart2->chart();
  EXPECT_EQ(chart1->objectName(), "Chart1Chart");
  EXPECT_EQ(chart2->objectName(), "Chart2Chart");
  EXPECT_EQ(chart1->series(), (QList<QAbstractSeries*>{Series1, Series2}));
  EXPECT_EQ(chart2->series(), (QList<QAbstractSeries*>{Series3, Series4, Series5}));
  const char* names[] = {"Series1", "Series2", "Series3", "Series4", "Series5"};
  const QColor colours[] = {QColor(255, 0, 0), QColor(0, 0, 255), QColor(255, 0, 0), QColor(0, 128, 255),
                            QColor(0, 128, 0)};
  QLineSeries* series[] = {Series1, Series2, Series3, Series4, Series5};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(series[i]->objectName(), names[i]);
    EXPECT_EQ(series[i]->pen().color(), colours[i]) << names[i];
    EXPECT_EQ(series[i]->pen().width(), 2);
    EXPECT_FALSE(series[i]->pointsVisible());
    EXPECT_EQ(series[i]->count(), 0);
  }
  EXPECT_FALSE(chart1->legend()->isVisible());
  EXPECT_TRUE(chart1->title().isEmpty());
  EXPECT_EQ(TimeAxis(ui->Chart1)->titleText(), "Время, с");
  EXPECT_EQ(TimeAxis(ui->Chart2)->titleText(), "Время, с");
  EXPECT_EQ(AxisOf(ui->Chart1, Qt::Vertical)->titleText(), "Влагосодержание, %");
  EXPECT_EQ(AxisOf(ui->Chart2, Qt::Vertical)->titleText(), "Температура, С");
  // Start-up ranges: 0..100 on every axis, the time window included.
  for (QValueAxis* axis : {TimeAxis(ui->Chart1), TimeAxis(ui->Chart2), AxisOf(ui->Chart1, Qt::Vertical),
                           AxisOf(ui->Chart2, Qt::Vertical)})
    EXPECT_EQ(Range(axis), std::make_pair(0.0, 100.0));
}

TEST_F(MeasurementUpdate, OneReplyFillsEveryDisplay) {
  Connect();
  Update(ReplyFixture{{0, 0x002D}, {2, 115}, {15, 0}, {18, 1000}, {31, 5}, {33, 3}, {36, 2346}, {37, 0x8000},
                      {38, 0xFFCE}, {39, 1}, {40, 7}, {41, 41}, {42, 500}, {43, 43}, {44, 44}, {45, 480},
                      {46, 100}, {47, 100}, {48, 48}, {50, 0xFFCE}});
  EXPECT_EQ(ui->lb_Baud->text(), "14400 бод");
  EXPECT_EQ(ui->lb_Par->text(), "EVENPARITY");
  EXPECT_EQ(ui->lb_Stop->text(), "STOP2");
  EXPECT_EQ(ui->lb_Chan->text(), "Включен канал  3");
  EXPECT_EQ(ui->StringGrid1->item(1, 1)->text(), "1.5");
  EXPECT_EQ(ui->StringGrid1->item(14, 1)->text(), "-10.0");
  EXPECT_EQ(ui->StringGrid1->item(1, 2)->text(), "100.0");
  EXPECT_EQ(ui->StringGrid1->item(14, 2)->text(), "0.5");
  EXPECT_EQ(ui->StringGrid1->item(5, 2)->text(), "0.0");
  EXPECT_EQ(ui->Label6->text(), "Частота пика   2008.1  мГц");
  EXPECT_EQ(ui->Label7->text(), "Ширина пика    11.7      мГц");
  EXPECT_EQ(ui->Label8->text(), "Фаза      ");  // lb_Phase held one blank before this reply
  EXPECT_EQ(ui->lb_TOUT->text(), "Temp = -05.0 C");
  EXPECT_EQ(ui->lb_TermTWO->text(), "Temp смеси = -05.0 C");
  EXPECT_EQ(ui->lb_Curr->text(), "W =  23.5 %об.");
  EXPECT_EQ(ui->lb_Wlag->text(), "без ограничений -327.7 %");
  EXPECT_EQ(ui->lb_Phase->text(), "  Вода ");
  EXPECT_EQ(ui->lb_SmCorr->text(), "смещение 7");
  EXPECT_EQ(ui->lb_YmaxOp->text(), "YmaxOp =  41");
  EXPECT_EQ(ui->lb_XmaxOp->text(), "XmaxOp =  500");
  EXPECT_EQ(ui->lb_PolOp->text(), "PolOp =  43");
  EXPECT_EQ(ui->lb_Ymax->text(), "Ymax =  44");
  EXPECT_EQ(ui->lb_Xmax->text(), "Xmax =  480");
  EXPECT_EQ(ui->lb_Sm->text(), "без коррекции 20");
  EXPECT_EQ(ui->lb_Pol->text(), "Pol =  100");
  EXPECT_EQ(ui->lb_Marker->text(), "Marker =  400");
  EXPECT_EQ(ui->lb_Dac->text(), "DAC =  48");

  // Kept values and chart points: the negative temperature stays negative everywhere.
  const tagris::Measurement& kept = form->Connection().Kept();
  EXPECT_EQ(kept.temperature, -5.0f);
  EXPECT_EQ(kept.mixTemperature, -5.0f);
  EXPECT_EQ(kept.moisture, static_cast<float>(2346 * 0.01));
  EXPECT_EQ(form->Connection().Moisture(), 2346 * 0.01);
  EXPECT_EQ(kept.peakFrequency, 2008.125f);
  EXPECT_EQ(kept.peakWidth, 11.71875f);
  EXPECT_EQ(Series1->points(), (QList<QPointF>{QPointF(1, 2346 * 0.01)}));
  EXPECT_EQ(Series3->points(), (QList<QPointF>{QPointF(1, -5.0)}));
  EXPECT_EQ(Series2->count() + Series4->count() + Series5->count(), 0);
}

TEST_F(MeasurementUpdate, ColumnZeroAndTheHeaderAreLeftAlone) {
  const QString header = ui->StringGrid1->item(0, 1) ? ui->StringGrid1->item(0, 1)->text() : QString();
  Update(ReplyFixture{{2, 0}});
  EXPECT_EQ(ui->StringGrid1->item(0, 1) ? ui->StringGrid1->item(0, 1)->text() : QString(), header);
  for (int row = 1; row <= 14; ++row) {
    const QTableWidgetItem* item = ui->StringGrid1->item(row, 3);
    EXPECT_TRUE(!item || item->text().isEmpty()) << row;
  }
}

TEST_F(MeasurementUpdate, MediumLabelLagsOneReplyAndUnknownCodesKeepTheLast) {
  struct Step { std::uint16_t code; const char* phase; const char* label8; };
  const Step steps[] = {
      {0, "  Нефть ", "Фаза      "},        {1, "  Вода ", "Фаза       Нефть "},
      {1, "  Вода ", "Фаза       Вода "},   {3, "  Вода ", "Фаза       Вода "},
      {5, "  Вода ", "Фаза       Вода "},   {2, "  Воздух ", "Фаза       Вода "},
      {0, "  Нефть ", "Фаза       Воздух "},
  };
  for (const Step& s : steps) {
    Update(ReplyFixture{{39, s.code}});
    EXPECT_EQ(ui->lb_Phase->text(), s.phase) << s.code;
    EXPECT_EQ(ui->Label8->text(), s.label8) << s.code;
  }
}

TEST_F(MeasurementUpdate, TemperatureSignFeedsKeptValuesAndChart) {
  Connect();
  for (std::uint16_t raw : {std::uint16_t{0xFFCE}, std::uint16_t{0x8000}, std::uint16_t{250}}) {
    Update(ReplyFixture{{38, raw}, {50, raw}});
    const float expected = static_cast<float>(static_cast<std::int16_t>(raw) * 0.1);
    EXPECT_EQ(form->Connection().Kept().temperature, expected);
    EXPECT_EQ(form->Connection().Kept().mixTemperature, expected);
    EXPECT_EQ(Series3->points().last().y(), static_cast<double>(expected));
  }
  EXPECT_EQ(ui->lb_TOUT->text(), "Temp = 25.0 C");
}

TEST_F(MeasurementUpdate, PointCapAndTimeWindow) {
  Connect();
  for (QChartView* chart : {ui->Chart1, ui->Chart2})
    EXPECT_EQ(Range(TimeAxis(chart)), std::make_pair(0.0, 10000.0));

  const ReplyFixture reply{{36, 5000}, {38, 200}};
  UpdateTimes(10000, reply);
  EXPECT_EQ(Series1->count(), 10000);
  EXPECT_EQ(Series3->count(), 10000);
  EXPECT_EQ(Series1->at(9999).x(), 10000);
  EXPECT_EQ(Range(TimeAxis(ui->Chart1)), std::make_pair(0.0, 10000.0));

  // The 10001st reply pushes out the oldest point and moves the window by 300 s.
  Update(reply);
  for (QLineSeries* s : {Series1, Series3}) {
    EXPECT_EQ(s->count(), 10000);
    EXPECT_EQ(s->at(0).x(), 2);
    EXPECT_EQ(s->at(9999).x(), 10001);
  }
  EXPECT_EQ(Series1->at(9999).y(), 50.0);
  EXPECT_EQ(Series3->at(9999).y(), static_cast<double>(20.0f));
  for (QChartView* chart : {ui->Chart1, ui->Chart2})
    EXPECT_EQ(Range(TimeAxis(chart)), std::make_pair(300.0, 10301.0));

  UpdateTimes(299, reply);  // point 10300: still inside
  EXPECT_EQ(Range(TimeAxis(ui->Chart2)), std::make_pair(300.0, 10301.0));
  Update(reply);  // point 10301
  for (QChartView* chart : {ui->Chart1, ui->Chart2})
    EXPECT_EQ(Range(TimeAxis(chart)), std::make_pair(600.0, 10601.0));
  EXPECT_EQ(Series1->count(), 10000);
  EXPECT_EQ(Series1->at(0).x(), 302);
  EXPECT_EQ(Series2->count() + Series4->count() + Series5->count(), 0);

  // Reconnect: empty series, window back at 0..10000, points count afresh.
  Series2->append(1, 1);
  Series4->append(1, 1);
  Series5->append(1, 1);
  Disconnect();
  Connect();
  for (QLineSeries* s : {Series1, Series2, Series3, Series4, Series5})
    EXPECT_EQ(s->count(), 0) << s->objectName().toStdString();
  for (QChartView* chart : {ui->Chart1, ui->Chart2})
    EXPECT_EQ(Range(TimeAxis(chart)), std::make_pair(0.0, 10000.0));
  EXPECT_EQ(Range(AxisOf(ui->Chart1, Qt::Vertical)), std::make_pair(0.0, 100.0));
  UpdateTimes(3, reply);
  EXPECT_EQ(Series1->points(), (QList<QPointF>{{1, 50}, {2, 50}, {3, 50}}));
}

TEST_F(MeasurementUpdate, LogLineOnlyWhileLoggingIsOn) {
  // chk_Write is unchecked as the window is built: the update must not touch the log file.
  EXPECT_FALSE(ui->chk_Write->isChecked());
  Update(ReplyFixture{});
  EXPECT_FALSE(form->Connection().Log().IsOpen());
}

// The charts are hidden in the layout, but a shown chart must still draw the points.
bool HasRedPixels(QChartView* view) {
  const QImage image = view->grab().toImage();
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 60 && c.blue() < 60) return true;
    }
  return false;
}

TEST_F(MeasurementUpdate, ShownChartDrawsPointsAddedWhileHidden) {
  QChartView* view = ui->Chart1;
  view->setParent(nullptr);  // out of the hidden corner of the layout, at a size that has a plot area
  view->resize(400, 300);
  UpdateTimes(50, ReplyFixture{{36, 5000}});
  EXPECT_FALSE(view->isVisible());
  view->show();
  QApplication::processEvents();
  EXPECT_TRUE(HasRedPixels(view));
  view->setParent(form.get());
}

TEST_F(MeasurementUpdate, VisibleChartFollowsNewPoints) {
  QChartView* view = ui->Chart1;
  view->setParent(nullptr);
  view->resize(400, 300);
  view->show();
  QApplication::processEvents();
  EXPECT_FALSE(HasRedPixels(view));
  UpdateTimes(50, ReplyFixture{{36, 5000}});
  QApplication::processEvents();
  EXPECT_TRUE(HasRedPixels(view));
  view->setParent(form.get());
}

}  // namespace
