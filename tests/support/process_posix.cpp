#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/process_posix.h"

extern char** environ;

Started start_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq != nullptr) env[std::string(*e, size_t(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : options.env) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings = {options.argv0.empty() ? program : options.argv0};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(rc));
  return Started{pid, out[0], err[0], {}};
}

bool wait_for_output(Started* started, const std::string& text) {
  while (started->early_out.find(text) == std::string::npos) {
    char buffer[4096];
    ssize_t n = read(started->out_fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    started->early_out.append(buffer, size_t(n));
  }
  return true;
}

RunResult finish_program(const Started& started) {
  RunResult result;
  result.out = started.early_out;
  struct pollfd fds[2] = {{started.out_fd, POLLIN, 0}, {started.err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  waitpid(pid_t(started.pid), &status, 0);
  result.pid = started.pid;
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    result.status = kSignalStatusBase + uint32_t(result.signal);
  } else {
    result.status = uint32_t(WEXITSTATUS(status));
  }
  return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  return finish_program(start_program(program, args, options));
}
