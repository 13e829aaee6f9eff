// The camt reading over real files: every file of the camt corpus pinned, and the round
// trip MT940 -> camt -> model over the MT corpus. Refusals and the rules of the mapping on
// small documents are pinned by cases/camt/.
//
// After a deliberate change, rewrite the corpus table with
//   TALLYFOLD_REGENERATE=1 build/dev/tests/core/camt_reading_test
// and say in the commit why the rows changed.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "export/iso20022_message.hpp"
#include "support/shared_data.hpp"
#include "decoders/bank/bank_details.hpp"
#include "camt/read_camt.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/read.hpp"
#include "tallyfold/reconcile.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

using test::read_bytes;

// One row per file: what a user sees of it, and a digest of its JSON so that any value
// that changes shows up.
std::string describe(const std::string& bytes) {
  const auto read = read_camt(bytes);
  std::ostringstream row;
  if (!read) {
    row << "error at line " << read.error().line << ": " << message(read.error());
    return row.str();
  }
  row << read->source_format;
  const auto checks = check_statements(read->statements);
  for (std::size_t i = 0; i < read->statements.size(); ++i) {
    const Statement& s = read->statements[i];
    std::size_t payments = 0;
    for (const Transaction& t : s.transactions) payments += t.transaction_details.size();
    row << " | " << (s.kind == StatementKind::Statement ? "statement" : s.kind == StatementKind::InterimReport ? "report" : "notification")
        << (s.complete ? "" : " incomplete") << ", " << s.transactions.size() << " entries, " << payments
        << " batch details, opening " << (s.opening_balance_given ? s.opening_balance.signed_amount().to_string() : "-")
        << ", closing " << (s.closing_balance_given ? s.closing_balance.signed_amount().to_string() : "-") << ' '
        << statement_currency(s) << (s.complete && checks[i].balanced ? ", balanced" : "");
  }
  std::size_t notes = 0;
  std::size_t warnings = 0;
  for (const Diagnostic& d : read->diagnostics) ++(d.severity == Severity::Note ? notes : warnings);
  const auto json = export_json(read->statements);
  std::uint64_t digest = 1469598103934665603ULL;
  for (const char c : json ? *json : std::string("unwritable")) digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  row << " | " << notes << " notes, " << warnings << " warnings | json " << std::hex << digest;
  return row.str();
}

TEST(CamtCorpus, EveryFileReadsAsPinned) {
  TALLYFOLD_SHARED_DATA(corpus, "camt-corpus");
  const fs::path table = fs::path(TALLYFOLD_GOLDEN_DIR) / "corpus_camt_reading.tsv";
  std::map<std::string, std::string> rows;
  for (const test::DataFile& file : test::data_files(corpus)) rows[file.name] = describe(read_bytes(file.path));
  if (std::getenv("TALLYFOLD_REGENERATE") != nullptr) {
    std::ofstream out(table, std::ios::binary);
    for (const auto& [name, row] : rows) out << name << '\t' << row << '\n';
    GTEST_SKIP() << "rewrote " << table;
  }
  std::map<std::string, std::string> pinned;
  std::istringstream lines(read_bytes(table));
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) pinned[line.substr(0, tab)] = line.substr(tab + 1);
  }
  EXPECT_EQ(rows.size(), pinned.size());
  for (const auto& [name, row] : rows) EXPECT_EQ(pinned[name], row) << name;
}

std::string without_blanks(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ') out += c;
  }
  return out;
}

// A text as camt can hold it: the writer splits long texts at blanks, writes a TAB as a
// blank and U+FFFD as "?", and leaves out soft hyphens, which importers stumble on.
std::string as_camt_holds(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i).starts_with("\xEF\xBF\xBD")) {
      out += '?';
      i += 2;
    } else if (text.substr(i).starts_with("\xC2\xAD")) {
      i += 1;
    } else if (text[i] != ' ' && text[i] != '\t') {
      out += text[i];
    }
  }
  return out;
}

