// The writer's payload finder handed any file: it never reads outside the file;
// it fails only on an executable, and only with its one line; what it finds in
// an executable lies inside the file and is a launcher of that executable's
// target, with strings that end where their zero unit was; and any other file
// is a bare payload, whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/failure.h"
#include "tools/launcher_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<unsigned char> file(data, data + size);
  const bool elf = size >= 4 && memcmp(data, "\x7f" "ELF", 4) == 0;
  const bool pe = !elf && size >= 2 && data[0] == 'M' && data[1] == 'Z';
  LauncherFile found;
  try {
    found = find_payload(file);
  } catch (const Failure&) {
    if (!elf && !pe) abort();
    return 0;
  }
  auto inside = [size](const Range& r) { return r.offset <= size && r.size <= size - r.offset; };
  if (!inside(found.payload) || (found.indexed && (found.index.size == 0 || !inside(found.index)))) abort();
  if (!elf && !pe) {
    if (found.kind != "payload" || found.payload.offset != 0 || found.payload.size != size || found.indexed ||
        found.has_strings)
      abort();
    return 0;
  }
  const std::string target = elf ? "linux-x64 launcher " : "windows-x64 launcher ";
  if (found.kind.compare(0, target.size(), target) != 0 || !found.has_strings) abort();
  for (const std::u16string& s : found.strings)
    if (s.find(u'\0') != std::u16string::npos) abort();
  return 0;
}
