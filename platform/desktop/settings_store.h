// The tray program's one persisted value, "ToolKit Show Disable Touch Message Window", in
// the per-user settings file of organization "Tarvanel", application "ToolKit"
// ($XDG_CONFIG_HOME/Tarvanel/ToolKit.conf).
#pragma once
#include <cstdint>
#include <QString>

namespace qz::desktop {

inline constexpr char kNotificationKey[] = "ToolKit Show Disable Touch Message Window";

class NotificationSetting {
 public:
  // The per-user file; tests pass a file of their own.
  NotificationSetting();
  explicit NotificationSetting(const QString& iniFile);

  // The stored value. 0 (off) when the file or the key is missing, the file cannot be read,
  // or the value is not an integer that fits 32 bits.
  uint32_t read() const;
  // Stores 0 or 1. False when the file could not be written (callers ignore it).
  bool write(uint32_t value) const;

 private:
  QString file_;  // empty: the per-user default
};

}  // namespace qz::desktop
