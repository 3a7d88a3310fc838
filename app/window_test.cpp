// The window, driven offscreen: layout and anchors, the file list's filter,
// the preview (fitted, 100 %, read off the window's thread), and batches on
// temporary folders: clicks meanwhile, stop, the summary, drops.
#include "main_window.h"
#include "qt_draw_surface.h"
#include "vexImageFile.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kLoadTimeout = 15000;

// A 24-bit BMP whose pixel (x, y) (y = 0 top) is colour(x, y) as 0xRRGGBB.
template <class F> void write_bmp(const QString& path, int w, int h, F colour) {
  const int line = ((24 * w + 31) / 32) * 4;
  const std::uint32_t image_size = static_cast<std::uint32_t>(line) * static_cast<std::uint32_t>(h);
  std::vector<std::uint8_t> bytes(54 + image_size, 0);
  auto put16 = [&](std::size_t at, std::uint32_t v) {
    bytes[at] = static_cast<std::uint8_t>(v);
    bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  bytes[0] = 'B';
  bytes[1] = 'M';
  put32(2, 54 + image_size);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(w));
  put32(22, static_cast<std::uint32_t>(h));
  put16(26, 1);
  put16(28, 24);
  put32(34, image_size);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = bytes.data() + 54 + static_cast<std::size_t>(line) * (h - 1 - y);
    for (int x = 0; x < w; ++x) {
      const std::uint32_t c = colour(x, y);
      row[3 * x] = static_cast<std::uint8_t>(c);
      row[3 * x + 1] = static_cast<std::uint8_t>(c >> 8);
      row[3 * x + 2] = static_cast<std::uint8_t>(c >> 16);
    }
  }
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  QCOMPARE(f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())),
           static_cast<qint64>(bytes.size()));
}

void touch(const QString& path, const QByteArray& content = "not a picture") {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(content);
}

QStringList list_names(const TForm1& form) {
  QStringList names;
  for (int i = 0; i < form.ListItemCount(); ++i)
    names << QFileInfo(form.ListItemPath(i)).fileName();
  return names;
}

int index_of(const TForm1& form, const QString& name) {
  return static_cast<int>(list_names(form).indexOf(name));
}

QPoint item_centre(const TForm1& form, int index) {
  return form.ShellListView1->visualRect(form.ListItem(index)).center();
}

// Presses a mouse button over list item `index` and waits for its preview.
void preview(TForm1& form, int index, Qt::MouseButton button = Qt::LeftButton) {
  QTest::mousePress(form.ShellListView1->viewport(), button, {}, item_centre(form, index));
  QTRY_VERIFY_WITH_TIMEOUT(!form.PreviewPending(), kLoadTimeout);
}

// The whole summary line (the label may show it shortened).
QString summary_line(const TForm1& form) {
  return form.SummaryLabel->toolTip().section('\n', 0, 0);
}

QStringList email_files(const QString& folder) {
  return QDir(folder + "/email").entryList(QDir::Files, QDir::Name);
}

QByteArray read_file(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A small picture with some detail, different for each `seed`.
void write_photo(const QString& path, int seed) {
  write_bmp(path, 40 + seed, 30, [seed](int x, int y) {
    return static_cast<std::uint32_t>(((x * 3 + seed) & 255) << 16 | ((y * 5) & 255) << 8 | 77);
  });
}

// A small JPEG, written through the library.
void write_jpeg(const QString& path) {
  const QString bmp = path + ".tmp.bmp";
  write_photo(bmp, 3);
  TvexImageFileMgr mgr;
  TvexImage img;
  img.SetDibHandle(mgr.LoadImage(bmp.toStdString(), FF_BMP));
  mgr.SaveImage(path.toStdString(), FF_JPEG, img.GetDibHandle());
  QFile::remove(bmp);
}

} // namespace

