// The writer's command line.
//
//   mordax-pack APP_DIR --entry REL_PATH -o OUTPUT [--level N] [--threads N] [--frames | --one-frame]
//               [--frame-cache DIR] [--skip-broken-links] [--for windows-x64|linux-x64]
//               [--index INDEX | STUB OPTIONS]
//   mordax-pack APP_DIR --entry REL_PATH --records-only -o STREAM
//   mordax-pack --wrap-frame FRAME -o PAYLOAD
//   mordax-pack --attach PAYLOAD -o LAUNCHER STUB OPTIONS
//   mordax-pack list|verify|extract ...   (tools/inspect.h)
//
// STUB OPTIONS: --stub windows-x64|linux-x64 [--stub-file STUB] [--fast-start] [--target-spec T]
//   [--company C] [--product P] [--version V] [--file-version F] [--product-version PV]
// --for names the launchers a bare payload is made for, so that what they could
// not unpack or start is refused now (--stub implies it). --fast-start gives a
// Windows launcher what Linux launchers always have: the index, decoding on a
// second core and the hashed directory memo. Frames (tools/frames.h), which a
// first start decodes on several cores, are for the launchers that take that
// design: a payload for Linux is cut into them, and one for Windows with
// --fast-start, unless --one-frame keeps one; --frames cuts any payload of a
// tree, and a tree too small to cut keeps its one frame. --frame-cache keeps
// the compressed frames for the next pack (tools/frame_cache.h).
#pragma once

#include <string>

#include "tools/stub_image.h"

/// The launcher strings by option, in the stub's order.
extern const char* const kStringOptions[6];

struct Options {
  std::string app_dir, entry, output, wrap_frame, attach, stub_file, index, frame_cache;
  int level = 19;
  int threads = 0;  // after parsing, at least 1
  bool records_only = false;
  bool frames = false;  // after parsing, whether the payload is cut into frames
  bool skip_broken_links = false;
  bool fast_start = false;
  bool stub = false;
  bool target_known = false;  // by --stub or --for
  StubTarget target = StubTarget::linux_x64;
  bool string_given[6] = {};
  std::string strings[6];

  bool for_windows() const { return target_known && target == StubTarget::windows_x64; }
};

/// Throws Failure with the usage text, or with what is wrong with an option.
Options parse_options(int argc, char** argv);
