// On POSIX the host's code and this library share one C++ runtime, so a catch-all suffices.
#include "platform/guard.h"

namespace platform {

bool callGuarded(void (*procedure)(void*), void* argument) {
  try {
    procedure(argument);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace platform
