#include "tallyfold/iso20022.hpp"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "export/text_parts.hpp"
#include "tallyfold/bank_details.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold {
namespace {

// Limits of the schema types used (Max35Text, Max34Text, Max140Text, Max500Text, the
// 18 total digits of an amount and its 5 decimals, the 17 decimals of a sum).
constexpr std::size_t kMax35 = 35;
constexpr std::size_t kMax34 = 34;
constexpr std::size_t kMax140 = 140;
constexpr std::size_t kMax500 = 500;
constexpr int kTotalDigits = 18;
constexpr int kAmountDecimals = 5;
constexpr int kSumDecimals = 17;

bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_upper_or_digit(char c) noexcept { return is_upper(c) || is_digit(c); }

// `text` with every character XML 1.0 forbids and every ill-formed UTF-8 sequence
// replaced by U+FFFD, as xml_escape does, so that its characters can be counted.
std::string clean(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    const detail::Utf8Step step = detail::utf8_step(p, static_cast<std::size_t>(end - p));
    const unsigned char c = *p;
    bool allowed = step.valid;
    if (c < 0x20) allowed = c == '\t' || c == '\n' || c == '\r';
    if (step.length == 3 && c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) allowed = false;
    if (allowed) {
      out.append(reinterpret_cast<const char*>(p), step.length);
    } else {
      out.append(detail::kReplacementCharacter);
    }
    p += step.length;
  }
  return out;
}

// The byte length of the first `max` characters of a cleaned text.
std::size_t prefix_bytes(std::string_view cleaned, std::size_t max) noexcept {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < cleaned.size() && chars < max; ++chars) {
    const auto c = static_cast<unsigned char>(cleaned[i]);
    i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  }
  return i;
}

// Trimmed, cleaned and cut to `max` characters; empty when nothing is left.
std::string fit(std::string_view text, std::size_t max) {
  std::string s = clean(trim_white_space(text));
  s.resize(prefix_bytes(s, max));
  return std::string(trim_white_space(s));
}

