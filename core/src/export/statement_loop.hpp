// The loop the MT and camt writers run over their statements: each statement is written
// whole or not at all, and one that cannot be is taken back out of the output and said
// in a warning, so that a document holds only what it could hold exactly.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// What the loop did: how many statements it wrote, why the last one left out was, and
/// whether it was stopped.
struct StatementsWritten {
  std::size_t count = 0;
  std::string last_refusal;
  bool stopped = false;
};

/// How a warning names a statement left out: its kind, then `name` in quotes.
inline std::string left_out(const Statement& s, std::string_view name, std::string_view where,
                            std::string_view why) {
  std::string text = s.kind == StatementKind::InterimReport ? "interim report '" : "statement '";
  text.append(name);
  text.append("' left out of ");
  text.append(where);
  text.append(": ");
  text.append(why);
  return text;
}

/// Writes each statement with `write(s, i)`, which appends it to `out` and gives
/// nullopt, or gives why it cannot be written. A refused statement is cut from `out`
/// and said in `warnings` under `name_of(s)`, as left out of `where`. After each written
/// one, `kept(mark)` is told where it starts in `out`; false from it stops the loop.
template <typename NameOf, typename Write, typename Kept>
StatementsWritten write_statements(std::span<const Statement> statements, std::string& out, std::string_view where,
                                   std::vector<std::string>& warnings, NameOf&& name_of, Write&& write, Kept&& kept) {
  StatementsWritten result;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const Statement& s = statements[i];
    const std::size_t mark = out.size();
    if (std::optional<std::string> refusal = write(s, i)) {
      out.resize(mark);
      warnings.push_back(left_out(s, name_of(s), where, *refusal));
      result.last_refusal = std::move(*refusal);
      continue;
    }
    ++result.count;
    if (!kept(mark)) {
      result.stopped = true;
      break;
    }
  }
  return result;
}

/// The refusal of a writer that had nothing to write: no statement was given, or none
/// could be written (`written` says why the last could not).
inline Refusal nothing_to_write(std::string_view format) {
  return Refusal{"no statement to write as " + std::string(format)};
}
inline Refusal nothing_written(std::string_view format, const StatementsWritten& written) {
  return Refusal{"nothing can be written as " + std::string(format) + ": " + written.last_refusal};
}

}  // namespace tallyfold::detail
