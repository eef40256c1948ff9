// CKRXBugReportApp: the application object. Its instance initialisation refuses a second
// resident program, notes "-wd", and runs the main window until it ends.
#pragma once
#include <QApplication>
#include <QStringList>

#include "desktop/named_lock.h"

class CKRXBugReportDlg;

class CKRXBugReportApp : public QApplication {
  Q_OBJECT

 public:
  CKRXBugReportApp(int& argc, char** argv);
  ~CKRXBugReportApp() override;

  // Runs the whole program; returns the exit status.
  int startInstance();

  // "-wd" anywhere in the lower-cased command line after the program's name.
  static bool hasWaterOffSwitch(const QStringList& arguments);

 private:
  void installSignalHandlers();

  qz::desktop::NamedLock residentLock_;
  CKRXBugReportDlg* mainWindow_ = nullptr;
};
