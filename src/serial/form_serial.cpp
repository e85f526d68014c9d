// Connect, disconnect and ClosePort of the window.
#include "app/tform1.h"
#include "serial/serial_link.h"
#include "ui_form1.h"

void TForm1::bt_ConnectClick() {}
void TForm1::ClosePort() {}
