// The fixed rules: a precedence of keys that the shared decoders write, the same for
// every layout.
#include <initializer_list>
#include <optional>

#include "fields/field_parts.hpp"
#include "fields/rules.hpp"
#include "util/ascii.hpp"

namespace tallyfold::detail {
namespace {

using Hit = std::optional<std::string_view>;

// The values of the keys the rules consult; nullopt when absent.
struct KeyHits {
  Hit subfield[10];  // "20".."29"
  Hit k30;
  Hit k31;
  Hit k32;
  Hit k33;
  Hit remi;
  Hit eref;
  Hit name;
  Hit iban;
  Hit detail;
  Hit mref;
  Hit cred;
  Hit kref;
};

// One linear pass instead of a lookup per key: every export asks for every field of
// every transaction, and the maps hold a handful of entries.
KeyHits scan(const DecodedDetails& map) noexcept {
  KeyHits h;
  for (const auto [key, value] : map) {
    if (key.size() == 2 && ascii::is_digit(key[1])) {
      const int unit = key[1] - '0';
      if (key[0] == '2') {
        h.subfield[unit] = value;
      } else if (key[0] == '3') {
        Hit* slot[] = {&h.k30, &h.k31, &h.k32, &h.k33};
        if (unit < 4) *slot[unit] = value;
      }
    } else if (key == "REMI") {
      h.remi = value;
    } else if (key == "EREF") {
      h.eref = value;
    } else if (key == "NAME") {
      h.name = value;
    } else if (key == "IBAN") {
      h.iban = value;
    } else if (key == "detail") {
      h.detail = value;
    } else if (key == "MREF") {
      h.mref = value;
    } else if (key == "CRED") {
      h.cred = value;
    } else if (key == "KREF") {
      h.kref = value;
    }
  }
  return h;
}

// The first present value, as one part; no part when none is present. A present key
// wins even when its value is empty.
TextParts first_of(std::initializer_list<Hit> candidates) noexcept {
  TextParts p;
  for (const Hit& v : candidates) {
    if (v) {
      p.push(*v);
      break;
    }
  }
  return p;
}

}  // namespace

void fixed_rules(const Transaction& t, FieldParts& f) noexcept {
  f.clear();
  if (!t.structured_details) {
    f.purpose.push(t.details);
    return;
  }
  const KeyHits h = scan(*t.structured_details);

  for (const Hit& line : h.subfield) {
    if (line) f.purpose.push(*line);
  }
  if (f.purpose.count == 0) f.purpose = first_of({h.remi, h.eref, h.detail});

  if (h.k32) {
    f.counterparty.push(*h.k32);
    if (h.k33) f.counterparty.push(*h.k33);
  } else {
    f.counterparty = first_of({h.subfield[7], h.name});
  }

  f.counter_iban = first_of({h.k31, h.k30, h.iban});

  if (h.eref && *h.eref != "NOTPROVIDED" && *h.eref != "NONREF") f.end_to_end_reference.push(*h.eref);
  f.mandate_reference = first_of({h.mref});
  f.creditor_id = first_of({h.cred});
  f.payment_information_id = first_of({h.kref});
}

}  // namespace tallyfold::detail
