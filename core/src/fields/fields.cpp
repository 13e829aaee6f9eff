#include "tallyfold/fields.hpp"

#include "fields/rules.hpp"

namespace tallyfold {

FieldParts field_parts(const Transaction& t, std::string& scratch) {
  if (t.rules == FieldRules::Bank) return detail::bank_rules(t, scratch);
  return detail::fixed_rules(t);
}

DerivedFields fields_of(const Transaction& t) {
  std::string scratch;
  const FieldParts p = field_parts(t, scratch);
  return {p.purpose.joined(),           p.counterparty.joined(),         p.counter_iban.joined(),
          p.counter_account.joined(),   p.counterparty_bic.joined(),     p.end_to_end_reference.joined(),
          p.mandate_reference.joined(), p.creditor_id.joined(),          p.payment_information_id.joined(),
          p.ultimate_debtor.joined(),   p.ultimate_creditor.joined(),    p.purpose_code.joined(),
          p.return_reason.joined(),     p.posting_text.joined(),         p.counterparty_town.joined(),
          p.counterparty_address.joined(), p.structured_reference.joined(), p.reference_issuer.joined()};
}

std::string derive_purpose(const Transaction& t) {
  std::string scratch;
  return field_parts(t, scratch).purpose.joined();
}

std::string derive_counterparty(const Transaction& t) {
  std::string scratch;
  return field_parts(t, scratch).counterparty.joined();
}

std::string derive_counter_iban(const Transaction& t) {
  std::string scratch;
  return field_parts(t, scratch).counter_iban.joined();
}

bool is_valid_iban(std::string_view text) noexcept {
  const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.size() < 15 || text.size() > 34) return false;
  if (!upper(text[0]) || !upper(text[1]) || !digit(text[2]) || !digit(text[3])) return false;
  // ISO 7064 mod 97-10 over the text moved by four, letters as 10..35, one digit at a time.
  unsigned remainder = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[(k + 4) % text.size()];
    if (digit(c)) {
      remainder = (remainder * 10 + static_cast<unsigned>(c - '0')) % 97;
    } else if (upper(c)) {
      remainder = (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return remainder == 1;
}

}  // namespace tallyfold
