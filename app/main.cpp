// The window program: builds the main window and runs the event loop. The
// imaging library's process-wide format manager lives until exit.
#include "main_window.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QStandardPaths>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Parvula");
  QApplication::setDesktopFileName("parvula");
  QApplication::setWindowIcon(QIcon(":/parvula.png"));
  TForm1 form;
  // Start where pictures usually are.
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  form.SelectFolder(QDir(pictures).exists() ? pictures : QDir::homePath());
  form.show();
  return QApplication::exec();
}
