// zephon-rom: inspects option ROM images and builds one for zephon's device.
#include <string_view>
#include <vector>

#include "run.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return zephon_rom::run("zephon-rom", args, zephon_rom::Streams{});
}
