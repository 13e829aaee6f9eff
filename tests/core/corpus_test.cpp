// The bank-file reading over every real file of the shared corpus, pinned file by file:
// statements, transactions, notes and warnings, or the error. A change that loses a
// file, a statement or a repair shows up here by name, and so does a :61: line that
// neither became a transaction nor was named in a warning.
//
// After a deliberate change, rewrite the table with
//   TALLYFOLD_REGENERATE=1 build/test/tests/core/corpus_test
// and say in the commit why the rows changed.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/reconcile.hpp"
#include "support/shared_data.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

using test::read_bytes;

const fs::path kTable = fs::path(TALLYFOLD_GOLDEN_DIR) / "corpus_bank_reading.tsv";

// The lines of the file that hold a :61: tag, as the bank-file reading sees them once
// the transport framing is gone ("@@" line breaks, envelopes), counted as in the file.
std::set<std::size_t> statement_line_numbers(const UnwrappedText& unwrapped) {
  const std::string_view text = unwrapped.text;
  std::set<std::size_t> found;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    ++number;
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ') line.remove_prefix(1);
    if (line.starts_with(":61:")) found.insert(unwrapped.lines.original_line(number));
    at = end + 1;
  }
  return found;
}

// Nothing lost unnamed: every :61: line ends as a transaction or in a warning naming it.
void expect_every_statement_line_accounted(const test::DataFile& file, std::string_view bytes, const BankFile& read) {
  std::vector<Diagnostic> ignored;
  auto decoded = decode_statement_bytes(bytes, std::nullopt, ignored);
  ASSERT_TRUE(decoded) << file.name;
  std::set<std::size_t> unnamed = statement_line_numbers(unwrap_statement_text(decoded->text, ignored));
  const std::size_t lines = unnamed.size();
  for (const Diagnostic& d : read.diagnostics) {
    if (d.severity != Severity::Warning) continue;
    unnamed.erase(d.line);
    for (std::size_t line : d.lines) unnamed.erase(line);
  }
  std::size_t transactions = 0;
  for (const Statement& s : read.statements) transactions += s.transactions.size();
  EXPECT_EQ(transactions, unnamed.size()) << file.name << ": " << lines << " :61: lines, "
                                          << lines - unnamed.size() << " named in warnings";
}

// One row: what a user sees of the file. Reconciliation is part of it, so a repair that
// changes what the bank meant shows up as a statement that stops balancing.
std::string describe(const test::DataFile& data) {
  const std::string bytes = read_bytes(data.path);
  auto file = read_bank_file(bytes, {});
  if (file) expect_every_statement_line_accounted(data, bytes, *file);
  std::ostringstream row;
  if (!file) {
    row << "error at line " << file.error().line << ": " << message(file.error());
    return row.str();
  }
  std::size_t transactions = 0;
  for (const Statement& s : file->statements) transactions += s.transactions.size();
  std::size_t notes = 0;
  std::size_t warnings = 0;
  for (const Diagnostic& d : file->diagnostics) ++(d.severity == Severity::Note ? notes : warnings);
  std::size_t balanced = 0;
  for (const StatementCheck& c : check_statements(file->statements)) balanced += c.balanced;
  row << file->statements.size() << " statements, " << transactions << " transactions, "
      << balanced << " balanced, " << notes << " notes, " << warnings << " warnings, "
      << file->charset;
  return row.str();
}

TEST(Corpus, EveryFileReadsAsPinned) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::map<std::string, std::string> rows;
  for (const auto& file : test::data_files(corpus)) rows[file.name] = describe(file);
  if (std::getenv("TALLYFOLD_REGENERATE") != nullptr) {
    std::ofstream out(kTable, std::ios::binary);
    for (const auto& [name, row] : rows) out << name << '\t' << row << '\n';
    GTEST_SKIP() << "rewrote " << kTable;
  }
  std::map<std::string, std::string> pinned;
  std::istringstream table(read_bytes(kTable));
  for (std::string line; std::getline(table, line);) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) pinned[line.substr(0, tab)] = line.substr(tab + 1);
  }
  ASSERT_FALSE(pinned.empty()) << "no table at " << kTable;
  for (const auto& [name, row] : rows) {
    const auto it = pinned.find(name);
    if (it == pinned.end()) {
      ADD_FAILURE() << name << ": not in the table (new corpus file?): " << row;
    } else {
      EXPECT_EQ(it->second, row) << name;
    }
  }
  for (const auto& [name, row] : pinned) {
    if (!rows.contains(name)) ADD_FAILURE() << name << ": pinned but no longer in the corpus";
  }
}

}  // namespace
}  // namespace tallyfold
