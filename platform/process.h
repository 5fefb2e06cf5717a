// Running processes and starting programs.
#pragma once

namespace platform {

// Calls visit with the executable file name (no folder) of each running process until visit
// returns true. Returns false when the process list cannot be taken. Host's thread.
[[nodiscard]] bool processForEach(bool (*visit)(const char* exeName, void* context), void* context);

// Starts the program file with the parameter text (verb "open", no owner window, no working
// directory, hidden). Returns at once without waiting for the program; false when it fails, with
// the system's error code in *error (Windows codes on both platforms: 2 the file is missing, 5
// access is denied). Any thread.
[[nodiscard]] bool programStart(const char* file, const char* parameters, int* error);

}  // namespace platform
