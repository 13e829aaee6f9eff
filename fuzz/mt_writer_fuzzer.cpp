// The MT940 writer: whatever the bank-file reading makes of any bytes, the text written
// from it is in SWIFT's form, the bank-file reading reads it whole, and the exact reading
// accepts its statements and reads their amounts, dates and balances back. (That writing
// what was read back changes nothing is checked over the real files, where the readings'
// guesses about odd layouts do not come into it.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/mt_export.hpp"
#include "tallyfold/parse.hpp"

namespace {

using namespace tallyfold;
using tallyfold::fuzz::require;

constexpr std::size_t kMaxInput = 1 << 16;

void check_form(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    require(end != std::string_view::npos);
    require(end - at <= 65);
    for (std::size_t i = at; i < end; ++i) {
      const char c = text[i];
      require((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              std::string_view("/-?:().,'+ ").find(c) != std::string_view::npos);
    }
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto file = read_bank_file(bytes, {});
  if (!file) return 0;
  auto document = export_mt(file->statements, MtOptions{false});
  if (!document) return 0;
  check_form(document->text);

  auto again = read_bank_file(document->text, {});
  require(static_cast<bool>(again));
  // One message for every statement but those left out, each with its warning.
  require(again->statements.size() + document->warnings.size() == file->statements.size());

  std::vector<Statement> statements;
  for (const Statement& s : again->statements) {
    if (s.kind == StatementKind::Statement) statements.push_back(s);
  }
  if (statements.empty()) return 0;
  auto only = export_mt(statements, MtOptions{false});
  require(static_cast<bool>(only));
  auto exact = parse_statements(only->text, select_chain("auto"));
  require(static_cast<bool>(exact) && exact->size() == statements.size());
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const Statement& a = statements[i];
    const Statement& b = (*exact)[i];
    require(a.opening_balance.signed_amount() == b.opening_balance.signed_amount());
    require(a.closing_balance.signed_amount() == b.closing_balance.signed_amount());
    require(a.opening_balance.date == b.opening_balance.date && a.closing_balance.date == b.closing_balance.date);
    require(a.transactions.size() == b.transactions.size());
    for (std::size_t j = 0; j < a.transactions.size(); ++j) {
      require(a.transactions[j].signed_amount() == b.transactions[j].signed_amount());
      require(a.transactions[j].value_date == b.transactions[j].value_date);
      require(a.transactions[j].entry_date == b.transactions[j].entry_date);
    }
  }
  return 0;
}
