// tarn: copies, syncs or lists one directory tree per run.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("1.0.1.0\n");
    return 0;
  }
  fprintf(stderr, "tarn v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files\n\n"
                  "usage: tarn [mode=..] [if=dir] [of=dir] [bs=N]\n");
  return 1;
}
