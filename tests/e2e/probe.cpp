// The child the end-to-end tests start: reports what it received on standard
// output, one "key=value" line each, with values escaped so that any argument
// reads back exactly. Its behaviour comes from the environment:
//   PROBE_EXIT=<n>        exit with this 32-bit status (default 0)
//   PROBE_SLEEP_MS=<n>    sleep first
//   PROBE_IGNORE_INTERRUPT=1  ignore interrupt and termination requests
//   PROBE_STDERR=<text>   write this line to standard error
//   PROBE_SIGNAL=<n>      end by this signal (POSIX)
//   PROBE_DIGEST=1        report a digest of every file beside it (see tree_digest)
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/e2e/escape.h"
#include "tests/e2e/tree_digest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <climits>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::string utf8(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}
bool variable(const char* name, std::string* value) {
  std::wstring wide(name, name + strlen(name));
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(wide.c_str(), buffer, 32768);
  if (n == 0 || n >= 32768) return false;
  *value = utf8(buffer);
  return true;
}
std::string self_path() {
  wchar_t buffer[32768];
  GetModuleFileNameW(nullptr, buffer, 32768);
  return utf8(buffer);
}
long process_id() { return long(GetCurrentProcessId()); }
std::string current_directory() {
  wchar_t buffer[32768];
  GetCurrentDirectoryW(32768, buffer);
  return utf8(buffer);
}
#else
bool variable(const char* name, std::string* value) {
  const char* v = getenv(name);
  if (v == nullptr) return false;
  *value = v;
  return true;
}
std::string self_path() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? size_t(n) : 0);
}
long process_id() { return long(getpid()); }
std::string current_directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}
#endif

void report(int argc, const std::string* argv) {
  printf("argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) printf("arg%d=%s\n", i, escape(argv[i]).c_str());
  const char* names[] = {"MORDAX_ONEFILE_PARENT", "MORDAX_ONEFILE_START", "MORDAX_ONEFILE_TIME_US",
                         "MORDAX_ONEFILE_RANDOM", "MORDAX_ONEFILE_DIRECTORY", "MORDAX_ORIGINAL_ARGV0"};
  for (const char* name : names) {
    std::string value;
    if (variable(name, &value))
      printf("%s=%s\n", name, escape(value).c_str());
    else
      printf("%s unset\n", name);
  }
  printf("self=%s\n", escape(self_path()).c_str());
  printf("cwd=%s\n", escape(current_directory()).c_str());
  printf("pid=%ld\n", process_id());
  std::string digest;
  if (variable("PROBE_DIGEST", &digest))
    printf("digest=%s\n", tree_digest(std::filesystem::u8path(self_path()).parent_path()).c_str());
  fflush(stdout);
}

int behave() {
  std::string value;
  if (variable("PROBE_STDERR", &value)) fprintf(stderr, "%s\n", value.c_str()), fflush(stderr);
  if (variable("PROBE_IGNORE_INTERRUPT", &value)) {
#ifdef _WIN32
    SetConsoleCtrlHandler(nullptr, TRUE);
#else
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
#endif
  }
  if (variable("PROBE_SLEEP_MS", &value)) {
    printf("sleeping\n");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(atol(value.c_str())));
    printf("woke\n");
    fflush(stdout);
  }
#ifndef _WIN32
  if (variable("PROBE_SIGNAL", &value)) raise(atoi(value.c_str()));
#endif
  if (variable("PROBE_EXIT", &value)) return int(strtoul(value.c_str(), nullptr, 10));
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::string args[256];
  int n = argc < 256 ? argc : 256;
  for (int i = 0; i < n; ++i) args[i] = utf8(argv[i]);
  report(n, args);
  return behave();
}
#else
int main(int argc, char** argv) {
  std::string args[256];
  int n = argc < 256 ? argc : 256;
  for (int i = 0; i < n; ++i) args[i] = argv[i];
  report(n, args);
  return behave();
}
#endif
