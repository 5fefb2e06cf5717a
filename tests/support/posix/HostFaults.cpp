#include "HostFaults.h"

#include <stdexcept>

void ThrowFromHostCode() { throw std::runtime_error("host sink failure"); }

bool PostToHostWindow(const std::function<void()>& /*task*/) { return false; }
