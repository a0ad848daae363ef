// Compressed frames kept between packs, so that a repack compresses only the
// frames whose decoded bytes changed. An entry is found by what went into its
// frame (the decoded bytes' length and CRC-32, the level, the window, this
// writer's frame settings and the zstd version) and used only when its own
// header says the same, its bytes are intact, and it decodes to exactly the
// bytes it stands for: the output is then what a pack from scratch writes, and
// a damaged, foreign or colliding entry is compressed anew and replaced.
//
// The cache is a help and never a reason to fail: when its folder cannot be
// made or read, the writer says so once and packs without it; when an entry
// cannot be written, it says so once and keeps no more, but goes on reading
// the entries there are, so that a read-only copy of a cache still serves. After
// a pack it holds the frames of that pack alone, so that it does not grow with
// every change; only files named as its entries are ever removed, and the
// folder's own folders are never entered.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct FrameKey {
  uint64_t decoded_size;
  uint32_t decoded_crc;
  int level;
  int window_log;
};

class FrameCache {
 public:
  /// An empty `dir` keeps nothing.
  explicit FrameCache(std::string dir);

  /// The compressed frame an entry holds for `decoded`, or false; `scratch`
  /// is the caller's, kept from one call to the next.
  bool find(const FrameKey& key, const unsigned char* decoded, std::string* compressed,
            std::vector<unsigned char>* scratch);
  void keep(const FrameKey& key, const std::string& compressed);
  /// Removes the entries this pack neither found nor kept.
  void prune();

 private:
  std::string name_of(const FrameKey& key) const;
  void give_up(const std::string& why);
  void warn(const std::string& why);

  std::string dir_;
  std::mutex lock_;
  std::set<std::string> used_, kept_;
  bool keeping_ = true;
  bool warned_ = false;
};
