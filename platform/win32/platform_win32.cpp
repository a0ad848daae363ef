// Windows backend: each operation is the Win32 call it is named after, with the
// flags and share modes the launcher documents.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "common/owner.h"
#include "platform/platform.h"

// The linker places this at the start of the loaded image.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace platform {

const char16_t path_separator = u'\\';
const bool two_cores_by_default = false;
const bool child_takes_command_line = true;

namespace {

// The core keeps UTF-16 in char16_t; Windows spells the same units wchar_t.
const wchar_t* w(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* w(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
HANDLE h(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t v(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

void close_handle(HANDLE handle) { CloseHandle(handle); }
// Empty is null; callers turn INVALID_HANDLE_VALUE into null.
using Handle = Owner<HANDLE, nullptr, close_handle>;

HANDLE valid_or_null(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

}  // namespace

// ---- Files ---------------------------------------------------------------

namespace {

HANDLE create_for_writing(const char16_t* path) {
  return CreateFileW(w(path), GENERIC_WRITE, FILE_SHARE_WRITE, /*security*/ nullptr, CREATE_ALWAYS,
                     /*flags*/ 0, /*template*/ nullptr);
}

}  // namespace

bool open_for_writing(const char16_t* path, bool, OutputFile* out) {
  HANDLE file = create_for_writing(path);
  // CREATE_ALWAYS refuses an existing file that is read-only, hidden or system.
  // One that a user, a backup tool or a scanner marked so would stop every later
  // start; it loses those attributes and the open is tried once more.
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    DWORD attributes = GetFileAttributesW(w(path));
    constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotAFile) == 0 &&
        SetFileAttributesW(w(path), FILE_ATTRIBUTE_NORMAL))
      file = create_for_writing(path);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  *out = OutputFile{v(file), false, false};
  return true;
}

bool write_file(OutputFile* file, const void* data, uint32_t size) {
  DWORD written = 0;
  file->written = true;
  return WriteFile(h(file->os), data, size, &written, /*overlapped*/ nullptr) != 0;
}

void close_file(OutputFile* file) {
  CloseHandle(h(file->os));
  file->os = 0;
}

// Only launchers built with the opt-in write at offsets, from several threads.
bool open_for_writing_at(const char16_t* path, bool, OutputFile* out) {
  HANDLE file = CreateFileW(w(path), GENERIC_WRITE, FILE_SHARE_WRITE, /*security*/ nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, /*template*/ nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *out = OutputFile{v(file), true, false};
  return true;
}

bool write_file_at(OutputFile* file, uint64_t offset, const void* data, uint32_t size) {
  // A synchronous handle writes at the position an OVERLAPPED names.
  OVERLAPPED at = {};
  at.Offset = DWORD(offset);
  at.OffsetHigh = DWORD(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(h(file->os), data, size, &written, &at)) return false;
  if (written == size) return true;
  // Part written and no error given: the disk is full, and the caller must
  // know the file holds part of the piece.
  SetLastError(ERROR_DISK_FULL);
  return false;
}

bool read_file(const char16_t* path, FilePiece piece, void* context) {
  Handle file{valid_or_null(CreateFileW(w(path), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*security*/ nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        /*template*/ nullptr))};
  if (!file) return false;
  // The size is taken whole: a low part of all ones is a failure only when the
  // call says so.
  DWORD high = 0;
  DWORD low = GetFileSize(file.get(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  uint64_t size = (uint64_t(high) << 32) | low;
  // An empty file cannot be mapped; a directory cannot be opened without
  // FILE_FLAG_BACKUP_SEMANTICS.
  Handle mapping{CreateFileMappingW(file.get(), /*security*/ nullptr, PAGE_READONLY, 0, 0, /*name*/ nullptr)};
  if (!mapping) return false;
  const auto* view = static_cast<const unsigned char*>(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (view == nullptr) return false;
  // Pages already passed leave the resident set at once, so a large file does
  // not add its size to the peak memory.
  constexpr uint64_t kPiece = 4u << 20;
  for (uint64_t done = 0; done < size;) {
    uint64_t n = size - done < kPiece ? size - done : kPiece;
    piece(context, view + done, size_t(n));
    release_pages(view + done, size_t(n));
    done += n;
  }
  UnmapViewOfFile(view);
  return true;
}

// Unlocking pages that were never locked takes them out of the working set.
void release_pages(const void* data, size_t size) {
  constexpr uintptr_t kPage = 4096;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kPage - 1);
  if (end > begin) VirtualUnlock(reinterpret_cast<void*>(begin), end - begin);
}

bool is_empty_file(const char16_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(w(path), GetFileExInfoStandard, &data)) return false;
  constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (data.dwFileAttributes & kNotAFile) == 0 && data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

const LargeMemory* large_memory() { return nullptr; }

uint64_t memory_available() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : UINT64_MAX;
}

// The loader has mapped every section of the image already; the section is
// found in the section table in memory, with no call and no file access.
bool image_section(const char* name, const unsigned char** data, uint64_t* size) {
  const unsigned char* base = reinterpret_cast<const unsigned char*>(&__ImageBase);
  const IMAGE_NT_HEADERS* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    if (memcmp(section->Name, name, IMAGE_SIZEOF_SHORT_NAME) != 0) continue;
    *data = base + section->VirtualAddress;
    *size = section->Misc.VirtualSize;
    return true;
  }
  return false;
}

// What a Windows launcher carries is mapped with its image (image_section).
bool read_own_file_tail(void*, size_t, uint64_t*) { return false; }
bool map_own_file(uint64_t, uint64_t, const unsigned char**) { return false; }

DirectoryResult create_directory(const char16_t* path) {
  if (CreateDirectoryW(w(path), /*security*/ nullptr)) return DirectoryResult::created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? DirectoryResult::already_exists
                                                : DirectoryResult::failed;
}

namespace {

Handle target_lock;

// Like mkdir -p; what cannot be made is left to the unpacking, which reports
// the file it could not write.
void create_directories(const char16_t* directory) {
  wchar_t path[kPathCapacity];
  size_t length = 0;
  for (; directory[length] != 0; ++length) {
    if (length + 1 >= kPathCapacity) return;
    path[length] = wchar_t(directory[length]);
  }
  for (size_t at = 1; at <= length; ++at) {
    if (at < length && path[at] != L'\\' && path[at] != L'/') continue;
    wchar_t kept = path[at];
    path[at] = 0;
    CreateDirectoryW(path, /*security*/ nullptr);
    path[at] = kept;
  }
}

HANDLE open_directory(const char16_t* directory) {
  return valid_or_null(CreateFileW(w(directory), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*security*/ nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*template*/ nullptr));
}

// A mutex name, built up to MAX_PATH units (more than any it is given).
struct MutexName {
  wchar_t text[MAX_PATH] = {};
  size_t length = 0;
  void put(const wchar_t* part) {
    for (; *part != 0 && length + 1 < MAX_PATH; ++part) text[length++] = *part;
  }
  void hex(uint64_t value, int digits) {
    while (digits-- > 0 && length + 1 < MAX_PATH) text[length++] = L"0123456789abcdef"[(value >> (4 * digits)) & 15];
  }
};

// What names the folder whatever the spelling: its volume's serial number and
// its file index, the same through any case, short name, "\\?\" prefix, '/'
// or junction. (On ReFS the index is cut to 64 bits and may be shared; two
// folders that share a name only wait for each other.) A folder that cannot
// be opened, or a file system that numbers nothing, falls back to a hash
// (FNV-1a, 64 bits) of the path in upper case, without "\\?\", with '\' for '/'.
void put_folder_identity(const char16_t* directory, MutexName* name) {
  Handle folder{open_directory(directory)};
  if (!folder) {
    create_directories(directory);
    folder.reset(open_directory(directory));
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (folder && GetFileInformationByHandle(folder.get(), &info) && (info.nFileIndexHigh | info.nFileIndexLow) != 0) {
    name->hex(info.dwVolumeSerialNumber, 8);
    name->put(L"-");
    name->hex((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 16);
    return;
  }
  const char16_t* unit = directory;
  if (unit[0] == u'\\' && unit[1] == u'\\' && unit[2] == u'?' && unit[3] == u'\\') unit += 4;
  uint64_t hash = 14695981039346656037ull;
  for (; *unit != 0; ++unit) {
    wchar_t folded = *unit == u'/' ? L'\\' : wchar_t(*unit);
    CharUpperBuffW(&folded, 1);
    hash = (hash ^ (folded & 0xFF)) * 1099511628211ull;
    hash = (hash ^ (folded >> 8)) * 1099511628211ull;
  }
  name->put(L"path-");
  name->hex(hash, 16);
}

// The user and the default owner of what this process creates (an elevated
// administrator's objects belong to the Administrators group). The SID is the
// first member of TOKEN_USER and of TOKEN_OWNER alike.
struct TokenSid {
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  PSID sid() const { return *reinterpret_cast<const PSID*>(buffer); }
};

bool token_sid(HANDLE token, TOKEN_INFORMATION_CLASS kind, TokenSid* out) {
  DWORD size = 0;
  return GetTokenInformation(token, kind, out->buffer, sizeof out->buffer, &size) != 0;
}

bool owned_by(HANDLE mutex, const TokenSid& user, const TokenSid& owner) {
  PSID found = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &found, /*group*/ nullptr,
                      /*dacl*/ nullptr, /*sacl*/ nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  // Windows gives every named object an owner; Wine keeps none.
  bool ours = found == nullptr || EqualSid(found, user.sid()) || EqualSid(found, owner.sid());
  LocalFree(descriptor);
  return ours;
}

}  // namespace

// One lock per folder and user: the name holds the user's SID and the folder's
// identity, in the namespace all sessions share, so that starts from a
// shortcut and from a prompt, or from two sessions of one user, wait for each
// other, and other users never meet this user's lock. Only file mappings need
// a privilege to be made there, not mutexes. Without the user's SID, or where
// the shared namespace is closed to the process (a low-integrity one), the
// lock is the session's.
TargetLock lock_target_directory(const char16_t* directory) {
  MutexName identity;
  put_folder_identity(directory, &identity);
  HANDLE raw_token = nullptr;
  Handle token{OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token) ? raw_token : nullptr};
  TokenSid user, owner;
  wchar_t* user_text = nullptr;
  Handle mutex;
  if (token && token_sid(token.get(), TokenUser, &user) && token_sid(token.get(), TokenOwner, &owner) &&
      ConvertSidToStringSidW(user.sid(), &user_text)) {
    MutexName name;
    name.put(L"Global\\mordax-onefile-");
    name.put(user_text);
    name.put(L"-");
    name.put(identity.text);
    LocalFree(user_text);
    mutex.reset(CreateMutexW(/*security*/ nullptr, /*initial owner*/ FALSE, name.text));
    // Any user may make names there: one who made this one first could hold
    // it for ever. A mutex that someone else made is not waited for.
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS && !owned_by(mutex.get(), user, owner))
      return TargetLock::unavailable;
  }
  if (!mutex) {
    MutexName name;
    name.put(L"Local\\mordax-onefile-");
    name.put(identity.text);
    mutex.reset(CreateMutexW(/*security*/ nullptr, /*initial owner*/ FALSE, name.text));
  }
  if (!mutex) return TargetLock::unavailable;
  // An abandoned mutex means a launcher died while unpacking: ours now, and
  // its partial files are repaired by their checksums.
  DWORD wait = WaitForSingleObject(mutex.get(), INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return TargetLock::unavailable;
  target_lock = std::move(mutex);
  return TargetLock::held;
}

void unlock_target_directory() {
  if (!target_lock) return;
  ReleaseMutex(target_lock.get());
  target_lock.reset();
}

// ---- Paths and folders -----------------------------------------------------

uint32_t module_path(char16_t* out, uint32_t capacity) {
  return GetModuleFileNameW(/*module*/ nullptr, w(out), capacity);
}

uint32_t full_path(const char16_t* path, char16_t* out, uint32_t capacity) {
  return GetFullPathNameW(w(path), capacity, w(out), /*file part*/ nullptr);
}

uint32_t temp_path(char16_t* out, uint32_t capacity) { return GetTempPathW(capacity, w(out)); }

uint32_t known_folder(KnownFolder folder, char16_t* out, uint32_t capacity) {
  wchar_t scratch[MAX_PATH];
  int id = folder == KnownFolder::profile ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
  if (SHGetFolderPathW(/*window*/ nullptr, id, /*token*/ nullptr, /*flags*/ 0, scratch) != S_OK) return 0;
  size_t length = wcslen(scratch);
  if (length + 1 > capacity) return uint32_t(length + 1);
  memcpy(out, scratch, (length + 1) * sizeof(wchar_t));
  return uint32_t(length);
}

// ---- Environment -----------------------------------------------------------

uint32_t get_environment(const char16_t* name, char16_t* buffer, uint32_t size) {
  return GetEnvironmentVariableW(w(name), w(buffer), size);
}

bool set_environment(const char16_t* name, const char16_t* value) {
  return SetEnvironmentVariableW(w(name), value != nullptr ? w(value) : nullptr) != 0;
}

// ---- Time and identity -------------------------------------------------------

uint32_t process_id() { return GetCurrentProcessId(); }

uint32_t processor_count() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  uint32_t n = 0;
  for (; process != 0; process &= process - 1) ++n;
  return n > 0 ? n : 1;
}

uint64_t performance_counter() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return uint64_t(counter.QuadPart);
}

int64_t system_time() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return int64_t((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// ---- Errors and output -----------------------------------------------------

uint32_t last_error() { return GetLastError(); }

char* system_error_text(uint32_t code, uint32_t* length) {
  char* text = nullptr;
  constexpr DWORD kEnglishUnitedStates = 1033;
  *length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           /*source*/ nullptr, code, kEnglishUnitedStates,
                           reinterpret_cast<char*>(&text), 0, /*arguments*/ nullptr);
  return *length > 0 ? text : nullptr;
}

void write_stdout(const char* text, size_t size) { fwrite(text, 1, size, stdout); }
void write_stderr(const char* text, size_t size) { fwrite(text, 1, size, stderr); }
void exit_process(int status) { exit(status); }

// ---- Start-up and console ----------------------------------------------------

void remove_current_directory_from_library_search() { SetDllDirectoryW(L""); }

intptr_t console_window() { return v(GetConsoleWindow()); }

uint32_t console_process_count(uint32_t list_size) {
  DWORD list[2];
  return GetConsoleProcessList(list, list_size < 2 ? list_size : 2);
}

void hide_window(intptr_t window) { ShowWindow(reinterpret_cast<HWND>(window), SW_HIDE); }

namespace {
bool (*console_handler)(uint32_t);
BOOL WINAPI console_handler_entry(DWORD type) { return console_handler(type) ? TRUE : FALSE; }
}  // namespace

bool add_console_control_handler(bool (*handler)(uint32_t)) {
  console_handler = handler;
  return SetConsoleCtrlHandler(console_handler_entry, TRUE) != 0;
}

// ---- Child process -------------------------------------------------------------

char16_t** command_line_arguments(int* count) {
  return reinterpret_cast<char16_t**>(CommandLineToArgvW(GetCommandLineW(), count));
}

StandardHandles standard_handles() {
  return {v(GetStdHandle(STD_INPUT_HANDLE)), v(GetStdHandle(STD_OUTPUT_HANDLE)), v(GetStdHandle(STD_ERROR_HANDLE))};
}

namespace {

// CreateProcessW runs a batch file as "cmd.exe /c" and the command line, whose
// first word names the launcher: cmd.exe would start the launcher again, and
// cmd.exe's quoting is not the command line's, so an argument could run a
// command. Windows ignores trailing dots and spaces in the name.
bool is_batch_file(const char16_t* path) {
  size_t end = wide_length(path);
  while (end > 0 && (path[end - 1] == u'.' || path[end - 1] == u' ')) --end;
  if (end < 4) return false;
  const char16_t* extension = path + end - 4;
  auto lower = [](char16_t unit) { return unit >= u'A' && unit <= u'Z' ? char16_t(unit + 32) : unit; };
  char16_t folded[4] = {lower(extension[0]), lower(extension[1]), lower(extension[2]), lower(extension[3])};
  return std::u16string_view(folded, 4) == u".bat" || std::u16string_view(folded, 4) == u".cmd";
}

}  // namespace

bool start_child(const char16_t* path, char16_t* command_line, const StandardHandles& handles, Child* out,
                 uint32_t* error) {
  if (is_batch_file(path)) {
    *error = ERROR_BAD_EXE_FORMAT;
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = h(handles.input);
  startup.hStdOutput = h(handles.output);
  startup.hStdError = h(handles.error);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(w(path), w(command_line), /*process security*/ nullptr,
                      /*thread security*/ nullptr, /*inherit handles*/ TRUE, NORMAL_PRIORITY_CLASS,
                      /*environment*/ nullptr, /*current directory*/ nullptr, &startup, &process)) {
    *error = GetLastError();
    return false;
  }
  CloseHandle(process.hThread);
  // A second handle for the console control handler, so that the main thread's
  // wait and status read never meet a handle the handler has closed.
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &shared, 0,
                       /*inherit*/ FALSE, DUPLICATE_SAME_ACCESS))
    shared = nullptr;
  *out = Child{v(process.hProcess), v(shared)};
  return true;
}

bool wait_process(intptr_t process, int32_t timeout_ms) {
  return WaitForSingleObject(h(process), timeout_ms < 0 ? INFINITE : DWORD(timeout_ms)) == WAIT_OBJECT_0;
}

ChildEnd wait_child_status(intptr_t own, uint32_t* status) {
  // Read after a failed wait, the code would be STILL_ACTIVE (259) of a child
  // that may still run.
  if (WaitForSingleObject(h(own), INFINITE) != WAIT_OBJECT_0) return ChildEnd::wait_failed;
  DWORD code = 0;
  if (!GetExitCodeProcess(h(own), &code)) return ChildEnd::status_unreadable;
  *status = code;
  return ChildEnd::status;
}

// The child shares the console and receives every console event itself.
void relay_event(intptr_t, uint32_t) {}

// The status Windows gives a console process ended by Ctrl+C, so that whoever
// reads it sees an interrupted run rather than a success.
void terminate_process(intptr_t process) { TerminateProcess(h(process), STATUS_CONTROL_C_EXIT); }

void close_process(intptr_t process) { CloseHandle(h(process)); }

// The launcher ends with the child's status or by the event's default handling,
// whichever comes first.
void await_console_control_handler() {}

int exit_status(uint32_t status) { return int(status); }

}  // namespace platform