// An amount as the schema takes it: unsigned, at least two decimals, trailing zeros
// beyond them dropped; nullopt when it needs more than `decimals` decimals or 18 digits.
std::optional<std::string> schema_amount(const Decimal& d, int decimals) {
  uint128 mantissa = d.mantissa();
  int scale = d.scale();
  while (scale > 2 && mantissa % 10 == 0) {
    mantissa /= 10;
    --scale;
  }
  if (scale > decimals) return std::nullopt;
  for (; scale < 2; ++scale) mantissa *= 10;  // 96 bits times 100 still fits 128
  char digits[40];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(mantissa % 10));
    mantissa /= 10;
  } while (mantissa != 0);
  while (n <= scale) digits[n++] = '0';  // at least one integer digit
  // Leading zeros are no digits of the value; the fraction's are.
  int significant = n;
  while (significant > scale && digits[significant - 1] == '0') --significant;
  if (significant > kTotalDigits) return std::nullopt;
  std::string out;
  for (int i = n - 1; i >= 0; --i) {
    if (i == scale - 1) out.push_back('.');
    out.push_back(digits[i]);
  }
  return out;
}

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t h = 0xcbf29ce484222325ULL) noexcept {
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

void append_two(unsigned v, std::string& out) {
  out.push_back(static_cast<char>('0' + v / 10 % 10));
  out.push_back(static_cast<char>('0' + v % 10));
}

// "YYYY-MM-DDTHH:MM:SSZ"; years outside 0..9999 are clamped, which no real clock needs.
std::string utc_date_time(std::int64_t seconds) {
  using namespace std::chrono;
  constexpr std::int64_t kFirst = -62167219200;  // 0000-01-01T00:00:00Z
  constexpr std::int64_t kLast = 253402300799;   // 9999-12-31T23:59:59Z
  seconds = seconds < kFirst ? kFirst : seconds > kLast ? kLast : seconds;
  const sys_seconds t{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<std::chrono::seconds> time{t - day};
  std::string out;
  const int year = static_cast<int>(ymd.year());
  append_two(static_cast<unsigned>(year / 100), out);
  append_two(static_cast<unsigned>(year % 100), out);
  out.push_back('-');
  append_two(static_cast<unsigned>(ymd.month()), out);
  out.push_back('-');
  append_two(static_cast<unsigned>(ymd.day()), out);
  out.push_back('T');
  append_two(static_cast<unsigned>(time.hours().count()), out);
  out.push_back(':');
  append_two(static_cast<unsigned>(time.minutes().count()), out);
  out.push_back(':');
  append_two(static_cast<unsigned>(time.seconds().count()), out);
  out.push_back('Z');
  return out;
}

// The report's own time with its offset; without one it is the bank's local time.
std::string report_date_time(const ReportTime& t) {
  std::string out = t.date.to_iso();
  out.push_back('T');
  append_two(t.hour, out);
  out.push_back(':');
  append_two(t.minute, out);
  out.append(":00");
  if (t.utc_offset_minutes) {
    const int offset = *t.utc_offset_minutes;
    const auto magnitude = static_cast<unsigned>(offset < 0 ? -offset : offset);
    out.push_back(offset < 0 ? '-' : '+');
    append_two(magnitude / 60, out);
    out.push_back(':');
    append_two(magnitude % 60, out);
  }
  return out;
}

// The details fields the writer maps. The bank-file reading derives them itself; for
// the exact reading they come from its derived fields and the SEPA keywords of its map.
BankFields transaction_fields(const Transaction& t, Reading reading) {
  if (reading == Reading::BankFile) return bank_fields(t);
  BankFields f;
  f.purpose = derive_purpose(t);
  f.counterparty = derive_counterparty(t);
  f.counter_iban = derive_counter_iban(t);
  if (!is_valid_iban(f.counter_iban)) f.counter_iban.clear();
  if (t.structured_details) {
    const DecodedDetails& d = *t.structured_details;
    if (const auto v = d.find("EREF"); v && *v != "NOTPROVIDED" && *v != "NONREF") f.end_to_end_reference = *v;
    if (const auto v = d.find("MREF")) f.mandate_reference = *v;
    if (const auto v = d.find("CRED")) f.creditor_id = *v;
  }
  return f;
}

bool is_currency(std::string_view s) noexcept {
  return s.size() == 3 && is_upper(s[0]) && is_upper(s[1]) && is_upper(s[2]);
}

// A BIC as the version's pattern allows it.
bool is_bic(std::string_view s, CamtVersion version) noexcept {
  if (s.size() != 8 && s.size() != 11) return false;
  for (const char c : s) {
    if (!is_upper_or_digit(c)) return false;
  }
  if (version == CamtVersion::V08) {
    // [A-Z0-9]{4}[A-Z]{2}[A-Z0-9]{2}([A-Z0-9]{3})?
    return is_upper(s[4]) && is_upper(s[5]);
  }
  // [A-Z]{6}[A-Z2-9][A-NP-Z0-9]([A-Z0-9]{3})?
  for (std::size_t i = 0; i < 6; ++i) {
    if (!is_upper(s[i])) return false;
  }
  return s[6] != '0' && s[6] != '1' && s[7] != 'O';
}

struct AccountId {
  bool iban = false;
  std::string id;
};

// An IBAN (grouping blanks taken out), also when the currency follows it; anything
// else as the bank wrote it.
AccountId account_id(std::string_view account, std::string_view currency) {
  const std::string_view trimmed = trim_white_space(account);
  std::string compact;
  for (const char c : trimmed) {
    if (c != ' ') compact.push_back(c);
  }
  if (is_valid_iban(compact)) return {true, compact};
  if (compact.size() > 3 && is_currency(std::string_view(compact).substr(compact.size() - 3))) {
    const std::string_view suffix = std::string_view(compact).substr(compact.size() - 3);
    const std::string_view iban = std::string_view(compact).substr(0, compact.size() - 3);
    if (suffix == currency && is_valid_iban(iban)) return {true, std::string(iban)};
  }
  return {false, fit(trimmed, kMax34)};
}

// A :28C: number as the schema's Number: digits only, without leading zeros.
std::optional<std::string> sequence_number(std::string_view number) {
  number = trim_white_space(number);
  if (number.empty()) return std::nullopt;
  for (const char c : number) {
    if (!is_digit(c)) return std::nullopt;
  }
  while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
  if (number.size() > static_cast<std::size_t>(kTotalDigits)) return std::nullopt;
  return std::string(number);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// Writes one element per line, indented by depth. Element names are literals; every
// text passes through fit() and xml_escape().
class Xml {
 public:
  Xml(std::string& out, int depth) : out_(out), depth_(depth) {}

  void open(std::string_view name) {
    indent();
    out_.push_back('<');
    out_.append(name);
    out_.append(">\n");
    ++depth_;
  }
  void close(std::string_view name) {
    --depth_;
    indent();
    out_.append("</");
    out_.append(name);
    out_.append(">\n");
  }
  // A value that needs no escaping: codes, dates, numbers, checked identifiers.
  void value(std::string_view name, std::string_view v) {
    indent();
    out_.push_back('<');
    out_.append(name);
    out_.push_back('>');
    out_.append(v);
    end(name);
  }
  // A text cut to `max` characters; left out when nothing of it is left.
  void text(std::string_view name, std::string_view t, std::size_t max) {
    const std::string fitted = fit(t, max);
    if (!fitted.empty()) escaped(name, fitted);
  }
  // A text that is fitted already.
  void escaped(std::string_view name, std::string_view fitted) {
    indent();
    out_.push_back('<');
    out_.append(name);
    out_.push_back('>');
    xml_escape(fitted, out_);
    end(name);
  }
  void amount(std::string_view name, std::string_view amount, std::string_view currency) {
    indent();
    out_.push_back('<');
    out_.append(name);
    out_.append(" Ccy=\"");
    out_.append(currency);
    out_.append("\">");
    out_.append(amount);
    end(name);
  }

 private:
  void indent() { out_.append(static_cast<std::size_t>(2 * depth_), ' '); }
  void end(std::string_view name) {
    out_.append("</");
    out_.append(name);
    out_.append(">\n");
  }
  std::string& out_;
  int depth_;
};

// Why a statement cannot be written, or nothing.
using Refusal = std::optional<std::string>;

class StatementWriter {
 public:
  StatementWriter(const Statement& s, const CamtOptions& options, std::string_view created)
      : s_(s), version_(options.version), created_(created) {}

  Refusal write(std::string& out) {
    const bool report = s_.kind == StatementKind::InterimReport;
    currency_ = currency();
    if (!is_currency(currency_)) return "no currency code";
    Xml x(out, 2);
    const std::string_view element = report ? "Rpt" : "Stmt";
    x.open(element);
    const std::string id = fit(s_.transaction_reference, kMax35);
    x.escaped("Id", id.empty() ? std::string_view("NONREF") : std::string_view(id));
    if (const auto number = sequence_number(s_.number)) {
      x.value("ElctrncSeqNb", *number);
      x.value("LglSeqNb", *number);
    }
    x.value("CreDtTm", report && s_.reported_at ? report_date_time(*s_.reported_at) : std::string(created_));
    if (auto refusal = write_account(x)) return refusal;
    if (!report) {
      if (auto refusal = write_balance(x, s_.opening_balance, s_.opening_balance.intermediate ? "PRCD" : "OPBD")) {
        return refusal;
      }
      if (auto refusal = write_balance(x, s_.closing_balance, s_.closing_balance.intermediate ? "ITBD" : "CLBD")) {
        return refusal;
      }
      if (s_.closing_available_balance) {
        if (auto refusal = write_balance(x, *s_.closing_available_balance, "CLAV")) return refusal;
      }
      for (const Balance& forward : s_.forward_balances) {
        if (auto refusal = write_balance(x, forward, "FWAV")) return refusal;
      }
    } else {
      write_summary(x);
    }
    std::size_t number = 0;
    for (const Transaction& t : s_.transactions) {
      if (auto refusal = write_entry(x, t, ++number)) return refusal;
    }
    if (s_.information_to_account_owner) {
      x.text(report ? "AddtlRptInf" : "AddtlStmtInf", *s_.information_to_account_owner, kMax500);
    }
    x.close(element);
    return std::nullopt;
  }

 private:
  // An opening balance read without a currency leaves it to the closing balance.
  std::string currency() const {
    std::string_view c = tallyfold::statement_currency(s_);
    if (!is_currency(c) && s_.kind == StatementKind::Statement) c = s_.closing_balance.currency;
    return std::string(c);
  }

  Refusal write_account(Xml& x) {
    const AccountId account = account_id(s_.account_identification, currency_);
    if (account.id.empty()) return "no account (:25:)";
    x.open("Acct");
    x.open("Id");
    if (account.iban) {
      x.value("IBAN", account.id);
    } else {
      x.open("Othr");
      x.escaped("Id", account.id);
      x.close("Othr");
    }
    x.close("Id");
    x.value("Ccy", currency_);
    if (is_bic(s_.servicer_bic, version_)) {
      x.open("Svcr");
      x.open("FinInstnId");
      x.value(version_ == CamtVersion::V02 ? "BIC" : "BICFI", s_.servicer_bic);
      x.close("FinInstnId");
      x.close("Svcr");
    }
    x.close("Acct");
    return std::nullopt;
  }

  Refusal write_balance(Xml& x, const Balance& b, std::string_view code) {
    const Decimal signed_amount = b.signed_amount();
    const auto amount = schema_amount(signed_amount, kAmountDecimals);
    if (!amount) return "balance " + signed_amount.to_string() + " has more digits than camt allows";
    // A zero keeps the bank's mark; otherwise the sign decides.
    const bool debit = signed_amount.mantissa() == 0 ? b.debit_credit == DebitCreditMark::Debit
                                                     : signed_amount.negative();
    x.open("Bal");
    x.open("Tp");
    x.open("CdOrPrtry");
    x.value("Cd", code);
    x.close("CdOrPrtry");
    x.close("Tp");
    x.amount("Amt", *amount, currency_);
    x.value("CdtDbtInd", debit ? "DBIT" : "CRDT");
    x.open("Dt");
    x.value("Dt", b.date.to_iso());
    x.close("Dt");
    x.close("Bal");
    return std::nullopt;
  }

  void write_summary(Xml& x) {
    struct Side {
      const std::optional<EntryTotal>& total;
      std::string_view element;
    };
    const Side sides[] = {{s_.credit_total, "TtlCdtNtries"}, {s_.debit_total, "TtlDbtNtries"}};
    bool opened = false;
    for (const Side& side : sides) {
      if (!side.total) continue;
      const auto sum = schema_amount(side.total->sum, kSumDecimals);
      const std::string count = std::to_string(side.total->count);
      if (!sum || count.size() > 15) continue;  // optional: left out rather than written invalid
      if (!opened) x.open("TxsSummry");
      opened = true;
      x.open(side.element);
      x.value("NbOfNtries", count);
      x.value("Sum", *sum);
      x.close(side.element);
    }
    if (opened) x.close("TxsSummry");
  }

  void write_bic(Xml& x, std::string_view agent, std::string_view bic) {
    x.open("RltdAgts");
    x.open(agent);
    x.open("FinInstnId");
    x.value(version_ == CamtVersion::V02 ? "BIC" : "BICFI", bic);
    x.close("FinInstnId");
    x.close(agent);
    x.close("RltdAgts");
  }

  // A party with its name and, for the creditor, its SEPA creditor identifier; the
  // latest version wraps it in Pty.
  void write_party(Xml& x, std::string_view element, std::string_view name, std::string_view creditor_id) {
    const std::string fitted_name = fit(name, kMax140);
    const std::string fitted_id = fit(creditor_id, kMax35);
    if (fitted_name.empty() && fitted_id.empty()) return;
    x.open(element);
    if (version_ == CamtVersion::V08) x.open("Pty");
    if (!fitted_name.empty()) x.escaped("Nm", fitted_name);
    if (!fitted_id.empty()) {
      x.open("Id");
      x.open("PrvtId");
      x.open("Othr");
      x.escaped("Id", fitted_id);
      x.open("SchmeNm");
      x.value("Prtry", "SEPA");
      x.close("SchmeNm");
      x.close("Othr");
      x.close("PrvtId");
      x.close("Id");
    }
    if (version_ == CamtVersion::V08) x.close("Pty");
    x.close(element);
  }

  // The other party's account: its IBAN, else the account as the bank wrote it.
  void write_account_of(Xml& x, std::string_view element, std::string_view iban, std::string_view other) {
    if (iban.empty() && other.empty()) return;
    x.open(element);
    x.open("Id");
    if (!iban.empty()) {
      x.value("IBAN", iban);
    } else {
      x.open("Othr");
      x.escaped("Id", other);
      x.close("Othr");
    }
    x.close("Id");
    x.close(element);
  }

  Refusal write_entry(Xml& x, const Transaction& t, std::size_t number) {
    const auto amount = schema_amount(t.amount, kAmountDecimals);
    if (!amount) return "amount " + t.amount.to_string() + " has more digits than camt allows";
    const bool credit = is_credit_side(t.debit_credit);
    const std::string_view indicator = credit ? "CRDT" : "DBIT";
    const BankFields fields = transaction_fields(t, s_.reading);
    x.open("Ntry");
    x.value("NtryRef", std::to_string(number));
    x.amount("Amt", *amount, currency_);
    x.value("CdtDbtInd", indicator);
    if (is_reversal(t.debit_credit)) x.value("RvslInd", "true");
    if (version_ == CamtVersion::V08) {
      x.open("Sts");
      x.value("Cd", "BOOK");
      x.close("Sts");
    } else {
      x.value("Sts", "BOOK");
    }
    x.open("BookgDt");
    x.value("Dt", (t.entry_date ? *t.entry_date : t.value_date).to_iso());
    x.close("BookgDt");
    x.open("ValDt");
    x.value("Dt", t.value_date.to_iso());
    x.close("ValDt");
    const std::string bank_reference = t.bank_reference ? fit(*t.bank_reference, kMax35) : std::string();
    if (!bank_reference.empty()) x.escaped("AcctSvcrRef", bank_reference);
    x.open("BkTxCd");
    x.open("Prtry");
    const std::string code = fit(t.transaction_type, kMax35);
    x.escaped("Cd", code.empty() ? std::string_view("NMSC") : std::string_view(code));
    x.value("Issr", "SWIFT");
    x.close("Prtry");
    x.close("BkTxCd");

    x.open("NtryDtls");
    x.open("TxDtls");
    std::string end_to_end = fit(fields.end_to_end_reference, kMax35);
    if (end_to_end.empty() && !equals_ignoring_case(trim_white_space(t.customer_reference), "NONREF")) {
      end_to_end = fit(t.customer_reference, kMax35);
    }
    const std::string mandate = fit(fields.mandate_reference, kMax35);
    if (!bank_reference.empty() || !end_to_end.empty() || !mandate.empty()) {
      x.open("Refs");
      if (!bank_reference.empty()) x.escaped("AcctSvcrRef", bank_reference);
      if (!end_to_end.empty()) x.escaped("EndToEndId", end_to_end);
      if (!mandate.empty()) x.escaped("MndtId", mandate);
      x.close("Refs");
    }
    if (version_ != CamtVersion::V02) {
      x.amount("Amt", *amount, currency_);
      x.value("CdtDbtInd", indicator);
    }
    // The counterparty paid a credit (debtor) and was paid by a debit (creditor).
    const std::string iban = is_valid_iban(fields.counter_iban) ? fields.counter_iban : std::string();
    const std::string other = iban.empty() ? fit(trim_white_space(fields.counter_account), kMax34) : std::string();
    const bool has_name = !fit(fields.counterparty, kMax140).empty();
    const bool has_creditor_id = !fit(fields.creditor_id, kMax35).empty();
    if (has_name || !iban.empty() || !other.empty() || has_creditor_id) {
      x.open("RltdPties");
      if (credit) {
        write_party(x, "Dbtr", fields.counterparty, {});
        write_account_of(x, "DbtrAcct", iban, other);
        // Money collected under the owner's creditor identifier: the owner is the creditor.
        write_party(x, "Cdtr", {}, fields.creditor_id);
      } else {
        write_party(x, "Cdtr", fields.counterparty, fields.creditor_id);
        write_account_of(x, "CdtrAcct", iban, other);
      }
      x.close("RltdPties");
    }
    if (is_bic(fields.counterparty_bic, version_)) write_bic(x, credit ? "DbtrAgt" : "CdtrAgt", fields.counterparty_bic);
    write_remittance(x, fields.purpose);
    x.close("TxDtls");
    x.close("NtryDtls");
    write_additional_information(x, t);
    x.close("Ntry");
    return std::nullopt;
  }

  // Unstructured remittance text in pieces of at most 140 characters.
  static void write_remittance(Xml& x, std::string_view purpose) {
    const std::string text = clean(trim_white_space(purpose));
    std::string_view rest(text);
    if (trim_white_space(rest).empty()) return;
    x.open("RmtInf");
    while (!rest.empty()) {
      const std::size_t n = prefix_bytes(rest, kMax140);
      const std::string_view piece = trim_white_space(rest.substr(0, n));
      if (!piece.empty()) x.escaped("Ustrd", piece);
      rest.remove_prefix(n);
    }
    x.close("RmtInf");
  }

  // The German transaction code and the :61: supplementary details, which camt has
  // no element of their own for.
  static void write_additional_information(Xml& x, const Transaction& t) {
    std::string info;
    if (t.structured_details) {
      if (const auto gvc = t.structured_details->find("gvc"); gvc && !gvc->empty()) {
        info.append("GVC ");
        info.append(*gvc);
      }
    }
    if (t.extra_details && !trim_white_space(*t.extra_details).empty()) {
      if (!info.empty()) info.push_back(' ');
      info.append(trim_white_space(*t.extra_details));
    }
    x.text("AddtlNtryInf", info, kMax500);
  }

  const Statement& s_;
  CamtVersion version_;
  std::string_view created_;
  std::string currency_;
};

std::string_view name_of(const Statement& s) noexcept { return s.transaction_reference; }

}  // namespace

std::optional<CamtVersion> camt_version_from(std::string_view name) noexcept {
  if (name == "02" || name == "2") return CamtVersion::V02;
  if (name == "06" || name == "6") return CamtVersion::V06;
  if (name == "08" || name == "8") return CamtVersion::V08;
  return std::nullopt;
}

std::string_view camt_version_name(CamtVersion version) noexcept {
  switch (version) {
    case CamtVersion::V02: return "02";
    case CamtVersion::V06: return "06";
    case CamtVersion::V08: return "08";
  }
  return "08";
}

std::optional<std::int64_t> parse_timestamp(std::string_view text) noexcept {
  auto number = [&](std::size_t at, std::size_t n) -> std::optional<int> {
    if (at + n > text.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (!is_digit(text[i])) return std::nullopt;
      v = v * 10 + (text[i] - '0');
    }
    return v;
  };
  if (!text.empty() && text.front() == '@') {
    std::int64_t v = 0;
    const char* first = text.data() + 1;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
    return v;
  }
  const auto year = number(0, 4);
  const auto month = number(5, 2);
  const auto day = number(8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
  const auto date = Date::from_ymd(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
  if (!date) return std::nullopt;
  using namespace std::chrono;
  std::int64_t seconds =
      sys_seconds{sys_days{std::chrono::year{*year} / std::chrono::month{static_cast<unsigned>(*month)} /
                           std::chrono::day{static_cast<unsigned>(*day)}}}
          .time_since_epoch()
          .count();
  std::size_t at = 10;
  if (at == text.size()) return seconds;
  if (text[at] != 'T' && text[at] != ' ') return std::nullopt;
  const auto hour = number(at + 1, 2);
  const auto minute = number(at + 4, 2);
  if (!hour || !minute || text[at + 3] != ':' || *hour > 23 || *minute > 59) return std::nullopt;
  seconds += *hour * 3600 + *minute * 60;
  at += 6;
  if (at < text.size() && text[at] == ':') {
    const auto second = number(at + 1, 2);
    if (!second || *second > 59) return std::nullopt;
    seconds += *second;
    at += 3;
  }
  if (at == text.size()) return seconds;
  if (text[at] == 'Z' && at + 1 == text.size()) return seconds;
  if ((text[at] == '+' || text[at] == '-') && at + 6 == text.size() && text[at + 3] == ':') {
    const auto oh = number(at + 1, 2);
    const auto om = number(at + 4, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    const std::int64_t offset = *oh * 3600 + *om * 60;
    return text[at] == '+' ? seconds - offset : seconds + offset;
  }
  return std::nullopt;
}

Result<CamtDocument> export_camt(std::span<const Statement> statements, const CamtOptions& options) {
  CamtDocument document;
  if (statements.empty()) return Other{"no statement to write as camt"};
  document.report = statements.front().kind == StatementKind::InterimReport;
  for (const Statement& s : statements) {
    if ((s.kind == StatementKind::InterimReport) != document.report) {
      return Other{"the input mixes MT940 statements and MT942 interim reports, which no one camt document can hold"};
    }
  }
  const std::string created = utc_date_time(options.created);
  std::string body;
  std::size_t written = 0;
  std::string last_refusal;
  for (const Statement& s : statements) {
    const std::size_t mark = body.size();
    StatementWriter writer(s, options, created);
    if (auto refusal = writer.write(body)) {
      body.resize(mark);
      last_refusal = *refusal;
      document.warnings.push_back(std::string(document.report ? "interim report '" : "statement '") +
                                  std::string(name_of(s)) + "' left out of the camt document: " + *refusal);
      continue;
    }
    ++written;
  }
  if (written == 0) return Other{"nothing can be written as camt: " + last_refusal};

  const std::string_view message = document.report ? "052" : "053";
  const std::string_view root = document.report ? "BkToCstmrAcctRpt" : "BkToCstmrStmt";
  std::string ns = "urn:iso:std:iso:20022:tech:xsd:camt.";
  ns.append(message);
  ns.append(".001.");
  ns.append(camt_version_name(options.version));
  // The identifier covers everything the document says, the creation time included.
  char id[40];
  const int id_size = std::snprintf(id, sizeof id, "TALLYFOLD-%016llX",
                                    static_cast<unsigned long long>(fnv1a(body, fnv1a(ns + created))));

  std::string& out = document.xml;
  out.reserve(body.size() + 400);
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document xmlns=\"");
  out.append(ns);
  out.append("\">\n");
  Xml x(out, 1);
  x.open(root);
  x.open("GrpHdr");
  x.value("MsgId", std::string_view(id, static_cast<std::size_t>(id_size)));
  x.value("CreDtTm", created);
  x.close("GrpHdr");
  out.append(body);
  x.close(root);
  out.append("</Document>\n");
  return document;
}

}  // namespace tallyfold
