// The program on the session bus: name com.tarvanel.ToolKit, object /com/tarvanel/ToolKit,
// interface com.tarvanel.ToolKit1. Sibling programs send the hands-off request here; the
// "--reset" and "--log" command lines ask the running instance for its keyboard commands.
#pragma once
#include <QDBusAbstractAdaptor>
#include <QObject>
#include <QString>
#include <functional>

namespace qz::toolkit {

inline constexpr char kBusName[] = "com.tarvanel.ToolKit";
inline constexpr char kBusPath[] = "/com/tarvanel/ToolKit";
inline constexpr char kBusInterface[] = "com.tarvanel.ToolKit1";

class BusAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.tarvanel.ToolKit1")
  Q_PROPERTY(QString MarkerTitle READ markerTitle)

 public:
  struct Handlers {
    std::function<void(int, int)> handsOff;
    std::function<void()> reset;
    std::function<void()> log;
    std::function<QString()> markerTitle;
  };
  BusAdaptor(QObject* parent, Handlers handlers);
  QString markerTitle() const;

  // Registers the object and the name on the session bus; false when either fails.
  static bool publish(QObject* object);
  // Asks a running instance to run "Reset" or "Log". False with the reason when none runs.
  static bool askRunningInstance(const char* method, QString* why);

 public slots:
  void HandsOff(int wparam, int lparam);
  void Reset();
  void Log();

 private:
  Handlers handlers_;
};

}  // namespace qz::toolkit
