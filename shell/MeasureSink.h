// The host's callback object of a measurement, called from the acquisition thread.
#pragma once

#include <stdint.h>

#include "shell/MeasureRecord.h"

// Nine virtual slots in a fixed order, each one vtable entry under the host compiler's ABI and
// GCC's alike: the first slot is a plain virtual (a virtual destructor would take two entries
// under GCC and shift every later slot). Member calls use the platform's default member-call
// convention (thiscall on 32-bit Windows).
class MeasureSink {
 public:
  // Slot 1: the host's own first virtual; the plug-in never calls it.
  virtual void Reserved() {}
  // Slot 2: after NotifyButton(1), for button event code 2.
  virtual void OnButtonEvent2() = 0;
  // Slot 3: after NotifyButton(1), for button event code 4.
  virtual void OnButtonEvent4() = 0;
  // Slot 4: once, when the acquisition thread starts.
  virtual void BeginMeasure() = 0;
  // Slot 5: a record of the open pass; read it during the call.
  virtual void AddPassMeasure(MeasureRecord* record) = 0;
  // Slot 6: a pass begins.
  virtual void BeginPass() = 0;
  // Slot 7: the pass ends.
  virtual void EndPass() = 0;
  // Slot 8: a record outside a pass; read it during the call.
  virtual void AddFreeMeasure(MeasureRecord* record) = 0;
  // Slot 9: a button event with code 2 or 4 was taken; the argument is always 1.
  virtual void NotifyButton(int32_t button) = 0;

 protected:
  // Not virtual, so it takes no slot; the plug-in never destroys a sink.
  ~MeasureSink() = default;
};

// The host's object begins with its vtable pointer and the plug-in reads nothing else of it.
static_assert(sizeof(MeasureSink) == sizeof(void*), "MeasureSink is a vtable pointer alone");
