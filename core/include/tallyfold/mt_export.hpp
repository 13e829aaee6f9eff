// SWIFT MT940 statements and MT942 interim reports written from the model, whatever it
// was read from, for the systems that import nothing else.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"
#include "tallyfold/sink.hpp"

namespace tallyfold {

struct MtOptions {
  bool crlf = true;  // SWIFT's own line end; LF alone when false
};

struct MtDocument {
  std::string text;                   // bare messages: no envelope blocks, no "-" trailers
  std::vector<std::string> notes;     // what was written in another form (transliterated, cut)
  std::vector<std::string> warnings;  // one per statement left out, naming it and why
};

/// One text holding an MT940 for every statement and an MT942 for every interim
/// report, in their order. A statement that cannot be written without inventing or
/// losing a value (no account, opening or closing balance; an amount MT940 cannot hold)
/// is left out with a warning. Lines are at most 65 characters, in SWIFT's X character
/// set. Fails with an `Other` error when there is nothing to write.
Result<MtDocument> export_mt(std::span<const Statement> statements, const MtOptions& options = {});

/// The same text written to `sink` a statement at a time; its `text` stays empty. Fails
/// as export_mt does, or with an `Other` error when the sink refused bytes.
Result<MtDocument> write_mt(std::span<const Statement> statements, OutputSink& sink, const MtOptions& options = {});

}  // namespace tallyfold
