// The one rule about record names that the record loop enforces itself rather
// than trusting the writer; mordax-pack extract applies it too.
#pragma once

/// False when `name` (zero-terminated) has a component of only dots and
/// spaces with two dots or more: "..", and what Windows turns into "..".
/// Both '\' and '/' separate components, as both targets take them.
bool record_name_stays_inside(const char16_t* name);
