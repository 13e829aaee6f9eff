// The three steps of the bank-file reading, each on its own, for read_bank_file and the
// tests and fuzzers that take them apart:
//
//   bytes -> decode_statement_bytes -> unwrap_statement_text -> parse_bank_statements
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bankfile/long_lines.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// Which lines of the original file the lines of a rewritten text came from.
class LineMap {
 public:
  /// The identity: line n of the text is line n of the file.
  LineMap() = default;

  /// Records that line `line` of the text (1-based) and the lines after it, up to the
  /// next recorded line, come from consecutive lines of the file starting at
  /// `original_line`. Calls must come in ascending order of `line`.
  void map(std::size_t line, std::size_t original_line);

  /// The 1-based line of the file holding line `line` (1-based) of the text.
  /// Logarithmic in the number of recorded runs.
  std::size_t original_line(std::size_t line) const noexcept;

 private:
  std::vector<std::pair<std::size_t, std::size_t>> runs_;  // (text line, file line), ascending
};

/// A text decoded to UTF-8, and the character set it was read in ("UTF-8",
/// "windows-1252", "ISO-8859-2", "CP850", ...).
struct DecodedText {
  std::string text;
  std::string charset;
};

/// The character set name as the system's converter knows it, or nullopt when it knows
/// neither `name` nor `name` without its hyphens, underscores and blanks ("latin-1").
std::optional<std::string> resolve_encoding(std::string_view name);

/// Step 1: the bytes of a file as UTF-8, without a leading byte-order mark. With
/// `encoding` (a name resolve_encoding accepted) they are converted from it; bytes not
/// valid in it fail with Other{"not valid X at byte N"} or Other{"incomplete X character
/// at the end of the input"} at their line. Without, valid UTF-8 stays as it is; other
/// input is read in the most plausible of windows-1252, ISO-8859-1, windows-1250,
/// ISO-8859-2, CP850 and CP852 (ties go to the earlier), judged by the letters inside
/// words, with a note naming the one used at the line of the first byte that is not
/// UTF-8; bytes it leaves undefined keep their value (U+0081 for 0x81). Input with no
/// tag line (a line starting with ":" that holds a second ":") that looks binary (NUL
/// bytes, a PDF header) fails with Other{"not a statement file"} at line 0. Linear in
/// the length of `bytes`.
Result<DecodedText, LocatedError> decode_statement_bytes(std::string_view bytes,
                                                          const std::optional<std::string>& encoding,
                                                          std::vector<Diagnostic>& diagnostics);

/// A text with its transport framing taken away, and where its lines came from.
struct UnwrappedText {
  std::string text;
  LineMap lines;
};

/// Step 2: `text` with the transport framing around MT940 fields taken away, line by
/// line, and nothing else changed:
///   - the control bytes SOH (0x01), ETX (0x03) and SUB (0x1A, a DOS end-of-file mark)
///     are removed wherever they stand;
///   - SWIFT envelope blocks at the start of a line are removed: "{1:...}", "{2:...}",
///     "{3:...}", "{5:...}" (nested braces included) and the opening "{4:", as is a
///     leading "-}" that closes block 4; a line left empty by this is dropped, and text
///     after "{4:" on the same line is kept as a line of its own;
///   - separator lines, a lone "-" or "-XXX" (white space around it allowed), are
///     dropped together with every non-tag line after them up to the next tag line
///     (a tag line starts with ":" and holds a second ":"); between an opening balance
///     (":60F:", ":60M:") and the next closing balance (":62F:", ":62M:") or ":20:"
///     such a line is details text wrapped onto a line of its own and stays;
///   - non-tag lines that follow a balance field (":60F:", ":60M:", ":62F:", ":62M:",
///     ":64:", ":65:"), which never continues on a second line, are dropped: bank
///     header lines such as "ABNANL2A", "940" or "0000 01INGBNL2AXXXX00001", blank
///     lines and any prose that stands between statements;
///   - the older tag ":28:" at the start of a line becomes ":28C:";
///   - "@@" before a tag, the transport form's line break, becomes one.
/// Kept lines keep their bytes and their own line end. Reports one note at line 1
/// counting what was removed or rewritten (envelopes, separator lines, header lines,
/// control bytes, ":28:" tags), and a warning when a SWIFT envelope is opened and never closed (the file may be
/// truncated). Linear in the length of `text`; accepts any byte sequence.
UnwrappedText unwrap_statement_text(std::string_view text, std::vector<Diagnostic>& diagnostics);

/// Step 3: the parser of parse_statements with tolerant field reading and recovery.
/// Accepts, each with a note unless marked as a warning:
///   - :61: lines that SWIFT allows or banks write beside the exact pattern (a "/"
///     inside the customer reference, "S" and other type codes, type codes padded with
///     blanks, blanks before the type or the funds code, blanks for the entry date, a
///     lower-case mark, an amount without a decimal comma or with a decimal point);
///   - balances with blanks after the amount;
///   - value and balance dates one to three days past the end of their month, read as
///     the month's last day;
///   - re-readings of fields the exact parser accepts differently: a customer reference
///     that is a 16-character field padded with blanks and followed by more text (its
///     first 16 characters, trimmed; the rest becomes the supplementary details), and a
///     balance whose currency is not three letters (read as an amount in the
///     statement's currency; a warning).
/// A statement that cannot be completed (a missing :25:, :28C: or balance, a truncated
/// end) is left out with a warning naming it, and nothing else is said about its fields;
/// when no statement is left, the first one's MissingMandatoryTag is the error, at its
/// :20:. Tag lines that the exact reading skips unseen (a :61: after a statement's end,
/// a second :25:) give a warning, and a line that only looks like a tag line (":12:11"
/// in details text) a note. MT942 interim reports (a statement with :34F:, :13D: or the
/// older :13:, :90D: or :90C: in its header) are read as StatementKind::InterimReport:
/// floor limits, report time, lines, entry totals and no balances. A field of theirs
/// that cannot be read is left out with a warning; a :90D:/:90C: that does not count
/// and sum the entries of its side gives a warning.
/// What parse_bank_statements tells of each statement it returns, besides the statement.
struct KeptStatement {
  std::size_t line = 0;  // of its :20:
  // Its balances and transactions surely reconcile. False says nothing: check_statement
  // decides then. Told as the statement is kept, while its records are still in cache.
  bool surely_reconciles = false;
};

/// Lines in diagnostics and errors are lines of `text`; diagnostics come in line order.
/// With `kept`, what is known of each returned statement is appended to it. With
/// `long_lines`, the long lines of `text` as far as they are known, which changes
/// nothing but the work of judging the width of its :86: lines.
Result<std::vector<Statement>, LocatedError> parse_bank_statements(
    std::string_view text, const DecoderChain& chain, std::vector<Diagnostic>& diagnostics,
    std::vector<KeptStatement>* kept = nullptr, const detail::LongLines* long_lines = nullptr);

}  // namespace tallyfold
