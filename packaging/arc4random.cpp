// Linked into the wheel's binaries only (TALLYFOLD_STATIC_DEPS). gcc 12's static
// libstdc++ refers to arc4random, new in glibc 2.36, from std::random_device, which
// tallyfold never uses. Defining it here resolves that reference inside the binary, so
// the wheel asks glibc for nothing newer than 2.34.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/random.h>

extern "C" std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  for (;;) {
    const ssize_t n = getrandom(&value, sizeof value, 0);
    if (n == static_cast<ssize_t>(sizeof value)) return value;
    if (n == -1 && errno != EINTR) std::abort();
  }
}
