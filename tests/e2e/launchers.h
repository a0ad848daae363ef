// Which set of launchers the suite runs against: the ones built by
// mordax_add_launcher (E2E_BIN), or, when MORDAX_E2E_LAUNCHERS names a folder,
// the stub-packed ones there. Both sets carry the same payloads.
#pragma once

#include <cstdlib>
#include <string>

inline std::string launchers_folder() {
  const char* chosen = getenv("MORDAX_E2E_LAUNCHERS");
  return chosen != nullptr && *chosen != 0 ? chosen : E2E_BIN;
}

/// Tells the scratch folders of the two runs apart, so they may run together.
inline std::string launchers_flavour() {
  const char* chosen = getenv("MORDAX_E2E_LAUNCHERS");
  return chosen != nullptr && *chosen != 0 ? "-stub" : "";
}
