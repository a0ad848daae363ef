// The writer's name rules: whatever it accepts, the launcher unpacks inside its
// target directory (relative, no empty, dot-only or space-only component, no
// '/', at most 1023 units, valid UTF-16).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/pack_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string relative(reinterpret_cast<const char*>(data), size);
  std::string why;
  std::u16string name = record_name(relative, &why);
  if (name.empty()) return 0;
  if (name.size() > 1023) abort();
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] == u'/') abort();
    if (i < name.size() && name[i] == 0) abort();
    if (i < name.size() && name[i] >= 0xD800 && name[i] <= 0xDBFF) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) abort();
      ++i;
      continue;
    }
    if (i < name.size() && name[i] >= 0xDC00 && name[i] <= 0xDFFF) abort();
    if (i == name.size() || name[i] == u'\\') {
      std::u16string component = name.substr(start, i - start);
      if (component.empty() || component.find_first_not_of(u". ") == std::u16string::npos) abort();
      start = i + 1;
    }
  }
  return 0;
}
