#include "main_window.h"

#include "batch.h"
#include "channel_stretch.h"
#include "file_filter.h"
#include "orientation.h"
#include "vexImageFile.h"
#include "vexImageResStr.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPersistentModelIndex>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

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

// Reads preview pictures on a thread of its own, so that a large photograph
// never stalls the window. Only the newest request is read; one asked for
// while another is being read waits for it, older ones are dropped.
class PreviewLoader {
public:
  // Called on the loader's thread with the picture (owned by the receiver;
  // null when the file could not be read) and the reason for a failure.
  using Done = std::function<void(std::uint64_t ticket, TvexImage* image, const QString& message)>;

  explicit PreviewLoader(Done done) : done_(std::move(done)), thread_([this] { Run(); }) {}
  ~PreviewLoader() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  PreviewLoader(const PreviewLoader&) = delete;
  PreviewLoader& operator=(const PreviewLoader&) = delete;

  void Request(std::uint64_t ticket, std::string path) {
    {
      std::lock_guard lock(mutex_);
      ticket_ = ticket;
      path_ = std::move(path);
    }
    wake_.notify_one();
  }

private:
  void Run() {
    TvexImageFileMgr manager;
    std::uint64_t read = 0;
    for (;;) {
      std::string path;
      std::uint64_t ticket;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return quit_ || ticket_ != read; });
        if (quit_) return;
        ticket = read = ticket_;
        path = path_;
      }
      QString message;
      auto image = std::make_unique<TvexImage>();
      try {
        image->SetDibHandle(LoadByExtension(path, manager));
        if (vex::platform::is_null(image->GetDibHandle())) {
          const TvexErrorCode code = manager.GetLastError();
          message = QString::fromStdString(code != EC_OK ? vexErrorMessage(code)
                                                         : std::string("The file cannot be read."));
        } else {
          // A photograph is shown upright, and stretched, as the batch writes it.
          TurnUpright(*image, manager.GetImageInfo().Orientation());
          try {
            StretchChannels(*image);
          } catch (...) {
            // Shown as loaded.
          }
        }
      } catch (const std::exception& e) {
        image = std::make_unique<TvexImage>();
        message = QString::fromLocal8Bit(e.what());
      }
      if (vex::platform::is_null(image->GetDibHandle())) image.reset();
      done_(ticket, image.release(), message);
    }
  }

  Done done_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  std::uint64_t ticket_ = 0;
  std::string path_;
  std::thread thread_; // last: starts once the rest is ready
};

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

QVariant ShellListFilter::data(const QModelIndex& index, int role) const {
  if (role == Qt::ToolTipRole && !Notes.isEmpty()) {
    const auto* fs = static_cast<const QFileSystemModel*>(sourceModel());
    const auto note = Notes.constFind(fs->filePath(mapToSource(index)));
    if (note != Notes.constEnd()) return *note;
  }
  return QSortFilterProxyModel::data(index, role);
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
  Workers = std::max(1u, std::thread::hardware_concurrency());
  BuildLayout();
  preview_loader_ = std::make_unique<PreviewLoader>([this](std::uint64_t ticket, TvexImage* image,
                                                           const QString& message) {
    // The receiver owns the picture; it is freed if the window is gone.
    auto holder = std::make_shared<std::unique_ptr<TvexImage>>(image);
    QMetaObject::invokeMethod(
        this, [this, ticket, holder, message] { ShowPreview(ticket, holder->release(), message); },
        Qt::QueuedConnection);
  });
}

