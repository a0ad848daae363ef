#include "launcher/fatal.h"

#include <cstdio>
#include <cstring>

#include "common/utf.h"
#include "platform/platform.h"

// A path of 4095 units takes at most 3 bytes a unit.
static char line[3 * kPathCapacity + 128];

static void write_path_message(const char* before, const char16_t* path, const char* after) {
  size_t n = strlen(before);
  memcpy(line, before, n);
  // Paths go out as UTF-8; half of a broken surrogate pair comes out as U+FFFD.
  n += utf16_to_utf8_lossy(path, line + n, sizeof line - n - 64);
  size_t tail = strlen(after);
  memcpy(line + n, after, tail);
  platform::write_stderr(line, n + tail);
}

void fatal_error(const char* message) {
  platform::write_stdout(message, strlen(message));
  platform::write_stdout("\n", 1);
  platform::exit_process(2);
}

void fatal_open_error(const char16_t* path) {
  write_path_message("Error, failed to open '", path, "' for writing.\n");
  platform::exit_process(2);
}

void fatal_unsafe_target(const char16_t* path, const char* reason) {
  char after[160];
  snprintf(after, sizeof after, "': %s.\n", reason);
  write_path_message("Error, refusing to unpack into '", path, after);
  platform::exit_process(2);
}

void print_system_error(const char* message, uint32_t code) {
  uint32_t length = 0;
  char* text = platform::system_error_text(code, &length);
  if (text != nullptr && length > 0) {
    for (uint32_t i = length; i-- > 0;) {
      if (text[i] != '\r' && text[i] != '\n') break;
      text[i] = 0;
    }
  }
  // The system may have no text for a code (no characters at all); say so
  // rather than print nothing. A text of line ends alone is the system's own,
  // and what is left of it after the trim, nothing, is printed.
  const char* shown = (text != nullptr && length > 0) ? text : "no system text for this code";
  int n = snprintf(line, sizeof line, "%s ([Error %ld] %s)\n", message,
                   static_cast<long>(static_cast<int32_t>(code)), shown);
  if (n < 0) return;
  platform::write_stderr(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

void fatal_system_error(const char* message, uint32_t code) {
  print_system_error(message, code);
  platform::exit_process(2);
}

void fatal_expansion_error(const char16_t* spec) {
  write_path_message("Error, couldn't runtime expand spec '", spec, "'.\n");
  platform::exit_process(kExpansionFailureStatus);
}

void fatal_header_error() { fatal_error("Error, couldn't find attached data header."); }
void fatal_memory_error() { fatal_error("Error, couldn't allocate memory."); }
void fatal_decode_error() { fatal_error("Error, couldn't decode attached data."); }

void fatal_unpack_error() {
  fatal_system_error("Error, couldn't unpack file to target path.", platform::last_error());
}
