// The derived fields as views, for the exports that escape them straight into their
// output: fields_of (fields.hpp) is these, joined into owned texts.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "tallyfold/fields.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold {

/// A text made of up to ten pieces joined by single blanks, viewed in place, so that an
/// export can escape it straight into its output without building the joined copy.
struct TextParts {
  std::array<std::string_view, 10> parts{};
  std::size_t count = 0;

  void push(std::string_view piece) noexcept { parts[count++] = piece; }
  /// True when the joined text is empty (two or more parts always hold a blank).
  bool empty() const noexcept { return count == 0 || (count == 1 && parts[0].empty()); }
  std::size_t size() const noexcept {
    std::size_t n = count == 0 ? 0 : count - 1;
    for (std::size_t i = 0; i < count; ++i) n += parts[i].size();
    return n;
  }
  void append_to(std::string& out) const {
    for (std::size_t i = 0; i < count; ++i) {
      if (i != 0) out.push_back(' ');
      out.append(parts[i]);
    }
  }
  std::string joined() const {
    std::string s;
    s.reserve(size());
    append_to(s);
    return s;
  }
};

/// The derived fields of one transaction as views: into the transaction's texts, or into
/// the scratch text given to field_parts (for what the rules rewrite, such as an IBAN
/// printed with blanks). Empty when absent.
struct FieldParts {
  TextParts purpose;               // the remittance text
  TextParts counterparty;          // the other party's name
  TextParts counter_iban;          // the other party's IBAN (Bank rules: only a valid one)
  TextParts counter_account;       // the other party's account as written, IBAN or not
  TextParts counterparty_bic;
  TextParts end_to_end_reference;  // EREF, never "NOTPROVIDED"/"NONREF" as given
  TextParts mandate_reference;     // MREF
  TextParts creditor_id;           // CRED / CSID
  TextParts payment_information_id;  // KREF, else PREF: the payer's own batch or order reference
  TextParts ultimate_debtor;       // ABWA, ULTD
  TextParts ultimate_creditor;     // ABWE, ULTC, ULTB
  TextParts purpose_code;          // PURP
  TextParts return_reason;         // RTRN, as the bank gave it
  TextParts posting_text;          // ?00, the German bank's posting text
  TextParts counterparty_town;     // the city of /CNTP/, /BENM/ or /ORDP/
  TextParts counterparty_address;  // /ADDR/: the postal address on one line, as given
  TextParts structured_reference;  // /REMI/STRD/ISSUER/REF: the reference
  TextParts reference_issuer;      // and its issuer

  /// Every field empty again. Only the counts are reset: the parts beyond a count are
  /// never read, and clearing them would cost more than deriving most fields.
  /// Eighteen stores, written out: a loop over a list of the fields built its list first.
  void clear() noexcept {
    purpose.count = counterparty.count = counter_iban.count = counter_account.count = counterparty_bic.count = 0;
    end_to_end_reference.count = mandate_reference.count = creditor_id.count = payment_information_id.count = 0;
    ultimate_debtor.count = ultimate_creditor.count = purpose_code.count = return_reason.count = 0;
    posting_text.count = counterparty_town.count = counterparty_address.count = 0;
    structured_reference.count = reference_issuer.count = 0;
  }
};

/// The derived fields of `t` as fields_of gives them (its rules are written there), valid
/// while `t`'s texts and `scratch` are unchanged. `scratch` is overwritten; passing the
/// same one for every transaction of an export costs no allocation after the first.
FieldParts field_parts(const Transaction& t, std::string& scratch);
/// The same into `out`, which an export keeps from transaction to transaction: it is
/// overwritten, not built anew.
void field_parts(const Transaction& t, std::string& scratch, FieldParts& out);

/// The derived fields as one view each, for an export that reads a field as one text.
struct FieldViews {
  std::string_view purpose;
  std::string_view counterparty;
  std::string_view counter_iban;
  std::string_view counter_account;
  std::string_view counterparty_bic;
  std::string_view end_to_end_reference;
  std::string_view mandate_reference;
  std::string_view creditor_id;
  std::string_view payment_information_id;
  std::string_view ultimate_debtor;
  std::string_view ultimate_creditor;
  std::string_view purpose_code;
  std::string_view return_reason;
  std::string_view posting_text;
  std::string_view counterparty_town;
  std::string_view counterparty_address;
  std::string_view structured_reference;
  std::string_view reference_issuer;
};

/// What field_views writes in; one kept for every transaction of an export costs no
/// allocation once its texts have grown to the largest transaction's.
struct FieldScratch {
  FieldParts parts;
  std::string rules;   // field_parts' scratch
  std::string joined;  // the fields of several parts, joined
};

/// The derived fields of `t` as fields_of gives them, as views into `t`'s texts and
/// `scratch`, valid while both are unchanged.
FieldViews field_views(const Transaction& t, FieldScratch& scratch);

/// Whether `text` is an IBAN: two letters, two check digits, 11 to 30 letters or digits
/// (upper case, no blanks), and the ISO 7064 mod 97-10 check holds.
bool is_valid_iban(std::string_view text) noexcept;

}  // namespace tallyfold
