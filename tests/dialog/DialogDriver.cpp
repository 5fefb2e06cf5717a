// The platform-neutral part of the dialog driver: tasks for the dialog's thread and the guarded
// run of a dialog.
#include "DialogDriver.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {
constexpr auto kGrace = std::chrono::seconds(5);
constexpr auto kForcedCloseWait = std::chrono::seconds(10);
}  // namespace

int DialogDriver::Checked(int id) {
  for (const ShownControl& control : Controls()) {
    if (control.id == id) return control.checked;
  }
  return -1;
}

bool DialogDriver::PostToDialogThread(std::function<void()> task) {
  auto* posted = new std::function<void()>(std::move(task));
  auto run = [](void* argument) {
    auto* function = static_cast<std::function<void()>*>(argument);
    (*function)();
    delete function;
  };
  if (platform::pumpPost(dialogThread_, run, posted)) return true;
  delete posted;
  return false;
}

int RunDialog(DialogDriver& driver, const std::function<int()>& config,
              const std::function<void(DialogDriver&)>& script) {
  std::mutex mutex;
  std::condition_variable returned;
  bool done = false;
  std::thread user([&] {
    script(driver);
    std::unique_lock<std::mutex> lock(mutex);
    if (returned.wait_for(lock, kGrace, [&] { return done; })) return;
    lock.unlock();
    driver.ForceClose();
    lock.lock();
    if (returned.wait_for(lock, kForcedCloseWait, [&] { return done; })) return;
    std::fputs("the settings dialog does not close: test program stopped\n", stderr);
    std::fflush(stderr);
    std::_Exit(3);
  });
  int result = config();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  returned.notify_all();
  user.join();
  return result;
}
