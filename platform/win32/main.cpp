#include "launcher/launch.h"
#include "platform/platform.h"

// -municode: the runtime hands over the arguments as UTF-16.
int wmain(int argc, wchar_t** argv) {
  return platform::exit_status(launch(argc > 0 ? reinterpret_cast<const char16_t*>(argv[0]) : nullptr));
}
