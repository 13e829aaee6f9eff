// The bank-file reading: any bytes in, statements and diagnostics or one located error
// out. Where the exact parser accepts the unwrapped text, the bank-file reading must
// agree with it field by field, but for its re-readings, which are checked here by their
// own rules (details and information compare with blanks ignored, as the bank-file
// reading puts back the blanks of line breaks between words), and the decoding of
// details; and every line it names must exist in the input.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bankfile/steps.hpp"
#include "document_checks.hpp"
#include "tallyfold/bankfile.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::array<std::string_view, 4> kResolvers{"auto", "swift", "gvc", "angular"};
constexpr std::size_t kMaxInput = 1 << 18;

std::string without_blanks(std::string_view s) {
  std::string out;
  for (const char c : s) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

bool same_decimal(const Decimal& a, const Decimal& b) {
  return a.mantissa() == b.mantissa() && a.scale() == b.scale() && a.negative() == b.negative();
}

bool is_currency_code(std::string_view c) {
  return c.size() == 3 && std::all_of(c.begin(), c.end(), [](char x) { return x >= 'A' && x <= 'Z'; });
}

// Equal, or the balance whose currency is no code was re-read, with a warning.
void check_balance(const Balance& exact, const Balance& bank, bool& reread) {
  require(exact.debit_credit == bank.debit_credit && exact.date == bank.date);
  if (exact.currency == bank.currency && same_decimal(exact.amount, bank.amount)) return;
  require(!is_currency_code(exact.currency));
  reread = true;
}

void check_transaction(const Transaction& exact, const Transaction& bank, bool same_text) {
  require(exact.value_date == bank.value_date && exact.entry_date == bank.entry_date);
  require(exact.debit_credit == bank.debit_credit && exact.funds_code == bank.funds_code);
  require(same_decimal(exact.amount, bank.amount));
  require(exact.bank_reference == bank.bank_reference);
  // The details text agrees; its decoding does not have to: the bank-file reading
  // decodes details by the banks' layouts, with decoders of its own.
  require(!same_text || without_blanks(exact.details) == without_blanks(bank.details));
  require(exact.structured_details.has_value() == bank.structured_details.has_value());
  if (exact.transaction_type != bank.transaction_type) {
    // "NONREF" or "NOREF" right after the amount: a reference, and no type code.
    require(bank.transaction_type.empty() && (exact.transaction_type == "NONR" || exact.transaction_type == "NORE"));
    require(bank.customer_reference == std::string(exact.transaction_type) + std::string(exact.customer_reference));
    require(bank.customer_reference == "NONREF" || bank.customer_reference.starts_with("NOREF") ||
            bank.customer_reference.starts_with("NONREF"));
    return;
  }
  if (exact.customer_reference == bank.customer_reference) {
    require(exact.extra_details == bank.extra_details);
    return;
  }
  // A 16-character reference padded with blanks and followed by more text: the first
  // 16 characters, trimmed, and the rest moves to the supplementary details.
  // Characters, not bytes: a code page file decoded to UTF-8 has multi-byte letters.
  const std::string_view ref = exact.customer_reference;
  std::size_t end = 0;
  for (std::size_t characters = 0; end < ref.size() && characters < 16; ++characters) {
    ++end;
    while (end < ref.size() && (static_cast<unsigned char>(ref[end]) & 0xC0) == 0x80) ++end;
  }
  require(end < ref.size() && ref[end - 1] == ' ');
  require(bank.customer_reference == trim_white_space(ref.substr(0, end)));
  require(bank.extra_details.has_value());
}

void check_statement(const Statement& exact, const Statement& bank, bool same_text) {
  require(exact.transaction_reference == bank.transaction_reference);
  // The exact reading passes over what comes before a statement's opening balance and
  // takes header fields after it; the bank-file reading keeps such a statement with its
  // lines but without that balance, so the two readings part ways on purpose.
  if (!bank.complete) {
    require(!bank.opening_balance_given || !bank.closing_balance_given);
    return;
  }
  require(exact.related_reference == bank.related_reference);
  require(exact.account_identification == bank.account_identification);
  require(exact.number == bank.number && exact.sequence == bank.sequence);
  // The bank-file reading adds :86: fields before the first :61: in front.
  if (same_text && exact.information_to_account_owner) {
    require(bank.information_to_account_owner.has_value());
    require(without_blanks(*bank.information_to_account_owner).ends_with(without_blanks(*exact.information_to_account_owner)));
  }
  bool reread = false;
  check_balance(exact.opening_balance, bank.opening_balance, reread);
  check_balance(exact.closing_balance, bank.closing_balance, reread);
  require(exact.closing_available_balance.has_value() == bank.closing_available_balance.has_value());
  if (exact.closing_available_balance) {
    check_balance(*exact.closing_available_balance, *bank.closing_available_balance, reread);
  }
  require(exact.forward_available_balance.has_value() == bank.forward_available_balance.has_value());
  if (exact.forward_available_balance) {
    check_balance(*exact.forward_available_balance, *bank.forward_available_balance, reread);
  }
  require(exact.forward_balances.size() == bank.forward_balances.size());
  for (std::size_t i = 0; i < exact.forward_balances.size(); ++i) {
    check_balance(exact.forward_balances[i], bank.forward_balances[i], reread);
  }
  require(exact.transactions.size() == bank.transactions.size());
  for (std::size_t i = 0; i < exact.transactions.size(); ++i) {
    check_transaction(exact.transactions[i], bank.transactions[i], same_text);
  }
}

constexpr std::string_view kTags[] = {":20:",  ":21:",  ":25:",  ":25P:", ":28C:", ":60F:", ":60M:",
                                      ":61:",  ":62F:", ":62M:", ":64:",  ":65:",  ":86:",  ":13:",
                                      ":13D:", ":34F:", ":90D:", ":90C:", ":NS:"};

// The bank-file reading takes a carriage return that no line feed follows for a line
// break before it reads the lines.
std::string with_line_feeds(std::string text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) text[i] = '\n';
  }
  return text;
}

