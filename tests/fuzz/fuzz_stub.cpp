// The writer handed any file as a stub: it never reads outside the file, and
// whatever it accepts and finishes carries a block the stub can read back,
// holding the strings and the payload it was given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/attached.h"
#include "tools/stub_image.h"

namespace {

uint32_t get32(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t get64(const std::vector<unsigned char>& b, size_t at) {
  return get32(b, at) | uint64_t(get32(b, at + 4)) << 32;
}

// Where the finished file keeps its block: the last section (Windows) or the
// range the footer names (Linux).
bool find_block(const std::vector<unsigned char>& out, StubTarget target, size_t* at, size_t* size) {
  if (target == StubTarget::linux_x64) {
    if (out.size() < kAttachedFooterSize) return false;
    *at = get64(out, out.size() - 24);
    *size = get64(out, out.size() - 16);
    return memcmp(&out[out.size() - 8], kAttachedFooterMagic, 8) == 0 && *at <= out.size() &&
           *size <= out.size() - *at;
  }
  uint32_t nt = get32(out, 0x3C);
  uint32_t count = out[nt + 6] | out[nt + 7] << 8;
  size_t last = nt + 24 + (out[nt + 20] | out[nt + 21] << 8) + (count - 1) * 40;
  if (memcmp(&out[last], kWindowsSectionName, 8) != 0) return false;
  *size = get32(out, last + 8);
  *at = get32(out, last + 20);
  return *at + *size <= out.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  StubTarget target = data[0] & 1 ? StubTarget::windows_x64 : StubTarget::linux_x64;
  std::vector<unsigned char> stub(data + 1, data + size);
  // The marker goes where neither format looks (the DOS stub program, the
  // start of ELF program headers), so the rest of the checks get explored.
  std::string marker = std::string(kStubMarker) + stub_target_name(target);
  if (stub.size() >= 0x40 + marker.size() + 1) memcpy(&stub[0x40], marker.c_str(), marker.size() + 1);
  if (!check_stub(stub, target).empty()) return 0;

  StubStrings strings;
  for (int i = 0; i < 6; ++i) strings.values[i] = u"s" + std::u16string(1, char16_t(u'0' + i));
  strings.manifest = "<assembly/>";
  const char payload[] = "QOB-payload";
  const std::vector<unsigned char> index = {'I', 'D', 'X'};
  FILE* out = tmpfile();
  if (out == nullptr) return 0;
  try {
    StubFinisher finisher(out, stub, target, strings, /*indexed*/ true);
    finisher.begin();
    fwrite(payload, 1, sizeof payload, out);
    finisher.finish(sizeof payload, index);
  } catch (const std::runtime_error&) {
    fclose(out);
    return 0;
  }
  std::vector<unsigned char> finished;
  rewind(out);
  for (int c; (c = fgetc(out)) != EOF;) finished.push_back(uint8_t(c));
  fclose(out);

  if (memcmp(finished.data(), stub.data(), 0x40) != 0) abort();
  size_t at = 0, block_size = 0;
  if (!find_block(finished, target, &at, &block_size)) abort();
  AttachedBlock block;
  if (!parse_attached_block(&finished[at], block_size, &block)) abort();
  if (block.payload_size != sizeof payload || memcmp(block.payload, payload, sizeof payload) != 0) abort();
  if (block.index_size != index.size() || memcmp(block.index, index.data(), index.size()) != 0) abort();
  for (int i = 0; i < 6; ++i)
    if (std::u16string(block.strings[i]) != strings.values[i]) abort();
  return 0;
}
