#include "tools/frame_encoder.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "payload/format.h"
#include "tools/failure.h"
#include "tools/frame_cache.h"
#include "tools/frames.h"
#include "tools/host.h"

namespace {

void set(ZSTD_CCtx* cctx, ZSTD_cParameter p, int v) {
  size_t r = ZSTD_CCtx_setParameter(cctx, p, v);
  if (ZSTD_isError(r)) throw Failure(std::string("compressor setting refused: ") + ZSTD_getErrorName(r));
}

std::string compress(ZSTD_CCtx* cctx, const unsigned char* data, size_t n) {
  std::string out;
  std::vector<char> piece(ZSTD_CStreamOutSize());
  ZSTD_inBuffer in = {data, n, 0};
  // Fed as the stream encoder feeds a frame, so that a lone frame is the same
  // bytes on either path: a first call that ends the frame would give the
  // compressor the frame's size, and other bytes.
  for (ZSTD_EndDirective mode : {ZSTD_e_continue, ZSTD_e_end}) {
    for (size_t left = 1; mode == ZSTD_e_end ? left != 0 : in.pos < in.size;) {
      ZSTD_outBuffer o = {piece.data(), piece.size(), 0};
      left = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(left)) throw Failure(std::string("compression failed: ") + ZSTD_getErrorName(left));
      out.append(piece.data(), o.pos);
    }
  }
  return out;
}

// Where each record's header and contents lie in the stream.
struct StreamMap {
  explicit StreamMap(const std::vector<Record>& records) : records(records) {
    uint64_t at = 0;
    for (const Record& r : records) {
      heads.push_back(at);
      at += record_head_size(r) + r.size;
    }
    heads.push_back(at);  // the end marker
  }

  // One piece of a record's contents, with its CRC-32, for the check that the
  // file still holds what its checksum says.
  struct Piece {
    size_t record;
    uint64_t size;
    uLong crc;
  };

  // The stream's bytes [begin, begin + out->size()).
  void fill(uint64_t begin, std::vector<unsigned char>* out, std::vector<Piece>* pieces) const {
    uint64_t end = begin + out->size();
    size_t i = size_t(std::upper_bound(heads.begin(), heads.end(), begin) - heads.begin() - 1);
    for (; i < records.size() && heads[i] < end; ++i) {
      const Record& r = records[i];
      std::vector<unsigned char> head = record_head(r);
      copy_overlap(head.data(), heads[i], head.size(), begin, out);
      uint64_t contents = heads[i] + head.size();
      uint64_t from = std::max(begin, contents), to = std::min(end, contents + r.size);
      if (from < to) {
        unsigned char* into = out->data() + (from - begin);
        read_range(r, from - contents, to - from, into);
        pieces->push_back({i, to - from, crc32(0, into, uInt(to - from))});
      }
    }
    static const unsigned char end_marker[2] = {};
    copy_overlap(end_marker, heads.back(), 2, begin, out);
  }

  static void copy_overlap(const unsigned char* bytes, uint64_t at, uint64_t n, uint64_t begin,
                           std::vector<unsigned char>* out) {
    uint64_t from = std::max(at, begin), to = std::min(at + n, begin + out->size());
    if (from < to) memcpy(out->data() + (from - begin), bytes + (from - at), to - from);
  }

  static void read_range(const Record& r, uint64_t offset, uint64_t n, unsigned char* into) {
    FILE* in = host_open(r.source, "rb");
    if (in == nullptr) throw Failure(r.relative + ": " + strerror(errno));
    bool read = fseeko(in, off_t(offset), SEEK_SET) == 0 && fread(into, 1, n, in) == n;
    bool failed = ferror(in);
    fclose(in);
    if (failed) throw Failure(r.relative + ": read error");
    if (!read) throw Failure(r.relative + ": file changed while packing");
  }

  const std::vector<Record>& records;
  std::vector<uint64_t> heads;  // each record's first byte, then the end marker's
};

struct Done {
  std::string frame;
  std::vector<StreamMap::Piece> pieces;
};

// The frames are made by workers, a few ahead of the writer at most, and
// written in order by the calling thread.
class Frames {
 public:
  Frames(const std::vector<Record>& records, const std::vector<uint64_t>& ends, const FrameSettings& settings)
      : map_(records), ends_(ends), settings_(settings), cache_(settings.cache_dir), done_(ends.size()),
        workers_(std::min<size_t>(size_t(std::max(1, settings.threads)), ends.size())) {}

