#include "tools/records.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/little_endian.h"
#include "payload/format.h"
#include "payload/index.h"
#include "tools/failure.h"
#include "tools/frame_encoder.h"
#include "tools/frames.h"
#include "tools/host.h"
#include "tools/pack_names.h"

namespace {

// The size of a regular file (a symbolic link followed); refuses anything else.
uint64_t regular_size(const FileFacts& facts, const std::string& shown) {
  switch (facts.kind) {
    case FileFacts::regular: return facts.size;
    case FileFacts::not_regular: throw Failure(shown + ": not a regular file");
    case FileFacts::broken_link: throw Failure(shown + " is a symbolic link to a missing file");
    case FileFacts::failed: break;
  }
  throw Failure(shown + ": " + facts.error);
}

// One pass over a record's file, which must still have the size it was found with.
void each_chunk(const Record& r, const Chunk& chunk) {
  if (read_in_chunks(r.source, r.relative, r.size, chunk) != r.size)
    throw Failure(r.relative + ": file changed while packing");
}

uint32_t record_checksum(uLong crc) { return crc == 0 ? 1 : uint32_t(crc); }

uint32_t checksum_of(const Record& r) {
  uLong crc = crc32(0, nullptr, 0);
  each_chunk(r, [&](const unsigned char* data, size_t n) { crc = crc32(crc, data, uInt(n)); });
  return record_checksum(crc);
}

void name_record(Record& r) {
  std::string why;
  r.name = record_name(r.relative, &why);
  if (r.name.empty()) throw Failure(r.relative + ": " + why);
}

// What Windows would refuse, rename or fold into one file is refused here, where
// the name can still be changed.
void check_windows_names(const std::vector<Record>& records) {
  std::map<std::u16string, std::string> files, directories;  // folded -> as given
  for (const Record& r : records) {
    std::string problem = windows_name_problem(r.name);
    if (!problem.empty()) throw Failure(r.relative + ": " + problem);
    std::u16string folded = windows_folded(r.name);
    auto [at, added] = files.emplace(folded, r.relative);
    if (!added) throw Failure(r.relative + ": the same name as " + at->second + " to Windows, which ignores case");
    // The k-th separator of the name is the k-th '/' of the relative path.
    for (size_t cut = folded.find(kRecordSeparator), shown = r.relative.find('/'); cut != std::u16string::npos;
         cut = folded.find(kRecordSeparator, cut + 1), shown = r.relative.find('/', shown + 1))
      directories.emplace(folded.substr(0, cut), r.relative.substr(0, shown));
  }
  // A file and a directory whose names differ only in case cannot both exist.
  for (const auto& [folded, shown] : directories) {
    auto clash = files.find(folded);
    if (clash != files.end())
      throw Failure(clash->second + ": the same name as the folder " + shown + " to Windows, which ignores case");
  }
}

// The record stream of a payload of one frame goes through `put`, which either
// compresses or writes it, as each file is read.
struct Encoder {
  ZSTD_CCtx* cctx = nullptr;
  Sink* sink;
  std::vector<unsigned char> out = std::vector<unsigned char>(ZSTD_CStreamOutSize());
  uint64_t stream = 0;  // bytes of the stream taken so far

  ~Encoder() { ZSTD_freeCCtx(cctx); }
  void put(const void* data, size_t n, ZSTD_EndDirective mode = ZSTD_e_continue) {
    stream += n;
    if (cctx == nullptr) {
      sink->put(data, n);
      return;
    }
    ZSTD_inBuffer in = {data, n, 0};
    for (;;) {
      ZSTD_outBuffer o = {out.data(), out.size(), 0};
      size_t left = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(left)) throw Failure(std::string("compression failed: ") + ZSTD_getErrorName(left));
      sink->put(out.data(), o.pos);
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
    }
  }
};

void show_progress(bool progress, const std::string& done) {
  if (progress) host_print(true, "\rmordax-pack: " + done);
}

void finish_payload(Sink& sink) {
  static const unsigned char zeros[kPayloadAlignment] = {};
  sink.put(zeros, (kPayloadAlignment - sink.written % kPayloadAlignment) % kPayloadAlignment);
  unsigned char trailer[8];
  store_le64(trailer, sink.written);
  sink.put(trailer, sizeof trailer);
}

}  // namespace

std::vector<unsigned char> record_head(const Record& r) {
  std::vector<unsigned char> head(record_head_size(r));
  for (size_t k = 0; k < r.name.size(); ++k) store_le16(&head[2 * k], r.name[k]);
  unsigned char* fields = &head[2 * r.name.size() + 2];  // after the zero unit
  store_le64(fields, r.size);
  store_le32(fields + 8, r.checksum);
  return head;
}

