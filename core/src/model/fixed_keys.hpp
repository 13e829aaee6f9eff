// The keys decoders write without their source holding them as such, kept once for all
// maps. A map stores such a key by its number in this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "tallyfold/model.hpp"

namespace tallyfold::detail {

// The two-digit subfield numbers, then the other names.
inline constexpr char kSubfieldNumbers[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
inline constexpr std::string_view kNamedKeys[] = {
    "ABWA", "ABWE", "ADDR", "BIC",  "BREF", "COAM", "CRED", "DEBT",          "EREF",   "IBAN", "KREF",
    "MARF", "MREF", "NAME", "OAMT", "PURP", "REMI", "RREF", "REMI_COMBINED", "SVWZ",   "TRTP", "detail",
    "gvc",  "text", "tx_code"};
inline constexpr std::size_t kSubfieldKeys = 100;

/// The number of the named key `name` in the table, or 0 when the table has no such
/// name; for tables of a decoder's keys made when it is compiled.
constexpr std::uint32_t named_key_number(std::string_view name) noexcept {
  for (std::size_t i = 0; i < std::size(kNamedKeys); ++i) {
    if (kNamedKeys[i] == name) return static_cast<std::uint32_t>(kSubfieldKeys + i + 1);
  }
  return 0;
}

/// A named key of the table with its number, found when the decoder is compiled: a
/// decoder writing it spares the builder the lookup.
struct FixedKey {
  std::string_view key;
  std::uint32_t number;

  consteval explicit FixedKey(std::string_view name) : key(name), number(named_key_number(name)) {
    if (number == 0) throw "not a key of the table";  // refuses to compile
  }
};

inline void add_key(DecodedDetails::Builder& map, const FixedKey& key) { map.add_fixed_key(key.key, key.number); }

}  // namespace tallyfold::detail
