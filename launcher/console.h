// Console handling: the console window hides when the launcher is alone on its
// console, and console control events give the child five seconds to end.
#pragma once

#include <cstdint>

constexpr int32_t kChildGraceMilliseconds = 5000;

/// Whether a console window should be hidden: there is one, and the launcher
/// is the only process attached (a count of 0 means the query failed).
bool console_is_own(intptr_t window, uint32_t attached_processes);

/// Hides the console window when the launcher is alone on its console.
void hide_console_window();

/// Called by the system on a thread of its own. For an interrupt, break, close,
/// log-off or shut-down event with a running child, takes the child's handle,
/// waits up to five seconds, ends the child if it still runs and closes the
/// handle. An event that arrives meanwhile waits until that is done. Always
/// returns false, so the event's default handling follows.
bool console_control_handler(uint32_t type);
