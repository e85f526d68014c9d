// The measurement update: labels, channel table, serial settings and charts.
#include "app/tform1.h"
#include "ui_form1.h"

void TForm1::MeasurementUpdate(const std::uint8_t*, const std::string&) {}
void TForm1::SetupCharts() {}
void TForm1::ResetCharts() {}
