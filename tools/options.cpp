#include "tools/options.h"

#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "tools/failure.h"

const char* const kStringOptions[6] = {"--target-spec", "--company", "--product", "--version",
                                       "--file-version", "--product-version"};

namespace {

[[noreturn]] void usage() {
  throw Failure(
      "usage: mordax-pack APP_DIR --entry REL_PATH -o OUTPUT [--level N] [--threads N] [--frames | --one-frame]\n"
      "       [--frame-cache DIR] [--skip-broken-links] [--for windows-x64|linux-x64]\n"
      "       [--index INDEX | STUB OPTIONS]\n"
      "       mordax-pack APP_DIR --entry REL_PATH --records-only -o STREAM\n"
      "       mordax-pack --wrap-frame FRAME -o PAYLOAD\n"
      "       mordax-pack --attach PAYLOAD -o LAUNCHER STUB OPTIONS\n"
      "STUB OPTIONS: --stub windows-x64|linux-x64 [--stub-file STUB] [--fast-start] [--target-spec T]\n"
      "       [--company C] [--product P] [--version V] [--file-version F] [--product-version PV]\n"
      "       mordax-pack list FILE | verify FILE | extract FILE DIR [--force]\n"
      "FILE: a payload, or a launcher finished from a stub or built by CMake");
}

int parse_int(const char* text, int low, int high, const char* what) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (*text == 0 || *end != 0 || value < low || value > high)
    throw Failure(std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
                  std::to_string(high));
  return int(value);
}

}  // namespace

Options parse_options(int argc, char** argv) {
  Options o;
  bool frames = false, one_frame = false;
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
    else if (a == "--frames") frames = true;
    else if (a == "--one-frame") one_frame = true;
    else if (a == "--frame-cache") {
      o.frame_cache = value();
      if (o.frame_cache.empty()) throw Failure("--frame-cache names a folder");
    }
    else if (a == "--skip-broken-links") o.skip_broken_links = true;
    else if (a == "--wrap-frame") o.wrap_frame = value();
    else if (a == "--attach") o.attach = value();
    else if (a == "--stub-file") o.stub_file = value();
    else if (a == "--index") o.index = value();
    else if (a == "--fast-start") o.fast_start = true;
    else if (a == "--stub" || a == "--for") {
      StubTarget target;
      if (!parse_stub_target(value(), &target)) throw Failure(a + " must be windows-x64 or linux-x64");
      if (o.target_known && target != o.target) throw Failure("--stub and --for name different targets");
      o.stub = o.stub || a == "--stub";
      o.target_known = true;
      o.target = target;
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
  bool stub_options = !o.stub_file.empty() || !o.attach.empty() || o.fast_start;
  for (bool given : o.string_given) stub_options = stub_options || given;
  if (!o.stub && stub_options)
    throw Failure("--attach, --stub-file, --fast-start and the launcher strings need --stub");
  if (o.stub && (o.records_only || !o.wrap_frame.empty()))
    throw Failure("--stub writes a launcher: not with --records-only or --wrap-frame");
  if ((o.skip_broken_links || (o.target_known && !o.stub)) && !from_tree) usage();
  // Frames are cut from the tree's records; a stream or a frame made elsewhere has none.
  if ((frames || one_frame || !o.frame_cache.empty()) && (!from_tree || o.records_only)) usage();
  if (frames && one_frame) throw Failure("--frames and --one-frame ask for different payloads");
  bool fast_design = o.target_known && (o.target == StubTarget::linux_x64 || (o.stub && o.fast_start));
  o.frames = frames || (from_tree && !o.records_only && fast_design && !one_frame);
  if (!o.frame_cache.empty() && !o.frames)
    throw Failure("--frame-cache keeps frames, and this payload has one: give --frames, or make it for Linux");
  // A finished launcher carries its index in the block.
  if (!o.index.empty() && (!from_tree || o.records_only || o.stub)) usage();
  if (o.threads == 0) o.threads = int(std::max(1u, std::thread::hardware_concurrency()));
  return o;
}