class WindowTest : public QObject {
  Q_OBJECT

private:
  // Shows `folder` in the list and waits until its `count` entries are listed.
  static void ShowFolder(TForm1& form, const QString& folder, int count) {
    form.SelectFolder(folder);
    QTRY_COMPARE_WITH_TIMEOUT(QDir(form.SelectedFolder()), QDir(folder), kLoadTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(form.ListItemCount(), count, kLoadTimeout);
  }

private slots:
  void layout_data();
  void layout();
  void anchorsFollowTheWindow();
  void listShowsFoldersAndPicturesSorted();
  void treeShowsFoldersOnlyAndDrivesTheList();
  void previewSizesTheControlToThePicture();
  void previewIgnoresFoldersEmptySpaceAndSaysWhyAFileFailed();
  void previewShowsAPhotographUpright();
  void executeWithoutSelectionDoesNothing();
  void executeConvertsTheSelectedFiles();
  void executeSurvivesAFileThatThrows();
  void batchReports_data();
  void batchReports();
  void droppedFolderIsConverted();
  void previewOfALargePhotoIsFittedOffTheWindowThread();
  void closingDuringARunStopsItFirst();
  void surfacePaintsDibRowsAndBorder();
  void screenshot();
};

void WindowTest::layout_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<QString>("caption");
  QTest::newRow("Label1") << "Label1" << QRect(568, 0, 212, 13)
                          << "Select image files and press Execute! button.";
  QTest::newRow("Label2") << "Label2" << QRect(568, 16, 296, 13)
                          << "After executing - will be create new sub folder with name 'email'";
  QTest::newRow("Button1") << "Button1" << QRect(424, 3, 137, 30) << "Execute!";
  QTest::newRow("ScrollBox2") << "ScrollBox2" << QRect(416, 72, 451, 513) << "";
  QTest::newRow("ShellListView1") << "ShellListView1" << QRect(0, 192, 409, 393) << "";
  QTest::newRow("ShellTreeView1") << "ShellTreeView1" << QRect(0, 0, 409, 185) << "";
  QTest::newRow("ProgressBar1") << "ProgressBar1" << QRect(416, 40, 449, 16) << "";
  QTest::newRow("SummaryLabel") << "SummaryLabel" << QRect(416, 57, 449, 14) << "";
}

