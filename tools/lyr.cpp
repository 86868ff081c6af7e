// The command-line tool: a front door to the library for people and scripts.
#include <cstdio>
#include <cstring>

#include "lyr/lyr.h"

namespace {

void PrintHelp() {
  std::printf(
      "usage: lyr <command> [options]\n"
      "\n"
      "Lyr9abAnim command-line tool.\n"
      "\n"
      "commands:\n"
      "  --help       show this text\n"
      "  --version    print the library version\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintHelp();
    return argc < 2 ? 1 : 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("lyr %s\n", LYR_VERSION_STRING);
    return 0;
  }
  std::fprintf(stderr, "lyr: unknown command '%s' (try --help)\n", argv[1]);
  return 2;
}
