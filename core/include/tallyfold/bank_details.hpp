// Transaction details as banks mean them: the bank-file reading's decoding of :86:
// texts and what it derives from them.
//
// The exact reading keeps its own decoders and derived-field rules (decode.hpp,
// export.hpp). The bank-file reading decodes each layout the way the banks define it
// (slash segments with sub-fields, German "?NN" subfields with SEPA keywords, Polish
// "<NN"/"^NN" subfields) and derives the fields below from that; every output of that
// reading (CSV, JSON, Python, ISO 20022) takes them from bank_fields() alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold {

/// The bank-layout chain for a resolver name: "auto" all layouts, "swift" the slash
/// layouts, "gvc" the German one, "angular" the Polish one; nullopt for any other name
/// (an unknown name is an error in the bank-file reading).
std::optional<DecoderChain> select_bank_chain(std::string_view resolver) noexcept;

/// What the bank-file reading derives from one transaction; empty texts when absent.
struct BankFields {
  std::string purpose;               // the remittance text (SVWZ+, /REMI/, joined ?2x)
  std::string counterparty;          // the other party's name
  std::string counter_iban;          // only a valid IBAN (form and check digits)
  std::string counterparty_bic;
  std::string end_to_end_reference;  // EREF, never "NOTPROVIDED"/"NONREF" as given
  std::string mandate_reference;     // MREF
  std::string creditor_id;           // CRED / CSID
};

/// The derived fields of a transaction read by the bank-file reading.
BankFields bank_fields(const Transaction& t);

/// Whether `text` is an IBAN: two letters, two check digits, 11 to 30 letters or digits
/// (upper case, no blanks), and the ISO 7064 mod 97-10 check holds.
bool is_valid_iban(std::string_view text) noexcept;

}  // namespace tallyfold