void WindowTest::layout() {
  QFETCH(QString, name);
  QFETCH(QRect, geometry);
  QFETCH(QString, caption);
  TForm1 form;
  QCOMPARE(form.windowTitle(), QString("Parvula"));
  QCOMPARE(form.size(), QSize(870, 589));
  auto* w = form.findChild<QWidget*>(name);
  QVERIFY2(w, qPrintable(name));
  QCOMPARE(w->geometry(), geometry);
  if (auto* label = qobject_cast<QLabel*>(w)) QCOMPARE(label->text(), caption);
  if (auto* button = qobject_cast<QPushButton*>(w)) QCOMPARE(button->text(), caption);
  QCOMPARE(form.vexImageCtrl1->geometry(), QRect(0, 0, 433, 321));
  QCOMPARE(form.vexImageCtrl1->parentWidget(), form.ScrollBox2->viewport());
  QCOMPARE(form.vexImageCtrl1->Ctrl().ScaleToFit(), false);
  QCOMPARE(form.ProgressBar1->minimum(), 0);
  QCOMPARE(form.ProgressBar1->maximum(), 100);
  QCOMPARE(form.ProgressBar1->value(), 0);
  QCOMPARE(form.ShellListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
  QCOMPARE(form.ShellTreeView1->indentation(), 19);
}

void WindowTest::anchorsFollowTheWindow() {
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  const QRect tree = form.ShellTreeView1->geometry(), button = form.Button1->geometry(),
              progress = form.ProgressBar1->geometry(), l1 = form.Label1->geometry(),
              l2 = form.Label2->geometry();
  form.resize(870 + 130, 589 + 70);
  QTRY_COMPARE(form.ScrollBox2->geometry(), QRect(416, 72, 451 + 130, 513 + 70));
  QCOMPARE(form.ShellListView1->geometry(), QRect(0, 192, 409, 393 + 70));
  QCOMPARE(form.ShellTreeView1->geometry(), tree);
  QCOMPARE(form.Button1->geometry(), button);
  QCOMPARE(form.ProgressBar1->geometry(), progress);
  QCOMPARE(form.Label1->geometry(), l1);
  QCOMPARE(form.Label2->geometry(), l2);
  form.resize(870, 589 - 40);
  QTRY_COMPARE(form.ScrollBox2->geometry(), QRect(416, 72, 451, 513 - 40));
  QCOMPARE(form.ShellListView1->geometry(), QRect(0, 192, 409, 393 - 40));
  // No smaller than what keeps every control whole.
  form.resize(300, 200);
  QTRY_COMPARE(form.size(), form.minimumSize());
  for (QWidget* w : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    QVERIFY2(form.rect().contains(w->geometry()), qPrintable(w->objectName()));
}

void WindowTest::listShowsFoldersAndPicturesSorted() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (const char* name :
       {"b.jpg", "photo.JPEG", "A.png", "x.jpeg2000", "scan.tiff", "notes.txt", "ends.", "c.Dib",
        "d.kdc", "e.tif", "f.TGA", "g.gif", "h.pcx", "i.bmp", "no_extension"})
    touch(dir.filePath(name));
  QVERIFY(QDir(dir.path()).mkdir("zeta"));
  QVERIFY(QDir(dir.path()).mkdir("Alpha.txt"));
  TForm1 form;
  ShowFolder(form, dir.path(), 12);
  const QStringList expected = {"Alpha.txt", "zeta",  "A.png", "b.jpg", "c.Dib", "d.kdc",
                                "e.tif",     "f.TGA", "g.gif", "h.pcx", "i.bmp", "photo.JPEG"};
  QCOMPARE(list_names(form), expected);
  QVERIFY(form.ListItemIsFolder(0));
  QVERIFY(form.ListItemIsFolder(1));
  QVERIFY(!form.ListItemIsFolder(2));
}

void WindowTest::treeShowsFoldersOnlyAndDrivesTheList() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QDir(dir.path()).mkpath("inner/deeper"));
  touch(dir.filePath("inner/p.png"));
  touch(dir.filePath("file.png"));
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 2);
  // A double click on a folder in the list opens it, in the tree too.
  const int inner = index_of(form, "inner");
  QVERIFY(inner >= 0);
  // (A real double click starts with a press, which mouseDClick leaves out.)
  QTest::mousePress(form.ShellListView1->viewport(), Qt::LeftButton, {}, item_centre(form, inner));
  QTest::mouseDClick(form.ShellListView1->viewport(), Qt::LeftButton, {}, item_centre(form, inner));
  QTRY_COMPARE_WITH_TIMEOUT(QDir(form.SelectedFolder()), QDir(dir.filePath("inner")), kLoadTimeout);
  QTRY_COMPARE_WITH_TIMEOUT(list_names(form), QStringList({"deeper", "p.png"}), kLoadTimeout);
  // The tree lists folders only.
  const QModelIndex here = form.ShellTreeView1->currentIndex();
  form.ShellTreeView1->expand(here);
  QTRY_COMPARE_WITH_TIMEOUT(form.ShellTreeView1->model()->rowCount(here), 1, kLoadTimeout);
  QCOMPARE(form.ShellTreeView1->model()->index(0, 0, here).data().toString(), QString("deeper"));
  // A right click selects a folder in the tree, and the list follows.
  const QModelIndex deeper = form.ShellTreeView1->model()->index(0, 0, here);
  form.ShellTreeView1->scrollTo(deeper);
  QTest::mousePress(form.ShellTreeView1->viewport(), Qt::RightButton, {},
                    form.ShellTreeView1->visualRect(deeper).center());
  QTRY_COMPARE_WITH_TIMEOUT(QDir(form.SelectedFolder()), QDir(dir.filePath("inner/deeper")),
                            kLoadTimeout);
  QTRY_VERIFY_WITH_TIMEOUT(form.ListLoaded(), kLoadTimeout);
  QCOMPARE(form.ListItemCount(), 0);
  form.SelectFolder(dir.filePath("inner"));
  QTRY_COMPARE_WITH_TIMEOUT(list_names(form), QStringList({"deeper", "p.png"}), kLoadTimeout);
  // A folder made meanwhile shows up by itself.
  QVERIFY(QDir(dir.filePath("inner")).mkdir("later"));
  QTRY_COMPARE_WITH_TIMEOUT(list_names(form), QStringList({"deeper", "later", "p.png"}),
                            kLoadTimeout);
  // Enter on a folder opens it too.
  form.ShellListView1->setFocus();
  form.ShellListView1->setCurrentIndex(form.ListItem(1));
  QTest::keyClick(form.ShellListView1, Qt::Key_Return);
  QTRY_COMPARE_WITH_TIMEOUT(QDir(form.SelectedFolder()), QDir(dir.filePath("inner/later")),
                            kLoadTimeout);
}

