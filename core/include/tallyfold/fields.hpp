// The fields a user wants of every transaction that MT940 does not hold as fields: the
// purpose, the other party and its account, and the references a payment carries. They
// are derived here, and only here: every export, the camt writer and the Python
// attributes take them from fields_of (or its views inside the core), so all of them agree.
//
// Which rules apply is the transaction's own `rules` (set by the decoder chain that read
// its details) and the layout stamped on its details map, never where the statement
// came from.
#pragma once

#include <string>

#include "tallyfold/model.hpp"

namespace tallyfold {

/// The derived fields as owned texts.
struct DerivedFields {
  std::string purpose;
  std::string counterparty;
  std::string counter_iban;
  std::string counter_account;
  std::string counterparty_bic;
  std::string end_to_end_reference;
  std::string mandate_reference;
  std::string creditor_id;
  std::string payment_information_id;
  std::string ultimate_debtor;
  std::string ultimate_creditor;
  std::string purpose_code;
  std::string return_reason;
  std::string posting_text;
  std::string counterparty_town;
  std::string counterparty_address;
  std::string structured_reference;
  std::string reference_issuer;
};

/// The derived fields of `t`.
///
/// FieldRules::Fixed: purpose is the subfields "20".."29" joined by one blank, else
/// "REMI", else "EREF", else "detail"; without a map, the details text. Counterparty is
/// "32" (and " " and "33" when present), else "27", else "NAME". Counter IBAN is the
/// first present of "31", "30", "IBAN", as written. A present key wins even when empty.
/// End-to-end, mandate, creditor and payment information references are "EREF",
/// "MREF", "CRED" and "KREF"; the fields of banks' own layouts stay empty.
///
/// FieldRules::Bank: by the layout stamped on the map, whose keys docs/readings.md
/// lists; an unstructured text becomes one line, and the supplementary details of an old
/// Rabobank statement line give the counter account and name.
DerivedFields fields_of(const Transaction& t);

}  // namespace tallyfold
