// The window program: builds the main window and runs the event loop. The
// imaging library's process-wide format manager lives until exit.
#include "main_window.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Parvula");
  QApplication::setDesktopFileName("parvula");
  QApplication::setWindowIcon(QIcon(":/parvula.png"));
  TForm1 form;
  form.SelectFolder(QDir::homePath());
  form.show();
  return QApplication::exec();
}
