#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/failure.h"
#include "tools/host.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) { return writer_main(argc, argv); }

FILE* host_open(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

bool host_replace(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

void host_remove(const std::string& path) { remove(path.c_str()); }

std::string host_beside_program(const std::string& name) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : (self.parent_path() / name).string();
}

bool host_same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec) && !ec;
}

bool host_is_directory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::string host_absolute(const std::string& path) {
  std::error_code ec;
  std::string full = fs::absolute(path, ec).lexically_normal().string();
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  return full;
}

bool host_make_directories(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) errno = ec.value();
  return !ec;
}

FileFacts host_file_facts(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    int error = errno;
    // A link whose target is missing: a development link such as libfoo.so in
    // a folder copied from an installed application.
    if (error == ENOENT && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return {FileFacts::broken_link, 0, ""};
    return {FileFacts::failed, 0, strerror(error)};
  }
  if (!S_ISREG(st.st_mode)) return {FileFacts::not_regular, 0, ""};
  return {FileFacts::regular, uint64_t(st.st_size), ""};
}

void host_walk(const std::string& root,
               const std::function<void(const std::string& relative, const std::string& path)>& found) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  if (ec) throw Failure(root + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) throw Failure(root + ": " + ec.message());
    if (fs::is_directory(it->symlink_status())) continue;
    // Lexical: a link inside the tree keeps its own name, whatever it points to.
    found(it->path().lexically_relative(root).generic_string(), it->path().string());
  }
  if (ec) throw Failure(root + ": " + ec.message());
}

std::vector<std::string> host_list_files(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec))
    if (!fs::is_directory(it->symlink_status())) names.push_back(it->path().filename().string());
  if (ec) throw Failure(dir + ": " + ec.message());
  return names;
}

bool host_stderr_is_terminal() { return isatty(2); }

void host_print(bool to_error, const std::string& text) {
  FILE* stream = to_error ? stderr : stdout;
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

void host_make_runnable(FILE* file, const std::string& shown) {
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fileno(file), 0777 & ~mask) != 0) throw Failure(shown + ": " + strerror(errno));
}
