// Which set of launchers the suite runs against: the ones built by
// mordax_add_launcher (E2E_BIN), or, when MORDAX_E2E_LAUNCHERS names a folder,
// the stub-packed ones there. Both sets carry the same payloads.
#pragma once

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

inline std::string launchers_folder() {
  const char* chosen = getenv("MORDAX_E2E_LAUNCHERS");
  return chosen != nullptr && *chosen != 0 ? chosen : E2E_BIN;
}

/// Tells the scratch folders of the two runs apart, so they may run together.
inline std::string launchers_flavour() {
  const char* chosen = getenv("MORDAX_E2E_LAUNCHERS");
  return chosen != nullptr && *chosen != 0 ? "-stub" : "";
}

/// Names a test's scratch folder: the two sets of launchers, and suites run at
/// the same time from other build trees on the same machine, each get their own.
inline std::string scratch_name(const std::string& kind, const std::string& test) {
#ifdef _WIN32
  const long pid = long(_getpid());
#else
  const long pid = long(getpid());
#endif
  return kind + "-" + test + launchers_flavour() + "-" + std::to_string(pid);
}
