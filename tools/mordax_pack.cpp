// mordax-pack: writes the payload a launcher carries, or, with --stub, a
// finished launcher: a copy of the prebuilt stub with the payload and the build
// strings attached.
//
//   mordax-pack APP_DIR --entry REL_PATH -o OUTPUT [--level N] [--threads N] [STUB OPTIONS]
//   mordax-pack APP_DIR --entry REL_PATH --records-only -o STREAM
//   mordax-pack --wrap-frame FRAME -o PAYLOAD
//   mordax-pack --attach PAYLOAD -o LAUNCHER STUB OPTIONS
//
// STUB OPTIONS: --stub windows-x64|linux-x64 [--stub-file STUB] [--target-spec T]
//   [--company C] [--product P] [--version V] [--file-version F] [--product-version PV]
// The stub is found beside mordax-pack as mordax-stub-<target>[.exe] unless
// --stub-file names one.
//
// Records: the entry file first, then every other regular file below APP_DIR
// in ascending order of the UTF-8 bytes of its relative path, so the same tree
// always gives the same bytes. A symbolic link to a regular file is stored as
// that file's contents; anything else that is not a regular file is refused.
// Files are streamed twice (checksum, then contents); nothing is held whole.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <clocale>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher_manifest.h"
#include "payload/format.h"
#include "platform/posix/utf.h"
#include "tools/pack_names.h"
#include "tools/stub_image.h"
#include "tools/windows_resources.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

std::string partial_output;  // removed on failure, so no half payload is left

[[noreturn]] void die(const std::string& message) {
  fprintf(stderr, "mordax-pack: %s\n", message.c_str());
  if (!partial_output.empty()) remove(partial_output.c_str());
  exit(1);
}

struct Record {
  std::string relative;  // UTF-8, '/' separators
  std::u16string name;
  fs::path source;
  uint64_t size;
  uint32_t checksum;
};

// The strings a finished launcher carries, by option, in the stub's order.
const char* const kStringOptions[6] = {"--target-spec", "--company", "--product", "--version",
                                       "--file-version", "--product-version"};
constexpr size_t kStringCapacity = 4095;  // units; the launcher's path buffers hold no more

struct Options {
  std::string app_dir, entry, output, wrap_frame, attach, stub_file;
  int level = 19;
  int threads = 0;
  bool records_only = false;
  bool stub = false;
  StubTarget target = StubTarget::linux_x64;
  bool string_given[6] = {};
  std::string strings[6];
};

[[noreturn]] void usage() {
  die("usage: mordax-pack APP_DIR --entry REL_PATH -o OUTPUT [--level N] [--threads N] [STUB OPTIONS]\n"
      "       mordax-pack APP_DIR --entry REL_PATH --records-only -o STREAM\n"
      "       mordax-pack --wrap-frame FRAME -o PAYLOAD\n"
      "       mordax-pack --attach PAYLOAD -o LAUNCHER STUB OPTIONS\n"
      "STUB OPTIONS: --stub windows-x64|linux-x64 [--stub-file STUB] [--target-spec T] [--company C]\n"
      "       [--product P] [--version V] [--file-version F] [--product-version PV]");
}

int parse_int(const char* text, int low, int high, const char* what) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (*text == 0 || *end != 0 || value < low || value > high)
    die(std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
        std::to_string(high));
  return int(value);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--entry") o.entry = value();
    else if (a == "-o") o.output = value();
    else if (a == "--level") o.level = parse_int(value(), 1, ZSTD_maxCLevel(), "--level");
    else if (a == "--threads") o.threads = parse_int(value(), 0, 256, "--threads");
    else if (a == "--records-only") o.records_only = true;
    else if (a == "--wrap-frame") o.wrap_frame = value();
    else if (a == "--attach") o.attach = value();
    else if (a == "--stub-file") o.stub_file = value();
    else if (a == "--stub") {
      o.stub = true;
      if (!parse_stub_target(value(), &o.target)) die("--stub must be windows-x64 or linux-x64");
    } else if (const char* const* named = std::find(kStringOptions, kStringOptions + 6, a);
               named != kStringOptions + 6) {
      size_t k = size_t(named - kStringOptions);
      o.string_given[k] = true;
      o.strings[k] = value();
    } else if (!a.empty() && a[0] == '-') usage();
    else if (o.app_dir.empty()) o.app_dir = a;
    else usage();
  }
  if (o.output.empty()) usage();
  // One source: a tree, a frame to wrap, or a payload to attach.
  bool from_tree = o.wrap_frame.empty() && o.attach.empty();
  if (!o.wrap_frame.empty() && !o.attach.empty()) usage();
  if (from_tree != (!o.app_dir.empty() && !o.entry.empty())) usage();
  if (!from_tree && !o.entry.empty()) usage();
  bool stub_options = !o.stub_file.empty() || !o.attach.empty();
  for (bool given : o.string_given) stub_options = stub_options || given;
  if (!o.stub && stub_options) die("--attach, --stub-file and the launcher strings need --stub");
  if (o.stub && (o.records_only || !o.wrap_frame.empty())) die("--stub writes a launcher: not with --records-only or --wrap-frame");
  if (o.threads == 0) o.threads = int(std::max(1u, std::thread::hardware_concurrency()));
  return o;
}

