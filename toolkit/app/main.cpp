// QZToolKit: the resident tray program of the KRX touch-controller tool kit.
//
//   QZToolKit [-wd]         stay resident in the notification area ("-wd": switch the
//                           controller's water mode off once started)
//   QZToolKit --reset|--log ask the running instance for Ctrl+Shift+R / Ctrl+Shift+L, for
//                           desktops where those keys cannot be grabbed; status 1 when no
//                           instance runs. Handled before the single-instance test.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "app/bug_report_app.h"
#include "app/bus_adaptor.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* method = strcmp(argv[i], "--reset") == 0 ? "Reset" : strcmp(argv[i], "--log") == 0 ? "Log" : nullptr;
    if (!method) continue;
    QCoreApplication app(argc, argv);
    QString why;
    if (!qz::toolkit::BusAdaptor::askRunningInstance(method, &why)) {
      fprintf(stderr, "QZToolKit: cannot ask the running instance: %s\n", why.toLocal8Bit().constData());
      return 1;
    }
    return 0;
  }
  CKRXBugReportApp app(argc, argv);
  return app.startInstance();
}
