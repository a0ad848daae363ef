#include "launcher/launch.h"

#include <cstdio>

#include "child/run_child.h"
#include "extract/directories.h"
#include "extract/extract.h"
#include "extract/frames.h"
#include "payload/build_strings.h"
#include "launcher/console.h"
#include "launcher/fatal.h"
#include "payload/payload.h"
#include "platform/platform.h"
#include "templates/env.h"
#include "templates/expand.h"

bool make_full_path(char16_t* buffer, size_t capacity) {
  char16_t full[kPathCapacity];
  if (capacity > kPathCapacity) capacity = kPathCapacity;
  uint32_t length = platform::full_path(buffer, full, uint32_t(capacity));
  if (!platform::fits(length, uint32_t(capacity))) return false;
  return wide_copy(buffer, capacity, full);
}

static void set_parent_identifier() {
  char narrow[128];
  snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(platform::process_id()));
  char16_t wide[128];
  size_t i = 0;
  for (; narrow[i] != 0 && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = char16_t(narrow[i]);
  wide[i] = 0;
  env_set(MORDAX_ENV_PARENT, wide);
}

// Launchers started together would otherwise truncate files that another one
// is writing or has already started. The one that waits finds every checksum
// matching and writes nothing. Without a lock (none to be had) the launcher
// unpacks as it would alone.
static void lock_target() {
  switch (platform::lock_target_directory(target_directory)) {
    case platform::TargetLock::symbolic_link:
      fatal_unsafe_target(target_directory, "it is a symbolic link");
    case platform::TargetLock::not_owned:
      fatal_unsafe_target(target_directory, "it is not owned by the current user");
    case platform::TargetLock::writable_by_others:
      fatal_unsafe_target(target_directory, "it is writable by other users");
    case platform::TargetLock::held:
    case platform::TargetLock::unavailable:
      break;
  }
}

// A payload this small decodes in well under a millisecond, about what a
// decoding thread and the first touch of its buffer cost.
constexpr uint64_t kTwoCorePayloadFloor = 64u << 10;

uint32_t launch(const char16_t* argv0) {
  platform::remove_current_directory_from_library_search();
  hide_console_window();
  // Values inherited from whatever started us never carry over into this run.
  env_unset(MORDAX_ENV_START);
  env_unset(MORDAX_ENV_TIME_US);
  env_unset(MORDAX_ENV_RANDOM);
  set_parent_identifier();

  const char16_t* spec = build_strings().target_spec;
  bool expanded = expand_target_spec(target_directory, spec, kPathCapacity);
  // A path that cannot be qualified is reported like a failed expansion: in
  // either case the template did not give a usable directory.
  if (!make_full_path(target_directory, kPathCapacity) || !expanded) fatal_expansion_error(spec);
  if (is_root_directory(target_directory)) fatal_unsafe_target(target_directory, "it is a root folder");

  if (!platform::add_console_control_handler(console_control_handler))
    fatal_error("Error, failed to register signal handler.");

  lock_target();
  // Linux launchers, and Windows builds that opt in, take the faster design:
  // a payload of frames listed by its index decodes on every core, and only
  // the frames of files not in place; any other goes through the record loop.
  bool fast = platform::two_cores_by_default || embedded_fast_start();
  if (fast) use_directory_memo(DirectoryMemo::hashed);
  InPlace found = fast && extract_frames() ? InPlace::all : records_in_place();
  if (found != InPlace::all) {
    // Unpacking that writes is bound by its writes: huge pages would only add
    // their first touch, which on a virtual machine that hands freed memory
    // back to its host can cost more than the whole decode. Without an index
    // the start may only check, and the decoder bounds it.
    payload_open(fast && embedded_payload().size >= kTwoCorePayloadFloor, found == InPlace::unknown);
    extract_records();
    payload_close();
  }
  platform::unlock_target_directory();
  return run_child(argv0);
}
