// Where a payload of several frames is cut. A first start decodes its frames
// on every core, and a later start repairs a file by decoding only the frames
// that hold it, so the cuts depend on what the tree holds, never on how it got
// there: they are planned from the records' names and sizes alone, before
// anything is compressed. A file whose contents change but not its size then
// changes only the frames that hold it and its checksum. Between records the
// names choose the cuts, so that after a file is added or removed they can
// fall on the same records again.
//
// A record of more than kFileCut content bytes is cut into the fewest equal
// parts of at most kFileCut, at offsets of its contents that its size alone
// decides, each part at least half of kFileCut: small enough that a changed
// file of a few tens of MiB is compressed again on two cores (halves of a
// 32 MiB piece took 14.7 s at level 19 here, the whole 23.2 s), large enough
// that the cut costs little (those halves were 0.07 % larger; two compression
// jobs in one frame instead cost 30 % more time). Between
// records, a frame ends before a record of kFrameLeast bytes or more or one
// that its name's hash marks, once kFrameLeast decoded bytes have gone by
// since the last cut, or before a record that would take the frame past
// kFrameMost: a large file starts a frame, so that repacking it after a
// change compresses little beside it, unless it is uncut and within an
// eighth of the size of the uncut large record before it. Such a run is most
// often versions of one file a few bytes apart, whose matches between them a
// cut would lose, so it stays in one frame while that has room, a name's mark
// passed over. A name is marked with a
// chance that grows with the bytes of the record before it (since that
// record's last cut), one in kFrameMarkGap bytes, so that marks fall as often
// on a tree of small files as on one of large ones, and the least is small
// beside the gap between marks: after a file is added or removed, the next
// mark past the least is most often the one the cuts met before, and from
// there on they are the same. No frame decodes to more than kFrameMost bytes
// but the last, which may hold the end marker beyond it; the launcher decodes
// a whole frame into one buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/records.h"

constexpr uint64_t kFileCut = uint64_t(16) << 20;
constexpr uint64_t kFrameLeast = uint64_t(8) << 20;
constexpr uint64_t kFrameMarkGap = uint64_t(24) << 20;
constexpr uint64_t kFrameMost = uint64_t(48) << 20;

/// The stream offsets where each frame ends, the last being the stream's
/// length, end marker included.
std::vector<uint64_t> plan_frames(const std::vector<Record>& records);

/// The window a frame of `decoded` bytes declares: the least power of two that
/// holds it, within what Zstandard and the launcher take.
int frame_window_log(uint64_t decoded);
