// Stable transaction ids: what a booking program keys re-imports on, so that a
// transaction read again from an overlapping download is recognised as known.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "tallyfold/model.hpp"

namespace tallyfold {

/// 32 lowercase hexadecimal digits: the 128-bit BLAKE2b digest (RFC 7693, unkeyed,
/// digest size 16) of the canonical text below.
struct TransactionId {
  std::array<char, 32> hex{};
  std::string_view text() const noexcept { return {hex.data(), hex.size()}; }
  friend bool operator==(const TransactionId&, const TransactionId&) = default;
};

/// The ids of the statement's transactions, in order. Each depends only on the values
/// the bank wrote, never on the file around the statement: the same statement gives the same ids in any file that holds it, and a change
/// of any value below gives another id.
///
/// The canonical text is "tallyfold-transaction-id-1\n" followed by fourteen fields, each
/// written as its length in bytes (decimal digits), ":", its bytes and "\n":
///   1 account (:25: as written)            2 currency (statement_currency)
///   3 statement number (:28C: as written: the number, "/" and the sequence when given)
///   4 value date (YYYY-MM-DD)              5 entry date (YYYY-MM-DD, empty when absent)
///   6 mark ("D", "C", "RD", "RC")          7 funds code (empty when absent)
///   8 signed amount (Decimal::to_string)   9 transaction type ("NTRF")
///  10 customer reference                  11 bank reference (empty when absent)
///  12 supplementary details (empty when absent)
///  13 details text (the :86: text as read, lines joined by "\n")
///  14 occurrence: 1, or one more than the number of earlier transactions of the
///     statement whose fields 4 to 13 are all equal to this one's
/// Linear in the size of the statement's texts.
std::vector<TransactionId> transaction_ids(const Statement& statement);

}  // namespace tallyfold
