// The rule every entry name obeys, one name at a time: what the producer
// writes and what the loader accepts are exactly the same names.
//
// A name is UTF-8 without its terminator, components separated by '\' or
// '/'. It is refused for:
//   - bytes that are not UTF-8: a stray continuation byte, a cut sequence,
//     an overlong form (C0 AF, E0 80 80), an encoded surrogate (ED A0 80);
//   - a character above U+FFFF, which the format's decoder cannot carry;
//   - a control character (U+0000..U+001F, U+007F..U+009F): Windows cannot
//     hold the first ones, and tab and newline delimit the journal;
//   - one of < > : " | ? * (':' also makes drives and alternate streams);
//   - leaving the folder: empty, a leading separator, a ".." component;
//   - a component that ends in a dot or space (Windows drops them) or
//     names a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$,
//     with or without an extension);
//   - more than kMaxNameUnits UTF-16 units.
// Names that collide with each other are a separate rule, on the table.
#pragma once

#include <string>

#include "platform/platform.h"

enum class NameFault {
  kNone,
  kNotUtf8,
  kBeyondFormat,
  kControl,
  kReserved,
  kOutsideFolder,
  kTrailingDotOrSpace,
  kDevice,
  kTooLong,
};

// Checks one name and, when it passes, decodes it into `wide` (left alone
// otherwise).
NameFault CheckEntryName(const std::string& utf8, WString* wide);

// The same rule on a name already decoded (bytes are not in question).
NameFault CheckWideName(const WString& name);

// What is wrong with such a name, for a person: "name is not valid UTF-8".
const char* DescribeNameFault(NameFault fault);

// Bytes of a name or path as one printable line: valid UTF-8 stays as it
// is, control characters become \t, \n, \r or \xNN, and bytes that are not
// UTF-8 become \xNN. "data\x80" and "a<TAB>b" read "data\x80" and "a\tb".
std::string EscapeName(const std::string& bytes);
