#include "launcher/console.h"

#include <mutex>

#include "child/run_child.h"
#include "platform/platform.h"

bool console_is_own(intptr_t window, uint32_t attached_processes) {
  return window != 0 && attached_processes <= 1;
}

void hide_console_window() {
  intptr_t window = platform::console_window();
  uint32_t count = platform::console_process_count(2);
  if (console_is_own(window, count)) platform::hide_window(window);
}

namespace {
// Held while one event deals with the child. As soon as any handler returns, the
// system's handling of its event may end the launcher, and with it a first
// handler still in its wait; so a second event (Ctrl+C twice, Ctrl+Break or
// closing the window during the grace) waits here until the child has ended or
// has been terminated.
std::mutex dealing_with_child;
}  // namespace

// The child shares the console and so gets the event itself; this only bounds
// how long it may take. The handle is taken out of child_process atomically, so
// exactly one thread closes it and the main thread never waits on it.
bool console_control_handler(uint32_t type) {
  switch (type) {
    case platform::ctrl_c_event:
    case platform::ctrl_break_event:
    case platform::ctrl_close_event:
    case platform::ctrl_logoff_event:
    case platform::ctrl_shutdown_event: {
      std::lock_guard<std::mutex> one_event_at_a_time(dealing_with_child);
      intptr_t child = child_process.exchange(0);
      if (child == 0) break;
      platform::relay_event(child, type);
      if (!platform::wait_process(child, kChildGraceMilliseconds)) platform::terminate_process(child);
      platform::close_process(child);
      break;
    }
    default: break;
  }
  return false;
}
