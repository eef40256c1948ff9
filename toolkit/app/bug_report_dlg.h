// CKRXBugReportDlg: the program's one real window. It is the Qt view of ToolKitCore: it
// owns the widgets, the notification-area icon and its menu, the marker window, the raw
// input sources and the key grabs, and forwards every event to the core.
#pragma once
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QWidget>
#include <map>
#include <memory>

#include "app/qt_services.h"
#include "core/raw_input.h"
#include "core/toolkit_core.h"
#include "core/touch_monitor.h"
#include "log/firmware_log.h"

class QSocketNotifier;
class QFileSystemWatcher;

namespace qz::toolkit {
class X11Keys;
class BusAdaptor;
}  // namespace qz::toolkit

class CKRXMutexDlg;

class CKRXBugReportDlg : public QWidget, public qz::toolkit::View {
  Q_OBJECT

 public:
  CKRXBugReportDlg(bool waterOffAtStart, bool siblingActive);
  ~CKRXBugReportDlg() override;

  qz::toolkit::ToolKitCore& core() { return *core_; }
  // The shut-down sequence, for every way of ending.
  void closeProgram();

  // View.
  void setOpacity(int alpha) override;
  void setTitle(const std::string& title) override;
  void setItemText(int item, const std::string& text) override;
  void showItem(int item, bool shown) override;
  qz::toolkit::Rect windowRect() const override;
  void resize(int width, int height) override;
  void bringToFront() override;
  bool askYesNo(const std::string& text, const std::string& caption) override;
  void showError(const std::string& text, const std::string& caption) override;
  void addTrayIcon(const qz::toolkit::TrayIcon& icon) override;
  void modifyTrayIcon(const qz::toolkit::TrayIcon& icon) override;
  void deleteTrayIcon() override;
  int trackPopupMenu(const qz::toolkit::MenuState& menu) override;
  void createMarker(const std::string& title) override;
  void setMarkerTitle(const std::string& title) override;
  void destroyMarker() override;
  bool registerRawInput() override;
  void unregisterRawInput() override;
  void endRun() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildControls();
  void applyTray(const qz::toolkit::TrayIcon& icon, bool balloon);
  void refreshRawInput();
  void watchSource(int fd);
  void announceNoKeyGrab(const QString& why);

  QLabel* text_ = nullptr;     // 500
  QLabel* hint_ = nullptr;     // 501
  QLabel* picture_ = nullptr;  // 502
  QPushButton* okReset_ = nullptr;     // 400
  QPushButton* okAbnormal_ = nullptr;  // 401
  QPushButton* wait_ = nullptr;        // 402
  std::map<int, QWidget*> items_;

  QIcon normalIcon_;
  QIcon disabledIcon_;
  QSystemTrayIcon* tray_ = nullptr;
  CKRXMutexDlg* marker_ = nullptr;
  bool keyGrabNoticeShown_ = false;

  qz::toolkit::RawInputReader rawInput_;
  std::map<int, QSocketNotifier*> notifiers_;
  QFileSystemWatcher* deviceWatcher_ = nullptr;
  qz::toolkit::X11Keys* keys_ = nullptr;

  // Services first: the core, declared last, goes first.
  qz::toolkit::QtTimers timers_;
  qz::toolkit::DlLoader loader_;
  qz::toolkit::QtSetting setting_;
  qz::toolkit::QtDispatcher dispatcher_;
  qz::toolkit::TouchMonitor monitor_;
  qz::toolkit::log::SystemEnvironment logEnvironment_;
  qz::toolkit::log::FirmwareLog log_{logEnvironment_};
  std::unique_ptr<qz::toolkit::ToolKitCore> core_;
  bool waterOffAtStart_;
  bool siblingActive_;

 public:
  // Runs the creation sequence; separate from the constructor so that the window exists.
  void create();
};
