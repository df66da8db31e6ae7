// zephon-trace: reads a zephon log or an mmiotrace and reports what the
// driver did to the device's registers.
#include <string_view>
#include <vector>

#include "run.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return zephon_trace::run("zephon-trace", args, zephon_trace::Streams{});
}
