// The bank-file reading's derived fields over the real files of the shared corpus: for
// every transaction whose details carry slash segments with sub-fields or German SEPA
// keywords, purpose, counterparty and counter IBAN are what the bank wrote there, read
// back here by patterns rather than by the decoders.
#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "fields/field_parts.hpp"
#include "decoders/bank/bank_details.hpp"
#include "support/shared_data.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/fields.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

using test::read_bytes;

std::string without(std::string_view text, std::string_view bytes) {
  std::string out;
  for (const char c : text) {
    if (bytes.find(c) == std::string_view::npos) out.push_back(c);
  }
  return out;
}

std::string iban_or_empty(const std::string& account) {
  return is_valid_iban(account) ? account : std::string();
}

const std::regex kRemittance("/REMI/(?:USTD|STRD)/[^/]*/(.*?)(?://[A-Z]{3,4}/|/?$)");
const std::regex kCounterparty("/CNTP/([^/]*)/([^/]*)/([^/]*)/");
const std::regex kSubfield(R"(\?(\d\d)([^?]*))");
const std::regex kKeyword("(EREF|KREF|MREF|CRED|DEBT|COAM|OAMT|BREF|RREF|PURP|IBAN|SVWZ|ABWA|ABWE)\\+|BIC\\+");

// Checks one transaction when its details have one of the two layouts; says whether it did.
bool check(const Transaction& t) {
  const std::string text = without(t.details, "\r\n");
  const DerivedFields f = fields_of(t);
  std::smatch m;
  if (text.find("/CNTP/") != std::string::npos || std::regex_search(text, std::regex("/REMI/(USTD|STRD)/"))) {
    const std::string trimmed = std::regex_replace(text, std::regex("^\\s+|\\s+$"), "");
    EXPECT_EQ(f.purpose, std::regex_search(trimmed, m, kRemittance) ? m[1].str() : "");
    if (std::regex_search(trimmed, m, kCounterparty)) {
      EXPECT_EQ(f.counterparty, m[3].str());
      EXPECT_EQ(f.counter_iban, iban_or_empty(m[1].str()));
    }
    return true;
  }
  if (!std::regex_search(text, std::regex(R"(\?2\d(.*\s)?(EREF|KREF|MREF|CRED|DEBT|SVWZ|ABWA|ABWE)\+)"))) return false;
  // The bank's text with every blank taken out, so that where it cut its subfields and
  // where the reading puts blanks back does not matter.
  std::string remittance;
  std::string name;
  std::string account;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kSubfield); it != std::sregex_iterator(); ++it) {
    const int number = std::stoi((*it)[1].str());
    const std::string value = without((*it)[2].str(), " ");
    if ((number >= 20 && number <= 29) || (number >= 60 && number <= 63)) remittance += value;
    if (number == 32 || number == 33) name += value;
    if (number == 31) account = value;
  }
  const std::size_t svwz = remittance.find("SVWZ+");
  if (svwz != std::string::npos) {
    const std::string rest = remittance.substr(svwz + 5);
    const std::string purpose = std::regex_search(rest, m, kKeyword) ? rest.substr(0, m.position(0)) : rest;
    EXPECT_EQ(without(f.purpose, " "), purpose);
  } else {
    EXPECT_NE(remittance.find(without(f.purpose, " ")), std::string::npos) << f.purpose;
    EXPECT_FALSE(std::regex_search(f.purpose, kKeyword)) << f.purpose;
  }
  EXPECT_EQ(without(f.counterparty, " "), name);
  EXPECT_EQ(f.counter_iban, iban_or_empty(account));
  return true;
}

TEST(CorpusDetails, FieldsAreWhatTheBankWrote) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t checked = 0;
  for (const auto& data : test::data_files(corpus)) {
    const auto file = read_bank_file(read_bytes(data.path), {});
    if (!file) continue;
    for (const Statement& s : file->statements) {
      for (std::size_t i = 0; i < s.transactions.size(); ++i) {
        SCOPED_TRACE(data.name + " statement " + std::string(s.transaction_reference) +
                     " transaction " + std::to_string(i));
        checked += check(s.transactions[i]);
      }
    }
  }
  // Enough that a layout no longer recognised would show.
  EXPECT_GE(checked, 100u);
}

// Single transactions, as a reader of the file would put them.
TEST(CorpusDetails, Examples) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  struct Row {
    const char* file;
    std::size_t transaction;  // over the whole file
    const char* purpose;
    const char* counterparty;
    const char* counter_account;
  };
  const Row rows[] = {
      {"sparkasse-de/jejik-sparkasse.sta", 0, "2019-02-15T20.10 Debitk.4 2019-12", "ARAL AG",
       "DE95430800830802029200"},
      {"triodos-nl/zilverline-triodos_iban_2.sta", 1, "Factuurnummer 201801-001", "G-AAAAA N.V.",
       "NL21RABO0999999999"},
      {"ing-nl/libmt94x-ming-from-spec.sta", 0, "EV10001REP1000000T1000", "ING BANK NV INZAKE WEB",
       "NL32INGB0000012345"},
      {"rabobank-nl/dovadi-rabobank.sta", 1, "BETALINGSKENM.  123456789 FACTUURNUMMER 987654321",
       "T-MOBILE NETHERLANDS BV", "0733959555"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const auto file = read_bank_file(read_bytes(corpus / row.file), {});
    ASSERT_TRUE(file);
    std::vector<Transaction> all;
    for (const Statement& s : file->statements) {
      for (const Transaction& t : s.transactions) all.push_back(t);
    }
    ASSERT_LT(row.transaction, all.size());
    const DerivedFields f = fields_of(all[row.transaction]);
    EXPECT_EQ(f.purpose, row.purpose);
    EXPECT_EQ(f.counterparty, row.counterparty);
    EXPECT_EQ(f.counter_account, row.counter_account);
  }
}

}  // namespace
}  // namespace tallyfold
