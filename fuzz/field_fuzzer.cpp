// The four field parsers, each over the whole input. Errors must quote the input
// exactly where the parsers say they do, and values must keep their invariants.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_checks.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/parse.hpp"
#include "export/text_parts.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

bool is_value_of(const ParseError& error, std::string_view expected) {
  const std::string* value = error_value(error);
  return value && *value == expected;
}

void check_date(const Date& d) {
  // Two-digit years pivot at 80, so every year lies in 1980..2079.
  require(d.year() >= 1980 && d.year() <= 2079);
  require(d.to_iso().size() == 10);
}

// The conversion Python and JSON see must be the correctly rounded double of the exact
// decimal, which the C library's strtod also gives; and the JSON text of that double
// must read back as the same bits.
void check_double(const Decimal& d) {
  const std::string text = d.to_string();
  const double x = decimal_to_double(d);
  require(std::bit_cast<std::uint64_t>(x) ==
          std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)));
  std::string json;
  detail::format_json_number(x, json);
  double back = 0;
  const auto [end, ec] = std::from_chars(json.data(), json.data() + json.size(), back);
  require(ec == std::errc() && end == json.data() + json.size());
  require(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(x));
}

bool all_ascii_digits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void check_date_parser(std::string_view text, bool utf8) {
  auto date = parse_date(text);
  if (date) {
    require(text.size() == 6);
    check_date(*date);
    if (all_ascii_digits(text)) {
      const std::string iso = date->to_iso();  // YYYY-MM-DD from YYMMDD
      require(iso.substr(2, 2) == text.substr(0, 2) && iso.substr(5, 2) == text.substr(2, 2) &&
              iso.substr(8, 2) == text.substr(4, 2));
    }
    return;
  }
  check_parse_error(date.error(), utf8);
  require(std::holds_alternative<InvalidDate>(date.error()) && is_value_of(date.error(), text));
}

void check_amount_parser(std::string_view text, bool utf8) {
  auto amount = parse_amount(text);
  if (amount) {
    require(amount->scale() <= Decimal::kMaxScale);
    // The canonical text reads back as the same number. Below scale 2 (only the
    // scientific reading gets there) the reading pads two digits, which may overflow.
    auto again = parse_amount(amount->to_string());
    if (amount->scale() >= 2) require(again && again->scale() == amount->scale());
    if (again) require(*again == *amount);
    check_double(*amount);
    check_double(amount->negated());
    return;
  }
  check_parse_error(amount.error(), utf8);
  require(std::holds_alternative<InvalidAmount>(amount.error()) &&
          is_value_of(amount.error(), text));
}

void check_balance_parser(std::string_view text, bool utf8) {
  auto balance = parse_balance(text);
  if (balance) {
    require(text.size() >= 11 && (text[0] == 'C' || text[0] == 'D'));
    require(balance->currency == text.substr(7, 3));
    check_date(balance->date);
    return;
  }
  const ParseError& error = balance.error();
  check_parse_error(error, utf8);
  // The whole content or the sub-field that failed; where a cut position falls inside
  // a character the parser may widen the sub-field, but it quotes only input text.
  const std::string* value = error_value(error);
  require(value && text.find(*value) != std::string_view::npos);
  if (std::holds_alternative<InvalidFormat>(error)) require(*value == text);
}

void check_statement_line_parser(std::string_view text, bool utf8) {
  const std::string_view first_line = text.substr(0, text.find('\n'));
  auto line = parse_statement_line(text);
  if (!line) {
    const ParseError& error = line.error();
    check_parse_error(error, utf8);
    const std::string* value = error_value(error);
    require(value != nullptr);
    if (std::holds_alternative<InvalidFormat>(error)) require(*value == first_line);
    require(first_line.find(*value) != std::string_view::npos);
    return;
  }
  const Transaction& t = *line;
  check_date(t.value_date);
  require(t.amount.scale() == 2 && !t.amount.negative());
  require(t.transaction_type.size() == 4 && first_line.find(t.transaction_type) != std::string_view::npos);
  require(t.details.empty() && !t.structured_details);
  if (is_reversal(t.debit_credit)) require(!t.funds_code);
  if (t.funds_code) require(*t.funds_code >= 'A' && *t.funds_code <= 'Z');
  require(trim_white_space(t.customer_reference).size() == t.customer_reference.size());
  require(t.customer_reference.find('/') == std::string::npos);
  if (t.bank_reference) require(first_line.find(*t.bank_reference) != std::string_view::npos);
  if (t.extra_details) {
    require(!t.extra_details->empty() && first_line.size() < text.size());
    require(trim_white_space(*t.extra_details).size() == t.extra_details->size());
  }
  if (utf8) {
    require(is_valid_utf8(t.customer_reference));
    if (t.bank_reference) require(is_valid_utf8(*t.bank_reference));
    if (t.extra_details) require(is_valid_utf8(*t.extra_details));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = as_text(data, size);
  const bool utf8 = is_valid_utf8(text);
  check_date_parser(text, utf8);
  check_amount_parser(text, utf8);
  check_balance_parser(text, utf8);
  check_statement_line_parser(text, utf8);
  return 0;
}
