// Configuration commands, key filters and the send-file command.
#include "app/tform1.h"
#include "ui_form1.h"

void TForm1::Button1Click() {}
void TForm1::Button2Click() {}
void TForm1::Button3Click() {}
void TForm1::Button4Click() {}
void TForm1::Button5Click() {}
void TForm1::Button6Click() {}
void TForm1::ed_AdrKeyPress(QObject*, char&) {}
void TForm1::ed_SolKeyPress(QObject*, char&) {}
void TForm1::cmb_RateKeyPress(QObject*, char&) {}
void TForm1::cmb_ParKeyPress(QObject*, char&) {}
void TForm1::ed_SortChange(QObject*) {}
void TForm1::InstallKeyFilters() {}
bool TForm1::KeyFilterEvent(QObject*, QEvent*) { return false; }
