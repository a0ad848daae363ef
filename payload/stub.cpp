// The payload and build strings of a prebuilt stub: read from the block the
// writer attached, or, for a stub that carries none, an empty payload (the
// reader then stops at the missing header) and the default strings.
#include "launcher/build_strings.h"
#include "payload/attached.h"
#include "payload/payload.h"
#include "platform/platform.h"

// The writer recognises a stub, and its target, by this text.
extern "C" __attribute__((used)) const char mordax_stub_marker[] = "mordax-stub/1 " MORDAX_STUB_TARGET;
static_assert(sizeof kStubMarker == sizeof "mordax-stub/1 ", "marker prefix");

namespace {

const AttachedBlock* attached() {
  static AttachedBlock block;
  static const bool found = [] {
    const unsigned char* data = nullptr;
    uint64_t size = 0;
    return platform::attached_block(&data, &size) && parse_attached_block(data, size, &block);
  }();
  return found ? &block : nullptr;
}

}  // namespace

PayloadBytes embedded_payload() {
  const AttachedBlock* block = attached();
  if (block == nullptr) return {nullptr, 0};
  return {block->payload, block->payload_size};
}

const BuildStrings& build_strings() {
  static const BuildStrings strings = [] {
    const AttachedBlock* block = attached();
    if (block != nullptr)
      return BuildStrings{block->strings[0], block->strings[1], block->strings[2],
                          block->strings[3], block->strings[4], block->strings[5]};
    static char16_t spec[] = u"{CACHE_DIR}\\tarvell-2.3.8";
    spec[11] = platform::path_separator;
    return BuildStrings{spec, u"Tarvell", u"Tarvell Pro", u"2.3.8", u"2.3.8", u"2.3.8"};
  }();
  return strings;
}
