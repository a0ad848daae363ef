// Linux backend: the natural equivalent of each Windows call the core makes.
#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/owner.h"
#include "common/utf.h"
#include "platform/platform.h"
#include "platform/posix/arguments.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char** environ;

namespace platform {

const char16_t path_separator = u'/';
const bool two_cores_by_default = true;
const bool child_takes_command_line = false;

namespace {

void close_descriptor(int fd) { close(fd); }
// open() and its kin give -1 on failure, which is no descriptor.
using Descriptor = Owner<int, -1, close_descriptor>;

int kept_argc;
char** kept_argv;

// Fails the call with EILSEQ when a name does not convert.
bool narrow(const char16_t* text, std::string* out) {
  if (utf16_to_utf8(text, out)) return true;
  errno = EILSEQ;
  return false;
}

// Copies UTF-8 text into a caller's UTF-16 buffer. Returns the length, or the
// size needed (terminator included) when it does not fit, or 0 when it does not
// convert; writes only when it fits.
uint32_t widen_into(const std::string& text, char16_t* out, uint32_t capacity) {
  std::vector<char16_t> wide(text.size() + 1);
  long n = utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size());
  if (n < 0) return 0;
  if (size_t(n) + 1 > capacity) return uint32_t(n + 1);
  memcpy(out, wide.data(), (size_t(n) + 1) * sizeof(char16_t));
  return uint32_t(n);
}

bool own_executable(std::string* out) {
  char buffer[8192];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || size_t(n) >= sizeof buffer) return false;
  out->assign(buffer, size_t(n));
  return true;
}

bool looks_like_program(const unsigned char* data, uint32_t size) {
  return (size >= 4 && memcmp(data, "\x7f" "ELF", 4) == 0) || (size >= 2 && memcmp(data, "#!", 2) == 0);
}

// The record format carries no permissions: the child and anything that looks
// like a program gets execute permission wherever it has read permission.
void settle_mode(OutputFile* file, bool program) {
  struct stat st;
  if (fstat(int(file->os), &st) != 0) return;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = program ? mode | ((mode & 0444) >> 2) : mode & ~mode_t(0111);
  if (wanted != mode) fchmod(int(file->os), wanted);
}

}  // namespace

void keep_arguments(int argc, char** argv) {
  kept_argc = argc;
  kept_argv = argv;
}

// ---- Files ---------------------------------------------------------------

namespace {

// Not blocking: opening a named pipe left at a record's path would otherwise
// wait for a reader forever; here it fails at once. A regular file ignores it.
int create_for_writing(const std::string& name, bool program) {
  return open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, program ? 0755 : 0644);
}

