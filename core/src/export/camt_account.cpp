#include "export/camt_account.hpp"

#include "export/iso20022_limits.hpp"
#include "fields/field_parts.hpp"
#include "tallyfold/fields.hpp"

namespace tallyfold::camt {
namespace {

std::string without_blanks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

// `text` without a trailing currency code: "/HUF", " EUR", or "EUR" right after the
// account when it is the statement's own currency.
std::string_view without_currency(std::string_view text, std::string_view currency) {
  if (text.size() < 4 || !is_currency(text.substr(text.size() - 3))) return text;
  const std::string_view code = text.substr(text.size() - 3);
  const char before = text[text.size() - 4];
  if (before == '/' || before == ' ') return trim_white_space(text.substr(0, text.size() - 4));
  if (code == currency && is_digit(before)) return text.substr(0, text.size() - 3);
  // Straight after an IBAN the code is the account's currency whatever it is.
  if (is_valid_iban(without_blanks(text.substr(0, text.size() - 3)))) return text.substr(0, text.size() - 3);
  return text;
}

}  // namespace

AccountParts account_parts(std::string_view account, std::string_view currency) {
  AccountParts parts;
  std::string_view rest = without_currency(trim_white_space(account), currency);
  const std::size_t slash = rest.rfind('/');
  std::string_view number = slash == std::string_view::npos ? rest : trim_white_space(rest.substr(slash + 1));
  if (slash != std::string_view::npos) {
    std::string_view servicer = trim_white_space(rest.substr(0, slash));
    while (!servicer.empty() && servicer.back() == '/') servicer.remove_suffix(1);
    parts.servicer = std::string(trim_white_space(servicer));
  }
  // An account given as a whole, slash and all, when nothing is left after the slash.
  if (number.empty()) {
    number = rest;
    parts.servicer.clear();
  }
  std::string compact = without_blanks(number);
  if (is_valid_iban(compact)) {
    parts.iban = true;
    parts.id = std::move(compact);
    return parts;
  }
  parts.id = fit(number, kMax34);
  return parts;
}

}  // namespace tallyfold::camt
