// Looking inside what the writer made, without running it:
//
//   mordax-pack list FILE          the strings, then a line per record: size,
//                                  stored checksum, name with '/'
//   mordax-pack verify FILE        decodes everything and checks it; one line
//                                  saying what is wrong, or that all is well
//   mordax-pack extract FILE DIR [--force]
//                                  writes the records below DIR under the
//                                  launcher's name rule; follows no link in DIR
//                                  and replaces files only with --force
//
// FILE is a bare payload or a launcher of either target, finished from the
// stub or built by CMake.
#pragma once

/// True when the command line starts with one of the subcommands above.
bool is_inspect_command(int argc, char** argv);

/// Runs it. Throws Failure with one line when the command line is wrong, the
/// file cannot be read, or (verify, and list and extract as far as they must
/// decode) the payload is damaged.
void run_inspect(int argc, char** argv);
