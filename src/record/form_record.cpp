// Sample recording and the log file.
#include "app/tform1.h"
#include "ui_form1.h"

void TForm1::Button7Click() {}
void TForm1::Button8Click() {}
void TForm1::Timer2Timer() {}
void TForm1::Write_File() {}
void TForm1::WriteLogLine(const std::string&) {}
void TForm1::CloseLogFile() {}
