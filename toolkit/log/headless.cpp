#include "log/headless.h"

#include <dlfcn.h>

#include <thread>

namespace qz::toolkit::log {

void* DlLibraryLoader::load(const char* file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }

void* DlLibraryLoader::symbol(void* library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void DlLibraryLoader::unload(void* library) {
  if (library) dlclose(library);
}

HeadlessLog::HeadlessLog(LogEnvironment& env) : log_(env) {
  core_ = std::make_unique<ToolKitCore>(CoreDeps{view_, timers_, loader_, setting_, monitor_, dispatcher_});
  core_->setLogComponent(&log_);
  core_->create(false, false);
}

HeadlessLog::~HeadlessLog() {
  core_->closeProgram();
  core_.reset();
}

void HeadlessLog::start() { core_->runCommand(kCmdLog); }

bool HeadlessLog::tick() {
  if (!timers_.running.count(kTimerLog)) return false;
  core_->onTimer(kTimerLog);
  ++ticks_;
  return true;
}

void HeadlessLog::run(bool realTime) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  core_->runCommand(kCmdLog);
  busy_ = collection_ = Clock::now() - start;
  auto due = Clock::now();
  while (timers_.running.count(kTimerLog)) {
    if (realTime) {
      due += std::chrono::milliseconds(timers_.running[kTimerLog]);
      if (due < Clock::now()) due = Clock::now();  // a late tick does not make up for itself
      std::this_thread::sleep_until(due);
    }
    const auto t = Clock::now();
    core_->onTimer(kTimerLog);
    const auto spent = Clock::now() - t;
    busy_ += spent;
    if (spent > longestTick_) longestTick_ = spent;
    ++ticks_;
  }
  wall_ = Clock::now() - start;
}

}  // namespace qz::toolkit::log
