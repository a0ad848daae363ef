#include "tools/pack_names.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwctype>

#include "payload/format.h"
#include "common/utf.h"

std::u16string record_name(const std::string& relative, std::string* why) {
  if (relative.empty()) return *why = "empty name", u"";
  if (relative[0] == '/') return *why = "absolute name", u"";
  size_t start = 0;
  for (;;) {
    size_t end = relative.find('/', start);
    std::string part = relative.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty()) return *why = "empty path component", u"";
    if (part == "." || part == "..") return *why = "'.' or '..' component", u"";
    // Windows drops trailing dots and spaces, so the launcher refuses these.
    if (part.find_first_not_of(". ") == std::string::npos)
      return *why = "component of only dots and spaces", u"";
    if (part.find('\\') != std::string::npos) return *why = "backslash in a name", u"";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::u16string name(relative.size() + 1, u'\0');
  long units = utf8_to_utf16(relative.data(), relative.size(), name.data(), name.size());
  if (units < 0) return *why = "name is not valid UTF-8", u"";
  name.resize(size_t(units));
  if (name.size() > kRecordNameCapacity - 1) return *why = "name longer than 1023 UTF-16 units", u"";
  for (char16_t& unit : name)
    if (unit == u'/') unit = kRecordSeparator;
  return name;
}

std::string windows_name_problem(const std::u16string& name) {
  static const char* const kDevices[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                         "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                         "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
  size_t start = 0;
  for (;;) {
    size_t end = name.find(kRecordSeparator, start);
    std::u16string part = name.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    for (char16_t unit : part)
      if (unit < 0x20 || std::u16string(u"<>:\"|?*").find(unit) != std::u16string::npos)
        return "a character Windows does not allow in names";
    if (!part.empty() && (part.back() == u'.' || part.back() == u' '))
      return "a name ending in a dot or a space, which Windows drops";
    // The device names count whatever follows a dot, and with trailing spaces.
    std::u16string base = part.substr(0, part.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    for (const char* device : kDevices) {
      std::u16string upper = windows_folded(base);
      if (upper.size() == strlen(device) && std::equal(upper.begin(), upper.end(), device))
        return "a device name that Windows reserves";
    }
    if (end == std::u16string::npos) return "";
    start = end + 1;
  }
}

std::u16string windows_folded(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& unit : folded) {
    // Surrogates stay as they are: Windows folds only the Basic Multilingual Plane.
    if (unit >= 0xD800 && unit <= 0xDFFF) continue;
#ifdef _WIN32
    // The system's own simple upper case, locale-independent as file names are.
    wchar_t upper;
    wchar_t given = wchar_t(unit);
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &given, 1, &upper, 1, nullptr, nullptr, 0) == 1)
      unit = char16_t(upper);
#else
    wint_t upper = std::towupper(wint_t(unit));
    if (upper <= 0xFFFF) unit = char16_t(upper);
#endif
  }
  return folded;
}

bool is_batch_file_name(const std::u16string& name) {
  size_t end = name.find_last_not_of(u". ");  // Windows drops them
  if (end == std::u16string::npos || end < 3) return false;
  std::u16string extension = windows_folded(name.substr(end - 3, 4));
  return extension == u".BAT" || extension == u".CMD";
}

namespace {

// The template variables that expand to an absolute path (templates/expand.cpp);
// the others are names and numbers.
const char* const kAbsoluteVariables[] = {"{CACHE_DIR}", "{HOME}", "{TEMP}", "{PROGRAM_DIR}", "{PROGRAM_BASE}",
                                          "{PROGRAM}"};

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Whether the spec names the same folder from wherever the launcher starts: a
// path from the root (for Windows a drive's, a share's or a "\\?\" one, not
// "C:x", which goes on from drive C's current folder, nor "\x", on the current
// drive), or one of the variables above first, whose names the launcher reads
// in any case.
bool is_absolute_spec(const std::string& spec, bool windows) {
  for (const char* variable : kAbsoluteVariables) {
    std::string start = spec.substr(0, strlen(variable));
    for (char& c : start) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (start == variable) return true;
  }
  if (!windows) return spec[0] == '/';
  bool drive = spec.size() >= 3 && std::isalpha(static_cast<unsigned char>(spec[0])) && spec[1] == ':' &&
               is_separator(spec[2]);
  return drive || (spec.size() >= 2 && is_separator(spec[0]) && is_separator(spec[1]));
}

}  // namespace

std::string target_spec_problem(const std::string& spec, bool windows) {
  if (spec.empty()) return "is empty; name the folder to unpack into";
  size_t rest = spec.size() >= 2 && spec[1] == ':' && std::isalpha(static_cast<unsigned char>(spec[0])) ? 2 : 0;
  if (spec.find_first_not_of("/\\", rest) == std::string::npos)
    return "is a root folder; name a folder of the application's own below it";
  if (!is_absolute_spec(spec, windows))
    return std::string("is relative, so it would unpack below the folder the launcher is started from; ") +
           "begin it with " + (windows ? "C:\\ (any drive), \\\\" : "/") +
           ", {CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR}, {PROGRAM_BASE} or {PROGRAM}";
  if (!windows && spec.find('\\') != std::string::npos)
    return "holds a backslash; Linux separates folders with /";
  return "";
}
