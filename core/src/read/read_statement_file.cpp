#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "bankfile/steps.hpp"
#include "camt/read_camt.hpp"
#include "parser/parse_located.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/read.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The text the exact reading is given: converted from a named encoding, else UTF-8 as
// it is, less a byte-order mark.
Result<std::string, ReadError> decode_strictly(std::string_view bytes, const std::optional<std::string>& encoding) {
  if (encoding) {
    std::vector<Diagnostic> unused;  // conversion from a named charset reports nothing
    auto decoded = decode_statement_bytes(bytes, encoding, unused);
    if (!decoded) return ReadError{std::move(decoded).error()};
    return std::move(decoded->text);
  }
  if (const auto bad = find_invalid_utf8(bytes)) {
    const auto line = static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + *bad, '\n')) + 1;
    return ReadError{LocatedError{line, EncodingError{"not valid UTF-8 (byte " + std::to_string(*bad) + ")"}}, true, true};
  }
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  return std::string(bytes);
}

std::string mt_format(const std::vector<Statement>& statements) {
  const auto reports = static_cast<std::size_t>(std::count_if(
      statements.begin(), statements.end(), [](const Statement& s) { return s.kind == StatementKind::InterimReport; }));
  return reports == 0 ? "MT940" : reports == statements.size() ? "MT942" : "MT940/MT942";
}

Result<StatementFile, ReadError> read_mt940(std::string_view bytes, const ReadOptions& options) {
  StatementFile file;
  if (options.strict) {
    auto text = decode_strictly(bytes, options.encoding);
    if (!text) return std::move(text).error();
    auto parsed = parse_statements_located(*text, select_chain(options.resolver));
    if (!parsed) return ReadError{std::move(parsed).error(), false};
    file.statements = std::move(*parsed);
  } else {
    BankFileOptions bank_options;
    bank_options.encoding = options.encoding;
    bank_options.resolver = options.resolver;
    auto read = read_bank_file(bytes, bank_options);
    if (!read) return ReadError{std::move(read).error()};
    file.statements = std::move(read->statements);
    file.diagnostics = std::move(read->diagnostics);
  }
  file.source_format = mt_format(file.statements);
  return file;
}

Result<StatementFile, ReadError> read_camt_file(std::string_view bytes) {
  auto read = read_camt(bytes);
  if (!read) return ReadError{std::move(read).error()};
  StatementFile file;
  file.statements = std::move(read->statements);
  file.diagnostics = std::move(read->diagnostics);
  file.format = SourceFormat::Camt;
  file.source_format = std::move(read->source_format);
  return file;
}

}  // namespace

SourceFormat detect_format(std::string_view bytes) noexcept {
  return looks_like_xml(bytes) ? SourceFormat::Camt : SourceFormat::Mt940;
}

Result<StatementFile, ReadError> read_statement_file(std::string_view bytes, const ReadOptions& options) {
  if (auto unknown = unknown_resolver(options.resolver)) return ReadError{LocatedError{0, Refusal{std::move(*unknown)}}};
  // The exact reading is of MT940 text alone: what it gives for anything else is fixed.
  if (options.strict) return read_mt940(bytes, options);
  switch (detect_format(bytes)) {
    case SourceFormat::Mt940: return read_mt940(bytes, options);
    case SourceFormat::Camt: return read_camt_file(bytes);
  }
  throw InternalError("read_statement_file: a format without a reading");
}

Result<std::string, int> read_whole_file(int fd) {
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
      return bytes;
    } else if (errno != EINTR) {
      return errno;
    }
  }
}

Result<std::string, int> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  auto bytes = read_whole_file(fd);
  ::close(fd);
  return bytes;
}

}  // namespace tallyfold
