// Template expansion over arbitrary templates and capacities: the output must
// never pass its capacity (the buffer is exactly that large, so the address
// sanitizer sees any overflow) and must stay zero-terminated on success. A
// template without braces comes back unchanged when it fits, and a success
// stays the same success with more room, but for the values written in place
// (the temporary folder and the own path), which are cut or left out to fit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "templates/expand.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/fake_platform.h"

namespace {

bool names_a_value_written_in_place(const std::u16string& spec) {
  std::u16string upper = spec;
  for (char16_t& unit : upper)
    if (unit >= u'a' && unit <= u'z') unit = char16_t(unit - u'a' + u'A');
  return upper.find(u"TEMP") != std::u16string::npos || upper.find(u"PROGRAM") != std::u16string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fake::reset();
  size_t capacity;
  std::vector<char16_t> spec;
  fuzz_input::expansion(data, size, &capacity, &spec);
  const std::u16string template_text(spec.data());
  std::vector<char16_t> out(capacity);
  bool ok = expand_target_spec(out.data(), spec.data(), capacity);
  std::u16string result;
  if (ok) {
    size_t n = 0;
    while (n < capacity && out[n] != 0) ++n;
    if (n == capacity) abort();
    result.assign(out.data(), n);
  }
  if (template_text.find_first_of(u"{}") == std::u16string::npos) {
    if (ok != (template_text.size() < capacity)) abort();
    if (ok && result != template_text) abort();
  }
  if (ok && !names_a_value_written_in_place(template_text)) {
    std::vector<char16_t> wider(capacity + 1 + data[0] % 64 + 4096);
    if (!expand_target_spec(wider.data(), spec.data(), wider.size())) abort();
    if (std::u16string(wider.data()) != result) abort();
  }
  return 0;
}