  std::vector<IndexFrame> write(Sink& sink, const std::function<void(uint64_t)>& progress) {
    std::vector<std::thread> threads;
    std::vector<uLong> crcs(map_.records.size(), 0);
    std::vector<IndexFrame> bounds = {{sink.written, 0}};
    try {
      for (size_t i = 0; i < workers_; ++i) threads.emplace_back([this] { work(); });
      for (size_t i = 0; i < ends_.size(); ++i) {
        std::unique_ptr<Done> done = next_done(i);
        if (done == nullptr) break;
        sink.put(done->frame.data(), done->frame.size());
        bounds.push_back({sink.written, ends_[i]});
        for (const StreamMap::Piece& p : done->pieces) crcs[p.record] = crc32_combine(crcs[p.record], p.crc, z_off_t(p.size));
        progress(ends_[i]);
      }
    } catch (...) {
      stop(std::current_exception());
    }
    for (std::thread& t : threads) t.join();
    if (failure_) std::rethrow_exception(failure_);
    for (size_t i = 0; i < crcs.size(); ++i) {
      const Record& r = map_.records[i];
      if ((crcs[i] == 0 ? 1 : uint32_t(crcs[i])) != r.checksum) throw Failure(r.relative + ": file changed while packing");
    }
    cache_.prune();
    return bounds;
  }

 private:
  std::unique_ptr<Done> next_done(size_t i) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return done_[i] != nullptr || failure_; });
    if (failure_) return nullptr;
    written_ = i + 1;
    changed_.notify_all();
    return std::move(done_[i]);
  }

  void stop(std::exception_ptr why) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!failure_) failure_ = why;
    changed_.notify_all();
  }

  void work() {
    ZSTD_CCtx* cctx = nullptr;
    std::vector<unsigned char> decoded, scratch;  // kept from frame to frame
    try {
      for (;;) {
        size_t i;
        {
          std::unique_lock<std::mutex> hold(lock_);
          changed_.wait(hold, [&] { return failure_ || next_ >= ends_.size() || next_ < written_ + workers_; });
          if (failure_ || next_ >= ends_.size()) break;
          i = next_++;
        }
        auto done = std::make_unique<Done>();
        uint64_t begin = i == 0 ? 0 : ends_[i - 1];
        decoded.resize(size_t(ends_[i] - begin));
        map_.fill(begin, &decoded, &done->pieces);
        // A lone frame keeps the window of a payload made without frames.
        int window_log = ends_.size() == 1 ? kPayloadWindowLog : frame_window_log(decoded.size());
        FrameKey key = {decoded.size(), uint32_t(crc32(0, decoded.data(), uInt(decoded.size()))), settings_.level,
                        window_log};
        if (!cache_.find(key, decoded.data(), &done->frame, &scratch)) {
          if (cctx == nullptr) cctx = make_compressor(settings_.level, 1, window_log);
          ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only);  // the other settings stay
          set(cctx, ZSTD_c_windowLog, window_log);
          done->frame = compress(cctx, decoded.data(), decoded.size());
          cache_.keep(key, done->frame);
        }
        std::lock_guard<std::mutex> hold(lock_);
        done_[i] = std::move(done);
        changed_.notify_all();
      }
    } catch (...) {
      stop(std::current_exception());
    }
    ZSTD_freeCCtx(cctx);
  }

  const StreamMap map_;
  const std::vector<uint64_t>& ends_;
  const FrameSettings& settings_;
  FrameCache cache_;
  std::vector<std::unique_ptr<Done>> done_;
  const size_t workers_;

  std::mutex lock_;
  std::condition_variable changed_;
  size_t next_ = 0, written_ = 0;
  std::exception_ptr failure_;
};

}  // namespace

ZSTD_CCtx* make_compressor(int level, int workers, int window_log) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  try {
    set(cctx, ZSTD_c_compressionLevel, level);
    set(cctx, ZSTD_c_windowLog, window_log);
    set(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    set(cctx, ZSTD_c_contentSizeFlag, 0);
    set(cctx, ZSTD_c_checksumFlag, 0);
    set(cctx, ZSTD_c_dictIDFlag, 0);
    set(cctx, ZSTD_c_nbWorkers, std::max(1, workers));
  } catch (...) {
    ZSTD_freeCCtx(cctx);
    throw;
  }
  return cctx;
}

std::vector<IndexFrame> write_frames(const std::vector<Record>& records, const std::vector<uint64_t>& ends,
                                     const FrameSettings& settings, Sink& sink,
                                     const std::function<void(uint64_t)>& progress) {
  return Frames(records, ends, settings).write(sink, progress);
}
