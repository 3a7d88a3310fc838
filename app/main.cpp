// The window program: builds the main window and runs the event loop. The
// imaging library's process-wide format manager lives until exit.
#include "main_window.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Parvula");
  QApplication::setDesktopFileName("parvula");
  QApplication::setWindowIcon(QIcon(":/parvula.png"));
  TForm1 form;
  // A file handed over by the desktop ("Open with") opens its folder and is
  // previewed; without one, start where pictures usually are.
  const QStringList args = QApplication::arguments();
  const QFileInfo given(args.size() > 1 ? args.at(1) : QString());
  if (args.size() > 1 && given.isDir()) {
    form.SelectFolder(given.absoluteFilePath());
  } else if (args.size() > 1 && given.isFile()) {
    form.SelectFolder(given.absolutePath());
    form.vexThumbView1LoadImage(given.absoluteFilePath());
  } else {
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    form.SelectFolder(QDir(pictures).exists() ? pictures : QDir::homePath());
  }
  form.show();
  return QApplication::exec();
}
