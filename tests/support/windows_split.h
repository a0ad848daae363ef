// A reference splitter of the Windows command-line rules (those of
// CommandLineToArgvW), written from its documentation, to check the quoting
// against an independent implementation.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::u16string> windows_split(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  // The program name: up to the first space or tab, or between quotes, with no
  // backslash processing.
  std::u16string program;
  if (i < line.size() && line[i] == u'"') {
    for (++i; i < line.size() && line[i] != u'"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && line[i] != u' ' && line[i] != u'\t'; ++i) program += line[i];
  }
  args.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    bool quoted = false;
    while (i < line.size()) {
      char16_t c = line[i];
      if (!quoted && (c == u' ' || c == u'\t')) break;
      if (c == u'\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == u'\\') ++n, ++i;
        if (i < line.size() && line[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2 == 1) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(n, u'\\');
        }
      } else if (c == u'"') {
        ++i;
        if (quoted && i < line.size() && line[i] == u'"') {
          arg += u'"';  // "" inside quotes is a literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(arg);
  }
  return args;
}
