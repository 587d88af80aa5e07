#include "platform/utf8_main.h"

#include <io.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::string Utf8(const wchar_t* text) {
  int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], bytes, nullptr,
                      nullptr);
  narrow.resize(static_cast<size_t>(bytes - 1));
  return narrow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(&argument[0]);
  pointers.push_back(nullptr);
  // The console shows what is printed as UTF-8, and gets its own code page
  // back afterwards (it outlives the program). Output to a file or a pipe is
  // UTF-8 either way.
  UINT consolePage = GetConsoleOutputCP();
  if (consolePage != 0) SetConsoleOutputCP(CP_UTF8);
  int status = Utf8Main(argc, pointers.data());
  if (consolePage != 0) SetConsoleOutputCP(consolePage);
  return status;
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
