#include <initializer_list>
#include <optional>

#include "export/text_parts.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold {
namespace detail {
namespace {

using Hit = std::optional<std::string_view>;

// The values of the keys the three rules consult; nullopt when absent.
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
};

// One linear pass instead of a lookup per key: every export asks all three rules for
// every transaction, and the maps hold a handful of entries.
KeyHits scan(const DecodedDetails& map) noexcept {
  KeyHits h;
  for (const auto [key, value] : map) {
    if (key.size() == 2 && key[1] >= '0' && key[1] <= '9') {
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

DerivedParts derive_parts(const Transaction& t) noexcept {
  DerivedParts d;
  if (!t.structured_details) {
    d.purpose.push(t.details);
    return d;
  }
  const KeyHits h = scan(*t.structured_details);

  for (const Hit& line : h.subfield) {
    if (line) d.purpose.push(*line);
  }
  if (d.purpose.count == 0) d.purpose = first_of({h.remi, h.eref, h.detail});

  if (h.k32) {
    d.counterparty.push(*h.k32);
    if (h.k33) d.counterparty.push(*h.k33);
  } else {
    d.counterparty = first_of({h.subfield[7], h.name});
  }

  d.counter_iban = first_of({h.k31, h.k30, h.iban});
  return d;
}

}  // namespace detail

std::string derive_purpose(const Transaction& t) {
  return detail::derive_parts(t).purpose.joined();
}

std::string derive_counterparty(const Transaction& t) {
  return detail::derive_parts(t).counterparty.joined();
}

std::string derive_counter_iban(const Transaction& t) {
  return detail::derive_parts(t).counter_iban.joined();
}

}  // namespace tallyfold
