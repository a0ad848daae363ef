#include "templates/env.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

constexpr size_t kNameCapacity = 40;

static bool widen_name(const char* name, char16_t (&wide)[kNameCapacity]) {
  size_t i = 0;
  for (; name[i] != 0; ++i) {
    unsigned char byte = static_cast<unsigned char>(name[i]);
    if (i + 1 >= kNameCapacity || byte >= 0x80) return false;
    wide[i] = byte;
  }
  wide[i] = 0;
  return true;
}

char16_t* env_get(const char* name) {
  char16_t wide[kNameCapacity];
  if (!widen_name(name, wide)) return nullptr;
  char16_t value[kEnvLookupCapacity];
  uint32_t length = platform::get_environment(wide, value, kEnvLookupCapacity);
  if (!platform::fits(length, kEnvLookupCapacity)) return nullptr;
  size_t bytes = (size_t(length) + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(malloc(bytes));
  if (copy != nullptr) memcpy(copy, value, bytes);
  return copy;
}

bool env_set(const char* name, const char16_t* value) {
  char16_t wide[kNameCapacity];
  return widen_name(name, wide) && platform::set_environment(wide, value);
}

bool env_unset(const char* name) {
  char16_t wide[kNameCapacity];
  return widen_name(name, wide) && platform::set_environment(wide, nullptr);
}