// The loader's thread goes first: it posts to this window.
TForm1::~TForm1() {
  preview_loader_.reset();
}

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
  connect(vexImageCtrl1, &ImageCtrlWidget::doubleClicked, this,
          [this] { SetPreviewActualSize(!actual_size_); });

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
  // Moving through the list with the keyboard previews too (a click has
  // asked for its file already).
  connect(ShellListView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (!current.isValid() || !ShellListView1->hasFocus()) return;
            const QModelIndex src = list_filter_->mapToSource(current);
            if (list_model_->isDir(src)) return;
            const QString path = list_model_->filePath(src);
            if (!path.isEmpty() && path != preview_path_) vexThumbView1LoadImage(path);
          });
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

  SummaryLabel = new QLabel(this);
  SummaryLabel->setObjectName("SummaryLabel");
  SummaryLabel->setGeometry(416, 57, 449, 14);
  SummaryLabel->setTextFormat(Qt::PlainText);

  // Escape stops a batch, like a click on "Stop".
  // (Only then: otherwise Escape belongs to the list, to cancel a rename.)
  StopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  StopShortcut->setEnabled(false);
  connect(StopShortcut, &QShortcut::activated, this, [this] { StopBatch(); });
  setAcceptDrops(true);
  // Below this, the fixed controls on top would be cut.
  setMinimumSize(kDesignClientWidth, 420);

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
  SummaryLabel->setGeometry(416, 57, std::max(0, 449 + dw), 14);
  ElideSummary();
  FitPreview();
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
    // The batch still reports to this window: stop it first, then close.
    close_requested_ = true;
    StopBatch();
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
  if (batch_running_) return StopBatch();
  if (ListSelectedCount() == 0) return;

  const QString folder = SelectedFolder();
  // Without a selected folder there is no "<folder>/email" to make (and no
  // reason to make one at the root); each output still goes beside its source.
  if (!folder.isEmpty()) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(NativePath(folder)) / "email",
                                        ignored);
  }
  // The selection as it is now: clicks during the run only browse.
  std::vector<BatchItem> items;
  const std::int32_t total = ListItemCount();
  for (std::int32_t i = 0; i < total; ++i)
    if (ListItemSelected(i)) items.push_back({ListItemPath(i), QPersistentModelIndex(ListItem(i))});
  RunBatchItems(items);
}

void TForm1::ConvertPaths(const QStringList& paths) {
  if (batch_running_) return;
  std::vector<std::string> native;
  for (const QString& p : paths) native.push_back(NativePath(p));
  std::vector<BatchItem> items;
  for (const std::string& file : CollectBatchFiles(native, false))
    items.push_back({QFile::decodeName(QByteArray::fromStdString(file)), {}});
  if (items.empty()) {
    summary_text_ = "No pictures to convert there.";
    SummaryLabel->setToolTip(summary_text_);
    ElideSummary();
    return;
  }
  RunBatchItems(items);
}

void TForm1::StopBatch() {
  if (batch_running_) stop_ = true;
}

