#include "extract/names.h"

#include <cstddef>

#include "payload/format.h"

bool record_name_stays_inside(const char16_t* name) {
  size_t dots = 0;
  bool only_dots_and_spaces = true;
  for (const char16_t* unit = name;; ++unit) {
    if (*unit == kRecordSeparator || *unit == u'/' || *unit == 0) {
      if (only_dots_and_spaces && dots >= 2) return false;
      if (*unit == 0) return true;
      dots = 0;
      only_dots_and_spaces = true;
    } else if (*unit == u'.') {
      ++dots;
    } else if (*unit != u' ') {
      only_dots_and_spaces = false;
    }
  }
}
