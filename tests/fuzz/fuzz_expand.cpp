// Template expansion over arbitrary templates and capacities: the output must
// never pass its capacity (the buffer is exactly that large, so the address
// sanitizer sees any overflow) and must stay zero-terminated on success.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "templates/expand.h"
#include "tests/unit/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fake::reset();
  size_t capacity = (size_t(data[0]) | (size_t(data[1]) << 8)) % 5000;
  std::vector<char16_t> spec((size - 2) / 2 + 1, 0);
  memcpy(spec.data(), data + 2, (size - 2) / 2 * 2);
  // Names from the table turn up more often when the input is read as ASCII.
  for (char16_t& unit : spec)
    if (unit >= 0x100 && unit < 0x8000) unit &= 0x7F;
  std::vector<char16_t> out(capacity);
  bool ok = expand_target_spec(out.data(), spec.data(), capacity);
  if (ok) {
    size_t n = 0;
    while (n < capacity && out[n] != 0) ++n;
    if (n == capacity) abort();
  }
  return 0;
}
