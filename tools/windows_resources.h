// The resource section of a finished Windows launcher: the manifest and the
// version resource, as windres would give them for the CMake-built launcher.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VersionStrings {
  std::u16string company, product, file_version, product_version;
};

/// "2.3.8" -> {2, 3, 8, 0}: the first four runs of digits, missing ones 0.
/// False (with `why`) when a number passes 65535.
bool numeric_version(const std::u16string& text, uint16_t out[4], std::string* why);

/// The bytes of a ".rsrc" section placed at `section_rva`: a resource
/// directory with the manifest (type 24, id 1) and the version resource
/// (type 16, id 1), both in language 0x409.
std::vector<unsigned char> resource_section(uint32_t section_rva, const std::string& manifest,
                                            const VersionStrings& strings, const uint16_t file_version[4],
                                            const uint16_t product_version[4]);