// Regular file at `path`, following a symbolic link; refuses anything else.
uint64_t regular_size(const fs::path& path, const std::string& shown) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) die(shown + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) die(shown + ": not a regular file");
  return uint64_t(st.st_size);
}

// One pass over a file, chunk by chunk.
template <typename F>
void each_chunk(const Record& r, F&& f) {
  FILE* in = fopen(r.source.c_str(), "rb");
  if (in == nullptr) die(r.relative + ": " + strerror(errno));
  std::vector<unsigned char> buffer(kChunk);
  uint64_t total = 0;
  for (;;) {
    size_t n = fread(buffer.data(), 1, buffer.size(), in);
    if (n == 0) break;
    total += n;
    if (total > r.size) break;
    f(buffer.data(), n);
  }
  bool failed = ferror(in);
  fclose(in);
  if (failed) die(r.relative + ": read error");
  if (total != r.size) die(r.relative + ": file changed while packing");
}

uint32_t checksum_of(const Record& r) {
  uLong crc = crc32(0, nullptr, 0);
  each_chunk(r, [&](const unsigned char* data, size_t n) { crc = crc32(crc, data, uInt(n)); });
  return crc == 0 ? 1 : uint32_t(crc);
}

std::vector<Record> collect(const Options& o) {
  fs::path root = o.app_dir;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) die(o.app_dir + ": not a directory");
  std::string why;
  Record entry;
  entry.relative = o.entry;
  entry.name = record_name(o.entry, &why);
  if (entry.name.empty()) die(o.entry + ": " + why);
  entry.source = root / o.entry;
  entry.size = regular_size(entry.source, o.entry);

  std::vector<Record> rest;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  if (ec) die(o.app_dir + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) die(o.app_dir + ": " + ec.message());
    // Lexical: a link inside the tree keeps its own name, whatever it points to.
    std::string relative = it->path().lexically_relative(root).generic_string();
    fs::file_status status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    // An output inside the tree is not part of it.
    if (!partial_output.empty() && fs::equivalent(it->path(), partial_output, ec)) continue;
    Record r;
    r.relative = relative;
    r.source = it->path();
    r.size = regular_size(r.source, relative);
    r.name = record_name(relative, &why);
    if (r.name.empty()) die(relative + ": " + why);
    if (relative != o.entry) rest.push_back(std::move(r));
  }
  std::sort(rest.begin(), rest.end(),
            [](const Record& a, const Record& b) { return a.relative < b.relative; });
  std::vector<Record> records;
  records.push_back(std::move(entry));
  for (Record& r : rest) records.push_back(std::move(r));
  if (o.stub && o.target == StubTarget::windows_x64) {
    // What Windows would refuse, rename or fold into one file is refused here,
    // where the name can still be changed.
    std::map<std::u16string, std::string> files, directories;  // folded -> as given
    for (const Record& r : records) {
      std::string problem = windows_name_problem(r.name);
      if (!problem.empty()) die(r.relative + ": " + problem);
      std::u16string folded = windows_folded(r.name);
      auto [at, added] = files.emplace(folded, r.relative);
      if (!added) die(r.relative + ": the same name as " + at->second + " to Windows, which ignores case");
      // The k-th separator of the name is the k-th '/' of the relative path.
      for (size_t cut = folded.find(kRecordSeparator), shown = r.relative.find('/'); cut != std::u16string::npos;
           cut = folded.find(kRecordSeparator, cut + 1), shown = r.relative.find('/', shown + 1))
        directories.emplace(folded.substr(0, cut), r.relative.substr(0, shown));
    }
    // A file and a directory whose names differ only in case cannot both exist.
    for (const auto& [folded, shown] : directories) {
      auto clash = files.find(folded);
      if (clash != files.end())
        die(clash->second + ": the same name as the folder " + shown + " to Windows, which ignores case");
    }
  }
  return records;
}

// Where encoded bytes go: the file, counting them.
struct Sink {
  FILE* file;
  uint64_t written = 0;
  void put(const void* data, size_t n) {
    if (n > 0 && fwrite(data, 1, n, file) != n) die(std::string("write failed: ") + strerror(errno));
    written += n;
  }
};

