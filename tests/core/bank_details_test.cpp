// The bank-file reading's details beyond what cases/details/ pins text by text: the
// checks behind the derived fields, the chains by name, and linear time.
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fields/field_parts.hpp"
#include "fields/rules.hpp"
#include "model/fixed_keys.hpp"
#include "decoders/bank/bank_details.hpp"
#include "support/shared_data.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/export.hpp"
#include "util/codes.hpp"

namespace tallyfold {
namespace {

// Decoded maps lie in a buffer, as they do in a parsed document; this one lives as
// long as the tests.
TextBuffer texts;

// A transaction holding `details` as the bank-file reading decodes it.
Transaction with_details(std::string_view details) {
  Transaction t;
  t.rules = FieldRules::Bank;
  t.details = details;
  t.structured_details = decode_details(*select_bank_chain("auto"), details, texts);
  return t;
}

TEST(BankRules, ABicIsABic) {
  for (const auto& [text, bic] : std::vector<std::pair<std::string_view, bool>>{
           {"INGBNL2A", true},
           {"DRESDEFF430", true},
           {"NORSDE51XXX", true},
           {"KOMERCIJALNA", false},  // a bank's name
           {"50880050", false},      // a German bank code
           {"INGBNL2", false},
           {"DEUTDEFF50", false},
           {"1NGBNL2A", false},  // the bank is letters
           {"INGB1L2A", false},  // so is the country
           {"ingbnl2a", false},
           {"INGBNL2A ", false},
       }) {
    EXPECT_EQ(detail::is_bic(text), bic) << text;
  }
}

// The plain rule the eight-byte check of a BIC replaces: one character at a time.
bool plain_bic_check(std::string_view text) {
  if (text.size() != 8 && text.size() != 11) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = c >= 'A' && c <= 'Z';
    if (!(i < 6 ? letter : letter || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Texts of 7 to 12 characters, mostly of a BIC's shape, with a byte at any place taking
// every value, the ones next to the ranges' ends among them; in storage of their own size.
TEST(BankRules, BicCheckAgreesWithThePlainRule) {
  std::size_t bics = 0;
  for (const std::string_view base : {"DEUTDEFF", "NORSDE51XXX", "INGBNL2A", "ABCDEF12345", "ABCDEFG", "ABCDEFGHIJ12"}) {
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (int b = 0; b < 256; ++b) {
        std::string text(base);
        text[at] = static_cast<char>(b);
        const auto bytes = std::make_unique<char[]>(text.size());
        std::copy(text.begin(), text.end(), bytes.get());
        const std::string_view view(bytes.get(), text.size());
        const bool expected = plain_bic_check(view);
        bics += expected ? 1 : 0;
        ASSERT_EQ(detail::is_bic(view), expected) << text << " (byte " << b << " at " << at << ")";
      }
    }
  }
  EXPECT_GT(bics, 1000u);
  static_assert(detail::is_bic("DEUTDEFF") && !detail::is_bic("DEUT1EFF"));  // the loop, while compiling
}

// A Swiss bank's supplementary details, a 32-digit number, after a reference of digits.
TEST(BankRules, SupplementaryDetailsAreNoCounterparty) {
  Transaction t = with_details("Zahlung");
  t.customer_reference = "20211203";
  t.bank_reference = "0123456789";
  t.extra_details = "12345678901234567890123456789012";
  EXPECT_EQ(fields_of(t).counterparty, "");
  EXPECT_EQ(fields_of(t).counter_account, "");
  t.bank_reference.reset();
  EXPECT_EQ(fields_of(t).counterparty, "");
}

TEST(BankRules, Ibans) {
  for (const auto& [iban, valid] : std::vector<std::pair<std::string_view, bool>>{
           {"DE95430800830802029200", true},
           {"NL32INGB0000012345", true},
           {"GB82WEST12345698765432", true},
           {"GB82WEST12345698765433", false},  // check digits do not hold
           {"gb82WEST12345698765432", false},  // lower case
           {"DE9543080083", false},            // too short
           {"DE95 4308 0083 0802 0292 00", false},
       }) {
    EXPECT_EQ(is_valid_iban(iban), valid) << iban;
  }
}

// The plain rule the check's eight-digit steps replace: the text moved by four, one
// character at a time, the remainder taken at every step.
bool plain_iban_check(std::string_view text) {
  const auto is_upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.size() < 15 || text.size() > 34) return false;
  if (!is_upper(text[0]) || !is_upper(text[1]) || !is_digit(text[2]) || !is_digit(text[3])) return false;
  const std::string moved = std::string(text.substr(4)) + std::string(text.substr(0, 4));
  unsigned remainder = 0;
  for (const char c : moved) {
    if (is_digit(c)) {
      remainder = (remainder * 10 + static_cast<unsigned>(c - '0')) % 97;
    } else if (is_upper(c)) {
      remainder = (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return remainder == 1;
}

// IBAN-like texts of every length around the limits, mostly digits with letters and
// stray bytes at any place, half of them given the check digits that make them hold.
TEST(BankRules, IbanCheckAgreesWithThePlainRule) {
  std::mt19937_64 random(7);
  std::size_t valid = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::size_t size = 13 + random() % 24;
    std::string text;
    text.push_back(static_cast<char>('A' + random() % 26));
    text.push_back(static_cast<char>('A' + random() % 26));
    text += "00";
    while (text.size() < size) {
      const auto r = random() % 100;
      text.push_back(r < 80   ? static_cast<char>('0' + random() % 10)
                     : r < 95 ? static_cast<char>('A' + random() % 26)
                              : "a /:-\x7F\x80\xFF"[random() % 8]);
    }
    if (random() % 2 == 0) {
      // The check digits that make the remainder 1, found by trying them all.
      for (int d = 0; d < 100; ++d) {
        text[2] = static_cast<char>('0' + d / 10);
        text[3] = static_cast<char>('0' + d % 10);
        if (plain_iban_check(text)) break;
      }
    } else {
      text[2] = static_cast<char>('0' + random() % 10);
      text[3] = static_cast<char>('0' + random() % 10);
    }
    const bool expected = plain_iban_check(text);
    valid += expected ? 1 : 0;
    ASSERT_EQ(is_valid_iban(text), expected) << text;
  }
  EXPECT_GT(valid, 5000u);  // the valid ones are many, not only the refusals
}

// The key a table number names.
std::string_view fixed_name(std::size_t number) {
  return number <= detail::kSubfieldKeys ? std::string_view(detail::kSubfieldNumbers + 2 * (number - 1), 2)
                                         : detail::kNamedKeys[number - detail::kSubfieldKeys - 1];
}

// The hash of the wanted keys against a search of their list: each wanted key, every
// key a byte, a length or a case away from one, and every key of the table by number.
TEST(BankRules, WantedKeysAreFoundAsASearchOfTheirListFindsThem) {
  const auto wanted = detail::wanted_keys();
  const auto plain = [&](std::string_view key) {
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (wanted[i] == key) return i;
    }
    return wanted.size();
  };
  std::vector<std::string> keys = {"", "0", "000", "2", "200", "BIC/", "REMI/", "REMI_", "REMI_COMBINEDX"};
  for (int a = 0; a < 100; ++a) keys.push_back({static_cast<char>('0' + a / 10), static_cast<char>('0' + a % 10)});
  for (const std::string_view name : detail::kNamedKeys) keys.emplace_back(name);
  for (const std::string_view key : wanted) {
    keys.emplace_back(key);
    keys.emplace_back(key.substr(0, key.size() - 1));
    keys.emplace_back(std::string(key) + "X");
    keys.emplace_back("X" + std::string(key));
    for (std::size_t i = 0; i < key.size(); ++i) {
      for (const char change : {'\x20', '\x01', '\x80'}) {
        std::string near(key);
        near[i] = static_cast<char>(near[i] ^ change);
        keys.push_back(near);
      }
    }
  }
  std::size_t found = 0;
  for (const std::string& key : keys) {
    // In storage of its own size, so that a read past the key's end is one a sanitizer sees.
    const auto bytes = std::make_unique<char[]>(key.size() + (key.empty() ? 1 : 0));
    std::copy(key.begin(), key.end(), bytes.get());
    const std::size_t expected = plain(key);
    found += expected < wanted.size() ? 1 : 0;
    ASSERT_EQ(detail::wanted_key_slot(std::string_view(bytes.get(), key.size()), 0), expected) << key;
  }
  EXPECT_GE(found, wanted.size());
  const std::size_t numbers = detail::kSubfieldKeys + std::size(detail::kNamedKeys);
  for (std::size_t number = 1; number <= numbers; ++number) {
    ASSERT_EQ(detail::wanted_key_slot({}, number), plain(fixed_name(number))) << fixed_name(number);
  }
  for (const std::size_t beyond : {numbers + 1, std::size_t{0xFFFF}}) {
    EXPECT_EQ(detail::wanted_key_slot({}, beyond), wanted.size());
  }
}

// The byte rule the block search for a line break replaces.
std::size_t plain_line_break_at(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] != '\n' && text[i] != '\r') ++i;
  return i;
}

// A break of either kind, or a byte next to them in value, at every place of texts up
// to three blocks long, in storage of their own size.
TEST(BankRules, LineBreakSearchAgreesWithTheByteRule) {
  const auto check = [](const std::string& text) {
    const auto bytes = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), bytes.get());
    const std::string_view view(bytes.get(), text.size());
    ASSERT_EQ(detail::line_break_at(view), plain_line_break_at(view)) << "size " << text.size();
  };
  for (std::size_t size = 0; size <= 48; ++size) {
    std::string base(size, ' ');
    for (std::size_t i = 0; i < size; ++i) base[i] = "Abc 9/?+"[(i * 3 + size) % 8];
    check(base);
    for (std::size_t at = 0; at < size; ++at) {
      for (const char c : {'\n', '\r', '\x0B', '\x0C', '\x0E', '\x8A', '\x8D'}) {
        std::string text = base;
        text[at] = c;
        check(text);
        text[size - 1] = '\r';  // a second break after it: the first still counts
        check(text);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// The MT940 writer takes the fields without the IBAN check of the counter account. Over
// real files: every other field is the same, and the account without its blanks is the
// IBAN the check gives, where it gives one.
TEST(BankRules, FieldsWithoutTheIbanCheckDifferInTheIbanAlone) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  const auto joined = [](const FieldParts& f) {
    return std::vector<std::string>{
        f.purpose.joined(),          f.counterparty.joined(),         f.counter_account.joined(),
        f.counterparty_bic.joined(), f.end_to_end_reference.joined(), f.mandate_reference.joined(),
        f.creditor_id.joined(),      f.payment_information_id.joined(), f.ultimate_debtor.joined(),
        f.ultimate_creditor.joined(), f.purpose_code.joined(),         f.return_reason.joined(),
        f.posting_text.joined(),     f.counterparty_town.joined(),    f.counterparty_address.joined(),
        f.structured_reference.joined(), f.reference_issuer.joined()};
  };
  std::size_t ibans = 0;
  std::size_t entries = 0;
  for (const auto& data : test::data_files(corpus)) {
    const auto file = read_bank_file(test::read_bytes(data.path), {});
    if (!file) continue;
    for (const Statement& s : file->statements) {
      for (const Transaction& t : s.transactions) {
        if (t.rules != FieldRules::Bank) continue;
        ++entries;
        std::string scratch;
        std::string spared_scratch;
        FieldParts checked;
        FieldParts spared;
        detail::bank_rules(t, scratch, checked);
        detail::bank_rules(t, spared_scratch, spared, detail::CounterIban::Skip);
        ASSERT_EQ(joined(spared), joined(checked)) << data.name;
        EXPECT_TRUE(spared.counter_iban.empty()) << data.name;
        if (!checked.counter_iban.empty()) {
          ++ibans;
          std::string compact = checked.counter_account.joined();
          std::erase(compact, ' ');
          EXPECT_EQ(compact, checked.counter_iban.joined()) << data.name;
        }
      }
    }
  }
  EXPECT_GT(entries, 500u);
  EXPECT_GT(ibans, 100u);
}

TEST(BankChain, ResolverNames) {
  EXPECT_EQ(select_bank_chain("gvc")->decoders().front(), &bank_german_sepa_decoder());
  EXPECT_EQ(select_bank_chain("angular")->decoders().front(), &angular_decoder());
  EXPECT_EQ(select_bank_chain("swift")->decoders().size(), 2u);
  EXPECT_EQ(select_bank_chain("auto")->decoders().size(), 4u);
  EXPECT_FALSE(select_bank_chain("AUTO"));
  BankFileOptions options;
  options.resolver = "sepa";
  const auto file = read_bank_file(":20:X\n", options);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().line, 0u);
  EXPECT_EQ(message(file.error()), "unknown resolver 'sepa' (auto, swift, gvc, angular)");
}

// Megabytes of repetitive text: a scan that revisits earlier text would not finish here.
// The chain reads both slash layouts in one walk over a text's slashes. Against the two
// decoders tried one after the other, on texts built from the layouts' marks, their
// near misses and line breaks; and line breaks must not change what a value holds, only
// whether the map keeps it as a position or a copy.
TEST(BankSlashLayouts, OneWalkDecodesAsTheTwoDecodersInTurn) {
  const Decoder& both = *select_bank_chain("swift")->decoders().front();
  const auto in_turn = [](std::string_view text) {
    if (auto map = bank_slash_segments_decoder().decode(text, texts)) return map;
    return bank_slash_tags_decoder().decode(text, texts);
  };
  const auto entries = [](const std::optional<DecodedDetails>& map) {
    std::vector<std::pair<std::string, std::string>> out;
    if (map) {
      for (const auto& [k, v] : *map) {
        if (k != "detail") out.emplace_back(k, v);
      }
    }
    return out;
  };
  constexpr std::string_view kPieces[] = {"/",    "//",   "CNTP", "BENM", "ORDP", "REMI", "USTD", "STRD",
                                          "NAME", "IBAN", "BIC",  "EREF", "TRTP", "ID",   "NL12", "x y",
                                          " ",    "AB",   "/ /",  "R"};
  std::mt19937 random(26);
  for (int round = 0; round < 4000; ++round) {
    // Texts open with a letter: a party block written by lines is read by its line
    // breaks, the one layout where they mean something.
    std::string text = "x";
    const std::size_t pieces = 1 + random() % 14;
    for (std::size_t i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
    std::string broken = text;
    for (std::size_t i = random() % 4; i > 0; --i) {
      broken.insert(random() % (broken.size() + 1), random() % 2 ? "\n" : "\r\n");
    }
    SCOPED_TRACE(broken);
    const auto walked = both.decode(broken, texts);
    const auto turned = in_turn(broken);
    ASSERT_EQ(walked.has_value(), turned.has_value());
    if (walked) {
      EXPECT_EQ(*walked, *turned);
      EXPECT_EQ(walked->layout(), turned->layout());
    }
    EXPECT_EQ(entries(walked), entries(both.decode(text, texts)));
  }
}

// The full chain looks once for the marks of the layouts after the German one. Against
// every layout's decoder tried in the chain's order, on texts of those marks, their near
// misses and the other layouts' marks, short and long.
TEST(BankChain, DecodesAsEachLayoutTriedInTurn) {
  const DecoderChain chain = *select_bank_chain("auto");
  const Decoder* const in_turn[] = {select_bank_chain("swift")->decoders().front(), &bank_german_sepa_decoder(),
                                    &angular_decoder(), &bank_dutch_labels_decoder(), &bank_polish_labels_decoder(),
                                    &unstructured_decoder()};
  constexpr std::string_view kPieces[] = {"<20", "^30", "<", "^", "<2", ":",    "IBAN:", "NAAM: ", "TYT.:", "OD: ",
                                          "Z RACH.:", "x y", " ", "\n", "/NAME/", "?20", "12",   "\xC3\xA4", "<<20"};
  std::mt19937 random(40);
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const std::size_t pieces = 1 + random() % (round % 10 == 0 ? 60 : 8);
    for (std::size_t i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
    SCOPED_TRACE(text);
    std::optional<DecodedDetails> expected;
    for (const Decoder* decoder : in_turn) {
      if ((expected = decoder->decode(text, texts))) break;
    }
    const DecodedDetails got = decode_details(chain, text, texts);
    EXPECT_EQ(got, *expected);
    EXPECT_EQ(got.layout(), expected->layout());
  }
}

// Each tag of the single-slash layout, after a mark and at the text's end, where fewer
// than four bytes follow it; and near misses, which stay in the value before them.
TEST(BankSlashTags, KnowEachTagAndNoOther) {
  constexpr std::string_view kTags[] = {
      "ACCW", "ADDR", "BBAN", "BENM", "BIC",  "BUSP", "CHGS", "CSID", "EREF", "EXCH", "IACC",
      "IBAN", "ID",   "IREF", "ISDT", "MARF", "NAME", "NRTX", "OCMT", "ORDP", "OSDR", "PIND",
      "PREF", "PURP", "REMI", "RTRN", "RTYP", "SUM",  "TRCD", "TRTP", "ULTB", "ULTC", "ULTD",
  };
  for (const std::string_view tag : kTags) {
    const std::string mark = tag == "EREF" ? "NAME" : "EREF";
    for (const std::string_view value : {"v", ""}) {
      const std::string text = "/" + mark + "/r/" + std::string(tag) + "/" + std::string(value);
      const auto map = bank_slash_tags_decoder().decode(text, texts);
      ASSERT_TRUE(map) << text;
      EXPECT_EQ(map->find(tag), value.empty() ? std::nullopt : std::optional(value)) << text;
      EXPECT_EQ(map->find(mark), "r") << text;
    }
  }
  for (const std::string_view other : std::initializer_list<std::string_view>{"IDS", "BI", "NAMES", "NAM", "REM", "name", "Name", "SU", "ULT", "ULTE",
                                       "B C", "IBA ", "I", "EREF ", std::string_view("ID\0", 3),
                                       std::string_view("SU\0M", 4)}) {
    const std::string text = "/EREF/r/" + std::string(other) + "/v";
    const auto map = bank_slash_tags_decoder().decode(text, texts);
    ASSERT_TRUE(map) << text;
    EXPECT_EQ(map->size(), 1u) << text;
    EXPECT_EQ(map->find("EREF"), text.substr(6)) << text;
  }
}

// The slash decoder reads a text as it stands and joins its lines only when its slash
// blocks show a break. A break anywhere in a text of several blocks, before, inside or
// after a tag, a value or a segments mark's account, leaves the entries and the layout
// of the text as one line.
TEST(BankSlashLayouts, ALineBreakAnywhereInALongTextLeavesItsEntries) {
  const Decoder& both = *select_bank_chain("swift")->decoders().front();
  const auto read = [&both](std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    const auto map = both.decode(text, texts);
    if (!map) return out;
    out.emplace_back("layout", std::to_string(static_cast<int>(map->layout())));
    for (const auto& [k, v] : *map) out.emplace_back(k, v);
    return out;
  };
  const std::string filler(70, 'x');
  for (const std::string& text : {
           "/REMI/" + filler + "/IBAN/NL25ABNA0987654321/BIC/ABNANL2A/NAME/" + filler + "/EREF/E2E-1",
           "/EREF/r/" + filler + "/TRTP/SEPA/" + filler + "/REMI/a/b/" + filler + "/ID/x",
           "/EREF/" + filler + filler + "/BENM/NL25ABNA0987654321/" + filler + "//REMI/USTD//t/",
           "/EREF/" + filler + filler + "/BENM/NL25ABNA09876" + filler + "/x//CNTP/a/b/c/d/",
           "/EREF/r/BENM/" + std::string(130, 'A') + "/NAME/x",  // a sub-tag, not a party, past the blocks read
       }) {
    const auto expected = read(text);
    ASSERT_FALSE(expected.empty()) << text;
    for (std::size_t at = 0; at <= text.size(); ++at) {
      for (const std::string_view line_break : {"\n", "\r\n"}) {
        std::string broken = text;
        broken.insert(at, line_break);
        EXPECT_EQ(read(broken), expected) << broken;
      }
    }
  }
}

// The German decoder reads its marks sixteen bytes at a time and starts over when a text
// has line breaks. On texts built from its marks and their near misses: wherever the
// marks fall (a head before the first subfield shifts them) and wherever lines break,
// the values are those of the text as one line.
TEST(BankGermanSepa, ValuesHoldWhereverMarksFallAndLinesBreak) {
  const Decoder& german = bank_german_sepa_decoder();
  const auto entries = [](const std::optional<DecodedDetails>& map) {
    std::vector<std::pair<std::string, std::string>> out;
    if (map) {
      for (const auto& [k, v] : *map) out.emplace_back(k, v);
    }
    return out;
  };
  constexpr std::string_view kPieces[] = {"?20", "?21", "?22", "?32", "?33", "?60", "?00", "?2",
                                          "?",   "+",   "EREF+", "SVWZ+", "BIC+", "PURP+", "ERE", "F+",
                                          " ",   "x",   "\xC3\xA4", "ABCDEFGHIJKLMNOPQRSTUVWXYZA"};
  std::mt19937 random(86);
  for (int round = 0; round < 3000; ++round) {
    std::string text = "?20";
    const std::size_t pieces = random() % 16;
    for (std::size_t i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
    SCOPED_TRACE(text);
    const auto expected = entries(german.decode(text, texts));
    const std::string shifted = std::string(random() % 40, 'x') + text;
    EXPECT_EQ(entries(german.decode(shifted, texts)), expected);
    std::string broken = text;
    for (std::size_t i = 1 + random() % 3; i > 0; --i) {
      broken.insert(random() % (broken.size() + 1), random() % 2 ? "\n" : "\r\n");
    }
    EXPECT_EQ(entries(german.decode(broken, texts)), expected) << broken;
  }
}

// The German decoder tells "+" signs, marks and line breaks apart without branches and
// reads a text's last block as the 64 bytes that end it. Its subfields, on texts of every
// length up to beyond three blocks cut anywhere (marks cut short at the end included),
// are those of a reading byte by byte: "?" and two digits open one, the last write of a
// number wins.
TEST(BankGermanSepa, SubfieldsAgreeWithAByteByByteReading) {
  const auto by_bytes = [](std::string_view text) {
    std::map<std::string, std::string> fields;
    std::size_t mark = std::string_view::npos;
    const auto close = [&](std::size_t end) {
      if (mark == std::string_view::npos) return;
      std::string_view value = text.substr(mark + 3, end - mark - 3);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
      fields[std::string(text.substr(mark + 1, 2))] = std::string(value);
    };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t i = 0; i + 2 < text.size(); ++i) {
      if (text[i] != '?' || !digit(text[i + 1]) || !digit(text[i + 2])) continue;
      close(i);
      mark = i;
      i += 2;
    }
    close(text.size());
    return std::vector<std::pair<std::string, std::string>>(fields.begin(), fields.end());
  };
  const auto subfields = [](const std::optional<DecodedDetails>& map) {
    std::vector<std::pair<std::string, std::string>> out;
    if (map) {
      for (const auto& [k, v] : *map) {
        if (k.size() == 2 && k[0] >= '0' && k[0] <= '9' && k[1] >= '0' && k[1] <= '9') out.emplace_back(k, v);
      }
    }
    return out;
  };
  constexpr std::string_view kPieces[] = {"?20", "?21", "?22", "?32", "?00", "?63", "?99", "?2", "?",
                                          "+",   "EREF+", "SVWZ+", "x", " ", "ABCDEFGHIJKLMNOPQRSTUVWXYZA"};
  std::mt19937 random(940);
  for (std::size_t length = 0; length <= 210; ++length) {
    for (int round = 0; round < 12; ++round) {
      std::string text;
      while (text.size() < length) text += kPieces[random() % std::size(kPieces)];
      text.resize(length);
      SCOPED_TRACE(text);
      EXPECT_EQ(subfields(bank_german_sepa_decoder().decode(text, texts)), by_bytes(text));
    }
  }
}

// Values that cross subfields (before the joined remittance text is written into the
// map and after it), a keyword cut by a subfield's end, blanks at the pieces' edges,
// and subfields out of order or written twice.
TEST(BankGermanSepa, ValuesAcrossSubfields) {
  using Entries = std::vector<std::pair<std::string, std::string>>;
  const struct {
    std::string_view text;
    Entries entries;
  } kRows[] = {
      {"166?00SEPA?20EREF+ABCDEFGHIJKLMNOPQRSTUV?21WXYZ?22SVWZ+Rechnung 4711 vom 01.0?231.2024 Danke?32Max ?33Muster",
       {{"00", "SEPA"}, {"20", "EREF+ABCDEFGHIJKLMNOPQRSTUV"}, {"21", "WXYZ"}, {"22", "SVWZ+Rechnung 4711 vom 01.0"},
        {"23", "1.2024 Danke"}, {"32", "Max"}, {"33", "Muster"}, {"EREF", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
        {"NAME", "Max Muster"},
        {"REMI_COMBINED", "EREF+ABCDEFGHIJKLMNOPQRSTUVWXYZ SVWZ+Rechnung 4711 vom 01.01.2024 Danke"},
        {"SVWZ", "Rechnung 4711 vom 01.01.2024 Danke"}, {"gvc", "166"}}},
      {"166?00X?20SVWZ+Miete Januar Wohnung 12?21 EREF+E2E1 ?22  MREF+M1?30BIC?31DE12",
       {{"00", "X"}, {"20", "SVWZ+Miete Januar Wohnung 12"}, {"21", "EREF+E2E1"}, {"22", "MREF+M1"}, {"30", "BIC"},
        {"31", "DE12"}, {"EREF", "E2E1"}, {"MREF", "M1"},
        {"REMI_COMBINED", "SVWZ+Miete Januar Wohnung 12 EREF+E2E1 MREF+M1"}, {"SVWZ", "Miete Januar Wohnung 12"},
        {"gvc", "166"}}},
      {"166?20KREF+K1 SVWZ+ABCDEFGHIJKLMNOPQRS?21VWZ+tail?32Name?21EREF+ABCDEFGHIJKLMNOPQRSTUV",
       {{"20", "KREF+K1 SVWZ+ABCDEFGHIJKLMNOPQRS"}, {"21", "EREF+ABCDEFGHIJKLMNOPQRSTUV"}, {"32", "Name"},
        {"EREF", "ABCDEFGHIJKLMNOPQRSTUV"}, {"KREF", "K1"}, {"NAME", "Name"},
        {"REMI_COMBINED", "KREF+K1 SVWZ+ABCDEFGHIJKLMNOPQRSVWZ+tail EREF+ABCDEFGHIJKLMNOPQRSTUV"},
        {"SVWZ", "ABCDEFGHIJKLMNOPQRSVWZ+tail"}, {"gvc", "166"}}},
      {"166?20ABCDEFGHIJKLMNOPQRSTUVWX SV?21WZ+text of the remittance?22PURP+ RINP rest",
       {{"20", "ABCDEFGHIJKLMNOPQRSTUVWX SV"}, {"21", "WZ+text of the remittance"}, {"22", "PURP+ RINP rest"},
        {"PURP", "RINP"}, {"REMI_COMBINED", "ABCDEFGHIJKLMNOPQRSTUVWX SVWZ+text of the remittance PURP+ RINP rest"},
        {"SVWZ", "text of the remittance"}, {"gvc", "166"}, {"text", "ABCDEFGHIJKLMNOPQRSTUVWX rest"}}},
      {"?21SVWZ+zwei?20EREF+eins?21SVWZ+drei?00A",
       {{"00", "A"}, {"20", "EREF+eins"}, {"21", "SVWZ+drei"}, {"EREF", "eins"},
        {"REMI_COMBINED", "SVWZ+zwei EREF+eins SVWZ+drei"}, {"SVWZ", "zwei drei"}}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const auto map = bank_german_sepa_decoder().decode(row.text, texts);
    ASSERT_TRUE(map);
    Entries entries;
    for (const auto& [k, v] : *map) entries.emplace_back(k, v);
    EXPECT_EQ(entries, row.entries);
  }
}

TEST(BankDecoders, StayLinearOnRepetitiveText) {
  const std::size_t n = 1 << 18;
  const auto repeat = [n](std::string_view unit) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.append(unit);
    return text;
  };
  EXPECT_TRUE(bank_slash_segments_decoder().decode("/CNTP/" + repeat("/"), texts));
  EXPECT_TRUE(bank_slash_segments_decoder().decode(repeat("/BENM/a"), texts));
  EXPECT_EQ(bank_slash_segments_decoder().decode("/CNTP/x" + repeat("//EREF/x"), texts)->size(), 2u);
  EXPECT_FALSE(bank_german_sepa_decoder().decode(repeat("?20EREF+"), texts)->find("EREF"));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?20EREF+123456789012345678901"), texts));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?2") + "?20x", texts));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?20OAMT+ BIC+"), texts));
  EXPECT_TRUE(bank_slash_segments_decoder().decode("/BENM/x" + repeat("\n/"), texts));
  EXPECT_TRUE(bank_slash_tags_decoder().decode(repeat("/REMI/"), texts));
  EXPECT_TRUE(bank_slash_tags_decoder().decode("/NAME/" + repeat("/ /"), texts));
  EXPECT_TRUE(bank_dutch_labels_decoder().decode(repeat("NAAM: \n"), texts));
  EXPECT_FALSE(bank_polish_labels_decoder().decode(repeat(":"), texts));
}

}  // namespace
}  // namespace tallyfold
