// The entry of a console program that takes its arguments as UTF-8 and
// prints UTF-8, on every platform.
//
// The program defines Utf8Main; the platform's own main calls it. On Windows
// the arguments come from the wide command line (the narrow one holds only
// what the ANSI code page can say) and a console shows UTF-8 while the
// program runs. Elsewhere the arguments are the bytes given.
#pragma once

#include <cstdio>

int Utf8Main(int argc, char** argv);

// Whether `stream` goes to a terminal (a console on Windows), where a line
// can be drawn again in place.
bool IsTerminal(std::FILE* stream);
