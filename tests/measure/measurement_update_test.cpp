// TForm1's measurement update driven directly, reply by reply, not in real time.
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

#include "tform1.h"
#include "reply_fixture.h"
#include "ui_form1.h"

namespace {

using tagris::test::ReplyFixture;

class MeasurementUpdate : public ::testing::Test {
 protected:
  void SetUp() override { form = std::make_unique<TForm1>(); }

  void Update(const ReplyFixture& reply) { form->MeasurementUpdate(reply.data(), "-->trace<---"); }
  void UpdateTimes(int n, const ReplyFixture& reply) {
    for (int i = 0; i < n; ++i) Update(reply);
  }
  static std::pair<double, double> Range(QValueAxis* axis) { return {axis->min(), axis->max()}; }

  std::unique_ptr<TForm1> form;
};

TEST_F(MeasurementUpdate, ChartsAsBuilt) {
  ASSERT_NE(form->Chart1Chart, nullptr);
  EXPECT_EQ(form->ui->Chart1->chart(), form->Chart1Chart);
  EXPECT_EQ(form->ui->Chart2->chart(), form->Chart2Chart);
  EXPECT_EQ(form->Chart1Chart->series(), (QList<QAbstractSeries*>{form->Series1, form->Series2}));
  EXPECT_EQ(form->Chart2Chart->series(),
            (QList<QAbstractSeries*>{form->Series3, form->Series4, form->Series5}));
  const char* names[] = {"Series1", "Series2", "Series3", "Series4", "Series5"};
  const QColor colours[] = {QColor(255, 0, 0), QColor(0, 0, 255), QColor(255, 0, 0), QColor(0, 128, 255),
                            QColor(0, 128, 0)};
  QLineSeries* series[] = {form->Series1, form->Series2, form->Series3, form->Series4, form->Series5};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(series[i]->objectName(), names[i]);
    EXPECT_EQ(series[i]->pen().color(), colours[i]) << names[i];
    EXPECT_EQ(series[i]->pen().width(), 2);
    EXPECT_FALSE(series[i]->pointsVisible());
    EXPECT_EQ(series[i]->count(), 0);
  }
  EXPECT_FALSE(form->Chart1Chart->legend()->isVisible());
  EXPECT_TRUE(form->Chart1Chart->title().isEmpty());
  EXPECT_EQ(form->Chart1BottomAxis->titleText(), "Время, с");
  EXPECT_EQ(form->Chart2BottomAxis->titleText(), "Время, с");
  EXPECT_EQ(form->Chart1LeftAxis->titleText(), "Влагосодержание, %");
  EXPECT_EQ(form->Chart2LeftAxis->titleText(), "Температура, С");
  // Start-up ranges: 0..100 on every axis.
  for (QValueAxis* axis : {form->Chart1BottomAxis, form->Chart2BottomAxis, form->Chart1LeftAxis,
                           form->Chart2LeftAxis})
    EXPECT_EQ(Range(axis), std::make_pair(0.0, 100.0));
  EXPECT_EQ(form->PlotWindowStart, 0);
  EXPECT_EQ(form->PlotWindowEnd, 100);
  EXPECT_EQ(form->PlotTime, 0);
}

TEST_F(MeasurementUpdate, OneReplyFillsEveryDisplay) {
  form->ResetCharts();
  Update(ReplyFixture{{0, 0x002D}, {2, 115}, {15, 0}, {18, 1000}, {31, 5}, {33, 3}, {36, 2346}, {37, 0x8000},
                      {38, 0xFFCE}, {39, 1}, {40, 7}, {41, 41}, {42, 500}, {43, 43}, {44, 44}, {45, 480},
                      {46, 100}, {47, 100}, {48, 48}, {50, 0xFFCE}});
  const Ui::TForm1* ui = form->ui;
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
  EXPECT_EQ(form->Temperature, -5.0f);
  EXPECT_EQ(form->SampleTemperature, -5.0f);
  EXPECT_EQ(form->MixTemperature, -5.0f);
  EXPECT_EQ(form->SampleMoisture, static_cast<float>(2346 * 0.01));
  EXPECT_EQ(form->SamplePeakFrequency, 2008.125f);
  EXPECT_EQ(form->SamplePeakWidth, 11.71875f);
  EXPECT_EQ(form->DspTemperature, 0.0f);
  EXPECT_EQ(form->PlotTime, 1.0);
  EXPECT_EQ(form->Series1->points(), (QList<QPointF>{QPointF(1, 2346 * 0.01)}));
  EXPECT_EQ(form->Series3->points(), (QList<QPointF>{QPointF(1, -5.0)}));
  EXPECT_EQ(form->Series2->count() + form->Series4->count() + form->Series5->count(), 0);
}

