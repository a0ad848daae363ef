#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"

namespace {

std::wstring wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

// The documented inverse of CommandLineToArgvW, written independently of the
// launcher's own quoting.
std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

void drain(HANDLE pipe, std::string* sink) {
  char buffer[65536];
  DWORD n;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) sink->append(buffer, n);
}

RunResult run_once(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  std::wstring line = quote(wide(options.argv0.empty() ? program : options.argv0));
  for (const std::string& a : args) line += L" " + quote(wide(a));

  // The environment block: the test's own, changed as asked, sorted.
  std::map<std::wstring, std::wstring> env;
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* e = block; *e != 0; e += wcslen(e) + 1) {
    const wchar_t* eq = wcschr(e + 1, L'=');
    if (eq != nullptr) env[std::wstring(e, size_t(eq - e))] = eq + 1;
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : options.env) {
    std::wstring key = wide(name);
    for (auto it = env.begin(); it != env.end();) {
      it = _wcsicmp(it->first.c_str(), key.c_str()) == 0 ? env.erase(it) : std::next(it);
    }
    if (value) env[key] = wide(*value);
  }
  std::wstring env_block;
  for (const auto& [name, value] : env) env_block += name + L"=" + value + L'\0';
  env_block += L'\0';

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = out_write;
  si.hStdError = err_write;
  PROCESS_INFORMATION pi = {};
  std::wstring app = wide(program);
  std::wstring cwd = wide(options.cwd);
  // Wine, busy starting many processes at once, now and then fails a start
  // with ERROR_INTERNAL_ERROR; the same start goes through when tried again.
  BOOL ok = FALSE;
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.count_processes ? CREATE_SUSPENDED : 0);
  for (int attempt = 0; attempt < 10 && !ok; ++attempt) {
    if (attempt > 0) Sleep(200);
    ok = CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE, flags, env_block.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    if (!ok && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  // Joined before it runs, so that nothing it starts escapes the count.
  HANDLE job = nullptr;
  if (ok && options.count_processes) {
    job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr || !AssignProcessToJobObject(job, pi.hProcess)) {
      TerminateProcess(pi.hProcess, 1);
      throw std::runtime_error("cannot put " + program + " in a job: error " + std::to_string(GetLastError()));
    }
    ResumeThread(pi.hThread);
  }
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(null_in);
  if (!ok) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    throw std::runtime_error("cannot start " + program + ": error " + std::to_string(GetLastError()));
  }
  RunResult result;
  // Whatever the job still holds after the run's time inherited the pipes and
  // keeps them open: it is ended, so that the run ends too.
  std::thread watchdog;
  HANDLE drained = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (job != nullptr) {
    watchdog = std::thread([&] {
      if (WaitForSingleObject(drained, 30000) != WAIT_OBJECT_0) TerminateJobObject(job, 1);
    });
  }
  std::thread err_reader(drain, err_read, &result.err);
  drain(out_read, &result.out);
  err_reader.join();
  SetEvent(drained);
  WaitForSingleObject(pi.hProcess, INFINITE);
  if (watchdog.joinable()) watchdog.join();
  CloseHandle(drained);
  if (job != nullptr) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr))
      result.processes = accounting.TotalProcesses;
    TerminateJobObject(job, 1);
    CloseHandle(job);
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  result.status = code;
  result.pid = long(pi.dwProcessId);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

}  // namespace

// Wine also loses, now and then under load, the child a launcher starts: the
// launcher then ends with "couldn't launch child ([Error 1359] ...)". Such a
// run goes once more, with a line on stderr; a launcher fault that causes it
// fails again.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  RunResult result = run_once(program, args, options);
  if (result.status == 2 && result.err.find("couldn't launch child ([Error 1359]") != std::string::npos) {
    fprintf(stderr, "run_program: Wine lost the child of %s; running it once more\n", program.c_str());
    result = run_once(program, args, options);
  }
  return result;
}
