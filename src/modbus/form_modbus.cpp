// The poll timer, the transmit routine with its trace and the reply handler.
#include "app/tform1.h"
#include "ui_form1.h"

void TForm1::Tick() {}
void TForm1::SendFrame(const std::uint8_t*, std::int32_t) {}
void TForm1::ProcessReply() {}
void TForm1::AddTraceLine(const QString&) {}
