// Ctrl+Shift+R and Ctrl+Shift+L from any program, through passive key grabs on the X11
// root window (held with and without NumLock and CapsLock), and the tray manager's
// announcement that the notification area was created anew.
#pragma once
#include <QAbstractNativeEventFilter>
#include <QString>
#include <functional>
#include <vector>

namespace qz::toolkit {

class X11Keys : public QAbstractNativeEventFilter {
 public:
  struct Handlers {
    std::function<void()> reset;        // Ctrl+Shift+R
    std::function<void()> log;          // Ctrl+Shift+L
    std::function<void()> trayCreated;  // a tray manager took the selection
  };
  explicit X11Keys(Handlers handlers);
  ~X11Keys() override;

  // Installs the filter and grabs the keys. False, with the reason, when the session has
  // no X11 display or another program holds a combination.
  bool grab(QString* why);
  void ungrab();

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  Handlers handlers_;
  void* connection_ = nullptr;
  uint32_t root_ = 0;
  uint32_t managerAtom_ = 0;
  uint32_t trayAtom_ = 0;
  std::vector<uint8_t> resetCodes_, logCodes_;
  std::vector<std::pair<uint8_t, uint16_t>> grabbed_;
  bool filtering_ = false;
};

}  // namespace qz::toolkit
