// Semihosting calls to the emulator (or a debugger): text to the console and
// the exit status of the image. The image runs bare-metal and has no other
// way to report.
#pragma once

namespace semihost {

// Writes a NUL-terminated string to the host's console.
void write0(const char* text);

// Ends the run with a full status code (0 success); does not return.
[[noreturn]] void exit(int status);

}  // namespace semihost
