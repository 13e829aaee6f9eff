#include "tallyfold/fields.hpp"

#include <cstdint>
#include <iterator>

#include "fields/rules.hpp"
#include "util/ascii.hpp"

namespace tallyfold {

void field_parts(const Transaction& t, std::string& scratch, FieldParts& out) {
  if (t.rules == FieldRules::Bank) {
    detail::bank_rules(t, scratch, out);
  } else {
    detail::fixed_rules(t, out);
  }
}

FieldParts field_parts(const Transaction& t, std::string& scratch) {
  FieldParts parts;
  field_parts(t, scratch, parts);
  return parts;
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

FieldViews field_views(const Transaction& t, FieldScratch& scratch) {
  field_parts(t, scratch.rules, scratch.parts);
  const FieldParts& p = scratch.parts;
  const TextParts* const all[] = {&p.purpose,           &p.counterparty,          &p.counter_iban,
                                  &p.counter_account,   &p.counterparty_bic,      &p.end_to_end_reference,
                                  &p.mandate_reference, &p.creditor_id,           &p.payment_information_id,
                                  &p.ultimate_debtor,   &p.ultimate_creditor,     &p.purpose_code,
                                  &p.return_reason,     &p.posting_text,          &p.counterparty_town,
                                  &p.counterparty_address, &p.structured_reference, &p.reference_issuer};
  // Reserved first, so that no view into it moves while the next field is joined.
  std::size_t room = 0;
  for (const TextParts* field : all) {
    if (field->count > 1) room += field->size();
  }
  scratch.joined.clear();
  scratch.joined.reserve(room);
  std::string_view v[std::size(all)];
  for (std::size_t i = 0; i < std::size(all); ++i) {
    const TextParts& field = *all[i];
    if (field.count == 1) {
      v[i] = field.parts[0];
    } else if (field.count > 1) {
      const std::size_t at = scratch.joined.size();
      field.append_to(scratch.joined);
      v[i] = std::string_view(scratch.joined).substr(at);
    }
  }
  return {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15], v[16], v[17]};
}

bool is_valid_iban(std::string_view text) noexcept {
  using ascii::is_digit;
  using ascii::is_upper;
  if (text.size() < 15 || text.size() > 34) return false;
  if (!is_upper(text[0]) || !is_upper(text[1]) || !is_digit(text[2]) || !is_digit(text[3])) return false;
  // ISO 7064 mod 97-10 over the text moved by four, letters as 10..35. The remainder is
  // taken only when the number nears what 64 bits hold: one division per 15 digits
  // instead of one per character.
  std::uint64_t number = 0;
  const auto add = [&number](char c) {
    if (number >= 100'000'000'000'000) number %= 97;
    if (is_digit(c)) {
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    } else if (is_upper(c)) {
      number = number * 100 + static_cast<std::uint64_t>(c - 'A' + 10);
    } else {
      return false;
    }
    return true;
  };
  for (std::size_t k = 4; k < text.size(); ++k) {
    if (!add(text[k])) return false;
  }
  for (std::size_t k = 0; k < 4; ++k) add(text[k]);  // checked above: letters and digits
  return number % 97 == 1;
}

}  // namespace tallyfold
