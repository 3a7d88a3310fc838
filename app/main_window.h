// The program's one window: a folder tree and a filtered file list on the
// left, the preview in a scroll box on the right, "Execute!" and its
// progress bar on top.
#pragma once

#include "batch.h"
#include "image_ctrl_widget.h"

#include <QElapsedTimer>
#include <QModelIndex>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

class QFileSystemModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
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

  // The list's filter: folders, and the files whose extension names a
  // picture format.
  void ShellListView1AddFolder(const QString& display_name, bool is_folder, bool& can_add);
  // "Execute!": converts the selected list items into the `email` folder.
  void Button1Click();
  // The preview: a press of any mouse button over a file shows it.
  void ShellListView1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
  // Loads a file into the preview control and sizes the control to it.
  void vexThumbView1LoadImage(const QString& file_name);

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
  // What "Execute!" does with one selected file: ConvertFile through the
  // process-wide manager unless replaced (tests replace it to make failures).
  std::function<ConvertResult(const std::string& file_name)> ConvertOne;
  // Called after each list item of a batch, once pending events are
  // processed (for tests and demonstrations).
  std::function<void(int index)> OnBatchStep;

signals:
  // The list's folder has been read (or read again).
  void ListFolderLoaded(const QString& path);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildLayout();
  void ShowFolderInList(const QString& path);
  void ApplyAnchors();

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
};

// The platform file name of a path the list shows, as the imaging library
// opens it.
std::string NativePath(const QString& path);
