#include "child/run_child.h"

#include "child/command_line.h"
#include "extract/extract.h"
#include "launcher/fatal.h"
#include "platform/platform.h"
#include "templates/env.h"

std::atomic<intptr_t> child_process{0};

namespace {

constexpr uint32_t kLauncherPathCapacity = kPathCapacity + 1;
char16_t launcher_path[kLauncherPathCapacity];
char16_t launcher_directory[kLauncherPathCapacity];

}  // namespace

uint32_t run_child(const char16_t* argv0) {
  platform::module_path(launcher_path, kLauncherPathCapacity);
  launcher_path[kLauncherPathCapacity - 1] = 0;
  wide_copy(launcher_directory, kLauncherPathCapacity, launcher_path);
  for (size_t i = wide_length(launcher_directory); i-- > 0;) {
    if (launcher_directory[i] == platform::path_separator) {
      launcher_directory[i] = 0;
      break;
    }
  }
  env_set(MORDAX_ENV_DIRECTORY, launcher_directory);
  // An entry point that has no first argument, or one it cannot pass on
  // unaltered, passes none; an empty one is handed on as it is.
  if (argv0 != nullptr)
    env_set(MORDAX_ENV_ARGV0, argv0);
  else
    env_unset(MORDAX_ENV_ARGV0);

  platform::StandardHandles handles = platform::standard_handles();
  char16_t* line = platform::child_takes_command_line ? build_child_command_line() : nullptr;
  platform::Child child;
  uint32_t error = 0;
  if (!platform::start_child(child_executable_path, line, handles, &child, &error))
    fatal_system_error("Error, couldn't launch child", error);

  // The main thread waits on a handle of its own; the handler only ever sees
  // the shared one, so neither can close what the other is using.
  bool published = child.shared != 0;
  child_process.store(child.shared);
  uint32_t status = 0;
  switch (platform::wait_child_status(child.own, &status)) {
    case platform::ChildEnd::status: break;
    case platform::ChildEnd::status_unreadable: status = 1; break;
    case platform::ChildEnd::wait_failed:
      fatal_system_error("Error, couldn't wait for child", platform::last_error());
  }
  platform::close_process(child.own);
  if (published) {
    intptr_t shared = child_process.exchange(0);
    if (shared != 0)
      platform::close_process(shared);
    else
      platform::await_console_control_handler();
  }
  return status;
}
