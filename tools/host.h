// What the writer asks of the system it runs on. Every name the writer handles
// is UTF-8 with '/' or the system's separators; only this layer meets the
// system's own form (UTF-16 and long-path prefixes on Windows), so the rest of
// the writer, and the bytes it writes, are the same on either host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

/// The writer itself, with its arguments in UTF-8; the host's entry point
/// (main, or wmain on Windows) converts them and calls it.
int writer_main(int argc, char** argv);

/// fopen; on failure errno says why.
FILE* host_open(const std::string& path, const char* mode);

/// Moves `from` over `to`, replacing it; on failure errno says why.
bool host_replace(const std::string& from, const std::string& to);

void host_remove(const std::string& path);

/// `name` in the folder this program was started from, with the host's
/// separator; empty when that folder cannot be found.
std::string host_beside_program(const std::string& name);

/// True when both names lead to one file (through links, or as the same path
/// once made absolute).
bool host_same_file(const std::string& a, const std::string& b);

bool host_is_directory(const std::string& path);

/// `path` made absolute, without "." or ".." and with the host's separators.
std::string host_absolute(const std::string& path);

/// Makes the folder and the folders above it that are missing; on failure
/// errno says why.
bool host_make_directories(const std::string& path);

/// What a name found in the tree is, following symbolic links.
struct FileFacts {
  enum Kind { regular, not_regular, broken_link, failed } kind;
  uint64_t size = 0;   // regular
  std::string error;   // failed: the system's reason
};
FileFacts host_file_facts(const std::string& path);

/// Calls `found` with the relative name ('/' separators, UTF-8) and the full
/// name of everything below `root` that is not a folder, a link to a folder
/// included; links to folders are not entered. Throws Failure when a folder
/// cannot be read, or a name is not valid text.
void host_walk(const std::string& root, const std::function<void(const std::string& relative,
                                                                  const std::string& path)>& found);

/// The names of what is in `dir` itself and is not a folder. Throws Failure
/// when it cannot be read.
std::vector<std::string> host_list_files(const std::string& dir);

/// True when standard error is a terminal (a console on Windows).
bool host_stderr_is_terminal();

/// Writes UTF-8 text to standard output or standard error (`to_error`): as
/// UTF-16 through the console when the stream is one, as bytes otherwise.
void host_print(bool to_error, const std::string& text);

/// Gives the finished launcher the permissions of a program the user made
/// (POSIX: 0777 less the umask); throws Failure naming `shown`.
void host_make_runnable(FILE* file, const std::string& shown);