// A file of ours without write permission (a user's chmod, an archiver that
// kept a read-only mode) would stop every later start. Only the owner's write
// permission is added, and only to a regular file this user owns.
bool make_writable_by_owner(const std::string& name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & S_IWUSR) != 0)
    return false;
  return fchmodat(AT_FDCWD, name.c_str(), (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool open_for_writing(const char16_t* path, bool program, OutputFile* out) {
  std::string name;
  if (!narrow(path, &name)) return false;
  int fd = create_for_writing(name, program);
  if (fd < 0 && errno == EACCES && make_writable_by_owner(name)) fd = create_for_writing(name, program);
  if (fd < 0) return false;
  *out = OutputFile{fd, false, program};
  return true;
}

bool write_file(OutputFile* file, const void* data, uint32_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (!file->written) {
    settle_mode(file, file->program || looks_like_program(bytes, size));
    file->written = true;
  }
  while (size > 0) {
    ssize_t n = write(int(file->os), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= uint32_t(n);
  }
  return true;
}

void close_file(OutputFile* file) {
  if (!file->written) settle_mode(file, file->program);
  close(int(file->os));
  file->os = -1;
}

bool open_for_writing_at(const char16_t* path, bool program, OutputFile* out) {
  std::string name;
  if (!narrow(path, &name)) return false;
  int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  // Written already, as far as closing goes: only the piece at offset 0 knows
  // whether the file is a program.
  *out = OutputFile{fd, true, program};
  return true;
}

bool write_file_at(OutputFile* file, uint64_t offset, const void* data, uint32_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (offset == 0) settle_mode(file, file->program || looks_like_program(bytes, size));
  while (size > 0) {
    ssize_t n = pwrite(int(file->os), bytes, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    offset += uint64_t(n);
    size -= uint32_t(n);
  }
  return true;
}

bool read_file(const char16_t* path, FilePiece piece, void* context) {
  // Measured on a tree of a few hundred files: 1 MiB reads sum as fast as any
  // larger size, and the buffer stays in the cache between files. One per
  // thread, as a later start checks files on two: the first thread to read
  // takes the static one, costing no mapping; another gets its own.
  constexpr size_t kBuffer = 1 << 20;
  static unsigned char first_buffer[kBuffer];
  static std::atomic_flag first_taken = ATOMIC_FLAG_INIT;
  thread_local unsigned char* buffer = nullptr;
  if (buffer == nullptr) {
    if (!first_taken.test_and_set()) {
      buffer = first_buffer;
    } else {
      thread_local std::unique_ptr<unsigned char[]> own(new (std::nothrow) unsigned char[kBuffer]);
      buffer = own.get();
      if (buffer == nullptr) return false;
    }
  }
  std::string name;
  if (!narrow(path, &name)) return false;
  // Not blocking, so that a named pipe is opened at once and then refused.
  Descriptor file{open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
  struct stat st;
  if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  for (;;) {
    ssize_t n = read(file.get(), buffer, kBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    piece(context, buffer, size_t(n));
  }
}

void release_pages(const void* data, size_t size) {
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Every allocation starts with where it came from; the header's size keeps the
// address handed out aligned for anything.
struct Allocation {
  void* mapping;  // null when it came from malloc
  size_t length;
};
constexpr size_t kAllocationHeader = 64;
static_assert(sizeof(Allocation) <= kAllocationHeader, "header room");

void* allocate_large(void*, size_t size) {
  if (size < kHugePage) {
    auto* header = static_cast<Allocation*>(malloc(kAllocationHeader + size));
    if (header == nullptr) return nullptr;
    *header = Allocation{nullptr, 0};
    return reinterpret_cast<unsigned char*>(header) + kAllocationHeader;
  }
  // Room to start on a huge-page boundary; the slack is never touched.
  size_t length = kAllocationHeader + size + kHugePage;
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  uintptr_t start = (reinterpret_cast<uintptr_t>(mapping) + kHugePage - 1) & ~(kHugePage - 1);
  // Refused (huge pages off, an old kernel) means normal pages: nothing to do.
  madvise(reinterpret_cast<void*>(start), kAllocationHeader + size, MADV_HUGEPAGE);
  auto* header = reinterpret_cast<Allocation*>(start);
  *header = Allocation{mapping, length};
  return reinterpret_cast<unsigned char*>(start) + kAllocationHeader;
}

void release_large(void*, void* address) {
  if (address == nullptr) return;
  auto* header = reinterpret_cast<Allocation*>(static_cast<unsigned char*>(address) - kAllocationHeader);
  if (header->mapping == nullptr)
    free(header);
  else
    munmap(header->mapping, header->length);
}

}  // namespace

const LargeMemory* large_memory() {
  static const LargeMemory memory = {allocate_large, release_large};
  return &memory;
}

namespace {

// The first number in a small file (a value of "max" has none), or UINT64_MAX.
uint64_t number_in(const std::string& path, const char* after) {
  Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  char text[4096];
  ssize_t n = file ? read(file.get(), text, sizeof text - 1) : -1;
  if (n <= 0) return UINT64_MAX;
  text[n] = 0;
  const char* at = after == nullptr ? text : strstr(text, after);
  if (at == nullptr) return UINT64_MAX;
  at += after == nullptr ? 0 : strlen(after);
  while (*at == ' ') ++at;
  if (*at < '0' || *at > '9') return UINT64_MAX;
  return strtoull(at, nullptr, 10);
}

// The least limit set in `file` by the group at `path` below `root` and by each
// group above it.
uint64_t least_group_limit(const std::string& root, std::string path, const char* file) {
  uint64_t least = UINT64_MAX;
  for (;;) {
    least = std::min(least, number_in(root + path + "/" + file, nullptr));
    size_t cut = path.rfind('/');
    if (cut == std::string::npos || path.empty()) return least;
    path.erase(cut);
  }
}

}  // namespace

uint64_t memory_available() {
  uint64_t kib = number_in("/proc/meminfo", "MemAvailable:");
  uint64_t least = kib == UINT64_MAX ? kib : kib * 1024;
  Descriptor groups{open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC)};
  char text[4096];
  ssize_t n = groups ? read(groups.get(), text, sizeof text - 1) : -1;
  text[n > 0 ? n : 0] = 0;
  // Lines of "id:controllers:path"; the unified hierarchy's has id 0 and no
  // controllers.
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr; line = strtok_r(nullptr, "\n", &rest)) {
    char* controllers = strchr(line, ':');
    char* path = controllers == nullptr ? nullptr : strchr(controllers + 1, ':');
    if (path == nullptr) continue;
    std::string named(controllers + 1, path);
    if (named.empty())
      least = std::min(least, least_group_limit("/sys/fs/cgroup", path + 1, "memory.max"));
    else if (("," + named + ",").find(",memory,") != std::string::npos)
      least = std::min(least, least_group_limit("/sys/fs/cgroup/memory", path + 1, "memory.limit_in_bytes"));
  }
  return least;
}

bool image_section(const char*, const unsigned char**, uint64_t*) { return false; }

bool read_own_file_tail(void* out, size_t size, uint64_t* file_size) {
  Descriptor file{open("/proc/self/exe", O_RDONLY | O_CLOEXEC)};
  struct stat st;
  if (!file || fstat(file.get(), &st) != 0 || uint64_t(st.st_size) < size) return false;
  *file_size = uint64_t(st.st_size);
  return pread(file.get(), out, size, st.st_size - off_t(size)) == ssize_t(size);
}

bool map_own_file(uint64_t offset, uint64_t size, const unsigned char** data) {
  Descriptor file{open("/proc/self/exe", O_RDONLY | O_CLOEXEC)};
  if (!file) return false;
  // mmap wants a page-aligned file offset; the writer aligns the block, but a
  // page larger than its alignment must still work.
  const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  uint64_t start = offset & ~(page - 1);
  void* view = mmap(nullptr, size + (offset - start), PROT_READ, MAP_PRIVATE, file.get(), off_t(start));
  if (view == MAP_FAILED) return false;
  *data = static_cast<const unsigned char*>(view) + (offset - start);
  return true;
}

bool is_empty_file(const char16_t* path) {
  std::string name;
  struct stat st;
  return narrow(path, &name) && lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

DirectoryResult create_directory(const char16_t* path) {
  std::string name;
  if (!narrow(path, &name)) return DirectoryResult::failed;
  if (mkdir(name.c_str(), 0755) == 0) return DirectoryResult::created;
  return errno == EEXIST ? DirectoryResult::already_exists : DirectoryResult::failed;
}

namespace {
Descriptor target_lock;
}  // namespace

TargetLock lock_target_directory(const char16_t* directory) {
  std::string name;
  if (!narrow(directory, &name)) return TargetLock::unavailable;
  // Like mkdir -p. Mode 0755 (less the umask) is never writable by group or
  // others, so the check below never refuses a directory made here.
  for (size_t at = 1; at <= name.size(); ++at) {
    if (at < name.size() && name[at] != '/') continue;
    mkdir(name.substr(0, at).c_str(), 0755);
  }
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return TargetLock::unavailable;
  if (S_ISLNK(st.st_mode)) return TargetLock::symbolic_link;
  Descriptor held{open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)};
  if (!held || fstat(held.get(), &st) != 0) return TargetLock::unavailable;
  if (st.st_uid != geteuid()) return TargetLock::not_owned;
  if ((st.st_mode & 022) != 0) return TargetLock::writable_by_others;
  while (flock(held.get(), LOCK_EX) != 0)
    if (errno != EINTR) return TargetLock::unavailable;
  target_lock = std::move(held);
  return TargetLock::held;
}

void unlock_target_directory() { target_lock.reset(); }

// ---- Paths and folders -----------------------------------------------------

uint32_t module_path(char16_t* out, uint32_t capacity) {
  std::string self;
  if (capacity == 0 || !own_executable(&self)) return 0;
  std::vector<char16_t> wide(self.size() + 1);
  long n = utf8_to_utf16(self.data(), self.size(), wide.data(), wide.size());
  if (n < 0) return 0;
  if (uint32_t(n) < capacity) {
    memcpy(out, wide.data(), (size_t(n) + 1) * sizeof(char16_t));
    return uint32_t(n);
  }
  // Cut to fit, as GetModuleFileNameW does.
  memcpy(out, wide.data(), (capacity - 1) * sizeof(char16_t));
  out[capacity - 1] = 0;
  return capacity;
}

uint32_t full_path(const char16_t* path, char16_t* out, uint32_t capacity) {
  std::string name;
  if (!narrow(path, &name) || name.empty()) return 0;
  if (name[0] != '/') {
    char cwd[8192];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    name = std::string(cwd) + "/" + name;
  }
  // Lexical: "." and ".." go without looking at the file system, like
  // GetFullPathNameW, so a path that does not exist yet still qualifies.
  std::vector<std::string> parts;
  for (size_t start = 0; start <= name.size();) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  if (full.empty()) full = "/";
  return widen_into(full, out, capacity);
}

uint32_t temp_path(char16_t* out, uint32_t capacity) {
  const char* dir = getenv("TMPDIR");
  std::string text = (dir != nullptr && dir[0] != 0) ? dir : "/tmp";
  return widen_into(text + "/", out, capacity);
}

static bool profile_folder(std::string* out) {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != 0) {
    *out = home;
    return true;
  }
  struct passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == 0) return false;
  *out = entry->pw_dir;
  return true;
}

uint32_t known_folder(KnownFolder folder, char16_t* out, uint32_t capacity) {
  std::string path;
  if (folder == KnownFolder::local_app_data) {
    const char* cache = getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
      path = cache;
    } else {
      if (!profile_folder(&path)) return 0;
      path += "/.cache";
    }
  } else if (!profile_folder(&path)) {
    return 0;
  }
  return widen_into(path, out, capacity);
}

// ---- Environment -----------------------------------------------------------

uint32_t get_environment(const char16_t* name, char16_t* buffer, uint32_t size) {
  std::string key;
  if (!narrow(name, &key)) return 0;
  const char* value = getenv(key.c_str());
  if (value == nullptr || value[0] == 0) return 0;
  return widen_into(value, buffer, size);
}

bool set_environment(const char16_t* name, const char16_t* value) {
  std::string key;
  if (!narrow(name, &key)) return false;
  if (value == nullptr) return unsetenv(key.c_str()) == 0;
  std::string text;
  if (!narrow(value, &text)) return false;
  return setenv(key.c_str(), text.c_str(), 1) == 0;
}

// ---- Time and identity -------------------------------------------------------

uint32_t process_id() { return uint32_t(getpid()); }

uint32_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? uint32_t(n) : 1;
}

