#include "tests/support/payload_builder.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>

std::string record_stream(const std::vector<RecordSpec>& records, bool end_marker) {
  std::string s;
  auto le = [&](uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(char(v >> (8 * i)));
  };
  for (const RecordSpec& r : records) {
    for (char16_t u : r.name) le(u, 2);
    le(0, 2);
    le(r.contents.size(), 8);
    uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(r.contents.data()), uInt(r.contents.size())));
    le(crc == 0 ? 1 : crc, 4);
    s += r.contents;
  }
  if (end_marker) le(0, 2);
  return s;
}

std::string compress_frame(const std::string& stream, int window_log, bool content_size) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, content_size);
  ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0);
  // Told the size, the encoder fits its window to it, as the zstd command does
  // for a file.
  if (content_size) ZSTD_CCtx_setPledgedSrcSize(c, stream.size());
  std::string out(ZSTD_compressBound(stream.size()) + 64, '\0');
  ZSTD_inBuffer in = {stream.data(), stream.size(), 0};
  ZSTD_outBuffer o = {out.data(), out.size(), 0};
  // Streamed in two calls, so that without a pledge the encoder never learns
  // the size up front.
  ZSTD_compressStream2(c, &o, &in, ZSTD_e_continue);
  size_t left = ZSTD_compressStream2(c, &o, &in, ZSTD_e_end);
  ZSTD_freeCCtx(c);
  if (ZSTD_isError(left) || left != 0) throw std::runtime_error("compression failed");
  out.resize(o.pos);
  return out;
}

std::string stored_frame(const std::string& stream) {
  std::string frame("\x28\xb5\x2f\xfd\x00\x50", 6);
  for (size_t at = 0; at < stream.size();) {
    uint32_t n = uint32_t(std::min<size_t>(stream.size() - at, 100000));
    uint32_t header = n << 3;  // stored, not the last block
    frame += {char(header), char(header >> 8), char(header >> 16)};
    frame.append(stream, at, n);
    at += n;
  }
  return frame;
}

std::string wrap_payload(const std::string& frame) {
  std::string p = "QOB" + frame;
  while (p.size() % 8 != 0) p.push_back('\0');
  uint64_t t = p.size();
  for (int i = 0; i < 8; ++i) p.push_back(char(t >> (8 * i)));
  return p;
}

std::string make_payload(const std::vector<RecordSpec>& records) {
  return wrap_payload(compress_frame(record_stream(records)));
}

std::string noise(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed ? seed : 1;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = char(x >> 24);
  }
  return s;
}

namespace {

uint32_t crc_of(const std::string& bytes) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
}

void le(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(char(value >> (8 * i)));
}

std::string index_records(const std::vector<RecordSpec>& records) {
  std::string body;
  for (const RecordSpec& r : records) {
    for (char16_t unit : r.name) le(body, unit, 2);
    le(body, 0, 2);
    le(body, r.contents.size(), 8);
    uint32_t crc = crc_of(r.contents);
    le(body, crc == 0 ? 1 : crc, 4);
  }
  return body;
}

std::string index_around(uint32_t version, size_t records, const std::string& payload, const std::string& body) {
  std::string index = "MDXINDEX";
  le(index, version, 4);
  le(index, records, 4);
  le(index, payload.size(), 8);
  le(index, crc_of(payload), 4);
  le(index, crc_of(body), 4);
  return index + body;
}

}  // namespace

std::string make_index(const std::vector<RecordSpec>& records, const std::string& payload) {
  return index_around(1, records.size(), payload, index_records(records));
}

FramedPayload make_framed_payload(const std::vector<RecordSpec>& records, const std::vector<uint64_t>& cuts) {
  std::string stream = record_stream(records);
  FramedPayload out;
  out.payload = "QOB";
  std::vector<uint64_t> starts = {0};
  for (uint64_t cut : cuts) starts.push_back(cut);
  std::string boundaries;
  for (size_t i = 0; i < starts.size(); ++i) {
    uint64_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
    le(boundaries, out.payload.size(), 8);
    le(boundaries, starts[i], 8);
    std::string part = stream.substr(size_t(starts[i]), size_t(end - starts[i]));
    int window = 10;
    while ((uint64_t(1) << window) < part.size() && window < 27) ++window;
    out.payload += compress_frame(part, window);
  }
  le(boundaries, out.payload.size(), 8);
  le(boundaries, stream.size(), 8);
  while (out.payload.size() % 8 != 0) out.payload.push_back('\0');
  le(out.payload, out.payload.size(), 8);
  std::string body = index_records(records);
  le(body, starts.size(), 4);
  out.index = index_around(2, records.size(), out.payload, body + boundaries);
  return out;
}
