// UTF-8 to UTF-16 for package names: one- to three-byte sequences only.
#pragma once

#include "platform/platform.h"

// Decodes the sequence at `in` into one unit. Returns the bytes consumed
// (1, 2 or 3), or 0 for a byte that cannot start a sequence (0x80..0xC1,
// 0xF0..0xFF). An overlong three-byte form yields the unit 0. Continuation
// bytes are taken as they are; a NUL in a continuation position is never
// consumed (the sequence is refused), so decoding never passes a string's
// terminator.
//
//   "A"        41        -> 0x0041, 1
//   "é"        C3 A9     -> 0x00E9, 2
//   "あ"       E3 81 82  -> 0x3042, 3
//   overlong   E0 80 80  -> 0x0000, 3
int DecodeUtf8Char(WCHAR* out, const unsigned char* in);

// Converts the NUL-terminated `in` into at most `capacity` units, terminator
// included, stopping at the first byte that cannot start a sequence.
// Returns the units decoded (at most capacity - 1), or -1 when the capacity
// is 0 or less. When capacity - 1 units were decoded the last one gives way
// to the terminator: "abc" with capacity 4 returns 3 and keeps "ab".
int Utf8ToWide(WCHAR* out, const unsigned char* in, int capacity);
