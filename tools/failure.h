// How the writer's parts fail: each throws a Failure carrying the one line that
// says why; only main prints it and chooses the exit status.
#pragma once

#include <stdexcept>

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
