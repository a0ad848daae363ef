// Unpacking a payload of several frames on every core.
#pragma once

/// With a valid index made with the payload that lists two frames or more,
/// finds which files are not in place, decodes only the frames that hold them,
/// each on one of up to as many threads as the machine has cores, writes their
/// bytes straight into those files at their offsets, and sets the child's path:
/// the files, messages and statuses of the record loop. Returns false, having
/// written nothing, where it does not apply (no such index, names the file
/// system may take for one file, a name the record loop would refuse, no memory
/// for its buffers); and when a frame does not decode as the index lists it,
/// having left every file it wrote complete or empty: the record loop then
/// does the work (and stops where the stream fails). A file it cannot open or
/// write stops the launcher as the record loop would.
bool extract_frames();
