#include "app/bug_report_app.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMessageBox>
#include <QPixmapCache>
#include <QSessionManager>
#include <QSocketNotifier>

#include "app/bug_report_dlg.h"
#include "core/texts.h"

using namespace qz::toolkit;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char c = 1;
  (void)!write(g_signalPipe[1], &c, 1);
}

}  // namespace

CKRXBugReportApp::CKRXBugReportApp(int& argc, char** argv) : QApplication(argc, argv) {
  setQuitOnLastWindowClosed(false);
  // The style keeps every button picture it draws, and each new message box draws new ones:
  // a resident program would grow to Qt's default 10 MB of them. A few windows need far less.
  QPixmapCache::setCacheLimit(1024);
}

CKRXBugReportApp::~CKRXBugReportApp() = default;

bool CKRXBugReportApp::hasWaterOffSwitch(const QStringList& arguments) {
  return arguments.mid(1).join(QLatin1Char(' ')).toLower().contains(QLatin1String("-wd"));
}

void CKRXBugReportApp::installSignalHandlers() {
  // SIGTERM and SIGINT end the program through the same shut-down as the menu's "&Exit".
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
  auto* n = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
  connect(n, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    (void)!read(g_signalPipe[0], buf, sizeof buf);
    if (mainWindow_) mainWindow_->closeProgram();
  });
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

int CKRXBugReportApp::startInstance() {
  if (residentLock_.create(text::kResidentLock) == qz::desktop::NamedLock::Result::kExisted) {
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(text::kRefusedCaption),
                    QString::fromLatin1(text::kRefused), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("refused"));
    box.exec();
    return 0;
  }
  const bool waterOff = hasWaterOffSwitch(arguments());
  const bool sibling = qz::desktop::nameExists(text::kSiblingLock);

  installSignalHandlers();
  CKRXBugReportDlg dlg(waterOff, sibling);
  mainWindow_ = &dlg;
  // The session ending closes the program as "&Exit" does.
  connect(this, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
    if (mainWindow_) mainWindow_->closeProgram();
  });
  dlg.create();
  if (!dlg.core().closed()) exec();
  if (!dlg.core().closed()) dlg.closeProgram();
  mainWindow_ = nullptr;
  return 0;
}
