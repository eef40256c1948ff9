#include "app/bug_report_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <QFontMetricsF>

#include "app/bus_adaptor.h"
#include "app/mutex_dlg.h"
#include "app/pictures.h"
#include "app/x11_keys.h"
#include "core/texts.h"

using namespace qz::toolkit;

namespace {

// Dialog units in pixels: those of the 9-point template font, grown where this desktop's
// font is wider, so that the longest texts fit their controls as they do there.
double g_duX = 1.5;
double g_duY = 1.5;

void fitDialogUnits(const QFont& font) {
  QFontMetricsF m(font);
  const double text = m.horizontalAdvance(QString::fromLatin1(text::kStr601)) + 8;
  const double hint = m.horizontalAdvance(QString(7, QLatin1Char(' ')) + QString::fromLatin1(text::kStr604)) + 8;
  g_duX = std::max({1.5, text / 174, hint / 108});
  g_duY = std::max(1.5, m.height() / 8 * 1.2);
}

QRect du(int x, int y, int w, int h) {
  return QRect(int(x * g_duX), int(y * g_duY), int(w * g_duX), int(h * g_duY));
}

QString q(const std::string& s) { return QString::fromLocal8Bit(s.data(), qsizetype(s.size())); }

}  // namespace

CKRXBugReportDlg::CKRXBugReportDlg(bool waterOffAtStart, bool siblingActive)
    : QWidget(nullptr, Qt::Window | Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint),
      timers_([this](int id) { core_->onTimer(id); }),
      dispatcher_(this),
      monitor_(dispatcher_, [this](uint8_t report) { core_->onTouchStateMessage(report); }),
      waterOffAtStart_(waterOffAtStart),
      siblingActive_(siblingActive) {
  setObjectName(QStringLiteral("CKRXBugReportDlg"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  normalIcon_ = programIcon(kIconNormal);
  disabledIcon_ = programIcon(kIconDisabled);
  setWindowIcon(normalIcon_);
  setWindowTitle(QString::fromLatin1(text::kTemplateCaption));
  QFont f = font();
  f.setPointSize(9);
  setFont(f);
  fitDialogUnits(f);
  buildControls();
  // 196 x 111 dialog units, centred as a dialog is.
  setFixedSize(int(196 * g_duX), int(111 * g_duY));
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect avail = screen->availableGeometry();
    move(avail.center() - QPoint(width() / 2, height() / 2));
  }
  core_ = std::make_unique<ToolKitCore>(CoreDeps{*this, timers_, loader_, setting_, monitor_, dispatcher_});
  core_->setLogComponent(&log_);
}

CKRXBugReportDlg::~CKRXBugReportDlg() {
  if (core_ && !core_->closed()) core_->closeProgram();
  monitor_.stopAndJoin();
  core_.reset();
  delete keys_;
}

void CKRXBugReportDlg::buildControls() {
  auto label = [this](int id, const char* text, QRect r) {
    auto* l = new QLabel(QString::fromLatin1(text), this);
    l->setGeometry(r);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    l->setObjectName(QStringLiteral("item%1").arg(id));
    items_[id] = l;
    return l;
  };
  auto button = [this](int id, const char* text, QRect r) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setGeometry(r);
    b->setAutoDefault(false);
    b->setObjectName(QStringLiteral("item%1").arg(id));
    b->hide();
    items_[id] = b;
    return b;
  };
  text_ = label(kItemText, text::kTemplate500, du(12, 12, 174, 18));
  hint_ = label(kItemHint, text::kTemplate501, du(12, 42, 108, 24));
  hint_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  okReset_ = button(kItemOkReset, text::kOk, du(126, 42, 60, 24));
  okAbnormal_ = button(kItemOkAbnormal, text::kOk, du(12, 78, 60, 24));
  wait_ = button(kItemWait, text::kWait, du(84, 78, 60, 24));
  picture_ = new QLabel(this);
  picture_->setGeometry(du(126, 42, 60, 60));
  picture_->setAlignment(Qt::AlignCenter);
  picture_->setObjectName(QStringLiteral("item502"));
  items_[kItemPicture] = picture_;
  connect(okReset_, &QPushButton::clicked, this, [this] { core_->onOkButton(); });
  connect(okAbnormal_, &QPushButton::clicked, this, [this] { core_->onOkButton(); });
}

