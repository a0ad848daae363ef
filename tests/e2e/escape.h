// How the probe writes a value on one line, and how the tests expect it.
#pragma once

#include <cstdio>
#include <string>

inline std::string escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\v') out += "\\v";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20) snprintf(buf, sizeof buf, "\\x%02x", c), out += buf;
    else out += char(c);
  }
  return out;
}