void WindowTest::previewSizesTheControlToThePicture() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  // Channels spanning 10..20 so that the stretch shows.
  write_bmp(dir.filePath("big.bmp"), 3000, 2000, [](int x, int) {
    const std::uint32_t v = x < 1500 ? 10 : 20;
    return (v << 16) | (v << 8) | v;
  });
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 1);
  preview(form, 0, Qt::RightButton);
  // Fitted into the 449 x 511 inside of the scroll box, without scroll bars.
  QCOMPARE(form.vexImageCtrl1->size(), QSize(449, 299));
  QVERIFY(form.vexImageCtrl1->Ctrl().ScaleToFit());
  QCOMPARE(form.vexImageCtrl1->Ctrl().Scale(), 299.0 / 2000);
  QTRY_COMPARE(form.ScrollBox2->horizontalScrollBar()->maximum(), 0);
  const QImage fitted = form.ScrollBox2->viewport()->grab().toImage();
  QCOMPARE(QColor(fitted.pixel(50, 50)), QColor(0, 0, 0));
  QCOMPARE(QColor(fitted.pixel(400, 50)), QColor(255, 255, 255));
  // A double click shows it at 100 %.
  QTest::mouseDClick(form.vexImageCtrl1, Qt::LeftButton, {}, QPoint(10, 10));
  QCOMPARE(form.vexImageCtrl1->size(), QSize(3000, 2000));
  QCOMPARE(form.vexImageCtrl1->Ctrl().Width(), 3000);
  QCOMPARE(form.vexImageCtrl1->Ctrl().Scale(), 1.0);
  TvexImage* img = form.vexImageCtrl1->Image();
  QCOMPARE(img->Width(), 3000);
  QCOMPARE(img->ScanLine(0)[0], std::uint8_t{0});          // 10 stretched to 0
  QCOMPARE(img->ScanLine(0)[3 * 2999], std::uint8_t{255}); // 20 stretched to 255
  QVERIFY(form.ShellListView1->isEnabled());
  QCOMPARE(QApplication::overrideCursor(), nullptr);
  // The scroll box scrolls the picture.
  QTRY_VERIFY(form.ScrollBox2->horizontalScrollBar()->maximum() > 0);
  QVERIFY(form.ScrollBox2->verticalScrollBar()->maximum() > 0);
  // And it is painted: the left half black, the right half white.
  form.ScrollBox2->horizontalScrollBar()->setValue(1400);
  const QImage shot = form.ScrollBox2->viewport()->grab().toImage();
  QCOMPARE(QColor(shot.pixel(50, 50)), QColor(0, 0, 0));
  QCOMPARE(QColor(shot.pixel(150, 50)), QColor(255, 255, 255));
}

void WindowTest::previewShowsAPhotographUpright() {
  // Stored 30 x 20, left half black, with Exif orientation 6: upright it is
  // 20 x 30 with the black half on top.
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  write_bmp(dir.filePath("s.bmp"), 30, 20, [](int x, int) { return x < 15 ? 0u : 0xFFFFFFu; });
  {
    TvexImageFileMgr mgr;
    TvexImage img;
    img.SetDibHandle(mgr.LoadImage(dir.filePath("s.bmp").toStdString(), FF_BMP));
    mgr.SaveImage(dir.filePath("p.jpg").toStdString(), FF_JPEG, img.GetDibHandle());
  }
  QFile f(dir.filePath("p.jpg"));
  QVERIFY(f.open(QIODevice::ReadWrite));
  QByteArray bytes = f.readAll();
  const char exif[] = "\xFF\xE1\x00\x22"
                      "Exif\0\0"
                      "MM\x00\x2A\x00\x00\x00\x08"
                      "\x00\x01"
                      "\x01\x12\x00\x03\x00\x00\x00\x01\x00\x06\x00\x00"
                      "\x00\x00\x00\x00";
  bytes.insert(2, QByteArray(exif, sizeof exif - 1));
  f.seek(0);
  f.write(bytes);
  f.close();
  QFile::remove(dir.filePath("s.bmp"));
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 1);
  preview(form, 0);
  QCOMPARE(form.vexImageCtrl1->size(), QSize(20, 30));
  TvexImage* img = form.vexImageCtrl1->Image();
  QVERIFY(img->ScanLine(2)[30] < 40);
  QVERIFY(img->ScanLine(27)[30] > 215);
}

