#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <cstring>
#include <mutex>

#include "child/command_line.h"
#include "child/run_child.h"
#include "extract/directories.h"
#include "extract/extract.h"
#include "payload/build_strings.h"
#include "payload/index.h"
#include "payload/payload.h"

namespace fake {

static std::deque<std::string> system_texts;
static std::vector<std::u16string> open_paths;
// The calls that decoding threads make at once.
static std::mutex threads_lock;

State& state() {
  static State s;
  return s;
}

// Buffers the core never releases (system texts, open files after a fatal
// stop) are freed when the next case starts.
void reset() {
  system_texts.clear();
  open_paths.clear();
  payload_close();
  state() = State();
  forget_known_directories();
  forget_launcher_path();
  child_process = 0;
}

void reset_in_target(const std::u16string& target) {
  reset();
  wide_copy(target_directory, kPathCapacity, target.c_str());
  child_executable_path[0] = 0;
  state().directories = {target};
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? char(c) : '?');
  return out;
}

}  // namespace fake

using fake::state;

PayloadBytes embedded_payload() {
  return {reinterpret_cast<const unsigned char*>(state().payload.data()), state().payload.size()};
}

bool embedded_fast_start() { return state().fast_start; }

IndexBytes embedded_index() {
  return {reinterpret_cast<const unsigned char*>(state().index.data()), state().index.size()};
}

const BuildStrings& build_strings() {
  static BuildStrings strings;
  strings = {state().target_spec.c_str(), u"Tarvell", u"Tarvell Pro", u"2.3.8", u"2.3.8", u"2.3.8"};
  return strings;
}

namespace platform {

const char16_t path_separator = u'\\';
const bool two_cores_by_default = false;
const bool child_takes_command_line = true;

namespace {

uint32_t put(const std::u16string& text, char16_t* out, uint32_t capacity) {
  if (text.size() + 1 > capacity) return uint32_t(text.size() + 1);
  memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return uint32_t(text.size());
}

// A name as a case-insensitive file system compares it: ASCII and Latin-1
// letters and the Kelvin sign as NTFS's upcase table folds them, and, where
// the fold is full (ext4's casefold), sharp s as "SS".
std::u16string folded(const std::u16string& name) {
  std::u16string out;
  for (char16_t c : name) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c = char16_t(c - 0x20);
    if (c == 0x212A) c = u'K';
    if (c == 0xDF && state().folds_fully) {
      out += u"SS";
      continue;
    }
    out += c;
  }
  return out;
}

// The name under which the file system keeps `path`: where it folds case,
// the file or directory already there under a name that folds the same
// (NTFS keeps the name it was created with).
std::u16string on_disk(const std::u16string& path) {
  if (!state().folds_case) return path;
  std::u16string key = folded(path);
  for (const auto& file : state().files)
    if (folded(file.first) == key) return file.first;
  for (const auto& directory : state().directories)
    if (folded(directory) == key) return directory;
  return path;
}

// A drive root ("C:") always exists; so does the parent of a bare name.
bool parent_exists(const std::u16string& path) {
  size_t cut = path.rfind(u'\\');
  if (cut == std::u16string::npos) return true;
  std::u16string parent = on_disk(path.substr(0, cut));
  return (parent.size() == 2 && parent[1] == u':') || state().directories.count(parent) > 0;
}

// How much of a write of `size` bytes the disk takes: all of it, or what is
// left before it is full, as a real write fails after writing part.
uint32_t within_budget(uint32_t size) {
  long& budget = state().write_budget;
  if (budget < 0) return size;
  uint32_t room = uint32_t(std::min<long>(budget, size));
  budget -= room;
  if (room < size) state().last_error = 112;  // disk full
  return room;
}

void log(const char* what, const char16_t* path) {
  state().calls.push_back(std::string(what) + " " + fake::narrow(path));
}

}  // namespace

bool open_for_writing(const char16_t* path, bool program, OutputFile* out) {
  log("open", path);
  std::u16string p = on_disk(path);
  if (state().unwritable.count(p) || state().directories.count(p)) {
    state().last_error = 5;
    return false;
  }
  if (!parent_exists(p)) {
    state().last_error = 3;
    return false;
  }
  state().files[p].clear();
  state().opened_as_program[p] = program;
  fake::open_paths.push_back(p);
  *out = OutputFile{intptr_t(fake::open_paths.size() - 1), false, program};
  return true;
}