uint64_t performance_counter() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

int64_t system_time() {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t(now.tv_sec) + kSecondsFrom1601To1970) * 10000000 + now.tv_nsec / 100;
}

// ---- Errors and output -----------------------------------------------------

uint32_t last_error() { return uint32_t(errno); }

char* system_error_text(uint32_t code, uint32_t* length) {
  // A writable copy, since the caller trims it; one line is ever printed.
  static char text[256];
  snprintf(text, sizeof text, "%s", strerror(int(code)));
  *length = uint32_t(strlen(text));
  return text;
}

void write_stdout(const char* text, size_t size) { fwrite(text, 1, size, stdout); }
void write_stderr(const char* text, size_t size) { fwrite(text, 1, size, stderr); }
void exit_process(int status) { exit(status); }

// ---- Start-up and console ----------------------------------------------------

// The dynamic loader never searches the current directory on its own.
void remove_current_directory_from_library_search() {}

// No console window exists to hide on Linux.
intptr_t console_window() { return 0; }
uint32_t console_process_count(uint32_t) { return 0; }
void hide_window(intptr_t) {}

namespace {

// SIGINT, SIGQUIT, SIGHUP and SIGTERM play the part of the console events. They
// are taken by sigwaitinfo() on a thread of their own, so the handler runs as
// ordinary code, not inside a signal handler.
constexpr int kEventSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

bool (*event_handler)(uint32_t);
sigset_t event_signals;  // the event signals this launcher watches
std::atomic<int> event_signal;
std::atomic<bool> event_reached_child;

uint32_t event_type(int signal_number) {
  switch (signal_number) {
    case SIGINT: return ctrl_c_event;
    case SIGQUIT: return ctrl_break_event;
    case SIGHUP: return ctrl_close_event;
    default: return ctrl_shutdown_event;
  }
}

[[noreturn]] void die_by_signal(int signal_number) {
  signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);  // for a signal whose default action is to go on
}

