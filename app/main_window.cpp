#include "main_window.h"

#include "batch.h"
#include "channel_stretch.h"
#include "file_filter.h"
#include "orientation.h"
#include "vexImageFile.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMouseEvent>
#include <QPersistentModelIndex>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// Busy state of a long operation: the hourglass and whatever the caller
// disables come back however the operation ends, exceptions included.
class BusyScope {
public:
  explicit BusyScope(QWidget* disabled) : disabled_(disabled) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (disabled_) disabled_->setEnabled(false);
  }
  ~BusyScope() {
    if (disabled_) disabled_->setEnabled(true);
    QApplication::restoreOverrideCursor();
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

private:
  QWidget* disabled_;
};

// A label of the layout: the original face is narrower than the stand-in,
// so a text that would overflow the label's place is condensed to fit it.
void FitLabel(QLabel* label, int width) {
  QFont font = label->font();
  const int natural = QFontMetrics(font).horizontalAdvance(label->text());
  if (natural <= width) return;
  // Glyph advances are rounded, so the first guess may still be a little wide.
  for (int stretch = width * 100 / natural; stretch >= 50; --stretch) {
    font.setStretch(stretch);
    if (QFontMetrics(font).horizontalAdvance(label->text()) <= width) break;
  }
  label->setFont(font);
}

} // namespace

std::string NativePath(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

bool ShellListFilter::filterAcceptsRow(int source_row, const QModelIndex& source_parent) const {
  const auto* fs = static_cast<const QFileSystemModel*>(sourceModel());
  const QModelIndex item = fs->index(source_row, 0, source_parent);
  bool can_add = true;
  if (OnAddFolder) OnAddFolder(fs->fileName(item), fs->isDir(item), can_add);
  return can_add;
}

bool ShellListFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const auto* fs = static_cast<const QFileSystemModel*>(sourceModel());
  const bool left_dir = fs->isDir(left), right_dir = fs->isDir(right);
  if (left_dir != right_dir) return left_dir;
  const QString a = fs->fileName(left), b = fs->fileName(right);
  const int order = QString::compare(a, b, Qt::CaseInsensitive);
  return order != 0 ? order < 0 : a < b;
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  ConvertOne = [](const std::string& file_name) {
    return ConvertFile(file_name, ImageFileManager());
  };
  BuildLayout();
}

TForm1::~TForm1() = default;

