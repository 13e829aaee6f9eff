// One entry point for statement files: the bytes of a file, read as the caller asks
// (exactly, or as banks deliver them), with the format judged from the content. Both
// front ends read through here, so which reading runs, how its bytes are decoded and
// which names it accepts are decided once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// What a statement file holds, judged from its content rather than its name.
enum class SourceFormat : std::uint8_t {
  Mt940,  // SWIFT MT940 statements and MT942 interim reports, as text
  Camt,   // an XML document: ISO 20022 camt.052, camt.053 or camt.054
};

/// The format of `bytes`: camt for an XML document (after a byte-order mark and white
/// space, the first byte is "<"), whatever the file is called. Anything no other format
/// claims is read as MT940 text, whose reading says itself when it is not.
SourceFormat detect_format(std::string_view bytes) noexcept;

struct ReadOptions {
  /// Decode the bytes (from `encoding`, else as UTF-8 without a byte-order mark), then
  /// read them exactly, as parse_statements does, whatever they hold; otherwise the
  /// reading of the format detect_format finds.
  bool strict = false;
  /// A name named_encoding accepted; none: detect it (strict: UTF-8). An XML document
  /// names its own, so this does not apply to camt.
  std::optional<std::string> encoding;
  /// One of kResolverNames (unknown_resolver).
  std::string resolver = "auto";
};

/// The statements of one file and everything the reading had to say.
struct StatementFile {
  std::vector<Statement> statements;    // never empty
  std::vector<Diagnostic> diagnostics;  // ordered by line; none from the exact reading
  SourceFormat format = SourceFormat::Mt940;
  /// What was read, to show users: "MT940", "MT942" (interim reports only),
  /// "MT940/MT942" (both), or the camt message and version as the document names it
  /// ("camt.053.001.08").
  std::string source_format;
};

/// Why a file could not be read.
struct ReadError {
  LocatedError error;  // at a line of the file; line 0: the file as a whole
  /// False for the exact reading's own errors, whose text stays as MT940(text) gives
  /// it, without the line that the others are shown with.
  bool line_in_message = true;
  /// Bytes that are not UTF-8 given to the strict reading without an encoding; the
  /// error says "not valid UTF-8 (byte N)", and front ends add how their caller names
  /// an encoding.
  bool not_utf8 = false;
};

/// Reads the bytes of one statement file. Never throws for bad input; an unknown
/// resolver is a LocatedError at line 0.
Result<StatementFile, ReadError> read_statement_file(std::string_view bytes, const ReadOptions& options);

/// The whole content of the file at `path`; the errno value when it cannot be read.
Result<std::string, int> read_whole_file(const std::string& path);
/// The same for an open descriptor (standard input, say), read to its end.
Result<std::string, int> read_whole_file(int fd);

}  // namespace tallyfold
