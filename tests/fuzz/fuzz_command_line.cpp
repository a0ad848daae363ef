// The child's command line against the reference splitter of the Windows
// rules: every produced line splits back into exactly the arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "child/command_line.h"
#include "tests/unit/windows_split.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Arguments are separated by 0xFF; each byte is one unit, with a few bytes
  // standing for the characters that matter most.
  std::vector<std::u16string> arguments(1);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0xFF) {
      arguments.emplace_back();
      continue;
    }
    char16_t unit = b == 0 ? u'\\' : b == 1 ? u'"' : b == 2 ? u' ' : b == 3 ? u'\t' : b == 4 ? u'\x4E2D' : char16_t(b);
    arguments.back() += unit;
  }
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