void* event_thread(void*) {
  for (;;) {
    siginfo_t info;
    int s = sigwaitinfo(&event_signals, &info);
    if (s < 0) continue;
    // A terminal's signals come from the kernel to the whole foreground process
    // group, child included; one sent to the launcher alone must be passed on.
    event_signal = s;
    event_reached_child = info.si_code == SI_KERNEL;
    if (!event_handler(event_type(s))) die_by_signal(s);
  }
}

}  // namespace

bool add_console_control_handler(bool (*handler)(uint32_t)) {
  event_handler = handler;
  // A signal the launcher was started with ignored (nohup, a background job)
  // stays ignored: watching it would turn it into an event.
  sigemptyset(&event_signals);
  for (int s : kEventSignals) {
    struct sigaction current;
    if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&event_signals, s);
  }
  if (pthread_sigmask(SIG_BLOCK, &event_signals, nullptr) != 0) return false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, event_thread, nullptr) != 0) return false;
  pthread_detach(thread);
  return true;
}

// ---- Child process -------------------------------------------------------------

char16_t** command_line_arguments(int* count) {
  auto** vector = static_cast<char16_t**>(calloc(size_t(kept_argc) + 1, sizeof(char16_t*)));
  if (vector == nullptr) return nullptr;
  for (int i = 0; i < kept_argc; ++i) {
    size_t size = strlen(kept_argv[i]);
    vector[i] = static_cast<char16_t*>(calloc(size + 1, sizeof(char16_t)));
    if (vector[i] == nullptr || utf8_to_utf16(kept_argv[i], size, vector[i], size + 1) < 0) return nullptr;
  }
  *count = kept_argc;
  return vector;
}