bool write_file(OutputFile* file, const void* data, uint32_t size) {
  uint32_t room = within_budget(size);
  state().calls.push_back("write " + std::to_string(size));
  state().files[fake::open_paths[size_t(file->os)]].append(static_cast<const char*>(data), room);
  return room == size;
}

void close_file(OutputFile* file) {
  std::lock_guard<std::mutex> hold(fake::threads_lock);
  log("close", fake::open_paths[size_t(file->os)].c_str());
}

bool open_for_writing_at(const char16_t* path, bool program, OutputFile* out) {
  std::lock_guard<std::mutex> hold(fake::threads_lock);
  log("open-at", path);
  std::u16string p = on_disk(path);
  if (state().files.count(p) == 0 || state().unwritable.count(p)) {
    state().last_error = 5;
    return false;
  }
  fake::open_paths.push_back(p);
  *out = OutputFile{intptr_t(fake::open_paths.size() - 1), true, program};
  return true;
}

bool write_file_at(OutputFile* file, uint64_t offset, const void* data, uint32_t size) {
  std::lock_guard<std::mutex> hold(fake::threads_lock);
  uint32_t room = within_budget(size);
  state().calls.push_back("write-at " + std::to_string(offset) + " " + std::to_string(size));
  std::string& contents = state().files[fake::open_paths[size_t(file->os)]];
  if (contents.size() < offset + room) contents.resize(size_t(offset + room));
  contents.replace(size_t(offset), room, static_cast<const char*>(data), room);
  return room == size;
}

bool read_file(const char16_t* path, FilePiece piece, void* context) {
  auto it = state().files.find(on_disk(path));
  if (it == state().files.end() || it->second.empty()) return false;
  piece(context, reinterpret_cast<const unsigned char*>(it->second.data()), it->second.size());
  return true;
}

// Where in the payload: a decoding thread lets each frame go once decoded.
void release_pages(const void* data, size_t size) {
  const auto* at = static_cast<const char*>(data);
  const std::string& payload = state().payload;
  if (at < payload.data() || at >= payload.data() + payload.size()) return;
  std::lock_guard<std::mutex> hold(fake::threads_lock);
  state().released.push_back({uint64_t(at - payload.data()), size});
}
namespace {
void* allocate_large(void*, size_t size) {
  fake::state().large_bytes += size;
  return malloc(size);
}
void release_large(void*, void* block) { free(block); }
}  // namespace

const LargeMemory* large_memory() {
  static const LargeMemory memory = {allocate_large, release_large};
  return fake::state().large_memory ? &memory : nullptr;
}

bool is_empty_file(const char16_t* path) {
  auto it = state().files.find(on_disk(path));
  return it != state().files.end() && it->second.empty();
}

DirectoryResult create_directory(const char16_t* path) {
  log("mkdir", path);
  std::u16string p = on_disk(path);
  if (state().refused_directories.count(p)) return DirectoryResult::failed;
  if (state().directories.count(p) || state().files.count(p)) return DirectoryResult::already_exists;
  if (!parent_exists(p)) return DirectoryResult::failed;
  state().directories.insert(p);
  return DirectoryResult::created;
}

TargetLock lock_target_directory(const char16_t* directory) {
  log("lock", directory);
  return state().lock_result;
}

void unlock_target_directory() { state().calls.push_back("unlock"); }

uint32_t module_path(char16_t* out, uint32_t capacity) {
  if (state().module_fails) return 0;
  const std::u16string& m = state().module;
  if (m.size() + 1 <= capacity) return put(m, out, capacity);
  memcpy(out, m.data(), (capacity - 1) * sizeof(char16_t));
  out[capacity - 1] = 0;
  return capacity;
}

uint32_t full_path(const char16_t* path, char16_t* out, uint32_t capacity) {
  std::u16string p = path;
  if (p.empty()) return 0;
  if (!(p.size() >= 2 && p[1] == u':')) p = state().current_directory + u"\\" + p;
  return put(p, out, capacity);
}

