#include "HostFaults.h"

#include <stdexcept>

void ThrowFromHostCode() { throw std::runtime_error("host sink failure"); }

bool PostToHostWindow(std::function<void()> /*task*/) { return false; }
