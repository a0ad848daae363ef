// The payload and build strings of a prebuilt stub: read from the block the
// writer attached, or, for a stub that carries none, an empty payload (the
// reader then stops at the missing header) and the default strings.
#include "default_strings.h"
#include "payload/build_strings.h"
#include "payload/attached.h"
#include "payload/index.h"
#include "payload/payload.h"
#include "platform/platform.h"

// The writer recognises a stub, and its target, by this text.
extern "C" __attribute__((used)) const char mordax_stub_marker[] = "mordax-stub/1 " MORDAX_STUB_TARGET;
static_assert(sizeof kStubMarker == sizeof "mordax-stub/1 ", "marker prefix");

namespace {

// Windows images carry the block as a section the loader maps; an ELF file
// carries it after the image, found through the footer at the file's end.
bool find_block(const unsigned char** data, uint64_t* size) {
  if (platform::image_section(kWindowsSectionName, data, size)) return true;
  unsigned char footer[kAttachedFooterSize];
  uint64_t file_size = 0, offset = 0;
  return platform::read_own_file_tail(footer, sizeof footer, &file_size) &&
         parse_attached_footer(footer, file_size, &offset, size) && platform::map_own_file(offset, *size, data);
}

const AttachedBlock* attached() {
  static AttachedBlock block;
  static const bool found = [] {
    const unsigned char* data = nullptr;
    uint64_t size = 0;
    return find_block(&data, &size) && parse_attached_block(data, size, &block);
  }();
  return found ? &block : nullptr;
}

}  // namespace

PayloadBytes embedded_payload() {
  const AttachedBlock* block = attached();
  if (block == nullptr) return {nullptr, 0};
  return {block->payload, block->payload_size};
}

bool embedded_fast_start() {
  const AttachedBlock* block = attached();
  return block != nullptr && block->fast_start;
}

IndexBytes embedded_index() {
  const AttachedBlock* block = attached();
  if (block == nullptr) return {nullptr, 0};
  return {block->index, block->index_size};
}

const BuildStrings& build_strings() {
  static const BuildStrings strings = [] {
    const AttachedBlock* block = attached();
    if (block != nullptr)
      return BuildStrings{block->strings[0], block->strings[1], block->strings[2],
                          block->strings[3], block->strings[4], block->strings[5]};
    static char16_t spec[] = u"" MORDAX_DEFAULT_TARGET_FOLDER "/" MORDAX_DEFAULT_TARGET_NAME;
    spec[sizeof MORDAX_DEFAULT_TARGET_FOLDER - 1] = platform::path_separator;
    return BuildStrings{spec,
                        u"" MORDAX_DEFAULT_COMPANY,
                        u"" MORDAX_DEFAULT_PRODUCT,
                        u"" MORDAX_DEFAULT_VERSION,
                        u"" MORDAX_DEFAULT_FILE_VERSION,
                        u"" MORDAX_DEFAULT_PRODUCT_VERSION};
  }();
  return strings;
}