void WindowTest::previewIgnoresFoldersEmptySpaceAndSaysWhyAFileFailed() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QDir(dir.path()).mkdir("folder"));
  // Wider than the scroll box: at 100 % it scrolls.
  write_bmp(dir.filePath("good.bmp"), 600, 30, [](int x, int y) {
    return static_cast<std::uint32_t>((x & 255) << 16 | (y * 7) << 8 | 99);
  });
  touch(dir.filePath("broken.jpg"), QByteArray(300, '\x5a'));
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowActive(&form));
  ShowFolder(form, dir.path(), 3);
  QWidget* viewport = form.ShellListView1->viewport();

  form.SetPreviewActualSize(true);
  preview(form, index_of(form, "good.bmp"));
  QCOMPARE(form.vexImageCtrl1->size(), QSize(600, 30));
  QTRY_VERIFY(form.ScrollBox2->horizontalScrollBar()->maximum() > 0);
  const DibHandle shown = form.vexImageCtrl1->Image()->GetDibHandle();
  QVERIFY(!vex::platform::is_null(shown));
  // The click gave the list the keyboard.
  QVERIFY(form.ShellListView1->hasFocus());

  // A folder, then empty space below the last item: nothing changes.
  QTest::mousePress(viewport, Qt::LeftButton, {}, item_centre(form, index_of(form, "folder")));
  QTest::mousePress(viewport, Qt::MiddleButton, {}, QPoint(20, viewport->height() - 3));
  QVERIFY(!form.PreviewPending());
  QCOMPARE(form.vexImageCtrl1->Image()->GetDibHandle(), shown);

  // The arrow keys preview too: up from good.bmp to a file that cannot be
  // read, which shows the library's message and no scroll bars.
  form.ShellListView1->setCurrentIndex(form.ListItem(index_of(form, "good.bmp")));
  QTest::keyClick(form.ShellListView1, Qt::Key_Up);
  QCOMPARE(form.ShellListView1->currentIndex(), form.ListItem(index_of(form, "broken.jpg")));
  QTRY_VERIFY_WITH_TIMEOUT(!form.PreviewPending(), kLoadTimeout);
  QVERIFY(vex::platform::is_null(form.vexImageCtrl1->Image()->GetDibHandle()));
  QVERIFY(!form.PreviewMessage().isEmpty());
  QTRY_COMPARE(form.ScrollBox2->horizontalScrollBar()->maximum(), 0);
  QVERIFY(form.ShellListView1->isEnabled());
  QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void WindowTest::executeWithoutSelectionDoesNothing() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  write_bmp(dir.filePath("a.bmp"), 8, 8, [](int, int) { return 0x102030u; });
  TForm1 form;
  ShowFolder(form, dir.path(), 1);
  int steps = 0;
  form.OnBatchStep = [&](int) { ++steps; };
  form.Button1Click();
  QCOMPARE(steps, 0);
  QVERIFY(!QDir(dir.filePath("email")).exists());
  QVERIFY(form.Button1->isEnabled());
  QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void WindowTest::executeConvertsTheSelectedFiles() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QDir(dir.path()).mkdir("album"));
  for (int i = 0; i < 9; ++i)
    write_bmp(dir.filePath(QString("p%1.bmp").arg(i)), 40 + i, 30, [i](int x, int y) {
      return static_cast<std::uint32_t>(((x * 3 + i) & 255) << 16 | ((y * 5) & 255) << 8 | 77);
    });
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 10);
  // Items: album, p0 .. p8. Select p1, p4 and p8 (indexes 2, 5 and 9).
  for (int i : {2, 5, 9}) form.SetListItemSelected(i, true);
  QCOMPARE(form.ListSelectedCount(), 3);

  QList<int> progress;
  bool button_always_stop = true, cursor_always_busy = true;
  form.OnBatchStep = [&](int) {
    progress << form.ProgressBar1->value();
    button_always_stop = button_always_stop && form.Button1->text() == "Stop";
    cursor_always_busy = cursor_always_busy && QApplication::overrideCursor() &&
                         QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    // A click on another file during the run only selects and previews it.
    if (progress.size() != 1) return;
    QTest::mouseClick(form.ShellListView1->viewport(), Qt::LeftButton, {},
                      item_centre(form, index_of(form, "p0.bmp")));
  };
  QTest::mouseClick(form.Button1, Qt::LeftButton);

  QCOMPARE(progress, QList<int>({33, 67, 100}));
  QVERIFY(button_always_stop);
  QVERIFY(cursor_always_busy);
  QCOMPARE(form.Button1->text(), QString("Execute!"));
  QCOMPARE(QApplication::overrideCursor(), nullptr);
  QCOMPARE(form.ProgressBar1->value(), 0);
  QCOMPARE(summary_line(form),
           "3 converted, 0 not converted; outputs in " +
               QDir::toNativeSeparators(QDir(dir.filePath("email")).absolutePath()));

  // Every file selected at the start is converted, each as the sequential
  // road converts it alone.
  QCOMPARE(email_files(dir.path()), QStringList({"p1.jpg", "p4.jpg", "p8.jpg"}));
  for (const QString stem : {"p1", "p4", "p8"}) {
    MailSettings alone;
    alone.output = dir.filePath(stem + QString(".alone.jpg")).toStdString();
    QVERIFY(
        ConvertFile(dir.filePath(stem + QString(".bmp")).toStdString(), ImageFileManager(), alone)
            .converted);
    QCOMPARE(read_file(dir.filePath("email/" + stem + ".jpg")),
             read_file(QString::fromStdString(alone.output)));
  }
  // Converted items are deselected; p0, clicked meanwhile, stays selected.
  QCOMPARE(form.ListSelectedCount(), 1);
  QVERIFY(form.ListItemSelected(index_of(form, "p0.bmp")));
  // The list shows the new folder.
  QTRY_VERIFY_WITH_TIMEOUT(list_names(form).contains("email"), kLoadTimeout);
}

