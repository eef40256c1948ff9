#include "desktop/settings_store.h"

#include <QSettings>
#include <memory>

namespace qz::desktop {
namespace {

std::unique_ptr<QSettings> open(const QString& file) {
  if (file.isEmpty())
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Tarvanel"), QStringLiteral("ToolKit"));
  return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

}  // namespace

NotificationSetting::NotificationSetting() = default;
NotificationSetting::NotificationSetting(const QString& iniFile) : file_(iniFile) {}

uint32_t NotificationSetting::read() const {
  auto s = open(file_);
  if (s->status() != QSettings::NoError) return 0;
  const QVariant v = s->value(QLatin1String(kNotificationKey));
  if (!v.isValid()) return 0;
  bool ok = false;
  const qlonglong n = v.toString().trimmed().toLongLong(&ok);
  if (!ok || n < INT32_MIN || n > qlonglong(UINT32_MAX)) return 0;
  return uint32_t(n);
}

bool NotificationSetting::write(uint32_t value) const {
  auto s = open(file_);
  s->setValue(QLatin1String(kNotificationKey), value ? 1 : 0);
  s->sync();
  return s->status() == QSettings::NoError;
}

}  // namespace qz::desktop
