#include "child/command_line.h"

#include "launcher/fatal.h"
#include "platform/platform.h"

namespace {

char16_t launcher_path[kPathCapacity];
char16_t command_line[kCommandLineCapacity];

bool needs_quotes(const char16_t* argument) {
  if (*argument == 0) return true;
  for (; *argument != 0; ++argument) {
    switch (*argument) {
      case u' ': case u'\t': case u'\n': case u'\v': case u'"': return true;
      default: break;
    }
  }
  return false;
}

bool put_backslashes(WideWriter& line, size_t count) {
  while (count-- > 0)
    if (!line.put(u'\\')) return false;
  return true;
}

}  // namespace

bool append_argument(WideWriter& line, const char16_t* argument) {
  if (!needs_quotes(argument)) return line.put(argument);
  line.put(u'"');
  for (const char16_t* at = argument;;) {
    size_t backslashes = 0;
    while (*at == u'\\') ++at, ++backslashes;
    if (*at == 0) {
      put_backslashes(line, 2 * backslashes);
      return line.put(u'"');
    }
    put_backslashes(line, *at == u'"' ? 2 * backslashes + 1 : backslashes);
    line.put(*at++);
  }
}

char16_t* build_child_command_line() {
  WideWriter line = WideWriter::replace(command_line, kCommandLineCapacity);
  int count = 0;
  char16_t** arguments = platform::command_line_arguments(&count);
  if (arguments == nullptr || count < 1) fatal_error("Error, couldn't split the command line.");
  if (launcher_path[0] == 0) {
    uint32_t n = platform::module_path(launcher_path, kPathCapacity);
    if (!platform::fits(n, kPathCapacity)) {
      launcher_path[0] = 0;
      fatal_error("Error, couldn't find the launcher's own path.");
    }
  }
  arguments[0] = launcher_path;
  for (int i = 0; i < count; ++i) {
    if (i > 0) line.put(u' ');
    if (!append_argument(line, arguments[i]))
      fatal_error("Error, arguments too long for the child's command line.");
  }
  return command_line;
}

void forget_launcher_path() { launcher_path[0] = 0; }
