#include <QApplication>

#include "error_display.h"
#include "tform1.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  tagris::Guarded([] {
    TForm1 form;
    form.show();
    QApplication::exec();
  });
  return 0;
}