void TForm1::BuildLayout() {
  setObjectName("Form1");
  setWindowTitle("Parvula");
  // The layout was drawn for an 8-point face 11 pixels high.
  QFont font = QApplication::font();
  font.setPixelSize(11);
  setFont(font);
  resize(kDesignClientWidth, kDesignClientHeight);

  Label1 = new QLabel("Select image files and press Execute! button.", this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(568, 0, 212, 13);
  FitLabel(Label1, 212);

  Label2 = new QLabel("After executing - will be create new sub folder with name 'email'", this);
  Label2->setObjectName("Label2");
  Label2->setGeometry(568, 16, 296, 13);
  FitLabel(Label2, 296);

  Button1 = new QPushButton("Execute!", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(424, 3, 137, 30);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  ScrollBox2 = new QScrollArea(this);
  ScrollBox2->setObjectName("ScrollBox2");
  ScrollBox2->setGeometry(416, 72, 451, 513);
  ScrollBox2->setWidgetResizable(false);
  ScrollBox2->horizontalScrollBar()->setTracking(true);
  ScrollBox2->verticalScrollBar()->setTracking(true);

  vexImageCtrl1 = new ImageCtrlWidget;
  vexImageCtrl1->setObjectName("vexImageCtrl1");
  vexImageCtrl1->setGeometry(0, 0, 433, 321);
  vexImageCtrl1->Ctrl().SetScale(1.0);
  vexImageCtrl1->Ctrl().SetScaleToFit(false);
  ScrollBox2->setWidget(vexImageCtrl1);

  // The list: folders and the pictures the filter admits.
  list_model_ = new QFileSystemModel(this);
  list_model_->setFilter(QDir::AllDirs | QDir::Files | QDir::Drives | QDir::NoDotAndDotDot);
  list_model_->setReadOnly(false); // in-place rename
  list_filter_ = new ShellListFilter(this);
  list_filter_->OnAddFolder = [this](const QString& name, bool is_folder, bool& can_add) {
    ShellListView1AddFolder(name, is_folder, can_add);
  };
  list_filter_->setSourceModel(list_model_);
  list_filter_->setDynamicSortFilter(true);
  list_filter_->sort(0, Qt::AscendingOrder);
  connect(list_model_, &QFileSystemModel::directoryLoaded, this, [this](const QString& path) {
    if (QDir(path) != QDir(list_folder_)) return;
    list_loaded_ = true;
    emit ListFolderLoaded(path);
  });

  ShellListView1 = new QTableView(this);
  ShellListView1->setObjectName("ShellListView1");
  ShellListView1->setGeometry(0, 192, 409, 393);
  ShellListView1->setModel(list_filter_);
  ShellListView1->setShowGrid(true);
  ShellListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ShellListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ShellListView1->setEditTriggers(QAbstractItemView::EditKeyPressed |
                                  QAbstractItemView::SelectedClicked);
  ShellListView1->setDragDropMode(QAbstractItemView::NoDragDrop);
  ShellListView1->setWordWrap(false);
  ShellListView1->setMouseTracking(true); // hot tracking
  ShellListView1->viewport()->setAttribute(Qt::WA_Hover);
  ShellListView1->verticalHeader()->hide();
  ShellListView1->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 6);
  ShellListView1->horizontalHeader()->setHighlightSections(false);
  ShellListView1->setColumnHidden(2, true); // the kind of file says little here
  ShellListView1->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  ShellListView1->setColumnWidth(1, 70);
  ShellListView1->setColumnWidth(3, 110);
  {
    QPalette pal = ShellListView1->palette();
    pal.setColor(QPalette::Base, QColor(192, 192, 192)); // silver
    pal.setColor(QPalette::AlternateBase, QColor(192, 192, 192));
    // The selection stays visible when the list loses the focus.
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
      pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    ShellListView1->setPalette(pal);
  }
  ShellListView1->viewport()->installEventFilter(this);
  connect(ShellListView1, &QAbstractItemView::activated, this, [this](const QModelIndex& idx) {
    const QModelIndex src = list_filter_->mapToSource(idx);
    if (list_model_->isDir(src)) SelectFolder(list_model_->filePath(src));
  });

  // The tree: folders only, from the root of the file system.
  tree_model_ = new QFileSystemModel(this);
  tree_model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  tree_model_->setRootPath(QDir::rootPath());

  ShellTreeView1 = new QTreeView(this);
  ShellTreeView1->setObjectName("ShellTreeView1");
  ShellTreeView1->setGeometry(0, 0, 409, 185);
  ShellTreeView1->setModel(tree_model_);
  for (int c = 1; c < tree_model_->columnCount(); ++c) ShellTreeView1->setColumnHidden(c, true);
  ShellTreeView1->setHeaderHidden(true);
  ShellTreeView1->setIndentation(19);
  ShellTreeView1->setRootIsDecorated(false);
  ShellTreeView1->setSortingEnabled(true);
  ShellTreeView1->sortByColumn(0, Qt::AscendingOrder);
  ShellTreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ShellTreeView1->expand(tree_model_->index(QDir::rootPath()));
  // Folders above the selected one are read and sorted in the background;
  // the rows they bring push the selection out of sight, so it is brought
  // back into view while they arrive (until the user takes over the tree).
  reveal_scroll_.setSingleShot(true);
  reveal_scroll_.setInterval(0);
  connect(&reveal_scroll_, &QTimer::timeout, this, [this] {
    if (!reveal_timer_.isValid() || reveal_timer_.hasExpired(kRevealMilliseconds)) return;
    const QModelIndex current = ShellTreeView1->currentIndex();
    if (current.isValid()) ShellTreeView1->scrollTo(current);
  });
  auto reveal_later = [this] {
    if (reveal_timer_.isValid() && !reveal_timer_.hasExpired(kRevealMilliseconds))
      reveal_scroll_.start();
  };
  connect(tree_model_, &QFileSystemModel::directoryLoaded, this, reveal_later);
  connect(tree_model_, &QAbstractItemModel::rowsInserted, this, reveal_later);
  connect(tree_model_, &QAbstractItemModel::layoutChanged, this, reveal_later);
  ShellTreeView1->viewport()->installEventFilter(this);
  connect(ShellTreeView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            ShowFolderInList(current.isValid() ? tree_model_->filePath(current) : QString());
          });

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(416, 40, 449, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  setTabOrder(Button1, ScrollBox2);
  setTabOrder(ScrollBox2, ShellListView1);
  setTabOrder(ShellListView1, ShellTreeView1);
  setTabOrder(ShellTreeView1, ProgressBar1);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect avail = screen->availableGeometry();
    move(avail.center() - QPoint(kDesignClientWidth / 2, kDesignClientHeight / 2));
  }
}

