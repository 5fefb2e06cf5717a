// A barrier against exceptions from the host's code: a sink that throws must cost the host one
// measurement, not its process.
#pragma once

namespace platform {

// Runs procedure(argument) and stops any C++ exception that leaves it: on Windows also one
// thrown by code of another compiler, which reaches this library as a structured exception
// (the host's objects between the throw and this call are unwound as the host's compiler
// does). Other structured exceptions, such as an access violation, are left alone. False when
// an exception was stopped.
[[nodiscard]] bool callGuarded(void (*procedure)(void*), void* argument);

// callGuarded for a callable object.
template <typename Call>
[[nodiscard]] bool callGuarded(Call& call) {
  return callGuarded([](void* self) { (*static_cast<Call*>(self))(); }, &call);
}

}  // namespace platform
