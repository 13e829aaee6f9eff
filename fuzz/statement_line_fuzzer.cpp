// The statement-line tokeniser against the compiled pattern it stands in for: on every
// input, the exact reading's recogniser, which finds the first line feed on its way, and
// the pattern on the input cut there give the same verdict and the same groups, byte for
// byte and position for position. And every deviation the bank-file reading allows only
// widens the exact form: a line the exact form takes is tokenised alike with every
// deviation allowed, and found to hold none. The digits' values read on the way are
// those a second reading of the views gives.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.hpp"
#include "parser/line_pattern.hpp"
#include "parser/statement_line.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tallyfold;
  const std::string_view text = fuzz::as_text(data, size);
  const std::string_view line = text.substr(0, text.find('\n'));
  fuzz::require(detail::match_statement_line(text) == detail::match_statement_line_by_pattern(line));
  detail::StatementLineTokens matched{};
  fuzz::require(!detail::match_statement_line(text, matched) || matched.line_size == line.size());

  detail::StatementLineTokens exact{};
  detail::StatementLineTokens tolerant{};
  const bool exact_form = detail::tokenise_statement_line(line, detail::kExactForm, exact);
  const bool any_form = detail::tokenise_statement_line(line, detail::kEveryDeviation, tolerant);
  // The values read on the way are those the views write.
  if (any_form) {
    detail::StatementLineTokens reread = tolerant;
    detail::read_token_values(reread);
    fuzz::require(reread.debit_credit == tolerant.debit_credit && reread.value_year == tolerant.value_year &&
                  reread.value_month == tolerant.value_month && reread.value_day == tolerant.value_day &&
                  reread.entry_month == tolerant.entry_month && reread.entry_day == tolerant.entry_day &&
                  reread.amount_cents == tolerant.amount_cents);
  }
  if (exact_form) {
    const auto same = [](std::string_view a, std::string_view b) { return a.data() == b.data() && a.size() == b.size(); };
    fuzz::require(any_form && tolerant.deviations == 0 && exact.deviations == 0);
    fuzz::require(same(exact.value_date, tolerant.value_date) && same(exact.mark, tolerant.mark) &&
                  same(exact.amount, tolerant.amount) && same(exact.transaction_type, tolerant.transaction_type) &&
                  same(exact.customer_reference, tolerant.customer_reference));
    fuzz::require(exact.entry_date.has_value() == tolerant.entry_date.has_value() &&
                  exact.funds_code.has_value() == tolerant.funds_code.has_value() &&
                  exact.bank_reference.has_value() == tolerant.bank_reference.has_value());
    fuzz::require(!exact.bank_reference || same(*exact.bank_reference, *tolerant.bank_reference));
  } else if (any_form) {
    fuzz::require(tolerant.deviations != 0);
  }
  return 0;
}