std::vector<Record> collect_records(const std::string& app_dir, const std::string& entry,
                                    const std::string& output, const CollectSettings& settings) {
  if (!host_is_directory(app_dir)) throw Failure(app_dir + ": not a directory");
  std::vector<Record> records;
  // The entry's name is checked before its file, every other file before its name.
  Record first{entry, u"", app_dir + "/" + entry, 0, 0};
  name_record(first);
  // Windows runs a batch file through cmd.exe with the launcher's command line,
  // whose first word names the launcher: cmd.exe would start the launcher again.
  if (settings.for_windows && is_batch_file_name(first.name))
    throw Failure(entry + ": a batch file, which a Windows launcher cannot start; make the entry an executable");
  first.size = regular_size(host_file_facts(first.source), entry);
  records.push_back(std::move(first));

  std::vector<Record> rest;
  host_walk(app_dir, [&](const std::string& relative, const std::string& path) {
    if (!output.empty() && host_same_file(path, output)) return;
    FileFacts facts = host_file_facts(path);
    if (settings.skip_broken_links && relative != entry && facts.kind == FileFacts::broken_link) {
      host_print(true, "mordax-pack: warning: " + relative + " is a symbolic link to a missing file; left out\n");
      return;
    }
    Record r{relative, u"", path, 0, 0};
    r.size = regular_size(facts, relative);
    name_record(r);
    if (relative != entry) rest.push_back(std::move(r));
  });
  std::sort(rest.begin(), rest.end(), [](const Record& a, const Record& b) { return a.relative < b.relative; });
  for (Record& r : rest) records.push_back(std::move(r));
  if (settings.for_windows) check_windows_names(records);
  return records;
}

std::vector<unsigned char> encode_records(std::vector<Record>& records, const EncoderSettings& settings, Sink& sink) {
  bool progress = host_stderr_is_terminal();
  uint64_t total = 0;
  for (const Record& r : records) total += r.size;
  std::string total_mib = "/" + std::to_string(total >> 20) + " MiB";
  Encoder encoder;
  encoder.sink = &sink;
  if (!settings.records_only) {
    sink.put(kPayloadMagic, sizeof kPayloadMagic);
    if (!settings.frames) encoder.cctx = make_compressor(settings.level, settings.threads, kPayloadWindowLog);
  }
  std::vector<unsigned char> index(kIndexHeaderSize);
  std::vector<IndexFrame> bounds = {{sink.written, 0}};
  if (settings.frames && !settings.records_only) {
    // Every checksum first: the frames are cut and made from the stream with them.
    for (Record& r : records) r.checksum = checksum_of(r);
    for (const Record& r : records) {
      std::vector<unsigned char> head = record_head(r);
      index.insert(index.end(), head.begin(), head.end());
    }
    bounds = write_frames(records, plan_frames(records), FrameSettings{settings.level, settings.threads,
                                                                       settings.frame_cache},
                          sink, [&](uint64_t done) { show_progress(progress, std::to_string(done >> 20) + total_mib); });
  } else {
    uint64_t done = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      Record& r = records[i];
      r.checksum = checksum_of(r);
      std::vector<unsigned char> head = record_head(r);
      encoder.put(head.data(), head.size());
      index.insert(index.end(), head.begin(), head.end());
      uLong crc = crc32(0, nullptr, 0);
      each_chunk(r, [&](const unsigned char* data, size_t n) {
        crc = crc32(crc, data, uInt(n));
        encoder.put(data, n);
      });
      if (record_checksum(crc) != r.checksum) throw Failure(r.relative + ": file changed while packing");
      done += r.size;
      show_progress(progress, std::to_string(i + 1) + "/" + std::to_string(records.size()) + " files, " +
                                  std::to_string(done >> 20) + total_mib);
    }
    static const unsigned char end_marker[2] = {};
    encoder.put(end_marker, sizeof end_marker, ZSTD_e_end);
    bounds.push_back({sink.written, encoder.stream});
  }
  if (progress) host_print(true, "\n");
  if (settings.records_only) return {};
  finish_payload(sink);
  memcpy(index.data(), kIndexMagic, sizeof kIndexMagic);
  store_le32(&index[8], kIndexVersion);
  size_t at = index.size();
  index.resize(at + 4 + bounds.size() * kIndexFrameEntrySize);
  store_le32(&index[at], uint32_t(bounds.size() - 1));
  at += 4;
  for (const IndexFrame& bound : bounds) {
    store_le64(&index[at], bound.payload_offset);
    store_le64(&index[at + 8], bound.stream_offset);
    at += kIndexFrameEntrySize;
  }
  store_le32(&index[12], uint32_t(records.size()));
  store_le64(&index[16], sink.written);
  store_le32(&index[24], sink.crc);
  store_le32(&index[28], uint32_t(crc32(0, &index[kIndexHeaderSize], uInt(index.size() - kIndexHeaderSize))));
  return index;
}

void wrap_frame(const std::string& frame, Sink& sink) {
  sink.put(kPayloadMagic, sizeof kPayloadMagic);
  read_in_chunks(frame, frame, UINT64_MAX, [&](const unsigned char* data, size_t n) { sink.put(data, n); });
  finish_payload(sink);
}

void check_payload(const std::string& path) {
  FILE* in = host_open(path, "rb");
  if (in == nullptr) throw Failure(path + ": " + strerror(errno));
  unsigned char trailer[8];
  bool read = fseeko(in, -8, SEEK_END) == 0 && fread(trailer, 1, 8, in) == 8;
  off_t size = read ? ftello(in) : 0;
  fclose(in);
  if (!read || size < off_t(sizeof kPayloadMagic + 8) || load_le64(trailer) != uint64_t(size) - 8)
    throw Failure(path + ": not a payload (its last 8 bytes do not give its length)");
}