void TForm1::RunBatchItems(const std::vector<BatchItem>& items) {
  // Restores the window however the run ends.
  struct RunScope {
    TForm1* form;
    explicit RunScope(TForm1* f) : form(f) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      form->batch_running_ = true;
      form->stop_ = false;
      form->Button1->setText("Stop");
      form->StopShortcut->setEnabled(true);
    }
    ~RunScope() {
      form->batch_running_ = false;
      form->Button1->setText("Execute!");
      form->StopShortcut->setEnabled(false);
      QApplication::restoreOverrideCursor();
      form->ProgressBar1->setValue(0);
      form->RefreshList();
      // A close asked for during the run happens now.
      if (std::exchange(form->close_requested_, false))
        QTimer::singleShot(0, form, [f = form] { f->close(); });
    }
  } scope(this);

  run_items_ = items;
  run_outcomes_.assign(items.size(), BatchOutcome{});
  run_done_ = 0;
  std::vector<std::string> files;
  for (const BatchItem& item : items) {
    files.push_back(NativePath(item.path));
    list_filter_->Notes.remove(item.path);
  }
  ShowBatchSummary(false);

  BatchControl control;
  control.stop = &stop_;
  control.convert = [this](const std::string& file, TvexImageFileMgr& manager,
                           const MailSettings& settings) {
    return ConvertOne ? ConvertOne(file) : ConvertFile(file, manager, settings);
  };
  // The worker waits until the window has taken the outcome in, so a stop
  // asked for meanwhile is seen before its next file.
  control.file_done = [this](std::size_t index, const BatchOutcome& outcome) {
    QMetaObject::invokeMethod(
        this, [this, index, outcome] { BatchFileDone(index, outcome); },
        Qt::BlockingQueuedConnection);
  };

  QEventLoop loop;
  std::vector<BatchOutcome> outcomes;
  std::thread runner([&, files] {
    outcomes = RunBatch(files, std::vector<std::string>(files.size()), MailSettings(), Workers, {},
                        control);
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  // The window stays fully usable meanwhile: browsing, previews, "Stop".
  loop.exec();
  runner.join();
  run_outcomes_ = std::move(outcomes);

  // Sources whose output a later one replaced are not converted after all,
  // unless the run stopped before the later one.
  for (std::size_t i = 0; i < run_outcomes_.size(); ++i) {
    BatchOutcome& o = run_outcomes_[i];
    if (!o.started) continue;
    const long by = o.superseded_by;
    if (by >= 0 && run_outcomes_[static_cast<std::size_t>(by)].started) {
      o.result.converted = false;
      o.result.message =
          QString("its output was replaced by %1's")
              .arg(QFileInfo(run_items_[static_cast<std::size_t>(by)].path).fileName())
              .toStdString();
      list_filter_->Notes.insert(run_items_[i].path, QString::fromStdString(o.result.message));
    } else if (o.result.converted && by >= 0 && run_items_[i].item.isValid()) {
      ShellListView1->selectionModel()->select(run_items_[i].item, QItemSelectionModel::Deselect |
                                                                       QItemSelectionModel::Rows);
    }
  }
  ShowBatchSummary(true);
  // `scope` restores the button, the cursor and the progress bar here.
}

void TForm1::BatchFileDone(std::size_t index, const BatchOutcome& outcome) {
  run_outcomes_[index] = outcome;
  ++run_done_;
  ProgressBar1->setValue(BatchProgress(
      run_done_, static_cast<std::int32_t>(std::max<std::size_t>(run_items_.size(), 1))));
  const BatchItem& item = run_items_[index];
  const ConvertResult& r = outcome.result;
  if (!r.converted) {
    list_filter_->Notes.insert(item.path, QString::fromStdString(r.message));
  } else {
    if (r.load_error != EC_OK)
      list_filter_->Notes.insert(item.path, "Converted what could be read: " +
                                                QString::fromStdString(r.load_message));
    // A source whose output a later one replaces is settled at the end.
    if (outcome.superseded_by < 0 && item.item.isValid())
      ShellListView1->selectionModel()->select(item.item, QItemSelectionModel::Deselect |
                                                              QItemSelectionModel::Rows);
  }
  ShowBatchSummary(false);
  if (OnBatchStep) OnBatchStep(static_cast<int>(index));
}

void TForm1::ShowBatchSummary(bool finished) {
  std::size_t converted = 0, failed = 0, waiting = 0;
  std::set<QString> folders;
  QStringList failures;
  for (std::size_t i = 0; i < run_outcomes_.size(); ++i) {
    const BatchOutcome& o = run_outcomes_[i];
    if (!o.started) {
      ++waiting;
    } else if (o.result.converted) {
      ++converted;
      folders.insert(QFileInfo(QString::fromStdString(o.result.output)).absolutePath());
    } else {
      ++failed;
      failures << QFileInfo(run_items_[i].path).fileName() + ": " +
                      QString::fromStdString(o.result.message);
    }
  }
  QString text = QString("%1 converted, %2 not converted").arg(converted).arg(failed);
  if (waiting)
    text += finished ? QString(", %1 not started (stopped)").arg(waiting)
                     : QString(", %1 to go").arg(waiting);
  if (folders.size() == 1)
    text += "; outputs in " + QDir::toNativeSeparators(*folders.begin());
  else if (folders.size() > 1)
    text += QString("; outputs in %1 email folders").arg(folders.size());
  summary_text_ = text;
  ElideSummary();
  SummaryLabel->setToolTip(failures.isEmpty() ? text : text + "\n" + failures.join('\n'));
}

// A long folder name loses its middle rather than the counts or its end;
// the tooltip keeps the whole line.
void TForm1::ElideSummary() {
  const QFontMetrics metrics = SummaryLabel->fontMetrics();
  const int width = SummaryLabel->width();
  const qsizetype cut = summary_text_.indexOf("; outputs in ");
  QString shown = summary_text_;
  if (metrics.horizontalAdvance(shown) > width && cut >= 0) {
    const QString head = summary_text_.left(cut + 13);
    shown = head + metrics.elidedText(summary_text_.mid(cut + 13), Qt::ElideMiddle,
                                      width - metrics.horizontalAdvance(head));
  }
  SummaryLabel->setText(metrics.elidedText(shown, Qt::ElideRight, width));
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (!batch_running_ && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (paths.isEmpty() || batch_running_) return;
  event->acceptProposedAction();
  // The run starts once the drop has returned to its source.
  QTimer::singleShot(0, this, [this, paths] { ConvertPaths(paths); });
}

// ---- the preview ----

void TForm1::vexThumbView1LoadImage(const QString& file_name) {
  preview_path_ = file_name;
  preview_loader_->Request(++preview_asked_, NativePath(file_name));
}

QString TForm1::PreviewMessage() const {
  return vexImageCtrl1->Message();
}

void TForm1::ShowPreview(std::uint64_t ticket, TvexImage* image, const QString& message) {
  std::unique_ptr<TvexImage> owned(image);
  if (ticket != preview_asked_) return; // a newer request is on its way
  preview_shown_ = ticket;
  TvexImageCtrl& ctrl = vexImageCtrl1->Ctrl();
  // A failed load empties the picture.
  ctrl.SetImage(owned ? owned.release() : new TvexImage);
  vexImageCtrl1->SetMessage(message);
  FitPreview();
}

void TForm1::SetPreviewActualSize(bool on) {
  actual_size_ = on;
  FitPreview();
}

// A picture larger than the scroll box is fitted into it unless shown at
// 100 %; the control takes the size drawn, so the scroll bars follow it.
void TForm1::FitPreview() {
  if (!vexImageCtrl1 || !vexImageCtrl1->Ctrl().HasImage()) return;
  TvexImageCtrl& ctrl = vexImageCtrl1->Ctrl();
  TvexImage* image = ctrl.Image();
  const QSize box = ScrollBox2->maximumViewportSize();
  if (vex::platform::is_null(image->GetDibHandle())) {
    // Nothing to scroll: the message fills the box.
    vexImageCtrl1->resize(box);
    return;
  }
  const int w = image->Width();
  const int h = image->Height() < 0 ? -image->Height() : image->Height();
  if (actual_size_ || (w <= box.width() && h <= box.height()) || w <= 0 || h <= 0) {
    ctrl.SetScale(1.0);
    ctrl.SetScaleToFit(false);
    vexImageCtrl1->resize(w, h);
    return;
  }
  const double scale =
      std::min(static_cast<double>(box.width()) / w, static_cast<double>(box.height()) / h);
  vexImageCtrl1->resize(std::max(1, static_cast<int>(w * scale)),
                        std::max(1, static_cast<int>(h * scale)));
  ctrl.SetScaleToFit(true);
  vexImageCtrl1->update();
}

void TForm1::ShellListView1MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
  // The list takes the keyboard, so that arrows, Ctrl+A and F2 act on it.
  ShellListView1->setFocus(Qt::MouseFocusReason);
  const QModelIndex item = ShellListView1->indexAt(QPoint(x, y));
  if (!item.isValid()) return;
  const QModelIndex src = list_filter_->mapToSource(item);
  if (list_model_->isDir(src)) return;
  const QString path = list_model_->filePath(src);
  if (path.isEmpty()) return;
  vexThumbView1LoadImage(path);
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
