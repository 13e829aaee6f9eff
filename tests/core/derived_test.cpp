#include <initializer_list>
#include <optional>

#include <gtest/gtest.h>

#include "tallyfold/export.hpp"
#include "support/details_map.hpp"

namespace tallyfold {
namespace {

// Decoded maps lie in a buffer, as they do in a parsed document; this one lives as
// long as the tests.
TextBuffer texts;

using Map = std::initializer_list<DecodedDetails::Entry>;

Transaction with_map(Map entries) {
  Transaction t;
  t.details = "raw text";
  t.structured_details = test::details_map(entries, texts);
  return t;
}

TEST(Derived, PrecedenceRules) {
  Transaction no_map;
  no_map.details = "free, text";
  const struct {
    const char* name;
    Transaction t;
    std::string_view purpose, counterparty, counter_iban;
  } kRows[] = {
      {"no map uses the details text", no_map, "free, text", "", ""},
      {"no details at all", Transaction{}, "", "", ""},
      {"unstructured falls back to detail", with_map({{"detail", "Rent March"}}), "Rent March",
       "", ""},
      {"german subfields ordered by number",
       with_map({{"gvc", "166"}, {"21", "second"}, {"20", "first"}, {"32", "Jane"},
                 {"33", "Doe"}, {"31", "DE31"}, {"REMI_COMBINED", "second first"}}),
       "first second", "Jane Doe", "DE31"},
      {"gaps are skipped", with_map({{"20", "a"}, {"22", "c"}}), "a c", "", ""},
      {"empty subfields keep their place", with_map({{"20", ""}, {"21", "b"}, {"29", ""}}),
       " b ", "", ""},
      {"subfields beat REMI", with_map({{"25", "sub"}, {"REMI", "remi"}}), "sub", "", ""},
      {"33 alone does not count", with_map({{"33", "Doe"}, {"27", "Alt"}, {"30", "DE30"}}),
       "Alt", "Alt", "DE30"},
      {"NAME after 27", with_map({{"33", "Doe"}, {"NAME", "N"}}), "", "N", ""},
      {"empty 32 still wins", with_map({{"32", ""}, {"33", "x"}, {"NAME", "y"}}), "", " x", ""},
      {"swift segments",
       with_map({{"NAME", "ACME"}, {"IBAN", "DE89"}, {"REMI", "Inv 1"}, {"EREF", "E1"}}),
       "Inv 1", "ACME", "DE89"},
      {"EREF after REMI", with_map({{"EREF", "E1"}, {"detail", "d"}}), "E1", "", ""},
      {"empty 31 beats IBAN", with_map({{"31", ""}, {"IBAN", "DE89"}}), "", "", ""},
      {"30 before IBAN", with_map({{"30", "DE30"}, {"IBAN", "DE89"}}), "", "", "DE30"},
      {"only whole keys match", with_map({{"2", "x"}, {"20A", "x"}, {"200", "x"}, {"2A", "x"}}),
       "", "", ""},
      {"27 is a purpose line and a name",
       with_map({{"tx_code", "X"}, {"20", "Pay"}, {"27", "Bob"}}), "Pay Bob", "Bob", ""},
      {"empty map", with_map({}), "", "", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const DerivedFields fields = fields_of(row.t);
    EXPECT_EQ(fields.purpose, row.purpose);
    EXPECT_EQ(fields.counterparty, row.counterparty);
    EXPECT_EQ(fields.counter_iban, row.counter_iban);
  }
}

}  // namespace
}  // namespace tallyfold
