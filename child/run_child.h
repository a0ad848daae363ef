// Starting the child and waiting for it.
#pragma once

#include <atomic>
#include <cstdint>

/// The running child's handle for the console control handler, or 0. Whoever
/// takes it out with exchange() owns it and closes it.
extern std::atomic<intptr_t> child_process;

/// Sets the hand-off variables, starts the first record as the child on the
/// launcher's console, waits for it without limit and returns its exit status
/// (1 when it cannot be read). Stops the launcher when the child cannot start.
/// `argv0` is the launcher's first argument, or null when there is none to hand on.
uint32_t run_child(const char16_t* argv0);
