#include <cstdio>
#include <cstring>

#include "launcher/launch.h"
#include "platform/platform.h"
#include "platform/posix/arguments.h"
#include "common/utf.h"

int main(int argc, char** argv) {
  platform::keep_arguments(argc, argv);
  // argv[0] reaches the child as MORDAX_ORIGINAL_ARGV0; bytes that are not UTF-8
  // leave it unset rather than altered.
  static char16_t argv0[kPathCapacity];
  bool readable = argc > 0 && utf8_to_utf16(argv[0], strlen(argv[0]), argv0, kPathCapacity) >= 0;
  return platform::exit_status(launch(readable ? argv0 : nullptr));
}
