// The payload reader and the record loop over arbitrary input, through the fake
// platform (see inputs.h for how the input is read). Nothing may land outside
// the target directory, whatever the names; an overflow or a leak is a finding;
// and when a record stream unpacks without a stop, the files are what its
// records say; the reader on two cores leaves exactly what the one on one
// thread leaves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include <zlib.h>

#include "extract/extract.h"
#include "launcher/launch.h"
#include "payload/payload.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/fake_platform.h"

namespace {

const std::u16string kTarget = u"C:\\T";

uint32_t stored_form(const std::string& contents) {
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(contents.data()), uInt(contents.size()));
  return crc == 0 ? 1 : uint32_t(crc);
}

// The files a complete stream leaves in an empty target: records in order, a
// file whose contents already have the stored checksum left as it is.
bool expected_files(const std::string& stream, std::map<std::u16string, std::string>* files) {
  size_t at = 0;
  auto take = [&](size_t n, std::string* out) {
    if (stream.size() - at < n) return false;
    out->assign(stream, at, n);
    at += n;
    return true;
  };
  auto little_endian = [](const std::string& bytes) {
    uint64_t v = 0;
    for (size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    return v;
  };
  for (;;) {
    std::u16string name;
    for (std::string unit;;) {
      if (!take(2, &unit)) return false;
      char16_t c = char16_t(little_endian(unit));
      if (c == 0) break;
      name += c;
    }
    if (name.empty()) return true;
    std::string size, checksum, contents;
    if (!take(8, &size) || !take(4, &checksum) || little_endian(size) > stream.size() - at ||
        !take(size_t(little_endian(size)), &contents))
      return false;
    std::u16string path = kTarget + u"\\" + name;
    auto existing = files->find(path);
    uint32_t on_disk = existing == files->end() || existing->second.empty() ? 0 : stored_form(existing->second);
    // An absent or empty file never matches, whatever the stored value.
    if (on_disk == 0 || on_disk != uint32_t(little_endian(checksum))) (*files)[path] = contents;
  }
}

// One run of the record loop with the reader on one thread or on two cores.
struct Outcome {
  bool stopped;
  std::string out, err;
  std::map<std::u16string, std::string> files;
};

Outcome unpack(const std::string& payload, bool two_cores) {
  fake::reset_in_target(kTarget);
  fake::state().payload = payload;
  bool stopped = false;
  try {
    payload_open(two_cores, false);
    extract_records();
  } catch (const FatalExit&) {
    stopped = true;
  }
  payload_close();
  return {stopped, fake::state().out, fake::state().err, fake::state().files};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string payload = fuzz_input::payload(data, size);
  Outcome two_cores = unpack(payload, true);
  Outcome one_thread = unpack(payload, false);
  for (const auto& [path, contents] : fake::state().files)
    if (!fuzz_input::stays_inside(path, kTarget)) abort();
  for (const std::u16string& dir : fake::state().directories)
    if (dir != kTarget && !fuzz_input::stays_inside(dir, kTarget)) abort();
  // Whatever the input, the second core changes nothing a user could see.
  if (two_cores.stopped != one_thread.stopped || two_cores.out != one_thread.out || two_cores.err != one_thread.err ||
      two_cores.files != one_thread.files)
    abort();
  if (!one_thread.stopped && !fuzz_input::raw_payload(data)) {
    std::map<std::u16string, std::string> expected;
    if (!expected_files(std::string(reinterpret_cast<const char*>(data + 1), size - 1), &expected)) abort();
    if (one_thread.files != expected) abort();
  }
  // What the input had the fake allocate is freed within it: libFuzzer takes
  // more allocations than frees for a possible leak, and runs the input again
  // to look for one.
  fake::reset();
  return 0;
}
