#include "tools/record_walk.h"

#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <vector>

#include "common/little_endian.h"
#include "common/utf.h"
#include "payload/format.h"
#include "tools/failure.h"

namespace {

constexpr size_t kWindow = 131072;
constexpr size_t kPiece = 65536;

// The decoded record stream, handed out in order, across as many frames as it
// takes: the decoder starts the next frame where one ends, as the launcher's
// does.
class Decoder {
 public:
  Decoder(const unsigned char* frame, uint64_t size)
      : context_(ZSTD_createDCtx()), input_{frame, size_t(size), 0}, window_(kWindow) {
    if (context_ == nullptr) throw Failure("out of memory");
  }
  ~Decoder() { ZSTD_freeDCtx(context_); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  void read(unsigned char* to, size_t count) {
    // As in the launcher's reader, only a step of this read that filled the
    // window lets another run once the input is used up: a frame without its
    // end gives no bytes that the launcher would not give.
    bool filled = false;
    while (count > 0) {
      if (position_ == end_) filled = step(filled);
      size_t n = std::min(count, end_ - position_);
      memcpy(to, &window_[position_], n);
      position_ += n;
      to += n;
      count -= n;
    }
  }

  // Decodes to the end of the frame that is being read; returns the bytes that
  // were left in it.
  uint64_t rest() {
    uint64_t left = end_ - position_;
    position_ = end_;
    for (bool filled = false; !ended_;) {
      filled = step(filled);
      left += end_;
      position_ = end_;
    }
    return left;
  }

  // Where each frame decoded so far begins (in the input and in the stream),
  // and where the last one ended, if it has.
  const std::vector<IndexFrame>& bounds() const { return bounds_; }

 private:
  bool step(bool filled) {
    if (ended_) {
      // The next frame begins at once, or nothing does: the launcher's decoder
      // refuses padding and trailer as a frame.
      size_t left = input_.size - input_.pos;
      const unsigned char* next = static_cast<const unsigned char*>(input_.src) + input_.pos;
      if (left < 4 || load_le32(next) != ZSTD_MAGICNUMBER) throw Failure("the record stream ends before its end marker");
      ended_ = false;
    }
    // A step that filled the window may have left decoded bytes inside the
    // decoder, so another is due even when the input is used up.
    if (input_.pos == input_.size && !filled) throw Failure("the frame is cut short");
    ZSTD_outBuffer out = {window_.data(), window_.size(), 0};
    size_t result = ZSTD_decompressStream(context_, &out, &input_);
    if (ZSTD_isError(result)) throw Failure(std::string("the frame does not decode: ") + ZSTD_getErrorName(result));
    decoded_ += out.pos;
    ended_ = result == 0;
    if (ended_) bounds_.push_back({sizeof kPayloadMagic + input_.pos, decoded_});
    position_ = 0;
    end_ = out.pos;
    return out.pos == window_.size();
  }

  ZSTD_DCtx* context_;
  ZSTD_inBuffer input_;
  std::vector<unsigned char> window_;
  size_t position_ = 0, end_ = 0;
  uint64_t decoded_ = 0;
  bool ended_ = false;
  std::vector<IndexFrame> bounds_ = {{sizeof kPayloadMagic, 0}};
};

}  // namespace

std::string shown_name(const std::u16string& name) {
  std::u16string separated = name;
  for (char16_t& unit : separated)
    if (unit == kRecordSeparator) unit = u'/';
  std::vector<char> text(3 * separated.size() + 1);
  size_t n = utf16_to_utf8_lossy(separated.c_str(), text.data(), text.size());
  return std::string(text.data(), n);
}

size_t walk_records(const unsigned char* payload, uint64_t size, RecordVisitor& visitor, StreamEnd* end) {
  if (size < sizeof kPayloadMagic || memcmp(payload, kPayloadMagic, sizeof kPayloadMagic) != 0)
    throw Failure("the payload does not begin with the magic \"QOB\"");
  Decoder decoder(payload + sizeof kPayloadMagic, size - sizeof kPayloadMagic);
  std::vector<unsigned char> piece(kPiece);
  for (size_t number = 1;; ++number) {
    RecordHeader record{number, u"", 0, 0};
    for (;;) {
      unsigned char unit[2];
      decoder.read(unit, 2);
      if (load_le16(unit) == 0) break;
      if (record.name.size() == kRecordNameCapacity - 1)
        throw Failure("record " + std::to_string(number) + ": a name longer than " +
                      std::to_string(kRecordNameCapacity - 1) + " UTF-16 units");
      record.name.push_back(char16_t(load_le16(unit)));
    }
    if (record.name.empty()) {
      if (end != nullptr) {
        end->after_end = decoder.rest();
        end->frames = decoder.bounds();
      }
      return number - 1;
    }
    unsigned char fields[12];
    decoder.read(fields, sizeof fields);
    record.size = load_le64(fields);
    record.stored = load_le32(fields + 8);
    visitor.begin(record);
    uLong crc = crc32(0, nullptr, 0);
    for (uint64_t left = record.size; left > 0;) {
      size_t n = left < kPiece ? size_t(left) : kPiece;
      decoder.read(piece.data(), n);
      crc = crc32(crc, piece.data(), uInt(n));
      visitor.contents(piece.data(), n);
      left -= n;
    }
    visitor.end(record, crc == 0 ? 1 : uint32_t(crc));
  }
}
