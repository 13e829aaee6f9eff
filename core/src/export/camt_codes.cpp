#include "export/camt_codes.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "export/iso20022_limits.hpp"

namespace tallyfold::camt {
namespace {

struct GvcRow {
  std::string_view gvc;
  BankTransactionCode code;
};

// German GVC to ISO bank transaction code, after the industry's mapping annex (the
// version docs/formats.md names). Sorted by GVC for the binary search.
constexpr GvcRow kGvc[] = {
    {"008", {"PMNT", "ICDT", "STDO"}},  // standing order
    {"020", {"PMNT", "ICDT", "DMCT"}},  // domestic credit transfer
    {"051", {"PMNT", "RCDT", "DMCT"}},  // credit transfer received
    {"052", {"PMNT", "RCDT", "STDO"}},  // standing order received
    {"053", {"PMNT", "RCDT", "SALA"}},  // salary
    {"082", {"PMNT", "CNTR", "CDPT"}},  // cash deposit
    {"083", {"PMNT", "CNTR", "CWDL"}},  // cash withdrawal
    {"104", {"PMNT", "IDDT", "BBDD"}},  // SEPA B2B direct debit, debtor
    {"105", {"PMNT", "IDDT", "ESDD"}},  // SEPA core direct debit, debtor
    {"106", {"PMNT", "CCRD", "POSD"}},  // SEPA card clearing
    {"107", {"PMNT", "IDDT", "ESDD"}},  // SEPA core direct debit from a card payment
    {"108", {"PMNT", "IDDT", "UPDD"}},  // SEPA direct debit returned, debtor credited again
    {"109", {"PMNT", "RDDT", "UPDD"}},  // SEPA core direct debit returned, creditor debited
    {"116", {"PMNT", "ICDT", "ESCT"}},  // SEPA credit transfer
    {"117", {"PMNT", "ICDT", "STDO"}},  // SEPA standing order
    {"119", {"PMNT", "ICDT", "ESCT"}},  // SEPA credit transfer, donation
    {"152", {"PMNT", "RCDT", "STDO"}},  // SEPA standing order received
    {"153", {"PMNT", "RCDT", "SALA"}},  // SEPA salary
    {"154", {"PMNT", "RCDT", "ESCT"}},  // SEPA capital-forming payment
    {"155", {"PMNT", "RCDT", "ESCT"}},  // SEPA pension saving payment
    {"156", {"PMNT", "RCDT", "ESCT"}},  // SEPA payment from public funds
    {"159", {"PMNT", "RCDT", "RRTN"}},  // SEPA credit transfer returned
    {"166", {"PMNT", "RCDT", "ESCT"}},  // SEPA credit transfer received
    {"167", {"PMNT", "RCDT", "ESCT"}},  // SEPA credit transfer received, with check digits
    {"169", {"PMNT", "RCDT", "ESCT"}},  // SEPA donation received
    {"171", {"PMNT", "RDDT", "ESDD"}},  // SEPA core direct debit collected
    {"174", {"PMNT", "RDDT", "BBDD"}},  // SEPA B2B direct debit collected
    {"181", {"PMNT", "RDDT", "UPDD"}},  // SEPA core direct debit returned, creditor debited
    {"184", {"PMNT", "RDDT", "UPDD"}},  // SEPA B2B direct debit returned, creditor debited
    {"191", {"PMNT", "ICDT", "ESCT"}},  // SEPA credit transfers, batch
    {"192", {"PMNT", "RDDT", "ESDD"}},  // SEPA core direct debits collected, batch
    {"194", {"PMNT", "RCDT", "ESCT"}},  // SEPA credit transfers received, batch
    {"195", {"PMNT", "RDDT", "BBDD"}},  // SEPA B2B direct debits collected, batch
    {"805", {"ACMT", "MDOP", "CHRG"}},  // closing of accounts: charges
    {"808", {"ACMT", "MDOP", "CHRG"}},  // charges
    {"809", {"ACMT", "MDOP", "COMM"}},  // commission
};

struct SwiftRow {
  std::string_view type;  // as an MT940 statement line gives it; read without its N, F or S
  BankTransactionCode debit;
  BankTransactionCode credit;
};

// SWIFT transaction type identification codes, by the ISO sub-family each names. Read
// both ways: a type to its code, and a code back to its type.
constexpr SwiftRow kSwift[] = {
    {"NCHG", {"ACMT", "MDOP", "CHRG"}, {"ACMT", "MCOP", "CHRG"}},  // charges
    {"NCHK", {"PMNT", "ICHQ", "CCHQ"}, {"PMNT", "RCHQ", "CCHQ"}},  // cheques
    {"NCMZ", {"CAMT", "ACCB", "ZABA"}, {"CAMT", "ACCB", "ZABA"}},  // zero balancing
    {"NCOM", {"ACMT", "MDOP", "COMM"}, {"ACMT", "MCOP", "COMM"}},  // commission
    {"NDDT", {"PMNT", "IDDT", "OTHR"}, {"PMNT", "RDDT", "OTHR"}},  // direct debit
    {"NDIV", {"SECU", "CUST", "DVCA"}, {"SECU", "CUST", "DVCA"}},  // dividends
    {"NINT", {"ACMT", "MDOP", "INTR"}, {"ACMT", "MCOP", "INTR"}},  // interest
    {"NMSC", {"PMNT", "MDOP", "OTHR"}, {"PMNT", "MCOP", "OTHR"}},  // miscellaneous
    {"NSTO", {"PMNT", "ICDT", "STDO"}, {"PMNT", "RCDT", "STDO"}},  // standing order
    {"NTRF", {"PMNT", "ICDT", "OTHR"}, {"PMNT", "RCDT", "OTHR"}},  // transfer
};

// Three digits as a number from 0 to 999; -1 for anything else.
constexpr int gvc_number(std::string_view gvc) noexcept {
  if (gvc.size() != 3) return -1;
  int n = 0;
  for (const char c : gvc) {
    if (c < '0' || c > '9') return -1;
    n = 10 * n + (c - '0');
  }
  return n;
}

// Each GVC's row in kGvc, by its number: looked up for every entry of a German file.
constexpr std::array<std::uint8_t, 1000> kGvcRow = [] {
  static_assert(std::size(kGvc) < 255);
  std::array<std::uint8_t, 1000> rows{};
  rows.fill(0xFF);
  for (std::size_t i = 0; i < std::size(kGvc); ++i) {
    rows[static_cast<std::size_t>(gvc_number(kGvc[i].gvc))] = static_cast<std::uint8_t>(i);
  }
  return rows;
}();

// The three characters of a type after its N, F or S, as one number.
constexpr std::uint32_t type_key(std::string_view type) noexcept {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(type[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(type[2])) << 8 |
         static_cast<unsigned char>(type[3]);
}

constexpr std::array<std::uint32_t, std::size(kSwift)> kSwiftKey = [] {
  std::array<std::uint32_t, std::size(kSwift)> keys{};
  for (std::size_t i = 0; i < std::size(kSwift); ++i) keys[i] = type_key(kSwift[i].type);
  return keys;
}();

}  // namespace

BankTransactionCode bank_transaction_code(std::string_view swift_type, std::string_view gvc, bool credit) noexcept {
  if (const int number = gvc_number(gvc); number >= 0) {
    const std::uint8_t row = kGvcRow[static_cast<std::size_t>(number)];
    if (row != 0xFF) return kGvc[row].code;
  }
  if (swift_type.size() == 4) {
    const std::uint32_t key = type_key(swift_type);
    for (std::size_t i = 0; i < kSwiftKey.size(); ++i) {
      if (kSwiftKey[i] == key) return credit ? kSwift[i].credit : kSwift[i].debit;
    }
  }
  return kUnknownTransactionCode;
}

std::string_view swift_type_of(const BankTransactionCode& code) noexcept {
  constexpr std::string_view kMiscellaneous = "NMSC";
  for (const SwiftRow& row : kSwift) {
    // The miscellaneous rows only say that no other row fits.
    if (row.type == kMiscellaneous) continue;
    if (row.debit == code || row.credit == code) return row.type;
  }
  if (code.domain != "PMNT") return kMiscellaneous;
  const std::string_view family = code.family;
  if (family == "ICDT" || family == "RCDT") return "NTRF";
  if (family == "IDDT" || family == "RDDT") return "NDDT";
  if (family == "ICHQ" || family == "RCHQ") return "NCHK";
  return kMiscellaneous;
}

std::optional<BankTransactionCode> given_transaction_code(const DecodedDetails& details) noexcept {
  const auto domain = details.find("BkTxCd/Domn/Cd");
  const auto family = details.find("BkTxCd/Domn/Fmly/Cd");
  const auto sub_family = details.find("BkTxCd/Domn/Fmly/SubFmlyCd");
  if (!domain || !family || !sub_family) return std::nullopt;
  return BankTransactionCode{*domain, *family, *sub_family};
}

int minor_units(std::string_view currency) noexcept {
  // ISO 4217 currencies whose minor unit is not two decimals.
  static constexpr std::array<std::string_view, 17> kNone = {"BIF", "CLP", "DJF", "GNF", "ISK", "JPY",
                                                             "KMF", "KRW", "PYG", "RWF", "UGX", "UYI",
                                                             "VND", "VUV", "XAF", "XOF", "XPF"};
  static constexpr std::array<std::string_view, 7> kThree = {"BHD", "IQD", "JOD", "KWD", "LYD", "OMR", "TND"};
  static constexpr std::array<std::string_view, 2> kFour = {"CLF", "UYW"};
  if (std::find(kNone.begin(), kNone.end(), currency) != kNone.end()) return 0;
  if (std::find(kThree.begin(), kThree.end(), currency) != kThree.end()) return 3;
  if (std::find(kFour.begin(), kFour.end(), currency) != kFour.end()) return 4;
  return 2;
}

bool is_iso_reason_code(std::string_view code) noexcept {
  return code.size() == 4 && is_upper(code[0]) && is_upper(code[1]) && is_upper_or_digit(code[2]) &&
         is_upper_or_digit(code[3]);
}

bool is_creditor_reference(std::string_view text) noexcept {
  if (text.size() < 5 || text.size() > 25 || text[0] != 'R' || text[1] != 'F' || !is_digit(text[2]) ||
      !is_digit(text[3])) {
    return false;
  }
  // ISO 7064 mod 97-10 over the reference moved by four, letters as 10..35.
  unsigned remainder = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[(k + 4) % text.size()];
    if (is_digit(c)) {
      remainder = (remainder * 10 + static_cast<unsigned>(c - '0')) % 97;
    } else if (is_upper(c)) {
      remainder = (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return remainder == 1;
}

}  // namespace tallyfold::camt
