// The program's one window: a folder tree and a filtered file list on the
// left, the preview in a scroll box on the right, "Execute!" and its
// progress bar on top.
#pragma once

#include "batch.h"
#include "batch_runner.h"
#include "image_ctrl_widget.h"

#include <QElapsedTimer>
#include <QHash>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class PreviewLoader;
class QFileSystemModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QShortcut;
class QTableView;
class QTreeView;

// The file list's view of the file system: the entries its AddFolder event
// admits, folders first, then names in case-insensitive order.
class ShellListFilter : public QSortFilterProxyModel {
  Q_OBJECT

public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  // Decides for each entry (its name in the folder, folder or not) whether
  // it is listed; without a handler everything is.
  std::function<void(const QString& display_name, bool is_folder, bool& can_add)> OnAddFolder;
  // What the last batch said about a file, by absolute path: shown as its tooltip.
  QHash<QString, QString> Notes;

  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
  bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

class TForm1 : public QWidget {
  Q_OBJECT

public:
  // Client area the layout was drawn for; anchored components follow the
  // difference when the window is resized.
  static constexpr int kDesignClientWidth = 870;
  static constexpr int kDesignClientHeight = 589;

  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The components, named as in the layout.
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QPushButton* Button1 = nullptr;
  QScrollArea* ScrollBox2 = nullptr;
  ImageCtrlWidget* vexImageCtrl1 = nullptr;
  QTableView* ShellListView1 = nullptr;
  QTreeView* ShellTreeView1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  // One line below the progress bar: what the running or last batch did.
  QLabel* SummaryLabel = nullptr;
  // Escape during a batch: "Stop".
  QShortcut* StopShortcut = nullptr;

  // The list's filter: folders, and the files whose extension names a
  // picture format.
  void ShellListView1AddFolder(const QString& display_name, bool is_folder, bool& can_add);
  // "Execute!": converts the selected list items into the `email` folder;
  // during a run the same button ("Stop") stops it after the files under way.
  void Button1Click();
  // Converts files and folders (the pictures the list would show in them)
  // as a dropped selection; nothing while a batch runs.
  void ConvertPaths(const QStringList& paths);
  // Stops a running batch once the files under way are done.
  void StopBatch();
  // The preview: a press of any mouse button over a file shows it.
  void ShellListView1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
  // Asks for a file to be shown in the preview. It is read off the
  // user-interface thread; the newest request wins.
  void vexThumbView1LoadImage(const QString& file_name);
  // True from a preview request until its picture (or failure) is shown.
  bool PreviewPending() const { return preview_shown_ != preview_asked_; }
  // The library's message for a preview that failed ("" otherwise).
  QString PreviewMessage() const;
  // Whether a picture larger than the scroll box is shown at 100 % instead
  // of fitted; a double click on the preview toggles it.
  bool PreviewActualSize() const { return actual_size_; }
  void SetPreviewActualSize(bool on);

  // The folder tree: its selected folder ("" when none) and selecting one,
  // which makes the list show that folder.
  QString SelectedFolder() const;
  void SelectFolder(const QString& path);

  // The file list, by item index in display order.
  int ListItemCount() const;
  int ListSelectedCount() const;
  QModelIndex ListItem(int index) const;
  QString ListItemPath(int index) const;
  bool ListItemIsFolder(int index) const;
  bool ListItemSelected(int index) const;
  void SetListItemSelected(int index, bool selected);
  // True once the list's folder has been read.
  bool ListLoaded() const { return list_loaded_; }
  void RefreshList();

  bool BatchRunning() const { return batch_running_; }
  // Number of workers a batch converts on.
  unsigned Workers = 1;
  // What a batch does with one file, on a worker thread: the road's
  // ConvertFile with the worker's own manager unless set (tests set it to
  // make failures).
  std::function<ConvertResult(const std::string& file_name)> ConvertOne;
  // Called on the user-interface thread after each file of a batch, with its
  // place in the batch; the next file of that worker waits for it (for tests
  // and demonstrations).
  std::function<void(int index)> OnBatchStep;

signals:
  // The list's folder has been read (or read again).
  void ListFolderLoaded(const QString& path);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildLayout();
  void ShowFolderInList(const QString& path);
  void ApplyAnchors();

  // One file of a batch: where it is read from, and its list item (none for
  // a dropped file).
  struct BatchItem {
    QString path;
    QPersistentModelIndex item;
  };
  void RunBatchItems(const std::vector<BatchItem>& items);
  void BatchFileDone(std::size_t index, const BatchOutcome& outcome);
  void ShowBatchSummary(bool finished);
  void ElideSummary();
  void ShowPreview(std::uint64_t ticket, TvexImage* image, const QString& message);
  void FitPreview();

  // How long after a folder is selected from code the tree keeps it in view.
  static constexpr qint64 kRevealMilliseconds = 3000;

  QFileSystemModel* tree_model_ = nullptr;
  QElapsedTimer reveal_timer_;
  QTimer reveal_scroll_;
  QFileSystemModel* list_model_ = nullptr;
  ShellListFilter* list_filter_ = nullptr;
  QString list_folder_;
  bool list_loaded_ = false;
  bool batch_running_ = false;
  bool close_requested_ = false;

  // The running batch.
  std::atomic<bool> stop_{false};
  std::vector<BatchItem> run_items_;
  std::vector<BatchOutcome> run_outcomes_;
  std::int32_t run_done_ = 0;
  QString summary_text_;

  // The preview.
  std::unique_ptr<PreviewLoader> preview_loader_;
  std::uint64_t preview_asked_ = 0, preview_shown_ = 0;
  QString preview_path_;
  bool actual_size_ = false;
};

// The platform file name of a path the list shows, as the imaging library
// opens it.
std::string NativePath(const QString& path);
