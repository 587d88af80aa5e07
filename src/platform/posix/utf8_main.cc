#include "platform/utf8_main.h"

#include <unistd.h>

int main(int argc, char** argv) { return Utf8Main(argc, argv); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }
