#include "app/mutex_dlg.h"

CKRXMutexDlg::CKRXMutexDlg(const QString& title) : QWidget(nullptr, Qt::Tool) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_DontShowOnScreen);
  // 309 x 178 dialog units.
  QWidget::resize(464, 267);
  setWindowTitle(title);
  winId();  // an unmapped native window that carries the title
}
