#include "fields/field_parts.hpp"
#include "tallyfold/fields.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

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
  // Reserved first, so that no view into it moves while the next field is joined; a
  // field of one part, nearly every one, is its own view.
  // Summed field by field, not over a list of the fields that would be built first.
  const auto joined_size = [](const TextParts& f) { return f.count > 1 ? f.size() : 0; };
  const std::size_t room =
      joined_size(p.purpose) + joined_size(p.counterparty) + joined_size(p.counter_iban) +
      joined_size(p.counter_account) + joined_size(p.counterparty_bic) + joined_size(p.end_to_end_reference) +
      joined_size(p.mandate_reference) + joined_size(p.creditor_id) + joined_size(p.payment_information_id) +
      joined_size(p.ultimate_debtor) + joined_size(p.ultimate_creditor) + joined_size(p.purpose_code) +
      joined_size(p.return_reason) + joined_size(p.posting_text) + joined_size(p.counterparty_town) +
      joined_size(p.counterparty_address) + joined_size(p.structured_reference) + joined_size(p.reference_issuer);
  std::string& joined = scratch.joined;
  joined.clear();
  if (room > joined.capacity()) joined.reserve(room);
  const auto view = [&joined](const TextParts& f) -> std::string_view {
    if (f.count == 0) return {};
    if (f.count == 1) return f.parts[0];
    const std::size_t at = joined.size();
    f.append_to(joined);
    return std::string_view(joined).substr(at);
  };
  return {view(p.purpose),           view(p.counterparty),          view(p.counter_iban),
          view(p.counter_account),   view(p.counterparty_bic),      view(p.end_to_end_reference),
          view(p.mandate_reference), view(p.creditor_id),           view(p.payment_information_id),
          view(p.ultimate_debtor),   view(p.ultimate_creditor),     view(p.purpose_code),
          view(p.return_reason),     view(p.posting_text),          view(p.counterparty_town),
          view(p.counterparty_address), view(p.structured_reference), view(p.reference_issuer)};
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
  // Most of an IBAN is digits: eight of them are read as one number where they come
  // together, the remainder taken before them so that the product stays below 10^10.
  std::size_t at = 4;
  while (at < text.size()) {
    if (text.size() - at >= 8) {
      std::uint64_t eight = 0;
      std::memcpy(&eight, text.data() + at, 8);
      if constexpr (std::endian::native == std::endian::little) {
        // Digits are the bytes 0x30..0x39: high half 3, and still 3 with 6 added. A byte
        // whose sum carries into the next one fails its own test, whatever the carry does.
        if (((eight & 0xF0F0F0F0F0F0F0F0u) | (((eight + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ==
            0x3333333333333333u) {
          // The first byte is the lowest: pairs, then fours, then the eight are combined.
          eight -= 0x3030303030303030u;
          eight = (eight * 10 + (eight >> 8)) & 0x00FF00FF00FF00FFu;
          eight = (eight * 100 + (eight >> 16)) & 0x0000FFFF0000FFFFu;
          eight = (eight * 10000 + (eight >> 32)) & 0xFFFFFFFFu;
          number = number % 97 * 100'000'000 + eight;
          at += 8;
          continue;
        }
      }
    }
    if (!add(text[at])) return false;
    ++at;
  }
  for (std::size_t k = 0; k < 4; ++k) add(text[k]);  // checked above: letters and digits
  return number % 97 == 1;
}

}  // namespace tallyfold