// The record stream goes through `emit`, which either compresses or writes it.
struct Encoder {
  ZSTD_CCtx* cctx = nullptr;
  Sink* sink;
  std::vector<unsigned char> out = std::vector<unsigned char>(ZSTD_CStreamOutSize());

  void feed(const void* data, size_t n, ZSTD_EndDirective mode) {
    if (cctx == nullptr) {
      sink->put(data, n);
      return;
    }
    ZSTD_inBuffer in = {data, n, 0};
    for (;;) {
      ZSTD_outBuffer o = {out.data(), out.size(), 0};
      size_t left = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(left)) die(std::string("compression failed: ") + ZSTD_getErrorName(left));
      sink->put(out.data(), o.pos);
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
    }
  }
  void put(const void* data, size_t n) { feed(data, n, ZSTD_e_continue); }
  template <typename T>
  void put_le(T value) {
    unsigned char bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    put(bytes, sizeof bytes);
  }
};

ZSTD_CCtx* make_compressor(const Options& o) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  auto set = [&](ZSTD_cParameter p, int v) {
    size_t r = ZSTD_CCtx_setParameter(cctx, p, v);
    if (ZSTD_isError(r)) die(std::string("compressor setting refused: ") + ZSTD_getErrorName(r));
  };
  set(ZSTD_c_compressionLevel, o.level);
  set(ZSTD_c_windowLog, kPayloadWindowLog);
  set(ZSTD_c_enableLongDistanceMatching, 1);
  set(ZSTD_c_contentSizeFlag, 0);
  set(ZSTD_c_checksumFlag, 0);
  set(ZSTD_c_dictIDFlag, 0);
  // With one worker or more the frame is the same whatever the count; only the
  // single-threaded mode (0 workers) would give other bytes, so it is never used.
  set(ZSTD_c_nbWorkers, o.threads);
  return cctx;
}

void finish_payload(Sink& sink) {
  static const unsigned char zeros[kPayloadAlignment] = {};
  sink.put(zeros, (kPayloadAlignment - sink.written % kPayloadAlignment) % kPayloadAlignment);
  uint64_t trailer = sink.written;
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(trailer >> (8 * i));
  sink.put(bytes, 8);
}

// A whole file, chunk by chunk, to `f`.
template <typename F>
void read_in_chunks(const std::string& path, F&& f) {
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) die(path + ": " + strerror(errno));
  std::vector<unsigned char> buffer(kChunk);
  for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), in)) > 0;) f(buffer.data(), n);
  bool failed = ferror(in);
  fclose(in);
  if (failed) die(path + ": read error");
}

void copy_file_into(const std::string& path, Sink& sink) {
  read_in_chunks(path, [&](const unsigned char* data, size_t n) { sink.put(data, n); });
}

void wrap_frame(const Options& o, Sink& sink) {
  sink.put(kPayloadMagic, sizeof kPayloadMagic);
  copy_file_into(o.wrap_frame, sink);
  finish_payload(sink);
}

void pack(const Options& o, Sink& sink) {
  std::vector<Record> records = collect(o);
  bool progress = isatty(2);
  Encoder encoder;
  encoder.sink = &sink;
  if (!o.records_only) {
    sink.put(kPayloadMagic, sizeof kPayloadMagic);
    encoder.cctx = make_compressor(o);
  }
  uint64_t total = 0, done = 0;
  for (const Record& r : records) total += r.size;
  for (size_t i = 0; i < records.size(); ++i) {
    Record& r = records[i];
    r.checksum = checksum_of(r);
    for (char16_t unit : r.name) encoder.put_le<uint16_t>(unit);
    encoder.put_le<uint16_t>(0);
    encoder.put_le<uint64_t>(r.size);
    encoder.put_le<uint32_t>(r.checksum);
    uLong crc = crc32(0, nullptr, 0);
    each_chunk(r, [&](const unsigned char* data, size_t n) {
      crc = crc32(crc, data, uInt(n));
      encoder.put(data, n);
    });
    if ((crc == 0 ? 1 : uint32_t(crc)) != r.checksum) die(r.relative + ": file changed while packing");
    done += r.size;
    if (progress)
      fprintf(stderr, "\rmordax-pack: %zu/%zu files, %llu/%llu MiB", i + 1, records.size(),
              (unsigned long long)(done >> 20), (unsigned long long)(total >> 20));
  }
  encoder.put_le<uint16_t>(0);  // end marker
  encoder.feed(nullptr, 0, ZSTD_e_end);
  if (progress) fprintf(stderr, "\n");
  if (encoder.cctx != nullptr) {
    ZSTD_freeCCtx(encoder.cctx);
    finish_payload(sink);
  }
}