void CKRXBugReportDlg::create() {
  // This desktop is past the version whose dialogs had the beige background.
  picture_->setPixmap(QPixmap::fromImage(warningPicture(150)));
  core_->create(waterOffAtStart_, siblingActive_);
  if (core_->closed()) return;

  auto* bus = new QObject(this);
  new BusAdaptor(bus, BusAdaptor::Handlers{
                          [this](int w, int l) { core_->onHandsOff(w, l); },
                          [this] { core_->onResetKeys(); },
                          [this] { core_->onLogKeys(); },
                          [this] { return q(core_->markerTitle()); },
                      });
  BusAdaptor::publish(bus);
}

void CKRXBugReportDlg::closeProgram() { core_->closeProgram(); }

void CKRXBugReportDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  core_->closeProgram();
}

void CKRXBugReportDlg::keyPressEvent(QKeyEvent* event) {
  // Enter and Escape do nothing.
  event->accept();
}

// ---- Window --------------------------------------------------------------------------------

void CKRXBugReportDlg::setOpacity(int alpha) {
  // Opacity 0 also unmaps the window, so it stays invisible and lets clicks through on a
  // desktop without a compositor too.
  if (alpha == 0) {
    setWindowOpacity(0.0);
    hide();
  } else {
    setWindowOpacity(alpha / 255.0);
    show();
    raise();
  }
}

void CKRXBugReportDlg::setTitle(const std::string& title) { setWindowTitle(q(title)); }

void CKRXBugReportDlg::setItemText(int item, const std::string& t) {
  auto it = items_.find(item);
  if (it == items_.end()) return;
  if (auto* l = qobject_cast<QLabel*>(it->second)) l->setText(q(t));
  if (auto* b = qobject_cast<QPushButton*>(it->second)) b->setText(q(t));
}

void CKRXBugReportDlg::showItem(int item, bool shown) {
  auto it = items_.find(item);
  if (it != items_.end()) it->second->setVisible(shown);
}

Rect CKRXBugReportDlg::windowRect() const {
  QRect g = frameGeometry();
  return Rect{g.left(), g.top(), g.left() + width(), g.top() + height()};
}

void CKRXBugReportDlg::resize(int w, int h) { setFixedSize(qMax(1, w), qMax(1, h)); }

void CKRXBugReportDlg::bringToFront() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

bool CKRXBugReportDlg::askYesNo(const std::string& t, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, q(caption), q(t), QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("confirmation"));
  return box.exec() == QMessageBox::Yes;
}

void CKRXBugReportDlg::showError(const std::string& t, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, q(caption), q(t), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("error"));
  box.exec();
}

void CKRXBugReportDlg::endRun() { QCoreApplication::exit(0); }

// ---- Tray ----------------------------------------------------------------------------------

void CKRXBugReportDlg::applyTray(const TrayIcon& icon, bool balloon) {
  tray_->setIcon(icon.icon == kIconDisabled ? disabledIcon_ : normalIcon_);
  tray_->setToolTip(q(icon.tip));
  if (balloon && !icon.info.empty())
    tray_->showMessage(QString::fromLatin1(text::kInfoTitle), q(icon.info), QSystemTrayIcon::Information);
}

void CKRXBugReportDlg::addTrayIcon(const TrayIcon& icon) {
  if (!tray_) {
    tray_ = new QSystemTrayIcon(this);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      const uint32_t message = r == QSystemTrayIcon::Trigger   ? kLeftButtonUp
                               : r == QSystemTrayIcon::Context ? kRightButtonUp
                                                               : kMouseMove;  // only brings the window forward
      // Out of the icon's own event handling: "&Exit" deletes the icon's window.
      QTimer::singleShot(0, this, [this, message] { core_->onTrayCallback(message); });
    });
  }
  applyTray(icon, true);
  if (!tray_->isVisible()) tray_->show();
}

void CKRXBugReportDlg::modifyTrayIcon(const TrayIcon& icon) {
  if (tray_) applyTray(icon, true);
}

void CKRXBugReportDlg::deleteTrayIcon() {
  if (tray_) tray_->hide();
}

