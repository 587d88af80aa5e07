/* The demo's "installed program": a console program in two versions.
   Built once with:
     x86_64-w64-mingw32-gcc -Os -s -DVERSION=1 -o v1/hello.exe src/hello.c
     x86_64-w64-mingw32-gcc -Os -s -DVERSION=2 -o v2/hello.exe src/hello.c */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *greeting(int hour) {
  if (hour < 12) return "Good morning";
#if VERSION >= 2
  if (hour < 18) return "Good afternoon";
#endif
  return "Good evening";
}

int main(int argc, char **argv) {
  int hour = argc > 1 ? atoi(argv[1]) : 9;
  printf("%s from hello version %d\n", greeting(hour), VERSION);
#if VERSION >= 2
  if (argc > 2 && strcmp(argv[2], "--ja") == 0) printf("こんにちは\n");
#endif
  return 0;
}
