#include "package/name_rule.h"

#include "package/package_format.h"
#include "package/utf8.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

bool IsControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The length of the well-formed UTF-8 sequence at `in` (the bytes up to
// `end`), or 0. Four-byte sequences count as well-formed.
size_t SequenceLength(const unsigned char* in, const unsigned char* end) {
  unsigned b = in[0];
  if (b < 0x80) return 1;
  size_t length = b >= 0xC2 && b <= 0xDF   ? 2
                  : b >= 0xE0 && b <= 0xEF ? 3
                  : b >= 0xF0 && b <= 0xF4 ? 4
                                           : 0;
  if (length == 0 || static_cast<size_t>(end - in) < length) return 0;
  // The second byte's range rules out overlong forms, surrogates and
  // values above U+10FFFF.
  unsigned low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  unsigned high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
  if (in[1] < low || in[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (in[i] < 0x80 || in[i] > 0xBF) return 0;
  }
  return length;
}

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

bool IsDeviceName(const WString& component) {
  // The device part is what comes before the first dot, without trailing
  // spaces: "con", "CON.txt" and "Con .log" all open the console.
  WString base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (WCHAR& c : base) c = Upper(c);
  static const char* const kNamed[] = {"CON", "PRN",    "AUX",
                                       "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kNamed) {
    WString text;
    for (const char* p = device; *p != 0; ++p) text += static_cast<WCHAR>(*p);
    if (base == text) return true;
  }
  if (base.size() != 4) return false;
  WString head = base.substr(0, 3);
  bool numbered = head == WTXT("COM") || head == WTXT("LPT");
  WCHAR digit = base[3];
  return numbered && ((digit >= u'1' && digit <= u'9') || digit == 0xB9 ||
                      digit == 0xB2 || digit == 0xB3);
}

NameFault CheckComponent(const WString& component) {
  if (component == WTXT("..")) return NameFault::kOutsideFolder;
  WCHAR last = component.back();
  if (last == u'.' || last == u' ') return NameFault::kTrailingDotOrSpace;
  if (IsDeviceName(component)) return NameFault::kDevice;
  return NameFault::kNone;
}

}  // namespace

NameFault CheckWideName(const WString& name) {
  if (name.empty() || IsSeparator(name[0])) return NameFault::kOutsideFolder;
  for (WCHAR c : name) {
    if (IsControl(c)) return NameFault::kControl;
    if (c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' ||
        c == u'?' || c == u'*') {
      return NameFault::kReserved;
    }
  }
  size_t start = 0;
  while (start < name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (end > start) {
      NameFault fault = CheckComponent(name.substr(start, end - start));
      if (fault != NameFault::kNone) return fault;
    }
    start = end + 1;
  }
  if (name.size() > static_cast<size_t>(kMaxNameUnits))
    return NameFault::kTooLong;
  return NameFault::kNone;
}

NameFault CheckEntryName(const std::string& utf8, WString* wide) {
  auto in = reinterpret_cast<const unsigned char*>(utf8.c_str());
  const unsigned char* end = in + utf8.size();
  WString decoded;
  decoded.reserve(utf8.size());
  while (in < end) {
    size_t length = SequenceLength(in, end);
    if (length == 0) return NameFault::kNotUtf8;
    if (length == 4) return NameFault::kBeyondFormat;
    WCHAR unit = 0;
    DecodeUtf8Char(&unit, in);
    decoded += unit;
    in += length;
  }
  NameFault fault = CheckWideName(decoded);
  if (fault == NameFault::kNone) *wide = std::move(decoded);
  return fault;
}

const char* DescribeNameFault(NameFault fault) {
  switch (fault) {
    case NameFault::kNone:
      return "name is good";
    case NameFault::kNotUtf8:
      return "name is not valid UTF-8";
    case NameFault::kBeyondFormat:
      return "name has a character above U+FFFF, which a patch cannot carry";
    case NameFault::kControl:
      return "name has a control character";
    case NameFault::kReserved:
      return "name has a character Windows does not allow in a name "
             "(\\ < > : \" | ? *)";
    case NameFault::kOutsideFolder:
      return "name does not stay inside the folder";
    case NameFault::kTrailingDotOrSpace:
      return "name ends in a dot or space, which Windows drops";
    case NameFault::kDevice:
      return "name is a device on Windows";
    case NameFault::kTooLong:
      return "name is longer than 2,046 UTF-16 units";
  }
  return "name is refused";
}

std::string EscapeName(const std::string& bytes) {
  auto in = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* end = in + bytes.size();
  std::string out;
  while (in < end) {
    size_t length = SequenceLength(in, end);
    // C1 controls are two-byte sequences C2 80..C2 9F.
    bool control = length == 1 ? IsControl(*in)
                               : length == 2 && in[0] == 0xC2 && in[1] <= 0x9F;
    if (length != 0 && !control) {
      out.append(reinterpret_cast<const char*>(in), length);
      in += length;
      continue;
    }
    size_t count = length == 0 ? 1 : length;
    for (size_t i = 0; i < count; ++i, ++in) {
      if (*in == '\t') {
        out += "\\t";
      } else if (*in == '\n') {
        out += "\\n";
      } else if (*in == '\r') {
        out += "\\r";
      } else {
        out += "\\x";
        out += kHexDigits[*in >> 4];
        out += kHexDigits[*in & 15];
      }
    }
  }
  return out;
}
