// The readings behind MT940.from_bytes and MT940.from_file, in plain C++ so that they
// run with the interpreter lock released: they touch no Python object.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold::python {

struct ReadOptions {
  std::optional<std::string> encoding;  // a name resolve_encoding accepted; none: detect
  bool strict = false;                  // decode, then the exact reading
  std::string resolver = "auto";        // one of kResolverNames
};

struct ReadOutcome {
  std::vector<Statement> statements;    // never empty
  std::vector<Diagnostic> diagnostics;  // empty for the exact reading
};

/// A failure of either reading or of decoding, at a line of the file (0: the file as a
/// whole). The exact reading's messages stay as MT940(text) gives them, without the
/// line that the others start with.
struct ReadError {
  LocatedError error;
  bool line_in_message = true;
};

/// Reads the bytes of one file: by default as the command does (read_bank_file); with
/// `strict`, decoded (from `encoding`, else as strict UTF-8 without a byte-order mark)
/// and then read exactly as MT940(text) reads the decoded text.
Result<ReadOutcome, ReadError> read_statement_bytes(std::string_view bytes, const ReadOptions& options);

/// The whole content of the file at `path`; the errno value when it cannot be read.
Result<std::string, int> read_whole_file(const std::string& path);

}  // namespace tallyfold::python