uint32_t temp_path(char16_t* out, uint32_t capacity) {
  if (state().temp_fails) return 0;
  return put(state().temp, out, capacity);
}

uint32_t known_folder(KnownFolder folder, char16_t* out, uint32_t capacity) {
  bool profile = folder == KnownFolder::profile;
  if (profile ? state().profile_fails : state().cache_fails) return 0;
  return put(profile ? state().profile : state().local_app_data, out, capacity);
}

uint32_t get_environment(const char16_t* name, char16_t* buffer, uint32_t size) {
  auto it = state().environment.find(name);
  if (it == state().environment.end() || it->second.empty()) return 0;
  return put(it->second, buffer, size);
}

bool set_environment(const char16_t* name, const char16_t* value) {
  if (value == nullptr)
    state().environment.erase(name);
  else
    state().environment[name] = value;
  return true;
}

uint32_t process_id() { return state().pid; }
uint32_t processor_count() { return state().processors; }
uint64_t memory_available() { return state().memory; }
uint64_t performance_counter() { return state().counter; }
int64_t system_time() { return state().time; }

uint32_t last_error() { return state().last_error; }

char* system_error_text(uint32_t code, uint32_t* length) {
  auto it = state().error_texts.find(code);
  if (it == state().error_texts.end()) {
    *length = 0;
    return nullptr;
  }
  *length = uint32_t(it->second.size());
  fake::system_texts.push_back(it->second);
  return fake::system_texts.back().data();
}

void write_stdout(const char* text, size_t size) { state().out.append(text, size); }
void write_stderr(const char* text, size_t size) { state().err.append(text, size); }
void exit_process(int status) { throw FatalExit{status}; }

void remove_current_directory_from_library_search() { state().calls.push_back("dll-directory"); }
intptr_t console_window() { return state().window; }
uint32_t console_process_count(uint32_t) { return state().console_count; }
void hide_window(intptr_t) { state().calls.push_back("hide-window"); }

bool add_console_control_handler(bool (*handler)(uint32_t)) {
  if (state().handler_registration_fails) return false;
  state().handler = handler;
  return true;
}

char16_t** command_line_arguments(int* count) {
  state().calls.push_back("arguments");
  static std::vector<std::u16string> copies;
  static std::vector<char16_t*> vector;
  copies = state().arguments;
  vector.clear();
  for (auto& a : copies) vector.push_back(a.data());
  *count = int(vector.size());
  return vector.data();
}

StandardHandles standard_handles() {
  state().calls.push_back("standard-handles");
  return {10, 11, 12};
}

bool start_child(const char16_t* path, char16_t* command_line, const StandardHandles& handles, Child* out,
                 uint32_t* error) {
  state().started_handles = {handles.input, handles.output, handles.error};
  state().started_path = path;
  state().started_command_line = command_line != nullptr ? command_line : u"";
  if (state().child_start_fails || state().started_path.empty()) {
    *error = state().child_error;
    return false;
  }
  *out = Child{101, 202};
  return true;
}

bool wait_process(intptr_t process, int32_t timeout_ms) {
  state().calls.push_back("wait " + std::to_string(process) + " " + std::to_string(timeout_ms));
  if (state().during_grace) state().during_grace();
  return state().child_ends_within_grace;
}

ChildEnd wait_child_status(intptr_t own, uint32_t* status) {
  state().calls.push_back("wait-status " + std::to_string(own));
  if (state().during_wait) state().during_wait();
  if (state().child_wait_fails) {
    state().last_error = 6;
    return ChildEnd::wait_failed;
  }
  *status = state().child_status;
  return state().child_status_readable ? ChildEnd::status : ChildEnd::status_unreadable;
}

void relay_event(intptr_t process, uint32_t type) {
  state().calls.push_back("relay " + std::to_string(process) + " " + std::to_string(type));
}
void terminate_process(intptr_t process) { state().calls.push_back("terminate " + std::to_string(process)); }
void close_process(intptr_t process) { state().calls.push_back("close-process " + std::to_string(process)); }
void await_console_control_handler() { state().calls.push_back("await-handler"); }
int exit_status(uint32_t status) { return int(status); }

}  // namespace platform
