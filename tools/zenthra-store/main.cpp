#include <iostream>

#include "tools/zenthra-store/cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = store::cli::Run(args, std::cin, std::cout, std::cerr);
  std::cout.flush();
  return std::cout ? status : 1;
}
