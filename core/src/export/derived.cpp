#include "export/text_parts.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold {
namespace detail {
namespace {

// The values of the keys the three rules consult; null when absent.
struct KeyHits {
  const std::string* subfield[10] = {};  // "20".."29"
  const std::string* k30 = nullptr;
  const std::string* k31 = nullptr;
  const std::string* k32 = nullptr;
  const std::string* k33 = nullptr;
  const std::string* remi = nullptr;
  const std::string* eref = nullptr;
  const std::string* name = nullptr;
  const std::string* iban = nullptr;
  const std::string* detail = nullptr;
};

// One linear pass instead of a lookup per key: every export asks all three rules for
// every transaction, and the maps hold a handful of entries.
KeyHits scan(const DecodedDetails& map) noexcept {
  KeyHits h;
  for (const auto& [key, value] : map) {
    if (key.size() == 2 && key[1] >= '0' && key[1] <= '9') {
      const int unit = key[1] - '0';
      if (key[0] == '2') {
        h.subfield[unit] = &value;
      } else if (key[0] == '3') {
        const std::string** slot[] = {&h.k30, &h.k31, &h.k32, &h.k33};
        if (unit < 4) *slot[unit] = &value;
      }
    } else if (key == "REMI") {
      h.remi = &value;
    } else if (key == "EREF") {
      h.eref = &value;
    } else if (key == "NAME") {
      h.name = &value;
    } else if (key == "IBAN") {
      h.iban = &value;
    } else if (key == "detail") {
      h.detail = &value;
    }
  }
  return h;
}

// The first present value, as one part; no part when none is present. A present key
// wins even when its value is empty.
TextParts first_of(std::initializer_list<const std::string*> candidates) noexcept {
  TextParts p;
  for (const std::string* v : candidates) {
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

  for (const std::string* line : h.subfield) {
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
