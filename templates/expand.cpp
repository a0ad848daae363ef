#include "templates/expand.h"

#include <cstdio>
#include <cstdlib>

#include "payload/build_strings.h"
#include "platform/platform.h"
#include "templates/env.h"
#include "templates/run_identity.h"

namespace {

enum class Variable {
  temp, program, program_base, program_dir, pid, home, cache_dir, company, product,
  version, file_version, product_version, random, time_us, time, unknown
};

struct Entry {
  const char16_t* name;
  Variable variable;
};

const Entry kVariables[] = {
    {u"TEMP", Variable::temp},
    {u"PROGRAM", Variable::program},
    {u"PROGRAM_BASE", Variable::program_base},
    {u"PROGRAM_DIR", Variable::program_dir},
    {u"PID", Variable::pid},
    {u"HOME", Variable::home},
    {u"CACHE_DIR", Variable::cache_dir},
    {u"COMPANY", Variable::company},
    {u"PRODUCT", Variable::product},
    {u"VERSION", Variable::version},
    {u"FILE_VERSION", Variable::file_version},
    {u"PRODUCT_VERSION", Variable::product_version},
    {u"RANDOM", Variable::random},
    {u"TIME_US", Variable::time_us},
    {u"TIME", Variable::time},
};

Variable lookup(const char16_t* name) {
  for (const Entry& entry : kVariables)
    if (wide_equal_ascii_nocase(name, entry.name)) return entry.variable;
  return Variable::unknown;
}

// Trailing separators go one at a time, but never the output's first unit.
void strip_trailing_separators(WideWriter& out) {
  while (out.length > 1 && out.buffer[out.length - 1] == platform::path_separator)
    out.cut(out.length - 1);
}

// A value written in place by a platform call: the call wrote within the room at
// the write position, or nothing.
void adopt_in_place(WideWriter& out, uint32_t result) {
  size_t room = out.capacity - out.length;
  char16_t* at = out.buffer + out.length;
  if (!platform::fits(result, uint32_t(room))) {
    *at = 0;  // nothing usable was written
    return;
  }
  size_t n = 0;
  while (n + 1 < room && at[n] != 0) ++n;
  at[n] = 0;
  out.length += n;
}

bool put_owned(WideWriter& out, char16_t* value) {
  if (value == nullptr) return false;
  bool ok = out.put(value);
  free(value);
  return ok;
}

bool append_pid(WideWriter& out) {
  char16_t* parent = env_get(MORDAX_ENV_PARENT);
  if (parent != nullptr) {
    // The launcher sets this variable itself; anything but digits means the
    // environment was tampered with, and such a value never reaches a path.
    for (const char16_t* c = parent; *c != 0; ++c) {
      if (*c < u'0' || *c > u'9') {
        free(parent);
        return false;
      }
    }
    return put_owned(out, parent);
  }
  char narrow[32];
  snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(platform::process_id()));
  return out.put_ascii(narrow);
}

bool append_folder(WideWriter& out, platform::KnownFolder folder) {
  char16_t scratch[kPathCapacity];
  if (!platform::fits(platform::known_folder(folder, scratch, kPathCapacity), kPathCapacity)) return false;
  if (!out.put(scratch)) return false;
  strip_trailing_separators(out);
  return true;
}

// Appends {PROGRAM} by a nested expansion at the write position and returns the
// offset where the appended text starts, or false.
bool append_program(WideWriter& out, size_t* start) {
  *start = out.length;
  char16_t* at = out.buffer + out.length;
  if (!expand_target_spec(at, u"{PROGRAM}", out.capacity - out.length)) return false;
  out.length += wide_length(at);
  return true;
}

bool append_value(WideWriter& out, Variable variable) {
  const BuildStrings& strings = build_strings();
  switch (variable) {
    case Variable::temp: {
      uint32_t room = uint32_t(out.capacity - out.length);
      uint32_t n = platform::temp_path(out.buffer + out.length, room);
      adopt_in_place(out, n);
      // Taken as empty, a folder that cannot be read or does not fit would turn
      // {TEMP}\app into \app at the root of the current drive.
      if (!platform::fits(n, room)) return false;
      strip_trailing_separators(out);
      return true;
    }
    case Variable::program: {
      uint32_t room = uint32_t(out.capacity - out.length);
      uint32_t n = platform::module_path(out.buffer + out.length, room);
      if (n == 0) return false;
      // A path cut to fit the room is accepted as the call left it.
      adopt_in_place(out, n < room ? n : room - 1);
      return true;
    }
    case Variable::program_base: {
      size_t start;
      if (!append_program(out, &start)) return false;
      if (out.length - start >= 4 && wide_equal_ascii_nocase(out.buffer + out.length - 4, u".exe"))
        out.cut(out.length - 4);
      return true;
    }
    case Variable::program_dir: {
      size_t start;
      if (!append_program(out, &start)) return false;
      for (size_t i = out.length; i-- > start;) {
        if (out.buffer[i] == platform::path_separator) {
          out.cut(i);
          break;
        }
      }
      return true;
    }
    case Variable::pid: return append_pid(out);
    case Variable::home: return append_folder(out, platform::KnownFolder::profile);
    case Variable::cache_dir: return append_folder(out, platform::KnownFolder::local_app_data);
    case Variable::company: return out.put(strings.company);
    case Variable::product: return out.put(strings.product);
    case Variable::version: return out.put(strings.version);
    case Variable::file_version: return out.put(strings.file_version);
    case Variable::product_version: return out.put(strings.product_version);
    case Variable::random: return put_owned(out, run_identity_value(RunIdentity::random));
    case Variable::time_us: return put_owned(out, run_identity_value(RunIdentity::time_us));
    case Variable::time: return put_owned(out, run_identity_value(RunIdentity::time));
    case Variable::unknown: break;
  }
  return false;
}

}  // namespace

bool expand_target_spec(char16_t* output, const char16_t* spec, size_t capacity) {
  WideWriter out = WideWriter::replace(output, capacity);
  if (!out.ok) return false;
  char16_t name[kVariableNameCapacity];
  size_t name_length = 0;
  bool name_open = false;
  bool name_overflow = false;

  for (const char16_t* unit = spec; *unit != 0; ++unit) {
    if (*unit == u'{') {
      name_open = true;
      name_length = 0;
      name_overflow = false;
    } else if (*unit == u'}' && name_open) {
      name[name_length] = 0;
      name_open = false;
      if (name_overflow || !append_value(out, lookup(name))) return false;
    } else if (name_open) {
      if (name_length + 1 < kVariableNameCapacity)
        name[name_length++] = *unit;
      else
        name_overflow = true;
    } else if (!out.put(*unit)) {
      return false;
    }
  }
  return true;
}