void WindowTest::executeSurvivesAFileThatThrows() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"})
    write_bmp(dir.filePath(name), 4, 4, [](int, int) { return 0x405060u; });
  TForm1 form;
  ShowFolder(form, dir.path(), 4);
  for (int i = 0; i < 4; ++i) form.SetListItemSelected(i, true);
  form.Workers = 1;
  QStringList seen;
  form.ConvertOne = [&](const std::string& file) -> ConvertResult {
    seen << QFileInfo(QString::fromStdString(file)).fileName();
    if (seen.size() == 2) throw std::runtime_error("out of memory, say");
    if (seen.size() == 3) throw 42;
    ConvertResult r;
    r.converted = true;
    return r;
  };
  QList<int> progress;
  form.OnBatchStep = [&](int) { progress << form.ProgressBar1->value(); };
  form.Button1Click();
  QCOMPARE(seen, QStringList({"a.bmp", "b.bmp", "c.bmp", "d.bmp"}));
  QCOMPARE(progress, QList<int>({25, 50, 75, 100}));
  QVERIFY(form.Button1->isEnabled());
  QCOMPARE(QApplication::overrideCursor(), nullptr);
  QCOMPARE(form.ProgressBar1->value(), 0);
  // The files that failed stay selected (by name: the new email folder may
  // be listed by now).
  QVERIFY(!form.ListItemSelected(index_of(form, "a.bmp")));
  QVERIFY(form.ListItemSelected(index_of(form, "b.bmp")));
  QVERIFY(form.ListItemSelected(index_of(form, "c.bmp")));
  QVERIFY(!form.ListItemSelected(index_of(form, "d.bmp")));
}

// Runs on a folder of small files: `broken` ones are not pictures, `.jpg`
// ones are real JPEGs; `stop` is how the run is stopped after its first file
// ("" = not stopped).
void WindowTest::batchReports_data() {
  QTest::addColumn<QStringList>("files");
  QTest::addColumn<QString>("stop");
  QTest::addColumn<QString>("summary");
  QTest::addColumn<QStringList>("outputs");
  QTest::addColumn<QStringList>("still_selected");
  QTest::addColumn<QString>("noted");
  QTest::addColumn<QString>("note");
  const QStringList four = {"a.bmp", "b.bmp", "c.bmp", "d.bmp"};
  for (const char* how : {"button", "escape"})
    QTest::newRow(how) << four << how << "1 converted, 0 not converted, 3 not started (stopped)"
                       << QStringList({"a.jpg"}) << QStringList({"b.bmp", "c.bmp", "d.bmp"}) << ""
                       << "";
  QTest::newRow("failure") << QStringList({"a.bmp", "broken.bmp", "c.bmp"}) << ""
                           << "2 converted, 1 not converted" << QStringList({"a.jpg", "c.jpg"})
                           << QStringList({"broken.bmp"}) << "broken.bmp"
                           << "*";
  QTest::newRow("name clash") << QStringList({"a.bmp", "a.jpg", "b.bmp"}) << ""
                              << "2 converted, 1 not converted" << QStringList({"a.jpg", "b.jpg"})
                              << QStringList({"a.bmp"}) << "a.bmp"
                              << "its output was replaced by a.jpg's";
}

void WindowTest::batchReports() {
  QFETCH(QStringList, files);
  QFETCH(QString, stop);
  QFETCH(QString, summary);
  QFETCH(QStringList, outputs);
  QFETCH(QStringList, still_selected);
  QFETCH(QString, noted);
  QFETCH(QString, note);
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (int i = 0; i < files.size(); ++i) {
    const QString path = dir.filePath(files[i]);
    if (files[i].startsWith("broken"))
      touch(path);
    else if (files[i].endsWith(".jpg"))
      write_jpeg(path);
    else
      write_photo(path, i);
  }
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), static_cast<int>(files.size()));
  for (int i = 0; i < files.size(); ++i) form.SetListItemSelected(i, true);
  form.Workers = 1;
  form.OnBatchStep = [&](int index) {
    if (index != 0) return;
    if (stop == "button") QTest::mouseClick(form.Button1, Qt::LeftButton);
    if (stop == "escape") QTest::keyClick(form.ShellListView1, Qt::Key_Escape);
  };
  form.Button1Click();

  QCOMPARE(form.Button1->text(), QString("Execute!"));
  QVERIFY(summary_line(form).startsWith(summary + "; outputs in "));
  QCOMPARE(email_files(dir.path()), outputs);
  for (const QString& out : outputs) // whole files only
    QVERIFY(read_file(dir.filePath("email/" + out)).endsWith("\xFF\xD9"));
  QStringList selected;
  for (const QString& name : files)
    if (form.ListItemSelected(index_of(form, name))) selected << name;
  QCOMPARE(selected, still_selected);
  if (noted.isEmpty()) return;
  const QString tip = form.ListItem(index_of(form, noted)).data(Qt::ToolTipRole).toString();
  QVERIFY(!tip.isEmpty());
  if (note != "*") QCOMPARE(tip, note);
  QVERIFY(form.SummaryLabel->toolTip().contains(noted + ": " + tip));
}

