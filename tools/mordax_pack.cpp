// mordax-pack: writes the payload a launcher carries, or, with --stub, a
// finished launcher: a copy of the prebuilt stub with the payload and the build
// strings attached; list, verify and extract look inside what it wrote
// (tools/inspect.h). The command line is in tools/options.h; the stub is found
// beside mordax-pack as mordax-stub-<target>[.exe] unless --stub-file names one.
//
// Every part throws Failure with the one line that says why; only writer_main
// (called by the host's main, or wmain on Windows) prints it, removes the
// partial output and ends with status 1.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/utf.h"
#include "default_strings.h"
#include "launcher_manifest.h"
#include "tools/failure.h"
#include "tools/files.h"
#include "tools/host.h"
#include "tools/inspect.h"
#include "tools/options.h"
#include "tools/pack_names.h"
#include "tools/records.h"
#include "tools/stub_image.h"
#include "tools/windows_resources.h"

namespace {

constexpr size_t kStringCapacity = 4095;  // units; the launcher's path buffers hold no more
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

// The prebuilt stub: named by --stub-file, or installed beside this program.
std::string stub_path(const Options& o) {
  if (!o.stub_file.empty()) return o.stub_file;
  std::string name = std::string("mordax-stub-") + stub_target_name(o.target) +
                     (o.target == StubTarget::windows_x64 ? ".exe" : "");
  std::string beside = host_beside_program(name);
  if (beside.empty() || host_file_facts(beside).kind != FileFacts::regular)
    throw Failure(std::string("no ") + stub_target_name(o.target) + " stub beside mordax-pack (" + beside +
                  "); install the stubs or name one with --stub-file");
  return beside;
}

std::string default_target_spec(StubTarget target) {
  return std::string(MORDAX_DEFAULT_TARGET_FOLDER) + (target == StubTarget::windows_x64 ? "\\" : "/") +
         MORDAX_DEFAULT_TARGET_NAME;
}

StubStrings stub_strings(const Options& o) {
  const std::string defaults[6] = {
      default_target_spec(o.target),
      MORDAX_DEFAULT_COMPANY, MORDAX_DEFAULT_PRODUCT, MORDAX_DEFAULT_VERSION, MORDAX_DEFAULT_FILE_VERSION,
      MORDAX_DEFAULT_PRODUCT_VERSION};
  bool windows = o.target == StubTarget::windows_x64;
  std::string problem = target_spec_problem(o.string_given[0] ? o.strings[0] : defaults[0], windows);
  if (!problem.empty())
    throw Failure("--target-spec " + (o.strings[0].empty() ? "" : "'" + o.strings[0] + "' ") + problem);
  StubStrings strings;
  for (int i = 0; i < 6; ++i) {
    const std::string& text = o.string_given[i] ? o.strings[i] : defaults[i];
    std::vector<char16_t> wide(text.size() + 1);
    long n = utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size());
    if (n < 0) throw Failure(std::string(kStringOptions[i]) + ": not valid UTF-8");
    if (size_t(n) > kStringCapacity)
      throw Failure(std::string(kStringOptions[i]) + ": longer than " + std::to_string(kStringCapacity) +
                    " UTF-16 units");
    strings.values[i].assign(wide.data(), size_t(n));
  }
  if (windows) {
    for (int i : {4, 5}) {
      uint16_t numbers[4];
      std::string why;
      if (!numeric_version(strings.values[i], numbers, &why))
        throw Failure(std::string(kStringOptions[i]) + ": " + why);
    }
  }
  strings.manifest = kLauncherManifest;
  return strings;
}

// True when `dir`, or a folder above it, is `root`.
bool lies_within(const std::string& dir, const std::string& root) {
  std::string folder = host_absolute(dir);
  for (size_t cut; !host_same_file(folder, root); folder.erase(cut == 0 ? 1 : cut)) {
    cut = folder.find_last_of(kSeparators);
    if (cut == std::string::npos || folder.size() == 1) return false;
  }
  return true;
}

// The index beside a bare payload, for the CMake function to embed next to it.
void write_index(const std::string& path, const std::vector<unsigned char>& index) {
  FILE* out = host_open(path, "wb");
  bool ok = out != nullptr && fwrite(index.data(), 1, index.size(), out) == index.size();
  if (out != nullptr && fclose(out) != 0) ok = false;
  if (!ok) throw Failure(path + ": " + strerror(errno));
}

