// The child's command line against the reference splitter of the Windows
// rules: every produced line splits back into exactly the arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "child/command_line.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/windows_split.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::u16string> arguments = fuzz_input::arguments(data, size);
  static char16_t buffer[65536];
  WideWriter line = WideWriter::replace(buffer, 65536);
  line.put(u"C:\\launcher.exe");
  for (const std::u16string& argument : arguments) {
    line.put(u' ');
    if (!append_argument(line, argument.c_str())) return 0;
  }
  std::vector<std::u16string> back = windows_split(buffer);
  if (back.size() != arguments.size() + 1) abort();
  for (size_t i = 0; i < arguments.size(); ++i)
    if (back[i + 1] != arguments[i]) abort();
  return 0;
}
