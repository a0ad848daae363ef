// The operations the launcher core needs from the operating system.
//
// One declaration per operation, named for what it does; the build compiles
// exactly one backend (platform/win32 or platform/posix), and the tests link a
// fake that records calls. Paths and values cross this boundary as UTF-16; the
// POSIX backend converts at its edge and treats text that does not convert as a
// failure of that call. Buffer protocols follow the Windows calls they stand for,
// written down once here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wide.h"

namespace platform {

/// Unit that separates path components ('\\' on Windows, '/' on POSIX).
extern const char16_t path_separator;

/// Whether every launcher decodes its payload on a second core (Linux), or
/// only one whose build opted in (Windows, where the launcher otherwise runs on
/// its main thread alone).
extern const bool two_cores_by_default;

// ---- Files ---------------------------------------------------------------

/// An open output file. `os` is the backend's handle; the other fields are the
/// backend's own bookkeeping.
struct OutputFile {
  intptr_t os;
  bool written;
  bool program;
};

/// Creates the file, or truncates an existing one, for writing; the file is shared
/// for writing only while open. `program` says the file will be started as the
/// child (the POSIX backend makes it executable). An existing regular file that
/// refuses writing for its attributes (Windows: read-only, hidden or system) or
/// its mode (POSIX: the user's own file without the owner's write permission)
/// is made writable and opened once more. Returns false when it cannot.
bool open_for_writing(const char16_t* path, bool program, OutputFile* out);

/// Writes all `size` bytes at the current position. False on failure, with the
/// reason in last_error().
bool write_file(OutputFile* file, const void* data, uint32_t size);

void close_file(OutputFile* file);

/// Opens an existing regular file for writing at offsets, without truncating
/// it, never following a link: a file decoded in pieces on several threads is
/// written through a handle per piece, and the file stays shared for writing
/// while open. `program` as for open_for_writing. False when it cannot.
bool open_for_writing_at(const char16_t* path, bool program, OutputFile* out);

/// Writes all `size` bytes at `offset` of a file opened by open_for_writing_at.
/// The piece at offset 0 decides whether the file becomes a program, as the
/// first write does; closing such a handle leaves that decision alone. False on
/// failure, with the reason in last_error().
bool write_file_at(OutputFile* file, uint64_t offset, const void* data, uint32_t size);

/// Passes the whole contents of an existing, non-empty regular file to `piece`,
/// in order, in pieces of the backend's choosing, sizes taken as 64 bits.
/// Windows maps the file read-only, shared for reading, writing and deletion,
/// and lets the pages already passed leave the resident set; Linux reads it
/// through one reused buffer per thread (four times cheaper than faulting in a
/// mapping), on the calling thread, and never follows a link. Safe to call
/// from two threads at once. False when the file is absent,
/// cannot be opened, sized, mapped or read, is empty, or is not a file.
using FilePiece = void (*)(void* context, const unsigned char* data, size_t size);
bool read_file(const char16_t* path, FilePiece piece, void* context);

/// True when `path` names an existing empty regular file (a link is not one).
bool is_empty_file(const char16_t* path);

/// Says that a range of read-only, file-backed memory (the embedded payload, a
/// mapped file) will not be read again, so its pages may leave the process's
/// resident set; reading it again would still work. Only whole pages inside the
/// range are released.
void release_pages(const void* data, size_t size);

/// Memory for the decoder's large, long-lived buffers, in the shape the
/// decoder takes its allocator (zstd's ZSTD_customMem): on Linux, allocations
/// of 2 MiB or more are 2 MiB-aligned anonymous mappings that ask for
/// transparent huge pages (a 128 MiB window on 4 KiB pages halves the decoding
/// speed), and run on normal pages where huge pages are off or refused. Null
/// where the C runtime's allocator serves (Windows, whose large pages need a
/// privilege ordinary users lack).
struct LargeMemory {
  void* (*allocate)(void* opaque, size_t size);
  void (*release)(void* opaque, void* address);
};
const LargeMemory* large_memory();

/// Bytes of memory this process may take now without pushing the machine into
/// swap or past a limit set on it: the least of the memory available (Linux:
/// MemAvailable; Windows: the available physical memory) and every memory
/// limit of the control groups the process runs in (cgroup v2 memory.max and
/// v1 memory.limit_in_bytes, from its own group up). UINT64_MAX when unknown.
uint64_t memory_available();

/// A section of the loaded executable image, by its 8-byte name, as the loader
/// mapped it with the image for the life of the process. False when the image
/// has no section of that name, and always where executables have no sections
/// the loader maps by name (POSIX).
bool image_section(const char* name, const unsigned char** data, uint64_t* size);

/// Reads the last `size` bytes of the launcher's own executable file and sets
/// `*file_size`. False when the file is shorter or cannot be read, and always on
/// Windows, where a launcher never reads its own file.
bool read_own_file_tail(void* out, size_t size, uint64_t* file_size);

/// Maps `size` bytes of the launcher's own executable file, from `offset`,
/// read-only for the life of the process. False when it cannot, and always on
/// Windows.
bool map_own_file(uint64_t offset, uint64_t size, const unsigned char** data);

/// Creates one directory whose parent exists.
enum class DirectoryResult { created, already_exists, failed };
DirectoryResult create_directory(const char16_t* path);

/// Serialises unpacking into one target directory between launchers, with a
/// lock that writes nothing to disk and dies with its holder. The directory is
/// created first, and the lock belongs to the directory, not to the path that
/// names it. POSIX: flock on the directory. Windows: a mutex named for the
/// user's SID and the folder's volume serial number and file index, in the
/// namespace all sessions share, so that every spelling of one folder (case,
/// short name, "\\?\" prefix, '/') and every session of one user take one lock;
/// where the folder cannot be opened, the name holds a hash of the path in
/// upper case instead. A mutex of that name that another user made is not
/// waited for (unavailable). POSIX also refuses a directory that another user
/// could have prepared: one that is a symbolic link, owned by someone else, or
/// writable by group or others.
enum class TargetLock { held, unavailable, symbolic_link, not_owned, writable_by_others };
TargetLock lock_target_directory(const char16_t* directory);
void unlock_target_directory();

// ---- Paths and folders -----------------------------------------------------
//
// Every call that fills a caller's UTF-16 buffer (`out`, `capacity` units, the
// terminator included) keeps the protocol of the Windows calls it stands for:
//   - the text fits: it is written with its terminator, and the result is its
//     length, less than `capacity`;
//   - it does not fit: the result is at least `capacity` (the size needed,
//     terminator included, where the system says it; `capacity` itself where it
//     does not), and `out` does not hold the text;
//   - the call fails, or the text is empty: the result is 0.
// So a caller takes the text exactly when fits() says so.

/// Whether a buffer-filling call's result is a text that fitted.
inline bool fits(uint32_t result, uint32_t capacity) { return result != 0 && result < capacity; }

/// Full path of the launcher's own executable. When it does not fit, `out`
/// holds it cut to `capacity - 1` units and the result is `capacity`, as
/// GetModuleFileNameW leaves it.
uint32_t module_path(char16_t* out, uint32_t capacity);

/// Fully qualified form of `path`: relative parts resolved against the current
/// directory, "." and ".." removed, symbolic links not resolved.
uint32_t full_path(const char16_t* path, char16_t* out, uint32_t capacity);

/// The temporary-files folder, ending in a separator.
uint32_t temp_path(char16_t* out, uint32_t capacity);

enum class KnownFolder { profile, local_app_data };
/// The folder's current path.
uint32_t known_folder(KnownFolder folder, char16_t* out, uint32_t capacity);

// ---- Environment -----------------------------------------------------------

/// Value of a variable (buffer protocol above; absent and empty are both 0).
uint32_t get_environment(const char16_t* name, char16_t* buffer, uint32_t size);

/// Sets a variable, or deletes it when `value` is null. Returns success.
bool set_environment(const char16_t* name, const char16_t* value);

// ---- Time and identity -------------------------------------------------------

uint32_t process_id();

/// The processors this process may run on (its affinity, so that a launcher
/// started on fewer cores than the machine has starts no more threads than it
/// has cores); at least 1.
uint32_t processor_count();
/// A high-resolution counter reading (monotonic on POSIX).
uint64_t performance_counter();
/// The system time as 100-nanosecond intervals since 1 January 1601 UTC.
int64_t system_time();

// ---- Errors and output -----------------------------------------------------

/// The calling thread's last system error code.
uint32_t last_error();

/// The system's English text for an error code, allocated by the system and
/// never released (every caller ends the process next). Sets `*length` to its
/// length in characters, 0 when the system has no text.
char* system_error_text(uint32_t code, uint32_t* length);

/// Writes bytes to standard output or standard error through the C runtime's
/// buffered streams.
void write_stdout(const char* text, size_t size);
void write_stderr(const char* text, size_t size);

/// Ends the process through the runtime's normal exit, flushing buffered output.
[[noreturn]] void exit_process(int status);

// ---- Start-up and console ----------------------------------------------------

/// Takes the current directory out of the library search order (result ignored).
void remove_current_directory_from_library_search();

/// The console window, or 0 when there is none.
intptr_t console_window();
/// The number of processes attached to the console (GetConsoleProcessList with
/// a list of `list_size` entries): 0 on failure, more than `list_size` when the
/// list is too small.
uint32_t console_process_count(uint32_t list_size);
void hide_window(intptr_t window);

/// Console control event types, as the handler receives them.
constexpr uint32_t ctrl_c_event = 0, ctrl_break_event = 1, ctrl_close_event = 2,
                   ctrl_logoff_event = 5, ctrl_shutdown_event = 6;

/// Registers `handler` for console control events until the process ends. The
/// system calls it on a thread of its own; when it returns false the event's
/// default handling follows, which ends the launcher. Returns success.
bool add_console_control_handler(bool (*handler)(uint32_t type));

// ---- Child process -------------------------------------------------------------

/// True when the child is started from a command line (Windows), false when it
/// is started from the launcher's own argument vector (POSIX).
extern const bool child_takes_command_line;

/// The launcher's command line split by the platform's standard rules; the
/// vector is never released. Null on failure.
char16_t** command_line_arguments(int* count);

/// The started child: `own` belongs to the thread that waits for it; `shared` is
/// a second handle to the same process, for the console control handler.
struct Child {
  intptr_t own;
  intptr_t shared;
};

/// The launcher's current standard input, output and error, for the child; each
/// is passed on whatever it is (POSIX: descriptors 0, 1 and 2, inherited as they are).
struct StandardHandles {
  intptr_t input, output, error;
};
StandardHandles standard_handles();

/// Starts `path` as the child on the launcher's console, the given standard
/// handles, environment and current directory. `command_line` is the child's
/// command line where child_takes_command_line holds; otherwise the launcher's
/// own arguments follow the launcher's full path. On failure returns false with
/// the system error code in `*error`; Windows refuses a batch file (.bat, .cmd)
/// that way, with ERROR_BAD_EXE_FORMAT, having started nothing.
bool start_child(const char16_t* path, char16_t* command_line, const StandardHandles& handles, Child* out,
                 uint32_t* error);

/// Waits for the process to end, at most `timeout_ms` (or without limit when
/// negative). True when it has ended.
bool wait_process(intptr_t process, int32_t timeout_ms);

/// Waits without limit for the child's end and reads its exit status: the 32-bit
/// code on Windows; on POSIX the exit code, or 256 + the signal number for a child
/// ended by a signal. `status_unreadable` when the status cannot be read;
/// `wait_failed`, with the reason in last_error(), when the wait itself failed
/// and the child may still run (Windows).
enum class ChildEnd { status, status_unreadable, wait_failed };
ChildEnd wait_child_status(intptr_t own, uint32_t* status);

/// Passes a console control event on to the child where the platform did not
/// already deliver it to the child itself.
void relay_event(intptr_t process, uint32_t type);

/// Ends the process at once; where the platform sets its exit status, that of an
/// interrupted run (Windows: STATUS_CONTROL_C_EXIT).
void terminate_process(intptr_t process);

void close_process(intptr_t process);

/// Called by the main thread when the console control handler has taken the
/// child: returns at once where the launcher may then end with the child's status
/// (Windows); never returns where the event's default action ends the launcher.
void await_console_control_handler();

/// Turns the launch sequence's status into the entry point's result; on POSIX a
/// child ended by a signal ends the launcher by the same signal.
int exit_status(uint32_t status);

}  // namespace platform