void WindowTest::droppedFolderIsConverted() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QDir(dir.path()).mkpath("drop/inner"));
  for (const char* name : {"drop/x.bmp", "drop/y.BMP", "drop/inner/z.bmp"})
    write_photo(dir.filePath(name), 1);
  touch(dir.filePath("drop/notes.txt"));
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(dir.filePath("drop"))});
  QDragEnterEvent enter(QPoint(500, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(&form, &enter);
  QVERIFY(enter.isAccepted());
  QDropEvent drop(QPointF(500, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(&form, &drop);
  QTRY_VERIFY_WITH_TIMEOUT(summary_line(form).startsWith("2 converted, 0 not converted"),
                           kLoadTimeout);
  QVERIFY(!form.BatchRunning());
  QCOMPARE(email_files(dir.filePath("drop")), QStringList({"x.jpg", "y.jpg"}));
}

void WindowTest::previewOfALargePhotoIsFittedOffTheWindowThread() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  constexpr int kW = 8000, kH = 5000; // 40 megapixels
  write_bmp(dir.filePath("large.bmp"), kW, kH,
            [](int x, int y) { return static_cast<std::uint32_t>((x ^ y) & 255) * 0x010101u; });
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 1);
  // The event loop keeps turning while the picture is read.
  QElapsedTimer clock, since_tick;
  qint64 longest = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout,
                   [&] { longest = std::max(longest, since_tick.restart()); });
  ticker.start(10);
  clock.start();
  since_tick.start();
  QTest::mousePress(form.ShellListView1->viewport(), Qt::LeftButton, {}, item_centre(form, 0));
  // The click returns before the picture is there: it comes back through the
  // event loop.
  QVERIFY(form.PreviewPending());
  QTRY_VERIFY_WITH_TIMEOUT(!form.PreviewPending(), 60000);
  ticker.stop();
  qInfo("40 MP preview: %lld ms, longest stall of the event loop %lld ms", clock.elapsed(),
        longest);
  // Read on the window's thread, the whole time would be one stall. A read
  // that is over in a few ticks says little either way (a busy machine
  // stretches one tick), so short reads only have to keep stalls short.
  QVERIFY(longest < std::max<qint64>(clock.elapsed() / 3, 150));
  QCOMPARE(form.vexImageCtrl1->Image()->Width(), kW);
  QCOMPARE(form.vexImageCtrl1->size(), QSize(449, 280));
  QVERIFY(form.vexImageCtrl1->Ctrl().ScaleToFit());
}

void WindowTest::closingDuringARunStopsItFirst() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) touch(dir.filePath(name));
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ShowFolder(form, dir.path(), 3);
  for (int i = 0; i < 3; ++i) form.SetListItemSelected(i, true);
  form.Workers = 1;
  int converted = 0;
  form.ConvertOne = [&](const std::string&) {
    ++converted;
    return ConvertResult{};
  };
  form.OnBatchStep = [&](int i) {
    if (i == 0) QVERIFY(!form.close()); // refused while the run walks the list
  };
  form.Button1Click();
  QCOMPARE(converted, 1);
  QVERIFY(form.Button1->isEnabled());
  QCOMPARE(QApplication::overrideCursor(), nullptr);
  QTRY_VERIFY(!form.isVisible());
}