int CKRXBugReportDlg::trackPopupMenu(const MenuState& m) {
  QMenu menu;
  menu.setObjectName(QStringLiteral("POPUPMENU"));
  auto add = [&](QMenu* into, int id, const char* t, bool enabled) {
    QAction* a = into->addAction(QString::fromLatin1(t));
    a->setData(id);
    a->setEnabled(enabled);
    return a;
  };
  add(&menu, kCmdReset, text::kMenuReset, m.resetEnabled);
  QMenu* water = menu.addMenu(QString::fromLatin1(text::kMenuWater));
  water->setEnabled(m.waterEnabled);
  QAction* device0 = add(water, kCmdDevice0, text::kMenuDevice0, m.device0Enabled);
  device0->setCheckable(true);
  device0->setChecked(m.device0Checked);
  add(&menu, kCmdLog, text::kMenuLog, m.logEnabled);
  QAction* notify = add(&menu, kCmdNotify, text::kMenuNotify, m.notifyEnabled);
  notify->setCheckable(true);
  notify->setChecked(m.notifyChecked);
  add(&menu, kCmdExit, text::kMenuExit, true);
  menu.addSeparator();
  add(&menu, kCmdVersion, m.version.c_str(), false);
  QAction* chosen = menu.exec(QCursor::pos());
  return chosen ? chosen->data().toInt() : kCmdNone;
}

// ---- Marker --------------------------------------------------------------------------------

void CKRXBugReportDlg::createMarker(const std::string& title) {
  if (!marker_) marker_ = new CKRXMutexDlg(q(title));
}

void CKRXBugReportDlg::setMarkerTitle(const std::string& title) {
  if (marker_) marker_->setWindowTitle(q(title));
}

void CKRXBugReportDlg::destroyMarker() {
  if (marker_) marker_->close();  // deletes itself
  marker_ = nullptr;
}

// ---- Raw input -----------------------------------------------------------------------------

bool CKRXBugReportDlg::registerRawInput() {
  refreshRawInput();
  // Devices that come later: a new hidraw node or virtual device appears in its directory.
  deviceWatcher_ = new QFileSystemWatcher(this);
  deviceWatcher_->addPath(QStringLiteral("/dev"));
  if (const char* dir = getenv("QZ_VIRTUAL_HID_DIR"); dir && *dir) deviceWatcher_->addPath(QString::fromLocal8Bit(dir));
  // A node or socket appears a moment before it can be opened (udev grants access after
  // making the node, a device socket listens after it is bound): looked at again shortly.
  connect(deviceWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
    refreshRawInput();
    for (int ms : {100, 500, 2000})
      QTimer::singleShot(ms, this, [this] {
        if (!core_->closed()) refreshRawInput();
      });
  });

  keys_ = new X11Keys(X11Keys::Handlers{
      [this] { core_->onResetKeys(); },
      [this] { core_->onLogKeys(); },
      [this] { core_->onTaskbarCreated(); },
  });
  QString why;
  if (!keys_->grab(&why)) {
    // Said once, after the icon exists.
    QTimer::singleShot(0, this, [this, why] { announceNoKeyGrab(why); });
  }
  return true;
}

void CKRXBugReportDlg::announceNoKeyGrab(const QString& why) {
  if (keyGrabNoticeShown_ || !tray_ || core_->closed()) return;
  keyGrabNoticeShown_ = true;
  tray_->showMessage(QString::fromLatin1(text::kInfoTitle),
                     QStringLiteral("Ctrl+Shift+R and Ctrl+Shift+L are not available: %1. "
                                    "Bind \"QZToolKit --reset\" and \"QZToolKit --log\" to shortcuts instead.")
                         .arg(why),
                     QSystemTrayIcon::Information);
}

void CKRXBugReportDlg::refreshRawInput() {
  for (int fd : rawInput_.refresh()) watchSource(fd);
}

void CKRXBugReportDlg::watchSource(int fd) {
  auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  notifiers_[fd] = n;
  connect(n, &QSocketNotifier::activated, this, [this, fd] {
    bool alive = rawInput_.readable(fd, [this](const uint8_t* report, size_t len) {
      core_->onTouchReport(report, len);
    });
    if (!alive) {
      auto it = notifiers_.find(fd);
      if (it != notifiers_.end()) {
        it->second->setEnabled(false);
        it->second->deleteLater();
        notifiers_.erase(it);
      }
    }
  });
}

void CKRXBugReportDlg::unregisterRawInput() {
  for (auto& [fd, n] : notifiers_) {
    n->setEnabled(false);
    n->deleteLater();
  }
  notifiers_.clear();
  rawInput_.closeAll();
  if (deviceWatcher_) deviceWatcher_->deleteLater();
  deviceWatcher_ = nullptr;
  if (keys_) keys_->ungrab();
}
