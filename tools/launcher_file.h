// Where a file keeps its payload: a bare payload is one; a launcher finished
// from a stub carries it in the attached block (payload/attached.h), and a
// launcher built by mordax_add_launcher behind its marker. Found without
// running anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Range {
  uint64_t offset = 0, size = 0;
};

struct LauncherFile {
  std::string kind;  // for people: "payload", "linux-x64 launcher finished from the stub", ...
  Range payload;
  bool indexed = false;
  Range index;
  bool has_strings = false;
  std::u16string strings[6];  // in the order of BuildStrings
};

/// The payload, index and strings of `file`. A file that is neither a Linux
/// nor a Windows executable is taken as a bare payload, whole. Throws Failure
/// with the end of one line ("carries no payload", ...) when an executable
/// has no payload or a damaged block or marker.
LauncherFile find_payload(const std::vector<unsigned char>& file);

/// The build strings' names, for people: "target spec", "company", ...
extern const char* const kStringNames[6];
