#include "app/tform1.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QTimer>

#include "app/error_display.h"
#include "serial/serial_link.h"
#include "ui_form1.h"

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui(new Ui::TForm1) {
  ui->setupUi(this);
  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(500);
  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(1000);
  SetupCharts();
  BindEvents();
  InstallKeyFilters();
  // TODO(app): the constructor steps.
}

TForm1::~TForm1() {
  if (Connected) ClosePort();
  CloseLogFile();
  delete ui;
}

void TForm1::CloseForm(QObject*, bool& CanClose) { CanClose = true; }

void TForm1::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  tagris::Guarded([&] { CloseForm(this, canClose); });
  if (canClose)
    event->accept();
  else
    event->ignore();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (KeyFilterEvent(watched, event)) return true;
  return QWidget::eventFilter(watched, event);
}

void TForm1::BindEvents() {}
