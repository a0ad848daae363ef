#include "tools/pack_names.h"

#include "payload/format.h"
#include "platform/posix/utf.h"

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
