// The bank-file reading over every real file of the shared corpus, pinned file by file:
// statements, transactions, notes and warnings, or the error. A change that loses a
// file, a statement or a repair shows up here by name.
//
// After a deliberate change, rewrite the table with
//   TALLYFOLD_REGENERATE=1 build/test/tests/core/corpus_test
// and say in the commit why the rows changed.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/reconcile.hpp"
#include "support/shared_data.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

using test::read_bytes;

const fs::path kTable = fs::path(TALLYFOLD_GOLDEN_DIR) / "corpus_bank_reading.tsv";

// One row: what a user sees of the file. Reconciliation is part of it, so a repair that
// changes what the bank meant shows up as a statement that stops balancing.
std::string describe(std::string_view bytes) {
  auto file = read_bank_file(bytes, {});
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
  for (const auto& file : test::data_files(corpus)) rows[file.name] = describe(read_bytes(file.path));
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
