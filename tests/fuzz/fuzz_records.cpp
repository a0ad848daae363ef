// The payload reader and the record loop over arbitrary input, through the fake
// platform. The first byte chooses how the rest is used: as the bytes after the
// magic (exercising the decoder), or as a record stream that is first wrapped
// into a valid frame (exercising names, sizes and paths). A write outside the
// target directory, an overflow or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/extract.h"
#include "launcher/launch.h"
#include "payload/payload.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/payload_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fake::reset();
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  fake::state().payload = (data[0] & 1) ? "QOB" + rest : wrap_payload(compress_frame(rest, 18));
  const std::u16string target = u"C:\\T";
  wide_copy(target_directory, kPathCapacity, target.c_str());
  child_executable_path[0] = 0;
  fake::state().directories = {target};
  try {
    payload_open();
    extract_records();
  } catch (const FatalExit&) {
  }
  payload_close();
  for (const auto& [path, contents] : fake::state().files)
    if (path.compare(0, target.size() + 1, target + u"\\") != 0) abort();
  for (const std::u16string& dir : fake::state().directories)
    if (dir != target && dir.compare(0, target.size() + 1, target + u"\\") != 0) abort();
  return 0;
}
