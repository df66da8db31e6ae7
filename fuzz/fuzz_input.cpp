#include "fuzz_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "vfio_user/unique_fd.h"

namespace zephon_fuzz {

void finding(const char* what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
  std::abort();
}

std::string read_input(int argc, char** argv, std::size_t max) {
  int fd = 0;
  vfio_user::UniqueFd file;
  if (argc > 1) {
    file.reset(::open(argv[1], O_RDONLY | O_CLOEXEC));
    if (!file) finding("cannot open the input file");
    fd = file.get();
  }
  std::string input;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.append(buf, static_cast<std::size_t>(n));
    if (input.size() >= max) break;
  }
  if (input.size() > max) input.resize(max);
  return input;
}

}  // namespace zephon_fuzz
