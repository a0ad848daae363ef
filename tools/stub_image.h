// Finishing a prebuilt stub launcher: the stub's bytes, then the block of build
// strings and payload that the stub looks for (the layout is in
// payload/attached.h), with the headers a loader and a signing tool expect.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class StubTarget { windows_x64, linux_x64 };

/// "windows-x64" or "linux-x64"; false for anything else.
bool parse_stub_target(const std::string& name, StubTarget* out);
const char* stub_target_name(StubTarget target);

/// Empty when `stub` is an unfinished stub for `target`; otherwise why not, as
/// the end of one line ("is not a launcher stub", ...).
std::string check_stub(const std::vector<unsigned char>& stub, StubTarget target);

/// Where the section `name` of the Windows image lies in the file: false when
/// `image` is no x86-64 Windows executable or has no such section.
bool windows_section(const std::vector<unsigned char>& image, const char name[8], uint64_t* offset, uint64_t* size);

/// The target a stub's marker names ("windows-x64", "linux-x64"), or "" when
/// `file` carries no marker.
std::string stub_marker_target(const std::vector<unsigned char>& file);

struct StubStrings {
  // In the order the stub reads them: target spec, company, product, version,
  // file version, product version.
  std::u16string values[6];
  std::string manifest;  // Windows only
};

/// Writes the finished launcher to `out`: begin() writes everything that comes
/// before the payload, the caller then writes the payload at the file's current
/// position, and finish() completes the file around it, with the payload's
/// index when `indexed`. Failures throw std::runtime_error with a one-line
/// reason.
class StubFinisher {
 public:
  StubFinisher(FILE* out, const std::vector<unsigned char>& stub, StubTarget target, const StubStrings& strings,
               bool indexed);
  void begin();
  void finish(uint64_t payload_size, const std::vector<unsigned char>& index);

 private:
  void begin_windows();
  void finish_windows(uint64_t payload_size);
  void write(const void* data, size_t size);
  void pad_to(uint64_t offset);
  void write_at(uint64_t offset, const void* data, size_t size);
  void write_payload_size(uint64_t payload_size);

  FILE* out_;
  const std::vector<unsigned char>& stub_;
  StubTarget target_;
  const StubStrings& strings_;
  bool indexed_;
  std::vector<unsigned char> header_;  // block header, strings and padding up to the payload
  uint64_t position_ = 0;              // bytes written so far
  uint64_t block_offset_ = 0;          // in the file
  // Windows
  uint32_t block_rva_ = 0, resources_raw_size_ = 0;
  std::vector<unsigned char> image_headers_;
};
