// The whole way in from Python: a text and a resolver name, then every export of a
// successful parse.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "document_checks.hpp"

namespace {

// The recognised names, near misses that must select the full chain, and a name with
// a NUL that a C-string comparison would cut to "gvc".
constexpr std::array<std::string_view, 8> kResolvers{
    "auto", "swift", "gvc", "angular", "", "AUTO", "german-gvc", std::string_view("gvc\0x", 5)};

// Inputs grow the exports about tenfold and are parsed twice; beyond this size the
// fuzzer only slows down without reaching new code. Big inputs are tested elsewhere.
constexpr std::size_t kMaxInput = 1 << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  // The last byte picks the resolver and stays part of the text, so bank files given as
  // seeds are parsed exactly as written.
  const std::string_view resolver = size ? kResolvers[data[size - 1] % kResolvers.size()] : "auto";
  (void)tallyfold::fuzz::parse_and_check(tallyfold::fuzz::as_text(data, size), resolver);
  return 0;
}
