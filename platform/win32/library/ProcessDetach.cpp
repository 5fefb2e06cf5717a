// The plug-in DLL's entry point: notes whether its unload comes from the end of the process, before
// the C runtime destroys the library's static objects (and with them the scanner object).
//
// The runtime's own entry point calls this one first when the DLL detaches from the process, then
// runs the destructors. A detach with a non-null reserved argument is the process ending: every
// other thread has already been ended by the system.
#include <windows.h>

namespace platform {
void noteProcessDetach(bool processEnds);
}  // namespace platform

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) platform::noteProcessDetach(reserved != nullptr);
  return TRUE;
}