void TForm1::ApplyAnchors() {
  const int dw = width() - kDesignClientWidth, dh = height() - kDesignClientHeight;
  // Anchored on all four sides: grows with the window.
  ScrollBox2->setGeometry(416, 72, std::max(0, 451 + dw), std::max(0, 513 + dh));
  // Anchored left, top and bottom: grows downwards only.
  ShellListView1->setGeometry(0, 192, 409, std::max(0, 393 + dh));
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (ScrollBox2) ApplyAnchors();
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (reveal_timer_.isValid()) {
    reveal_timer_.start();
    reveal_scroll_.start();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (batch_running_) {
    // The batch still walks this window's list: stop it first, then close.
    close_requested_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

// ---- the shell controls ----

QString TForm1::SelectedFolder() const {
  const QModelIndex current = ShellTreeView1->currentIndex();
  return current.isValid() ? tree_model_->filePath(current) : QString();
}

void TForm1::SelectFolder(const QString& path) {
  const QModelIndex idx = tree_model_->index(QDir(path).absolutePath());
  if (!idx.isValid()) return;
  ShellTreeView1->setCurrentIndex(idx);
  ShellTreeView1->scrollTo(idx);
  reveal_timer_.start();
  reveal_scroll_.start();
}

void TForm1::ShowFolderInList(const QString& path) {
  list_folder_ = path;
  list_loaded_ = false;
  ShellListView1->clearSelection();
  if (path.isEmpty()) {
    ShellListView1->setRootIndex(list_filter_->mapFromSource(list_model_->setRootPath(QString())));
    return;
  }
  const QModelIndex src = list_model_->setRootPath(path);
  ShellListView1->setRootIndex(list_filter_->mapFromSource(src));
  ShellListView1->scrollToTop();
}

int TForm1::ListItemCount() const {
  return list_filter_->rowCount(ShellListView1->rootIndex());
}

int TForm1::ListSelectedCount() const {
  const QModelIndex root = ShellListView1->rootIndex();
  const QModelIndexList rows = ShellListView1->selectionModel()->selectedRows(0);
  return static_cast<int>(std::count_if(rows.begin(), rows.end(),
                                        [&](const QModelIndex& i) { return i.parent() == root; }));
}

QModelIndex TForm1::ListItem(int index) const {
  return list_filter_->index(index, 0, ShellListView1->rootIndex());
}

QString TForm1::ListItemPath(int index) const {
  const QModelIndex item = ListItem(index);
  return item.isValid() ? list_model_->filePath(list_filter_->mapToSource(item)) : QString();
}

bool TForm1::ListItemIsFolder(int index) const {
  const QModelIndex item = ListItem(index);
  return item.isValid() && list_model_->isDir(list_filter_->mapToSource(item));
}

bool TForm1::ListItemSelected(int index) const {
  const QModelIndex item = ListItem(index);
  return item.isValid() && ShellListView1->selectionModel()->isSelected(item);
}

void TForm1::SetListItemSelected(int index, bool selected) {
  const QModelIndex item = ListItem(index);
  if (!item.isValid()) return;
  ShellListView1->selectionModel()->select(
      item, (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                QItemSelectionModel::Rows);
}

// The model watches the folder, so new entries arrive by themselves; this
// only makes the filter and the order look at every entry again.
void TForm1::RefreshList() {
  list_filter_->invalidate();
}

void TForm1::ShellListView1AddFolder(const QString& display_name, bool is_folder, bool& can_add) {
  can_add = ImageFileFilter(display_name.toStdString(), is_folder);
}

// ---- Execute! ----

void TForm1::Button1Click() {
  if (batch_running_ || ListSelectedCount() == 0) return;

  const QString folder = SelectedFolder();
  // Without a selected folder there is no "<folder>/email" to make (and no
  // reason to make one at the root); each output still goes beside its source.
  if (!folder.isEmpty()) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(NativePath(folder)) / "email",
                                        ignored);
  }

  // Restores the window however the run ends.
  struct RunScope {
    TForm1* form;
    BusyScope busy;
    explicit RunScope(TForm1* f) : form(f), busy(f->Button1) { form->batch_running_ = true; }
    ~RunScope() {
      form->batch_running_ = false;
      form->ProgressBar1->setValue(0);
      form->RefreshList();
      // A close asked for during the run happens now.
      if (std::exchange(form->close_requested_, false))
        QTimer::singleShot(0, form, [f = form] { f->close(); });
    }
  } scope(this);

  const std::int32_t total = ListItemCount();
  const std::int32_t selected = ListSelectedCount();
  std::int32_t done = 0;
  // The items as they are now: entries that appear during the run (the new
  // email folder among them) must not shift which item is visited next.
  std::vector<QPersistentModelIndex> items;
  items.reserve(static_cast<std::size_t>(total));
  for (std::int32_t i = 0; i < total; ++i) items.emplace_back(ListItem(i));

  QItemSelectionModel* selection = ShellListView1->selectionModel();
  for (std::int32_t i = 0; i < total && !close_requested_; ++i) {
    const QModelIndex item = items[static_cast<std::size_t>(i)];
    if (item.isValid() && selection->isSelected(item)) {
      const QString path = list_model_->filePath(list_filter_->mapToSource(item));
      bool converted = false;
      try {
        converted = ConvertOne(NativePath(path)).converted;
      } catch (...) {
        // A file that fails this way is skipped like one that cannot be
        // read; the run goes on with the next item.
        converted = false;
      }
      if (converted)
        selection->select(item, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
      ++done;
    }
    ProgressBar1->setValue(BatchProgress(done, selected));
    QCoreApplication::processEvents();
    if (OnBatchStep) OnBatchStep(i);
  }
  // `scope` restores the button, the cursor and the progress bar here.
}

void TForm1::vexThumbView1LoadImage(const QString& file_name) {
  BusyScope busy(ShellListView1);
  TvexImage* image = vexImageCtrl1->Image();
  image->SetDibHandle(LoadByExtension(NativePath(file_name), ImageFileManager()));
  // A photograph is shown upright, as the batch writes it.
  if (!vex::platform::is_null(image->GetDibHandle()))
    TurnUpright(*image, ImageFileManager().GetImageInfo().Orientation());
  if (!vex::platform::is_null(image->GetDibHandle())) {
    const int h = image->Height() < 0 ? -image->Height() : image->Height();
    vexImageCtrl1->resize(image->Width(), h);
  }
}

void TForm1::ShellListView1MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
  const QModelIndex item = ShellListView1->indexAt(QPoint(x, y));
  if (!item.isValid()) return;
  const QModelIndex src = list_filter_->mapToSource(item);
  if (list_model_->isDir(src)) return;
  const QString path = list_model_->filePath(src);
  if (path.isEmpty()) return;
  vexThumbView1LoadImage(path);
  try {
    StretchChannels(*vexImageCtrl1->Image());
  } catch (...) {
    // The picture is shown as loaded.
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ShellTreeView1->viewport() &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::Wheel))
    reveal_timer_.invalidate();
  if (watched == ShellListView1->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint p = mouse->position().toPoint();
    try {
      ShellListView1MouseDown(mouse->button(), mouse->modifiers(), p.x(), p.y());
    } catch (...) {
      // Nothing may escape into the event loop; the preview just stays as it is.
    }
  }
  return QWidget::eventFilter(watched, event);
}
