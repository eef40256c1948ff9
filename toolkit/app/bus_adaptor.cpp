#include "app/bus_adaptor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTimer>

namespace qz::toolkit {

BusAdaptor::BusAdaptor(QObject* parent, Handlers handlers)
    : QDBusAbstractAdaptor(parent), handlers_(std::move(handlers)) {}

QString BusAdaptor::markerTitle() const { return handlers_.markerTitle ? handlers_.markerTitle() : QString(); }

void BusAdaptor::HandsOff(int wparam, int lparam) {
  if (handlers_.handsOff) handlers_.handsOff(wparam, lparam);
}

// The commands open boxes; the caller gets its answer at once instead of waiting for them.
void BusAdaptor::Reset() {
  if (handlers_.reset) QTimer::singleShot(0, parent(), handlers_.reset);
}

void BusAdaptor::Log() {
  if (handlers_.log) QTimer::singleShot(0, parent(), handlers_.log);
}

bool BusAdaptor::publish(QObject* object) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(QLatin1String(kBusPath), object, QDBusConnection::ExportAdaptors)) return false;
  return bus.registerService(QLatin1String(kBusName));
}

bool BusAdaptor::askRunningInstance(const char* method, QString* why) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    *why = QStringLiteral("no session bus");
    return false;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kBusName), QLatin1String(kBusPath),
                                                     QLatin1String(kBusInterface), QLatin1String(method));
  QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    *why = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
               ? QStringLiteral("QZToolKit is not running")
               : reply.errorMessage();
    return false;
  }
  return true;
}

}  // namespace qz::toolkit