static int pidfd_open(pid_t pid) { return int(syscall(SYS_pidfd_open, pid, 0)); }

static int pidfd_send_signal(int fd, int signal_number) {
  return int(syscall(SYS_pidfd_send_signal, fd, signal_number, nullptr, 0));
}

StandardHandles standard_handles() { return {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}; }

// The child inherits descriptors 0, 1 and 2 as they are.
bool start_child(const char16_t* path, char16_t*, const StandardHandles&, Child* out, uint32_t* error) {
  std::string program, self;
  if (!narrow(path, &program) || !own_executable(&self)) {
    *error = uint32_t(errno);
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(self.data());
  for (int i = 1; i < kept_argc; ++i) argv.push_back(kept_argv[i]);
  argv.push_back(nullptr);

  // The launcher must reap the child itself to read its status, even when it
  // was started with SIGCHLD ignored; pidfds need Linux 5.3 (waitid on one,
  // 5.4): without them the child is not started at all.
  signal(SIGCHLD, SIG_DFL);
  if (!Descriptor{pidfd_open(getpid())}) {
    *error = uint32_t(errno);
    return false;
  }

  // The child starts with no signal blocked, whatever the launcher blocks for
  // its event thread.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  int result = posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    *error = uint32_t(result);
    return false;
  }
  Descriptor own{pidfd_open(pid)};
  Descriptor shared{own ? fcntl(own.get(), F_DUPFD_CLOEXEC, 0) : -1};
  if (!shared) {
    *error = uint32_t(errno);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  *out = Child{own.release(), shared.release()};
  return true;
}

bool wait_process(intptr_t process, int32_t timeout_ms) {
  struct pollfd entry = {int(process), POLLIN, 0};
  for (;;) {
    int n = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

ChildEnd wait_child_status(intptr_t own, uint32_t* status) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  while (waitid(idtype_t(P_PIDFD), id_t(own), &info, WEXITED) != 0)
    if (errno != EINTR) return ChildEnd::status_unreadable;
  if (info.si_code == CLD_EXITED)
    *status = uint32_t(info.si_status);
  else
    *status = 256 + uint32_t(info.si_status);
  return ChildEnd::status;
}

void relay_event(intptr_t process, uint32_t) {
  if (!event_reached_child) pidfd_send_signal(int(process), event_signal);
}

void terminate_process(intptr_t process) { pidfd_send_signal(int(process), SIGKILL); }

void close_process(intptr_t process) { close(int(process)); }

// The event thread ends the launcher by the event's signal; wait for it.
void await_console_control_handler() {
  for (;;) pause();
}

int exit_status(uint32_t status) {
  if (status < 256) return int(status);
  die_by_signal(int(status - 256));
}

}  // namespace platform
