// CKRXMutexDlg: the hidden marker window whose title tells sibling programs whether a
// controller command runs. It is never shown; its native window carries the title.
#pragma once
#include <QWidget>

class CKRXMutexDlg : public QWidget {
  Q_OBJECT

 public:
  explicit CKRXMutexDlg(const QString& title);
};
