// The first step of every delivered file: its bytes as UTF-8, in a detected or named
// character set.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bankfile/steps.hpp"
#include "fuzz_checks.hpp"
#include "tallyfold/bankfile.hpp"
#include "util/utf8.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

// Detection is linear; bigger inputs only slow the search.
constexpr std::size_t kMaxInput = 1 << 18;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::size_t lines_of(std::string_view text) {
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  return lines;
}

std::string other_message(const LocatedError& error) {
  require(!std::holds_alternative<Other>(error.error));
  std::string text = message(error);
  require(!text.empty());
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes = as_text(data, size);
  // The scan that skips ASCII a block at a time agrees with the plain one.
  const bool utf8 = is_valid_utf8(bytes);
  require(find_invalid_utf8(bytes).has_value() != utf8);

  std::string_view body = bytes;
  if (body.starts_with(kByteOrderMark)) body.remove_prefix(kByteOrderMark.size());
  std::vector<Diagnostic> diagnostics;
  const auto detected = decode_statement_bytes(bytes, std::nullopt, diagnostics);
  // A byte-order mark of UTF-16 or UTF-32 names the encoding: the text is converted.
  const bool unicode_mark = bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
                            bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4));
  if (!detected) {
    other_message(detected.error());
    // Else the text holds no statement: binary, or a format of its own.
    if (!unicode_mark) {
      require(detected.error().line == 0 && holds_no_statement(detected.error().error));
      require(body.starts_with("%PDF-") || body.starts_with("PK") || body.starts_with("\x1F\x8B") ||
              body.find('\0') != std::string_view::npos);
    }
  } else if (unicode_mark) {
    require(is_valid_utf8(detected->text) && detected->charset.starts_with("UTF-"));
  } else if (utf8) {
    require(detected->charset == "UTF-8" && detected->text == body && diagnostics.empty());
  } else {
    // One note at a line of the file; ASCII bytes stay as they are.
    require(is_valid_utf8(detected->text) && detected->charset != "UTF-8");
    require(diagnostics.size() == 1 && diagnostics[0].severity == Severity::Note);
    require(diagnostics[0].line >= 1 && diagnostics[0].line <= lines_of(bytes));
    require(lines_of(detected->text) == lines_of(body));
    require(detected->text.size() >= body.size() && detected->text.size() <= 3 * body.size());
  }

  // A named encoding skips detection: Latin-1 reads anything, UTF-8 only itself.
  std::vector<Diagnostic> none;
  const auto latin1 = decode_statement_bytes(bytes, std::string("ISO-8859-1"), none);
  require(latin1 && is_valid_utf8(latin1->text));
  const auto named_utf8 = decode_statement_bytes(bytes, std::string("UTF-8"), none);
  require(named_utf8.has_value() == utf8);
  if (named_utf8) {
    require(named_utf8->text == body);
  } else {
    require(named_utf8.error().line >= 1 && named_utf8.error().line <= lines_of(bytes));
    other_message(named_utf8.error());
  }
  require(none.empty());
  return 0;
}