// A SWIFT transaction type as the :61: line names it ("NTRF", "FCHK"); banks write other
// codes there as well, which camt has no place for.
bool is_swift_type(std::string_view type) {
  return type.size() == 4 && (type[0] == 'N' || type[0] == 'F') &&
         std::all_of(type.begin() + 1, type.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// MT940 -> camt -> model keeps what camt can hold (docs/formats.md lists what it cannot).
void expect_same(const Statement& mt, const Statement& camt, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_NE(without_blanks(mt.account_identification).find(without_blanks(camt.account_identification)), std::string::npos);
  EXPECT_EQ(mt.opening_balance_given, camt.opening_balance_given);
  EXPECT_EQ(mt.closing_balance_given, camt.closing_balance_given);
  if (mt.kind == StatementKind::Statement) {
    for (const auto& [a, b] : {std::pair{&mt.opening_balance, &camt.opening_balance}, {&mt.closing_balance, &camt.closing_balance}}) {
      EXPECT_EQ(a->signed_amount(), b->signed_amount());
      EXPECT_EQ(a->date, b->date);
    }
    EXPECT_EQ(mt.closing_balance.intermediate, camt.closing_balance.intermediate);
  }
  EXPECT_EQ(mt.closing_available_balance.has_value(), camt.closing_available_balance.has_value());
  EXPECT_EQ(mt.forward_balances.size(), camt.forward_balances.size());
  ASSERT_EQ(mt.transactions.size(), camt.transactions.size());
  for (std::size_t i = 0; i < mt.transactions.size(); ++i) {
    const Transaction& a = mt.transactions[i];
    const Transaction& b = camt.transactions[i];
    SCOPED_TRACE("transaction " + std::to_string(i + 1));
    EXPECT_EQ(a.signed_amount(), b.signed_amount());
    EXPECT_EQ(a.debit_credit, b.debit_credit);
    EXPECT_EQ(a.value_date, b.value_date);
    EXPECT_EQ(a.entry_date.value_or(a.value_date), b.entry_date.value_or(b.value_date));
    const std::string_view bank = a.bank_reference.value_or("");
    if (bank.size() <= 35 && bank != "NONREF" && bank != "NOREF") {
      EXPECT_EQ(bank, b.bank_reference.value_or(""));
    }
    const DerivedFields fa = fields_of(a);
    const DerivedFields fb = fields_of(b);
    EXPECT_EQ(as_camt_holds(fa.purpose), as_camt_holds(fb.purpose));
    if (fa.counterparty.size() <= 140) {
      EXPECT_EQ(trim_white_space(fa.counterparty), fb.counterparty);
    }
    EXPECT_EQ(fa.counter_iban, fb.counter_iban);
    if (!fa.end_to_end_reference.empty() && fa.end_to_end_reference.size() <= 35) {
      EXPECT_EQ(fa.end_to_end_reference, fb.end_to_end_reference);
    }
    if (fa.mandate_reference.size() <= 35) {
      EXPECT_EQ(fa.mandate_reference, fb.mandate_reference);
    }
    for (const auto& [name, x, y] : {std::tuple{"counter_account", &fa.counter_account, &fb.counter_account},
                                     {"counterparty_bic", &fa.counterparty_bic, &fb.counterparty_bic},
                                     {"creditor_id", &fa.creditor_id, &fb.creditor_id},
                                     {"payment_information_id", &fa.payment_information_id, &fb.payment_information_id},
                                     {"ultimate_debtor", &fa.ultimate_debtor, &fb.ultimate_debtor},
                                     {"ultimate_creditor", &fa.ultimate_creditor, &fb.ultimate_creditor},
                                     {"purpose_code", &fa.purpose_code, &fb.purpose_code},
                                     {"counterparty_town", &fa.counterparty_town, &fb.counterparty_town},
                                     {"counterparty_address", &fa.counterparty_address, &fb.counterparty_address},
                                     {"structured_reference", &fa.structured_reference, &fb.structured_reference},
                                     {"reference_issuer", &fa.reference_issuer, &fb.reference_issuer}}) {
      EXPECT_EQ(*x, *y) << "FIELD " << name;
    }
    // The German return key (?34) of a returned entry is a return reason in camt.
    if (!fa.return_reason.empty() || fb.return_reason.empty()) {
      EXPECT_EQ(fa.return_reason, fb.return_reason) << "FIELD return_reason";
    } else {
      ASSERT_TRUE(a.structured_details);
      EXPECT_EQ(a.structured_details->find("34"), fb.return_reason) << "FIELD return_reason";
    }
    if (!a.customer_reference.empty() && a.customer_reference != "NONREF") {
      EXPECT_EQ(a.customer_reference, b.customer_reference) << "FIELD customer_reference";
    }
    if (is_swift_type(a.transaction_type)) {
      EXPECT_EQ(a.transaction_type, b.transaction_type) << "FIELD transaction_type";
    }
  }
}

TEST(CamtRoundTrip, MtCorpusThroughCamtGivesTheSameStatements) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t compared = 0;
  for (const test::DataFile& data : test::data_files(corpus)) {
    const auto file = read_bank_file(read_bytes(data.path), {});
    if (!file) continue;
    for (std::size_t i = 0; i < file->statements.size(); ++i) {
      const Statement& mt = file->statements[i];
      // One document per statement, so that a statement the writer leaves out is told apart.
      for (const CamtVersion version : {CamtVersion::V02, CamtVersion::V08}) {
        const auto written = export_camt(std::span(&mt, 1), CamtOptions{version, 0});
        if (!written) continue;
        const auto read = read_camt(written->xml);
        const std::string where = data.name + " #" + std::to_string(i + 1) + " v" +
                                  std::string(camt_version_name(version));
        ASSERT_TRUE(read) << where << ": " << message(read.error());
        ASSERT_EQ(read->statements.size(), 1u) << where;
        const Statement& back = read->statements.front();
        EXPECT_EQ(back.kind, mt.kind) << where;
        expect_same(mt, back, where);
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 100u);
}

}  // namespace
}  // namespace tallyfold