// Written beside the output and renamed at the end, so a failed run never
// leaves a payload that looks complete. Returns the partial file's name once it
// exists, for main to remove on failure.
void write_output(const Options& o, std::string* partial_output) {
  std::vector<unsigned char> stub;
  StubStrings strings;
  if (o.stub) {
    std::string stub_file = stub_path(o);
    if (host_same_file(stub_file, o.output)) throw Failure(o.output + ": the output would replace the stub");
    stub = read_whole(stub_file);
    std::string why = check_stub(stub, o.target);
    if (!why.empty()) throw Failure(stub_file + ": " + why);
    strings = stub_strings(o);
  }
  if (!o.attach.empty()) check_payload(o.attach);
  // Its entries would be packed, and the next payload not the same.
  if (!o.frame_cache.empty() && lies_within(o.frame_cache, o.app_dir))
    throw Failure("--frame-cache " + o.frame_cache + ": inside " + o.app_dir + ", whose every file is packed");

  std::string partial = o.output + ".partial";
  FILE* file = host_open(partial, "w+b");  // read back for the image checksum
  if (file == nullptr) throw Failure(o.output + ": " + strerror(errno));
  *partial_output = partial;
  try {
    bool from_tree = o.wrap_frame.empty() && o.attach.empty();
    // Windows launchers keep the single-threaded unpacking at every start
    // unless the build opts them into the index and the second core; the
    // block's layout says so even when there is no index to give.
    bool indexed = o.fast_start || (from_tree && o.target == StubTarget::linux_x64);
    StubFinisher finisher(file, stub, o.target, strings, indexed);
    if (o.stub) finisher.begin();
    Sink sink{file};  // counts from the payload's first byte
    std::vector<unsigned char> index;
    if (!o.wrap_frame.empty()) {
      wrap_frame(o.wrap_frame, sink);
    } else if (!o.attach.empty()) {
      read_in_chunks(o.attach, o.attach, UINT64_MAX, [&](const unsigned char* data, size_t n) { sink.put(data, n); });
    } else {
      std::vector<Record> records =
          collect_records(o.app_dir, o.entry, partial, CollectSettings{o.for_windows(), o.skip_broken_links});
      index = encode_records(records, EncoderSettings{o.level, o.threads, o.records_only, o.frames, o.frame_cache}, sink);
    }
    if (!o.index.empty()) write_index(o.index, index);
    if (o.stub) {
      finisher.finish(sink.written, index);
      host_make_runnable(file, o.output);
    }
  } catch (...) {
    fclose(file);
    throw;
  }
  if (fclose(file) != 0) throw Failure(o.output + ": " + strerror(errno));
  if (!host_replace(partial, o.output)) throw Failure(o.output + ": " + strerror(errno));
  partial_output->clear();
  // Said once the launcher is made, so that a refusal stays one line.
  if (o.stub && !o.string_given[0])
    host_print(true, "mordax-pack: no --target-spec, so the launcher unpacks into '" + default_target_spec(o.target) +
                         "', which every launcher without one shares; name another with --target-spec\n");
}

}  // namespace

int writer_main(int argc, char** argv) {
  // Alone, --version is the writer's own; with other options it is the launcher's string.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    host_print(false, "mordax-pack " MORDAX_VERSION "\n");
    return 0;
  }
  std::string partial_output;
  try {
#ifndef _WIN32
    // Case folding beyond ASCII, for Windows names (a Windows host folds as Windows does).
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) throw Failure("the C.UTF-8 locale is missing");
#endif
    if (is_inspect_command(argc, argv)) {
      run_inspect(argc, argv);
      return 0;
    }
    Options o = parse_options(argc, argv);
    try {
      write_output(o, &partial_output);
    } catch (const Failure&) {
      throw;
    } catch (const std::runtime_error& e) {
      // The stub finisher's reasons are about the output file.
      throw Failure(o.output + ": " + e.what());
    }
  } catch (const Failure& e) {
    host_print(true, std::string("mordax-pack: ") + e.what() + "\n");
    if (!partial_output.empty()) host_remove(partial_output);
    return 1;
  }
  return 0;
}
