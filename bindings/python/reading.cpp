#include "reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "tallyfold/decode.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold::python {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The text the exact reading is given, decoded as the command's --strict decodes it.
Result<std::string, LocatedError> decode_strictly(std::string_view bytes,
                                                  const std::optional<std::string>& encoding) {
  if (encoding) {
    std::vector<Diagnostic> unused;  // conversion from a named charset reports nothing
    auto decoded = decode_statement_bytes(bytes, encoding, unused);
    if (!decoded) return std::move(decoded).error();
    return std::move(decoded->text);
  }
  if (auto bad = find_invalid_utf8(bytes)) {
    const auto line = static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + *bad, '\n')) + 1;
    return LocatedError{line, Other{"not valid UTF-8 (byte " + std::to_string(*bad) +
                                    "); name its encoding, for example encoding=\"latin-1\""}};
  }
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  return std::string(bytes);
}

}  // namespace

Result<ReadOutcome, ReadError> read_statement_bytes(std::string_view bytes, const ReadOptions& options) {
  ReadOutcome outcome;
  if (options.strict) {
    auto text = decode_strictly(bytes, options.encoding);
    if (!text) return ReadError{std::move(text).error()};
    auto parsed = parse_statements_located(*text, select_chain(options.resolver));
    if (!parsed) return ReadError{std::move(parsed).error(), false};
    outcome.statements = std::move(*parsed);
    return outcome;
  }
  BankFileOptions bank_options;
  bank_options.encoding = options.encoding;
  bank_options.resolver = options.resolver;
  auto file = read_bank_file(bytes, bank_options);
  if (!file) return ReadError{std::move(file).error()};
  outcome.statements = std::move(file->statements);
  outcome.diagnostics = std::move(file->diagnostics);
  return outcome;
}

Result<std::string, int> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return error;
    }
  }
  ::close(fd);
  return bytes;
}

}  // namespace tallyfold::python
