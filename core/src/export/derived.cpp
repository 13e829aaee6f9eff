#include <algorithm>

#include "export/text_parts.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold {
namespace detail {
namespace {

bool is_purpose_key(std::string_view key) noexcept {
  return key.size() == 2 && key[0] == '2' && key[1] >= '0' && key[1] <= '9';
}

TextParts single(const std::string* value) noexcept {
  TextParts p;
  p.push(*value);
  return p;
}

}  // namespace

TextParts purpose_parts(const Transaction& t) noexcept {
  TextParts p;
  if (!t.structured_details) {
    p.push(t.details);
    return p;
  }
  const DecodedDetails& map = *t.structured_details;
  // Entries are sorted by key bytes, so "20".."29" lie in one run in numeric order;
  // longer keys such as "20A" may sit inside that run and are stepped over.
  auto it = std::lower_bound(map.begin(), map.end(), std::string_view("20"),
                             [](const DecodedDetails::Entry& e, std::string_view k) {
                               return e.first < k;
                             });
  for (; it != map.end() && it->first.size() >= 2 && it->first[0] == '2'; ++it) {
    if (is_purpose_key(it->first)) p.push(it->second);
  }
  if (p.count != 0) return p;
  for (const std::string_view key : {"REMI", "EREF", "detail"}) {
    if (const std::string* v = map.find(key)) return single(v);
  }
  return p;
}

TextParts counterparty_parts(const Transaction& t) noexcept {
  TextParts p;
  if (!t.structured_details) return p;
  const DecodedDetails& map = *t.structured_details;
  if (const std::string* name = map.find("32")) {
    p.push(*name);
    if (const std::string* more = map.find("33")) p.push(*more);
    return p;
  }
  for (const std::string_view key : {"27", "NAME"}) {
    if (const std::string* v = map.find(key)) return single(v);
  }
  return p;
}

TextParts counter_iban_parts(const Transaction& t) noexcept {
  TextParts p;
  if (!t.structured_details) return p;
  // A present key wins even when its value is empty.
  for (const std::string_view key : {"31", "30", "IBAN"}) {
    if (const std::string* v = t.structured_details->find(key)) return single(v);
  }
  return p;
}

}  // namespace detail

std::string derive_purpose(const Transaction& t) { return detail::purpose_parts(t).joined(); }

std::string derive_counterparty(const Transaction& t) {
  return detail::counterparty_parts(t).joined();
}

std::string derive_counter_iban(const Transaction& t) {
  return detail::counter_iban_parts(t).joined();
}

}  // namespace tallyfold
