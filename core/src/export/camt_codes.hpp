// The code lists the camt writer maps into: ISO bank transaction codes from SWIFT
// transaction types and German GVC, the minor units of ISO 4217 currencies, and the
// shape of ISO return reason codes. docs/formats.md names the source of each table.
#pragma once

#include <optional>
#include <string_view>

#include "tallyfold/model.hpp"

namespace tallyfold::camt {

/// An ISO 20022 bank transaction code: domain, family and sub-family.
struct BankTransactionCode {
  std::string_view domain;
  std::string_view family;
  std::string_view sub_family;

  friend bool operator==(const BankTransactionCode&, const BankTransactionCode&) = default;
};

/// The code of the domain an importer can always read: "extended domain, not available".
inline constexpr BankTransactionCode kUnknownTransactionCode{"XTND", "NTAV", "NTAV"};

/// The code of an entry: from its German GVC (three digits) when the published mapping
/// has it, else from its SWIFT type ("NTRF", "FCHG", ...), else kUnknownTransactionCode.
/// `credit` tells the two sides of a SWIFT type apart.
BankTransactionCode bank_transaction_code(std::string_view swift_type, std::string_view gvc, bool credit) noexcept;

/// The SWIFT transaction type ("NTRF", "NDDT", ...) that names `code`, for an entry
/// that came without one: the type whose row in the table bank_transaction_code reads
/// holds the code, else the type of its family (PMNT ICDT/RCDT a transfer, IDDT/RDDT a
/// direct debit, ICHQ/RCHQ a cheque), else "NMSC".
std::string_view swift_type_of(const BankTransactionCode& code) noexcept;

/// The code a camt entry gave in BkTxCd/Domn, as its details keep it; none when the
/// entry gave no domain, family and sub-family.
std::optional<BankTransactionCode> given_transaction_code(const DecodedDetails& details) noexcept;

/// Whether the code is that of a returned payment or direct debit.
constexpr bool is_return(const BankTransactionCode& code) noexcept {
  return code.sub_family == "UPDD" || code.sub_family == "RRTN";
}

/// The number of decimals of an ISO 4217 currency (JPY 0, BHD 3, most 2).
int minor_units(std::string_view currency) noexcept;

/// Whether `code` has the form of an ISO external return reason code (AC04, MS03, ...).
bool is_iso_reason_code(std::string_view code) noexcept;

/// An ISO 11649 creditor reference ("RF" and two check digits, up to 21 letters or
/// digits; mod 97 gives 1).
bool is_creditor_reference(std::string_view text) noexcept;

}  // namespace tallyfold::camt
