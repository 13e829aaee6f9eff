// The bank-file reading: statement files as banks deliver them.
//
// `parse_statements` reads bare MT940 text exactly and stops at the first deviation.
// Delivered files deviate: other character sets, transport framing, field shapes that
// SWIFT allows or one bank writes, a statement cut off at the end of the file. This
// reading runs the same parser into the same model, with three steps around it: the
// bytes are decoded to UTF-8, the transport framing is taken away, and the fields are
// read tolerantly, with recovery.
//
// Every step reports what it repaired, guessed or set aside as a Diagnostic that names
// a line of the original file; nothing is printed and nothing is dropped silently.
// Where the exact reading accepts the unwrapped text, this reading gives the same
// statement fields, except the re-readings it lists, each of which is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tallyfold/decode.hpp"
#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

enum class Severity : std::uint8_t {
  Note,     // a repair that keeps what the bank meant
  Warning,  // something was lost or guessed
};

/// "note" or "warning".
std::string_view severity_text(Severity severity) noexcept;

/// One repair or omission of the bank-file reading, or several of one kind said at once.
struct Diagnostic {
  Diagnostic() = default;
  Diagnostic(std::size_t at, Severity said_as, std::string text, std::string of_kind = {})
      : line(at), severity(said_as), message(std::move(text)), kind(std::move(of_kind)) {}

  std::size_t line = 0;  // 1-based line of the original file, before unwrapping
  Severity severity = Severity::Note;
  std::string message;   // one line, e.g. ":61: amount with a decimal point read as 1000.12"
  /// What several of its kind are called ("amounts with a decimal point read as
  /// decimals"); diagnostics of one severity and kind in one file are said as one, with
  /// their count and lines. Empty: said alone, whatever else is said.
  std::string kind;
  /// Every line a grouped diagnostic stands for, `line` first; empty for a single one.
  std::vector<std::size_t> lines;

  /// What is said; the kind only groups it.
  friend bool operator==(const Diagnostic& a, const Diagnostic& b) {
    return a.line == b.line && a.severity == b.severity && a.message == b.message && a.lines == b.lines;
  }
};

/// The kind of the note on a statement that does not reconcile; a report that shows
/// each statement's balances already says it.
inline constexpr std::string_view kDoesNotReconcile = "statements that do not reconcile";

/// An error of the bank-file reading and the line of the original file it arose on
/// (1-based; 0 when it concerns the file as a whole, such as an unknown encoding).
struct LocatedError {
  std::size_t line = 0;
  ParseError error;
};

/// The display text of the error without its line. Errors that only the bank-file
/// reading raises ("not a statement file") read as they
/// are; parse errors read as message() gives them.
std::string message(const LocatedError& error);

/// message() with the value a field held cut after about 80 characters with "…" (never
/// inside a UTF-8 sequence): for a terminal, where one long line must not flood the screen.
std::string short_message(const LocatedError& error);

/// The character set name as the system's converter knows it: `name`, or `name` without
/// its hyphens, underscores and blanks ("latin-1"); otherwise the error whose text is
/// "unknown encoding 'NAME'".
Result<std::string, Refusal> named_encoding(std::string_view name);

struct BankFileOptions {
  /// Character set of the input, a name named_encoding accepted; none: detect it.
  std::optional<std::string> encoding;
  /// Names the details decoders, as for select_bank_chain; any other name is an error.
  std::string resolver = "auto";
};

/// The statements of one delivered file and everything the reading had to say.
struct BankFile {
  std::vector<Statement> statements;    // never empty
  std::vector<Diagnostic> diagnostics;  // ordered by line; stable within a line
  std::string charset;                  // what the text was read in
};

/// Whether an error says that the input holds no statement at all (it is binary, or no
/// statement starts in it), rather than that a statement in it is broken: what a tool
/// walking a folder skips as "not a statement file". Holds for both readings' errors.
bool holds_no_statement(const ParseError& error) noexcept;

/// All three steps, every line mapped back to the original file, plus a note for each
/// statement whose balances do not reconcile. Never throws for bad input.
Result<BankFile, LocatedError> read_bank_file(std::string_view bytes, const BankFileOptions& options);

}  // namespace tallyfold