bool is_statement_tag(std::string_view tag) { return std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags); }

// Whether a line of `text` holds a statement tag after blanks or control bytes: the
// exact reading keeps such a line as text of the field before, the bank-file reading
// reads it as the tag line it is, so the two read different fields from there on.
bool has_led_tag_line(std::string_view text) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t feed = text.find('\n', start);
    std::string_view line = text.substr(start, feed == std::string_view::npos ? text.npos : feed - start);
    start = feed == std::string_view::npos ? text.size() : feed + 1;
    if (line.empty() || static_cast<unsigned char>(line.front()) > ' ') continue;
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ') line.remove_prefix(1);
    if (line.size() < 2 || line.front() != ':') continue;
    const std::size_t colon = line.find(':', 1);
    if (colon != std::string_view::npos && is_statement_tag(line.substr(0, colon + 1))) return true;
  }
  return false;
}

// Whether a line of `text` starts like a tag that no statement field has.
bool has_text_like_tag(std::string_view text) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t feed = text.find('\n', start);
    const std::string_view line = text.substr(start, feed == std::string_view::npos ? text.npos : feed - start);
    start = feed == std::string_view::npos ? text.size() : feed + 1;
    if (line.size() < 2 || line.front() != ':') continue;
    const std::size_t colon = line.find(':', 1);
    if (colon == std::string_view::npos) continue;
    if (!is_statement_tag(line.substr(0, colon + 1))) return true;
  }
  return false;
}

// Whether a line of `text` starts with a tag that only interim reports carry.
bool has_report_field(std::string_view text) {
  for (std::string_view tag : {":34F:", ":13D:", ":13:", ":90D:", ":90C:"}) {
    if (text.starts_with(tag)) return true;
    for (std::size_t at = text.find(tag); at != std::string_view::npos; at = text.find(tag, at + 1)) {
      if (text[at - 1] == '\n') return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes = as_text(data, size);
  const std::string line_fed = with_line_feeds(std::string(bytes));
  const std::size_t lines = static_cast<std::size_t>(std::count(line_fed.begin(), line_fed.end(), '\n')) + 1;
  BankFileOptions options;
  options.resolver = std::string(size ? kResolvers[data[0] % kResolvers.size()] : "auto");

  const auto file = read_bank_file(bytes, options);
  if (!file) {
    require(file.error().line <= lines);
    require(!message(file.error().error).empty());
  } else {
    require(!file->statements.empty() && !file->charset.empty());
    std::size_t previous = 0;
    for (const Diagnostic& d : file->diagnostics) {
      require(d.line >= 1 && d.line <= lines && d.line >= previous);
      require(d.lines.empty() || (d.lines.front() == d.line && d.lines.back() <= lines &&
                                  std::is_sorted(d.lines.begin(), d.lines.end())));
      require(!d.message.empty() && d.message.find('\n') == std::string::npos);
      previous = d.line;
    }
    check_bank_forms(file->statements, is_valid_utf8(bytes));
  }

  // The same text read exactly, after the same decoding and unwrapping.
  std::vector<Diagnostic> scratch;
  const auto decoded = decode_statement_bytes(bytes, std::nullopt, scratch);
  if (!decoded) return 0;
  const UnwrappedText unwrapped = unwrap_statement_text(with_line_feeds(decoded->text), scratch);
  // The exact reading passes over the fields of MT942 interim reports, which the
  // bank-file reading reads: a text holding one is read differently by design.
  if (has_report_field(unwrapped.text) || has_led_tag_line(unwrapped.text)) return 0;
  const auto exact = parse_statements(unwrapped.text, select_chain(options.resolver));
  if (!exact) return 0;
  require(file.has_value());
  require(exact->size() == file->statements.size());
  // A line of :86: text that starts like a tag no statement has ends the text in the
  // exact reading and stays in it in the bank-file reading.
  const bool same_text = !has_text_like_tag(unwrapped.text);
  for (std::size_t i = 0; i < exact->size(); ++i) check_statement((*exact)[i], file->statements[i], same_text);
  return 0;
}