TEST_F(MeasurementUpdate, ColumnZeroAndTheHeaderAreLeftAlone) {
  const QString header = form->ui->StringGrid1->item(0, 1) ? form->ui->StringGrid1->item(0, 1)->text() : QString();
  Update(ReplyFixture{{2, 0}});
  EXPECT_EQ(form->ui->StringGrid1->item(0, 1) ? form->ui->StringGrid1->item(0, 1)->text() : QString(), header);
  for (int row = 1; row <= 14; ++row) {
    const QTableWidgetItem* item = form->ui->StringGrid1->item(row, 3);
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
    EXPECT_EQ(form->ui->lb_Phase->text(), s.phase) << s.code;
    EXPECT_EQ(form->ui->Label8->text(), s.label8) << s.code;
  }
}

TEST_F(MeasurementUpdate, TemperatureSignFeedsKeptValuesAndChart) {
  form->ResetCharts();
  for (std::uint16_t raw : {std::uint16_t{0xFFCE}, std::uint16_t{0x8000}, std::uint16_t{250}}) {
    Update(ReplyFixture{{38, raw}, {50, raw}});
    const float expected = static_cast<float>(static_cast<std::int16_t>(raw) * 0.1);
    EXPECT_EQ(form->Temperature, expected);
    EXPECT_EQ(form->MixTemperature, expected);
    EXPECT_EQ(form->Series3->points().last().y(), static_cast<double>(expected));
  }
  EXPECT_EQ(form->ui->lb_TOUT->text(), "Temp = 25.0 C");
}

TEST_F(MeasurementUpdate, PointCapAndTimeWindow) {
  form->ResetCharts();
  for (QValueAxis* axis : {form->Chart1BottomAxis, form->Chart2BottomAxis})
    EXPECT_EQ(Range(axis), std::make_pair(0.0, 10000.0));

  const ReplyFixture reply{{36, 5000}, {38, 200}};
  UpdateTimes(10000, reply);
  EXPECT_EQ(form->PlotTime, 10000);
  EXPECT_EQ(form->Series1->count(), 10000);
  EXPECT_EQ(form->Series3->count(), 10000);
  EXPECT_EQ(Range(form->Chart1BottomAxis), std::make_pair(0.0, 10000.0));
  EXPECT_EQ(form->PlotWindowStart, 0);

  // The 10001st reply pushes out the oldest point and moves the window by 300 s.
  Update(reply);
  for (QLineSeries* s : {form->Series1, form->Series3}) {
    EXPECT_EQ(s->count(), 10000);
    EXPECT_EQ(s->at(0).x(), 2);
    EXPECT_EQ(s->at(9999).x(), 10001);
  }
  EXPECT_EQ(form->Series1->at(9999).y(), 50.0);
  EXPECT_EQ(form->Series3->at(9999).y(), static_cast<double>(20.0f));
  for (QValueAxis* axis : {form->Chart1BottomAxis, form->Chart2BottomAxis})
    EXPECT_EQ(Range(axis), std::make_pair(300.0, 10301.0));
  EXPECT_EQ(form->PlotWindowStart, 300);

  UpdateTimes(299, reply);  // PlotTime 10300: still inside
  EXPECT_EQ(Range(form->Chart2BottomAxis), std::make_pair(300.0, 10301.0));
  Update(reply);  // PlotTime 10301
  for (QValueAxis* axis : {form->Chart1BottomAxis, form->Chart2BottomAxis})
    EXPECT_EQ(Range(axis), std::make_pair(600.0, 10601.0));
  EXPECT_EQ(form->PlotWindowStart, 600);
  EXPECT_EQ(form->Series1->count(), 10000);
  EXPECT_EQ(form->Series1->at(0).x(), 302);
  EXPECT_EQ(form->Series2->count() + form->Series4->count() + form->Series5->count(), 0);

  // Reconnect: empty series, window back at 0..10000, points count afresh.
  form->Series2->append(1, 1);
  form->Series4->append(1, 1);
  form->Series5->append(1, 1);
  form->ResetCharts();
  EXPECT_EQ(form->PlotTime, 0);
  EXPECT_EQ(form->PlotWindowStart, 0);
  EXPECT_EQ(form->PlotWindowEnd, 10000);
  for (QLineSeries* s : {form->Series1, form->Series2, form->Series3, form->Series4, form->Series5})
    EXPECT_EQ(s->count(), 0) << s->objectName().toStdString();
  for (QValueAxis* axis : {form->Chart1BottomAxis, form->Chart2BottomAxis})
    EXPECT_EQ(Range(axis), std::make_pair(0.0, 10000.0));
  EXPECT_EQ(Range(form->Chart1LeftAxis), std::make_pair(0.0, 100.0));
  UpdateTimes(3, reply);
  EXPECT_EQ(form->Series1->points(), (QList<QPointF>{{1, 50}, {2, 50}, {3, 50}}));
}

TEST_F(MeasurementUpdate, LogLineOnlyWhileLoggingIsOn) {
  // chk_Write is unchecked as the window is built: the update must not touch the log file.
  EXPECT_FALSE(form->ui->chk_Write->isChecked());
  Update(ReplyFixture{});
  EXPECT_EQ(form->LogFile, 0);
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
  QChartView* view = form->ui->Chart1;
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
  QChartView* view = form->ui->Chart1;
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
