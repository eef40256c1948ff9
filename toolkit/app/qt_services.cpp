#include "app/qt_services.h"

#include <dlfcn.h>

#include <QMetaObject>

namespace qz::toolkit {

void QtTimers::start(int id, int periodMs) {
  auto& timer = timers_[id];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    // Coarse timers may fire 5 % early; the touch delays are short enough to need precision.
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer.get(), &QTimer::timeout, [this, id] { onTick_(id); });
  }
  timer->start(periodMs);
}

void QtTimers::stop(int id) {
  auto it = timers_.find(id);
  if (it != timers_.end()) it->second->stop();
}

void* DlLoader::load(const char* file) {
  // Found through the program's run path ($ORIGIN/../lib) or the library search path.
  return dlopen(file, RTLD_NOW | RTLD_LOCAL);
}

void* DlLoader::symbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

void DlLoader::unload(void* library) {
  if (library) dlclose(library);
}

void QtDispatcher::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(receiver_, std::move(fn), Qt::QueuedConnection);
}

}  // namespace qz::toolkit