// The Qt surface against the library's drawing: rows of every depth land
// top row first, and border lines leave out their end points.
void WindowTest::surfacePaintsDibRowsAndBorder() {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 8, 6);
  TvexImage* img = ctrl.Image();
  img->SetWidth(8);
  img->SetHeight(6);
  img->SetBitCount(24);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      std::uint8_t* p = img->ScanLine(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(10 * x); // blue
      p[1] = static_cast<std::uint8_t>(20 * y); // green
      p[2] = 200;                               // red
    }
  ctrl.SetBorderStyle(BS_SINGLE);
  QImage canvas(8, 6, QImage::Format_RGB32);
  canvas.fill(QColor(1, 2, 3));
  {
    QPainter painter(&canvas);
    QtDrawSurface surface(painter, 8, 6);
    ctrl.PaintTo(surface);
  }
  QCOMPARE(QColor(canvas.pixel(3, 3)), QColor(200, 60, 30));
  QCOMPARE(QColor(canvas.pixel(5, 2)), QColor(200, 40, 50));
  QCOMPARE(QColor(canvas.pixel(0, 0)), QColor(128, 128, 128));
  QCOMPARE(QColor(canvas.pixel(7, 0)), QColor(255, 255, 255));
  QCOMPARE(QColor(canvas.pixel(0, 5)), QColor(200, 100, 0)); // no line reaches this corner
  QCOMPARE(QColor(canvas.pixel(1, 1)), QColor(0, 0, 0));
  QCOMPARE(QColor(canvas.pixel(6, 1)), QColor(192, 192, 192));
  QCOMPARE(QColor(canvas.pixel(1, 4)), QColor(200, 80, 10));

  // Indexed, 1-bit and top-down sources.
  vex::platform::BitmapInfo info{};
  info.bmiHeader.biSize = 40;
  info.bmiHeader.biWidth = 3;
  info.bmiHeader.biHeight = -2; // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 8;
  info.bmiColors[7] = {30, 20, 10, 0};
  info.bmiColors[9] = {0, 0, 255, 0};
  const std::uint8_t rows8[] = {7, 9, 7, 0, 9, 9, 7, 0};
  QImage q8 = DibToQImage({&info, rows8});
  QCOMPARE(q8.size(), QSize(3, 2));
  QCOMPARE(QColor(q8.pixel(0, 0)), QColor(10, 20, 30));
  QCOMPARE(QColor(q8.pixel(1, 0)), QColor(255, 0, 0));
  QCOMPARE(QColor(q8.pixel(2, 1)), QColor(10, 20, 30));
  info.bmiHeader.biBitCount = 1;
  info.bmiHeader.biHeight = 2; // bottom-up
  info.bmiColors[0] = {0, 0, 0, 0};
  info.bmiColors[1] = {255, 255, 255, 0};
  const std::uint8_t rows1[] = {0xA0, 0, 0, 0, 0x40, 0, 0, 0}; // bottom row first
  const std::uint8_t mask[] = {0x20, 0, 0, 0, 0x00, 0, 0, 0};
  QImage q1 = DibToQImage({&info, rows1}, mask);
  QCOMPARE(QColor(q1.pixel(1, 0)), QColor(255, 255, 255));
  QCOMPARE(QColor(q1.pixel(0, 0)), QColor(0, 0, 0));
  QCOMPARE(QColor(q1.pixel(0, 1)), QColor(255, 255, 255));
  QCOMPARE(qAlpha(q1.pixel(2, 1)), 0); // masked
  QCOMPARE(qAlpha(q1.pixel(1, 1)), 255);
  info.bmiHeader.biWidth = 0;
  QVERIFY(DibToQImage({&info, rows1}).isNull());
}

// With PARVULA_SCREENSHOT=<file.png>: the window on a folder of pictures,
// one previewed (fitted), a batch under way with its summary line.
void WindowTest::screenshot() {
  const QString target = qEnvironmentVariable("PARVULA_SCREENSHOT");
  if (target.isEmpty()) QSKIP("PARVULA_SCREENSHOT not set");
  const QString pictures = qEnvironmentVariable("PARVULA_SCREENSHOT_FOLDER");
  QVERIFY2(!pictures.isEmpty(), "PARVULA_SCREENSHOT_FOLDER: a folder of pictures");
  const QString shown_name = qEnvironmentVariable("PARVULA_SCREENSHOT_PREVIEW");
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  form.SelectFolder(pictures);
  QTRY_VERIFY_WITH_TIMEOUT(form.ListItemCount() > 0, kLoadTimeout);
  QTest::qWait(500);
  const int shown = shown_name.isEmpty() ? 0 : index_of(form, shown_name);
  QVERIFY(shown >= 0);
  form.ShellListView1->scrollTo(form.ListItem(shown));
  preview(form, shown);
  QTest::mouseRelease(form.ShellListView1->viewport(), Qt::LeftButton, {},
                      item_centre(form, shown));
  for (int i = 0; i < form.ListItemCount(); ++i)
    if (!form.ListItemIsFolder(i)) form.SetListItemSelected(i, true);
  // One worker, so that the picture catches the run part-way.
  form.Workers = 1;
  bool saved = false;
  form.OnBatchStep = [&](int) {
    if (saved || form.ProgressBar1->value() < 60) return;
    form.ShellTreeView1->scrollTo(form.ShellTreeView1->currentIndex());
    QTest::qWait(200);
    saved = form.grab().save(target);
  };
  form.Button1Click();
  QVERIFY(saved);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