std::vector<unsigned char> read_whole(const std::string& path) {
  std::vector<unsigned char> bytes;
  read_in_chunks(path, [&](const unsigned char* data, size_t n) { bytes.insert(bytes.end(), data, data + n); });
  return bytes;
}

// The prebuilt stub: named by --stub-file, or installed beside this program.
std::string stub_path(const Options& o) {
  if (!o.stub_file.empty()) return o.stub_file;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  fs::path beside = self.parent_path() / (std::string("mordax-stub-") + stub_target_name(o.target) +
                                          (o.target == StubTarget::windows_x64 ? ".exe" : ""));
  if (ec || !fs::exists(beside, ec))
    die(std::string("no ") + stub_target_name(o.target) + " stub beside mordax-pack (" + beside.string() +
        "); install the stubs or name one with --stub-file");
  return beside.string();
}

StubStrings stub_strings(const Options& o) {
  const std::string defaults[6] = {
      o.target == StubTarget::windows_x64 ? "{CACHE_DIR}\\tarvell-2.3.8" : "{CACHE_DIR}/tarvell-2.3.8",
      "Tarvell", "Tarvell Pro", "2.3.8", "2.3.8", "2.3.8"};
  StubStrings strings;
  for (int i = 0; i < 6; ++i) {
    const std::string& text = o.string_given[i] ? o.strings[i] : defaults[i];
    std::vector<char16_t> wide(text.size() + 1);
    long n = utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size());
    if (n < 0) die(std::string(kStringOptions[i]) + ": not valid UTF-8");
    if (size_t(n) > kStringCapacity)
      die(std::string(kStringOptions[i]) + ": longer than " + std::to_string(kStringCapacity) + " UTF-16 units");
    strings.values[i].assign(wide.data(), size_t(n));
  }
  if (o.target == StubTarget::windows_x64) {
    for (int i : {4, 5}) {
      uint16_t numbers[4];
      std::string why;
      if (!numeric_version(strings.values[i], numbers, &why)) die(std::string(kStringOptions[i]) + ": " + why);
    }
  }
  strings.manifest = kLauncherManifest;
  return strings;
}

// A payload ends in its own length less the 8 bytes that hold it; a record
// stream or any other file almost never does.
void check_payload(const std::string& path) {
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) die(path + ": " + strerror(errno));
  unsigned char trailer[8];
  bool read = fseeko(in, -8, SEEK_END) == 0 && fread(trailer, 1, 8, in) == 8;
  off_t size = read ? ftello(in) : 0;
  fclose(in);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | trailer[i];
  if (!read || size < off_t(sizeof kPayloadMagic + 8) || value != uint64_t(size) - 8)
    die(path + ": not a payload (its last 8 bytes do not give its length)");
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec) && !ec;
}

}  // namespace

int main(int argc, char** argv) {
  // Case folding beyond ASCII, for Windows names.
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) die("the C.UTF-8 locale is missing");
  Options o = parse(argc, argv);
  std::vector<unsigned char> stub;
  std::string stub_file;
  if (o.stub) {
    stub_file = stub_path(o);
    if (same_file(stub_file, o.output)) die(o.output + ": the output would replace the stub");
    stub = read_whole(stub_file);
    std::string why = check_stub(stub, o.target);
    if (!why.empty()) die(stub_file + ": " + why);
  }
  StubStrings strings;
  if (o.stub) strings = stub_strings(o);
  if (!o.attach.empty()) check_payload(o.attach);

  // Written beside the output and renamed at the end, so a failed run never
  // leaves a payload that looks complete.
  std::string partial = o.output + ".partial";
  FILE* file = fopen(partial.c_str(), "w+b");  // read back for the image checksum
  if (file != nullptr) partial_output = partial;
  if (file == nullptr) die(o.output + ": " + strerror(errno));
  try {
    StubFinisher finisher(file, stub, o.target, strings);
    if (o.stub) finisher.begin();
    Sink sink{file};  // counts from the payload's first byte
    if (!o.wrap_frame.empty())
      wrap_frame(o, sink);
    else if (!o.attach.empty())
      copy_file_into(o.attach, sink);
    else
      pack(o, sink);
    if (o.stub) {
      finisher.finish(sink.written);
      mode_t mask = umask(0);
      umask(mask);
      if (fchmod(fileno(file), 0777 & ~mask) != 0) die(o.output + ": " + strerror(errno));
    }
  } catch (const std::runtime_error& e) {
    die(o.output + ": " + e.what());
  }
  if (fclose(file) != 0) die(o.output + ": " + strerror(errno));
  if (rename(partial.c_str(), o.output.c_str()) != 0) die(o.output + ": " + strerror(errno));
  partial_output.clear();
  return 0;
}
