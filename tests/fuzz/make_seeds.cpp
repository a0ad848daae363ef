// Writes the fuzz targets' seeds as bytes, and checks that each one reads as
// meant: the default template expands, the command line splits into its three
// arguments, and both record seeds unpack their two files, taken by the reader
// on two cores too.
//   make_seeds SEEDS_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "launcher/launch.h"
#include "payload/payload.h"
#include "templates/expand.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/fake_platform.h"

namespace fs = std::filesystem;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    fprintf(stderr, "make_seeds: %s\n", what.c_str());
    ++failures;
  }
}

std::string write_seed(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string utf16le(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += {char(unit & 0xFF), char(unit >> 8)};
  return out;
}

// The files a records seed unpacks, or nothing when it stops.
std::map<std::u16string, std::string> unpacked(const std::string& seed) {
  fake::reset_in_target(u"C:\\T");
  fake::state().payload = fuzz_input::payload(bytes(seed), seed.size());
  try {
    payload_open(false, false);
    extract_records();
  } catch (const FatalExit&) {
    fake::state().files.clear();
  }
  payload_close();
  return fake::state().files;
}

// Whether the reader on two cores takes a records seed's frame (only that one
// hands out bytes in place): if not, the fuzzer set out from it compares the
// reader on one thread with itself.
bool on_two_cores(const std::string& seed) {
  fake::reset_in_target(u"C:\\T");
  fake::state().payload = fuzz_input::payload(bytes(seed), seed.size());
  payload_open(true, false);
  const unsigned char* data;
  bool in_place = payload_view(1, &data) != 0;
  payload_close();
  return in_place;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds SEEDS_DIR\n");
    return 2;
  }
  const fs::path seeds = argv[1];

  std::string expand = write_seed(seeds / "expand/default", std::string("\x00\x10", 2) +
                                                                   utf16le(u"{CACHE_DIR}\\tarvell-2.3.8"));
  size_t capacity;
  std::vector<char16_t> spec;
  fuzz_input::expansion(bytes(expand), expand.size(), &capacity, &spec);
  fake::reset();
  std::vector<char16_t> out(capacity);
  check(capacity == 4096 && expand_target_spec(out.data(), spec.data(), capacity) &&
            std::u16string(out.data()) == u"C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8",
        "expand/default does not expand the default template with 4096 units");

  std::string line = write_seed(seeds / "command_line/plain", "a\xff" "b c\xff");
  check(fuzz_input::arguments(bytes(line), line.size()) == std::vector<std::u16string>{u"a", u"b c", u""},
        "command_line/plain is not the arguments a, \"b c\" and an empty one");

  const std::vector<RecordSpec> records = {{u"a.exe", "abc"}, {u"lib\\d\\data.bin", "data data data"}};
  const std::map<std::u16string, std::string> files = {{u"C:\\T\\a.exe", "abc"},
                                                       {u"C:\\T\\lib\\d\\data.bin", "data data data"}};
  std::string stream = write_seed(seeds / "records/stream", std::string(1, '\0') + record_stream(records));
  check(!fuzz_input::raw_payload(bytes(stream)) && unpacked(stream) == files,
        "records/stream does not unpack its two records");
  std::string raw =
      write_seed(seeds / "records/raw", "\x01" + wrap_payload(fuzz_input::frame(record_stream(records))).substr(3));
  check(fuzz_input::raw_payload(bytes(raw)) && unpacked(raw) == files,
        "records/raw does not unpack its two records");
  check(on_two_cores(stream) && on_two_cores(raw), "the reader on two cores does not take the records seeds");
  return failures == 0 ? 0 : 1;
}
