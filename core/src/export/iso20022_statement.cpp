#include "export/iso20022_statement.hpp"

#include "export/camt_account.hpp"
#include "export/camt_codes.hpp"
#include "export/iso20022_limits.hpp"
#include "export/iso20022_message.hpp"
#include "export/iso20022_time.hpp"
#include "export/iso20022_xml.hpp"
#include "fields/field_parts.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/transaction_id.hpp"
#include "util/ascii.hpp"

namespace tallyfold::camt {
namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii::to_upper(a[i]) != b[i]) return false;
  }
  return true;
}

// A reference that says there is none.
bool is_no_reference(std::string_view text) noexcept {
  text = trim_white_space(text);
  return text.empty() || equals_ignoring_case(text, "NONREF") || equals_ignoring_case(text, "NOREF");
}

// A :28C: value apart: the statement number and the page, digits only and without
// leading zeros; either empty when absent, not a number, or zero.
struct StatementNumber {
  std::string number;
  std::string page;
};

StatementNumber statement_number(std::string_view field, std::optional<std::string_view> page) {
  const std::size_t slash = field.find('/');
  auto digits = [](std::string_view text, std::size_t max) -> std::string {
    const auto n = sequence_number(text);
    if (!n || *n == "0" || n->size() > max) return {};
    return *n;
  };
  StatementNumber out;
  out.number = digits(field.substr(0, slash), static_cast<std::size_t>(kTotalDigits));
  if (page) {
    out.page = digits(*page, 5);
  } else if (slash != std::string_view::npos) {
    out.page = digits(field.substr(slash + 1), 5);
  }
  return out;
}

// A German bank code (Bankleitzahl): eight digits, never starting with 0 or 9.
bool is_german_bank_code(std::string_view text) noexcept {
  if (text.size() != 8 || text[0] == '0' || text[0] == '9') return false;
  for (const char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

bool all_digits(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// The byte length of the longest piece of `text` (cleaned, trimmed) that holds at most
// `max` characters and ends before a blank or at the end; the whole `max` characters
// when a word is longer than that.
std::size_t text_piece(std::string_view text, std::size_t max = kMax140) noexcept {
  const std::size_t limit = prefix_bytes(text, max);
  if (limit == text.size() || text[limit] == ' ') return limit;
  const std::size_t blank = text.rfind(' ', limit);
  return blank == std::string_view::npos || blank == 0 ? limit : blank;
}

class StatementWriter {
 public:
  StatementWriter(const Statement& s, CamtMessage message, const CamtOptions& options, std::string_view id,
                  std::vector<std::string>& warnings)
      : s_(s), message_(message), options_(options), version_(options.version), id_(id), warnings_(warnings) {}

  LeftOut write(std::string& out, std::span<const TransactionId> ids, TrailingHash* trailing) {
    const bool report = message_ != CamtMessage::Statement;
    // camt has no statement without its balances; writing it would invent them.
    if (!s_.complete) return "the statement is incomplete";
    currency_ = currency();
    if (!is_currency(currency_)) return "no currency code";
    units_ = minor_units(currency_);
    Xml x(out, 2, trailing);
    const std::string_view element = names_of(message_).item;
    x.open(element);
    x.escaped(tag<"Id">, id_);
    const StatementNumber number = statement_number(s_.number, s_.sequence);
    // The last page is the one that closes with a final balance; a report has none.
    if (version_ != CamtVersion::V02 && !number.page.empty() && !report) {
      x.open(names_of(message_).pagination);
      x.value(tag<"PgNb">, number.page);
      x.value(tag<"LastPgInd">, s_.closing_balance.intermediate ? "false" : "true");
      x.close(names_of(message_).pagination);
    }
    if (!number.number.empty()) {
      x.value(tag<"ElctrncSeqNb">, number.number);
      x.value(tag<"LglSeqNb">, number.number);
    }
    write_dates(x, report);
    if (auto refusal = write_account(x)) return refusal;
    if (!report) {
      if (auto refusal = write_balance(x, s_.opening_balance, s_.opening_balance.intermediate ? "ITBD" : "OPBD")) {
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
    for (std::size_t i = 0; i < s_.transactions.size(); ++i) {
      if (auto refusal = write_entry(x, s_.transactions[i], ids[i])) return refusal;
    }
    if (s_.information_to_account_owner) {
      x.text(names_of(message_).information, *s_.information_to_account_owner, kMax500);
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

  // The statement's own time, never the conversion's: the report's :13D: time when it
  // has its zone, else the end of the last day the statement covers, in UTC. FrToDt
  // runs over the days it covers: from the opening to the closing balance, or over the
  // entries of a report.
  void write_dates(Xml& x, bool report) {
    std::optional<Date> first;
    std::optional<Date> last;
    if (!report) {
      first = s_.opening_balance.date;
      last = s_.closing_balance.date;
    } else {
      auto less = [](const Date& a, const Date& b) {
        return a.year() != b.year() ? a.year() < b.year() : a.month() != b.month() ? a.month() < b.month() : a.day() < b.day();
      };
      for (const Transaction& t : s_.transactions) {
        const Date d = t.entry_date ? *t.entry_date : t.value_date;
        if (!first || less(d, *first)) first = d;
        if (!last || less(*last, d)) last = d;
      }
      if (s_.reported_at) {
        if (!first || less(s_.reported_at->date, *first)) first = s_.reported_at->date;
        if (!last || less(*last, s_.reported_at->date)) last = s_.reported_at->date;
      }
    }
    // The statement's own time first: the report's with its zone, then the time the bank
    // sent the message, which SWIFT gives in the bank's local time without a zone and is
    // taken as UTC, the zone that every other time here is written in.
    if (report && s_.reported_at && s_.reported_at->utc_offset_minutes) {
      x.value(tag<"CreDtTm">, report_date_time(*s_.reported_at));
    } else if (s_.sent_at) {
      x.value(tag<"CreDtTm">, utc_date_time(utc_midnight(s_.sent_at->date) + s_.sent_at->hour * 3600 +
                                       s_.sent_at->minute * 60));
    } else if (last) {
      x.value(tag<"CreDtTm">, utc_date_time(utc_midnight(*last) + 86399));
    } else {
      x.value(tag<"CreDtTm">, utc_date_time(options_.created));
    }
    if (first && last) {
      x.open(tag<"FrToDt">);
      x.value(tag<"FrDtTm">, utc_date_time(utc_midnight(*first)));
      x.value(tag<"ToDtTm">, utc_date_time(utc_midnight(*last) + 86399));
      x.close(tag<"FrToDt">);
    }
  }

  const Tag& bic_element() const noexcept { return version_ == CamtVersion::V02 ? tag<"BIC"> : tag<"BICFI">; }

  LeftOut write_account(Xml& x) {
    const AccountParts account = account_parts(s_.account_identification, currency_);
    if (account.id.empty()) return "no account (:25:)";
    x.open(tag<"Acct">);
    x.open(tag<"Id">);
    if (account.iban) {
      x.value(tag<"IBAN">, account.id);
    } else {
      x.open(tag<"Othr">);
      x.escaped(tag<"Id">, account.id);
      x.close(tag<"Othr">);
    }
    x.close(tag<"Id">);
    x.value(tag<"Ccy">, currency_);
    const std::string servicer = fit(account.servicer, kMax140);
    if (!servicer.empty()) {
      x.open(tag<"Svcr">);
      x.open(tag<"FinInstnId">);
      if (is_bic(servicer, version_)) {
        x.value(bic_element(), servicer);
      } else if (all_digits(servicer) && servicer.size() <= kMax35) {
        x.open(tag<"ClrSysMmbId">);
        if (is_german_bank_code(servicer)) {
          x.open(tag<"ClrSysId">);
          x.value(tag<"Cd">, "DEBLZ");
          x.close(tag<"ClrSysId">);
        }
        x.value(tag<"MmbId">, servicer);
        x.close(tag<"ClrSysMmbId">);
      } else {
        x.escaped(tag<"Nm">, servicer);
      }
      x.close(tag<"FinInstnId">);
      x.close(tag<"Svcr">);
    } else if (is_bic(s_.servicer_bic, version_)) {
      x.open(tag<"Svcr">);
      x.open(tag<"FinInstnId">);
      x.value(bic_element(), s_.servicer_bic);
      x.close(tag<"FinInstnId">);
      x.close(tag<"Svcr">);
    }
    x.close(tag<"Acct">);
    return std::nullopt;
  }

  // The amount with exactly the decimals of the currency; one with more decimals than
  // the currency has is written as it is, with a warning.
  std::optional<std::string> amount_of(const Decimal& d) {
    int scale = 0;
    auto amount = schema_amount(d, kAmountDecimals, units_, &scale);
    if (amount && scale > units_) [[unlikely]] {
      warn_unrounded(d);
    }
    return amount;
  }

  // The rare paths of an entry stay out of its code, which runs for every entry.
  [[gnu::cold]] [[gnu::noinline]] void warn_unrounded(const Decimal& d) {
    warnings_.push_back(std::string(names_of(message_).noun) + " '" + std::string(s_.transaction_reference) + "': " +
                        d.to_string() + " " + currency_ + " has more decimals than " + currency_ + "'s " +
                        std::to_string(units_) + "; written unrounded");
  }
  [[gnu::cold]] [[gnu::noinline]] static std::string too_many_digits(std::string_view what, const Decimal& d) {
    return std::string(what) + " " + d.to_string() + " has more digits than camt allows";
  }

  LeftOut write_balance(Xml& x, const Balance& b, std::string_view code) {
    const Decimal signed_amount = b.signed_amount();
    const auto amount = amount_of(signed_amount);
    if (!amount) return too_many_digits("balance", signed_amount);
    // A zero keeps the bank's mark; otherwise the sign decides.
    const bool debit = signed_amount.mantissa() == 0 ? b.debit_credit == DebitCreditMark::Debit
                                                     : signed_amount.negative();
    x.open(tag<"Bal">);
    x.open(tag<"Tp">);
    x.open(tag<"CdOrPrtry">);
    x.value(tag<"Cd">, code);
    x.close(tag<"CdOrPrtry">);
    x.close(tag<"Tp">);
    x.amount(tag<"Amt">, *amount, currency_);
    x.value(tag<"CdtDbtInd">, debit ? "DBIT" : "CRDT");
    x.open(tag<"Dt">);
    x.date(tag<"Dt">, b.date);
    x.close(tag<"Dt">);
    x.close(tag<"Bal">);
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
      if (!opened) x.open(tag<"TxsSummry">);
      opened = true;
      x.open(side.element);
      x.value(tag<"NbOfNtries">, count);
      x.value(tag<"Sum">, *sum);
      x.close(side.element);
    }
    if (opened) x.close(tag<"TxsSummry">);
  }

  void write_agent(Xml& x, const Tag& agent, std::string_view bic) {
    x.open(tag<"RltdAgts">);
    x.open(agent);
    x.open(tag<"FinInstnId">);
    x.value(bic_element(), bic);
    x.close(tag<"FinInstnId">);
    x.close(agent);
    x.close(tag<"RltdAgts">);
  }

  // A postal address as address lines: split at blanks like a remittance text, so that
  // a reader joins the lines with one blank. What does not fit the lines the schema
  // allows is left out with a warning.
  [[gnu::cold]] [[gnu::noinline]] void write_address_lines(Xml& x, std::string_view address) {
    const std::string cleaned = clean(address);
    std::string_view rest = trim_white_space(cleaned);
    for (std::size_t line = 0; !rest.empty(); ++line) {
      if (line == kMaxAddressLines) {
        warnings_.push_back(std::string(names_of(message_).noun) + " '" + std::string(s_.transaction_reference) +
                            "': an address longer than " + std::to_string(kMaxAddressLines) + " lines of " +
                            std::to_string(kMax70) + " characters is cut: '" + std::string(rest) + "' left out");
        return;
      }
      const std::size_t n = text_piece(rest, kMax70);
      x.escaped(tag<"AdrLine">, trim_white_space(rest.substr(0, n)));
      rest = trim_white_space(rest.substr(n));
    }
  }

  // A party with its name, town, address and, for the creditor, its SEPA creditor
  // identifier; the latest version wraps it in Pty.
  void write_party(Xml& x, const Tag& element, std::string_view name, std::string_view town,
                   std::string_view address, std::string_view creditor_id) {
    const std::string_view fitted_name = fit(name, kMax140, scratch_[0]);
    const std::string_view fitted_town = fit(town, kMax35, scratch_[1]);
    const std::string_view fitted_id = fit(creditor_id, kMax35, scratch_[2]);
    const bool has_address = fits_something(address, kMax70);
    if (fitted_name.empty() && fitted_id.empty()) return;
    x.open(element);
    if (version_ == CamtVersion::V08) x.open(tag<"Pty">);
    if (!fitted_name.empty()) x.escaped(tag<"Nm">, fitted_name);
    if ((!fitted_town.empty() || has_address) && !fitted_name.empty()) [[unlikely]] {
      write_postal_address(x, fitted_town, address);
    }
    if (!fitted_id.empty()) [[unlikely]] write_creditor_id(x, fitted_id);
    if (version_ == CamtVersion::V08) x.close(tag<"Pty">);
    x.close(element);
  }

  [[gnu::cold]] [[gnu::noinline]] void write_postal_address(Xml& x, std::string_view town, std::string_view address) {
    x.open(tag<"PstlAdr">);
    if (!town.empty()) x.escaped(tag<"TwnNm">, town);
    write_address_lines(x, address);
    x.close(tag<"PstlAdr">);
  }

  [[gnu::cold]] [[gnu::noinline]] static void write_creditor_id(Xml& x, std::string_view id) {
    x.open(tag<"Id">);
    x.open(tag<"PrvtId">);
    x.open(tag<"Othr">);
    x.escaped(tag<"Id">, id);
    x.open(tag<"SchmeNm">);
    x.value(tag<"Prtry">, "SEPA");
    x.close(tag<"SchmeNm">);
    x.close(tag<"Othr">);
    x.close(tag<"PrvtId">);
    x.close(tag<"Id">);
  }

  // The other party's account: its IBAN, else the account as the bank wrote it.
  void write_account_of(Xml& x, const Tag& element, std::string_view iban, std::string_view other) {
    if (iban.empty() && other.empty()) return;
    x.open(element);
    x.open(tag<"Id">);
    if (!iban.empty()) {
      x.value(tag<"IBAN">, iban);
    } else {
      x.open(tag<"Othr">);
      x.escaped(tag<"Id">, other);
      x.close(tag<"Othr">);
    }
    x.close(tag<"Id">);
    x.close(element);
  }

  std::string_view entry_status() const noexcept {
    return message_ == CamtMessage::Report && options_.entry_status == CamtEntryStatus::Pending ? "PDNG" : "BOOK";
  }

  // The domain code an importer reads, and the bank's own code: "SWIFT" issues the :61:
  // type; a German file's "TYPE+GVC+PRIMANOTA" is the German banking industry's ("DK").
  BankTransactionCode write_transaction_code(Xml& x, const Transaction& t, std::string_view gvc, bool credit) {
    const BankTransactionCode code = bank_transaction_code(t.transaction_type, gvc, credit);
    x.open(tag<"BkTxCd">);
    x.open(tag<"Domn">);
    x.value(tag<"Cd">, code.domain);
    x.open(tag<"Fmly">);
    x.value(tag<"Cd">, code.family);
    x.value(tag<"SubFmlyCd">, code.sub_family);
    x.close(tag<"Fmly">);
    x.close(tag<"Domn">);
    x.open(tag<"Prtry">);
    std::string& proprietary = proprietary_;
    proprietary.assign(fit(t.transaction_type, kMax35, scratch_[0]));
    if (proprietary.empty()) proprietary = "NMSC";
    if (!gvc.empty()) {
      proprietary.push_back('+');
      proprietary.append(gvc);
      if (t.structured_details) {
        const auto primanota = t.structured_details->find("10");
        if (primanota && !trim_white_space(*primanota).empty() && primanota->find('+') == std::string_view::npos) {
          proprietary.push_back('+');
          proprietary.append(trim_white_space(*primanota));
        }
      }
      x.escaped(tag<"Cd">, fit(proprietary, kMax35, scratch_[0]));
    } else {
      x.escaped(tag<"Cd">, proprietary);
    }
    x.value(tag<"Issr">, gvc.empty() ? "SWIFT" : "DK");
    x.close(tag<"Prtry">);
    x.close(tag<"BkTxCd">);
    return code;
  }

  LeftOut write_entry(Xml& x, const Transaction& t, const TransactionId& id) {
    const auto amount = amount_of(t.amount);
    if (!amount) [[unlikely]] return too_many_digits("amount", t.amount);
    const bool credit = is_credit_side(t.debit_credit);
    const std::string_view indicator = credit ? "CRDT" : "DBIT";
    const FieldViews fields = field_views(t, fields_scratch_);
    std::string_view gvc;
    if (t.structured_details) {
      if (const auto v = t.structured_details->find("gvc"); v && v->size() == 3 && all_digits(*v)) gvc = *v;
    }
    x.open(tag<"Ntry">);
    // The stable id, so that an importer recognises an entry it booked before.
    x.value(tag<"NtryRef">, id.text());
    x.amount(tag<"Amt">, *amount, currency_);
    x.value(tag<"CdtDbtInd">, indicator);
    if (is_reversal(t.debit_credit)) x.value(tag<"RvslInd">, "true");
    if (version_ == CamtVersion::V08) {
      x.open(tag<"Sts">);
      x.value(tag<"Cd">, entry_status());
      x.close(tag<"Sts">);
    } else {
      x.value(tag<"Sts">, entry_status());
    }
    x.open(tag<"BookgDt">);
    x.date(tag<"Dt">, t.entry_date ? *t.entry_date : t.value_date);
    x.close(tag<"BookgDt">);
    x.open(tag<"ValDt">);
    x.date(tag<"Dt">, t.value_date);
    x.close(tag<"ValDt">);
    const std::string_view bank_reference = t.bank_reference && !is_no_reference(*t.bank_reference)
                                                ? fit(*t.bank_reference, kMax35, bank_reference_)
                                                : std::string_view();
    if (!bank_reference.empty()) x.escaped(tag<"AcctSvcrRef">, bank_reference);
    const BankTransactionCode code = write_transaction_code(x, t, gvc, credit);

    const Xml::Mark details = x.mark();
    x.open(tag<"NtryDtls">);
    x.open(tag<"TxDtls">);
    const std::size_t empty = x.size();
    write_references(x, t, fields, bank_reference);
    if (version_ != CamtVersion::V02) {
      x.amount(tag<"Amt">, *amount, currency_);
      x.value(tag<"CdtDbtInd">, indicator);
    }
    write_parties(x, fields, credit);
    if (is_bic(fields.counterparty_bic, version_)) write_agent(x, credit ? tag<"DbtrAgt"> : tag<"CdtrAgt">, fields.counterparty_bic);
    write_purpose(x, fields.purpose_code);
    write_remittance(x, fields);
    write_return(x, t, fields, code);
    if (x.size() == empty) {
      x.back_to(details);  // nothing to say of the transaction
    } else {
      x.close(tag<"TxDtls">);
      x.close(tag<"NtryDtls">);
    }
    write_additional_information(x, t, fields);
    x.close(tag<"Ntry">);
    return std::nullopt;
  }

  // Each reference where it means what the element says: the bank's own under
  // AcctSvcrRef, the payer's order or batch (KREF, PREF) under PmtInfId, the owner's
  // :61: reference as the instruction, an end-to-end reference only as the bank gave it.
  void write_references(Xml& x, const Transaction& t, const FieldViews& fields, std::string_view bank_reference) {
    const std::string_view payment_information = fit(fields.payment_information_id, kMax35, scratch_[0]);
    const std::string_view instruction =
        is_no_reference(t.customer_reference) ? std::string_view() : fit(t.customer_reference, kMax35, scratch_[1]);
    const std::string_view end_to_end = fit(fields.end_to_end_reference, kMax35, scratch_[2]);
    const std::string_view mandate = fit(fields.mandate_reference, kMax35, scratch_[3]);
    const bool owner_id = version_ != CamtVersion::V02 && !instruction.empty();
    if (bank_reference.empty() && payment_information.empty() && instruction.empty() && end_to_end.empty() &&
        mandate.empty()) {
      return;
    }
    x.open(tag<"Refs">);
    if (!bank_reference.empty()) x.escaped(tag<"AcctSvcrRef">, bank_reference);
    if (!payment_information.empty()) x.escaped(tag<"PmtInfId">, payment_information);
    if (!instruction.empty()) x.escaped(tag<"InstrId">, instruction);
    if (!end_to_end.empty()) x.escaped(tag<"EndToEndId">, end_to_end);
    if (!mandate.empty()) x.escaped(tag<"MndtId">, mandate);
    if (owner_id) x.escaped(tag<"AcctOwnrTxId">, instruction);
    x.close(tag<"Refs">);
  }

  // The counterparty paid a credit (debtor) and was paid by a debit (creditor).
  void write_parties(Xml& x, const FieldViews& fields, bool credit) {
    const std::string_view iban = is_valid_iban(fields.counter_iban) ? fields.counter_iban : std::string_view();
    // Kept apart from the scratch the parties' own texts are fitted in.
    const std::string_view other =
        iban.empty() ? fit(trim_white_space(fields.counter_account), kMax34, other_account_) : std::string_view();
    const bool has_name = fits_something(fields.counterparty, kMax140);
    const bool has_creditor_id = fits_something(fields.creditor_id, kMax35);
    const bool has_ultimate =
        fits_something(fields.ultimate_debtor, kMax140) || fits_something(fields.ultimate_creditor, kMax140);
    if (!has_name && iban.empty() && other.empty() && !has_creditor_id && !has_ultimate) return;
    x.open(tag<"RltdPties">);
    if (credit) {
      write_party(x, tag<"Dbtr">, fields.counterparty, fields.counterparty_town, fields.counterparty_address, {});
      write_account_of(x, tag<"DbtrAcct">, iban, other);
      write_party(x, tag<"UltmtDbtr">, fields.ultimate_debtor, {}, {}, {});
      // Money collected under the owner's creditor identifier: the owner is the creditor.
      write_party(x, tag<"Cdtr">, {}, {}, {}, fields.creditor_id);
      write_party(x, tag<"UltmtCdtr">, fields.ultimate_creditor, {}, {}, {});
    } else {
      write_party(x, tag<"UltmtDbtr">, fields.ultimate_debtor, {}, {}, {});
      write_party(x, tag<"Cdtr">, fields.counterparty, fields.counterparty_town, fields.counterparty_address,
                  fields.creditor_id);
      write_account_of(x, tag<"CdtrAcct">, iban, other);
      write_party(x, tag<"UltmtCdtr">, fields.ultimate_creditor, {}, {}, {});
    }
    x.close(tag<"RltdPties">);
  }

  [[gnu::noinline]] void write_purpose(Xml& x, std::string_view purpose_code) {
    const std::string_view code = fit(purpose_code, kMax35, scratch_[0]);
    if (code.empty()) return;
    bool is_code = code.size() <= 4;
    for (const char c : code) is_code = is_code && is_upper_or_digit(c);
    x.open(tag<"Purp">);
    x.escaped(is_code ? tag<"Cd"> : tag<"Prtry">, code);
    x.close(tag<"Purp">);
  }

  // A structured creditor reference, of ISO 11649 ("ISO") or another issuer.
  [[gnu::cold]] [[gnu::noinline]] static void write_creditor_reference(Xml& x, std::string_view reference, std::string_view issuer) {
    x.open(tag<"Strd">);
    x.open(tag<"CdtrRefInf">);
    x.open(tag<"Tp">);
    x.open(tag<"CdOrPrtry">);
    x.value(tag<"Cd">, "SCOR");
    x.close(tag<"CdOrPrtry">);
    if (!issuer.empty()) x.escaped(tag<"Issr">, issuer);
    x.close(tag<"Tp">);
    x.escaped(tag<"Ref">, reference);
    x.close(tag<"CdtrRefInf">);
    x.close(tag<"Strd">);
  }

  // The whole purpose in pieces of at most 140 characters, each split at a blank the
  // pieces leave out (readers join them with one), never inside a word shorter than
  // that; then the structured references it holds or the bank gave.
  void write_remittance(Xml& x, const FieldViews& fields) {
    const std::string_view reference = fit(fields.structured_reference, kMax35, scratch_[0]);
    const std::string_view issuer = fit(fields.reference_issuer, kMax35, scratch_[1]);
    purpose_.clear();
    clean_into(trim_white_space(fields.purpose), purpose_);
    std::string_view rest = trim_white_space(purpose_);
    // A bank's structured reference is the purpose itself: no text to repeat it.
    if (!reference.empty() && rest == trim_white_space(fields.structured_reference)) rest = {};
    if (rest.empty() && reference.empty()) return;
    x.open(tag<"RmtInf">);
    const std::string_view text = rest;
    while (!rest.empty()) {
      const std::size_t n = text_piece(rest);
      x.escaped(tag<"Ustrd">, rest.substr(0, n));
      rest.remove_prefix(n);
      if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      if (rest.empty()) break;
    }
    if (!reference.empty()) write_creditor_reference(x, reference, issuer);
    // ISO 11649 references in the text, each once.
    std::string_view scan = text;
    while (!scan.empty()) {
      const std::size_t blank = scan.find(' ');
      const std::string_view word = scan.substr(0, blank);
      if (is_creditor_reference(word) && word != reference) write_creditor_reference(x, word, "ISO");
      if (blank == std::string_view::npos) break;
      scan.remove_prefix(blank + 1);
    }
    x.close(tag<"RmtInf">);
  }

  // Why a payment came back: the ISO reason the bank gave (/RTRN/), or the German
  // return key (?34) of a returned entry, under Prtry where it is no ISO code.
  [[gnu::noinline]] void write_return(Xml& x, const Transaction& t, const FieldViews& fields, const BankTransactionCode& code) {
    std::string_view reason = trim_white_space(fields.return_reason);
    if (reason.empty() && is_return(code) && t.structured_details) {
      if (const auto v = t.structured_details->find("34")) reason = trim_white_space(*v);
    }
    const std::string_view fitted = fit(reason, kMax35, scratch_[0]);
    if (fitted.empty()) return;
    x.open(tag<"RtrInf">);
    x.open(tag<"Rsn">);
    x.escaped(is_iso_reason_code(fitted) ? tag<"Cd"> : tag<"Prtry">, fitted);
    x.close(tag<"Rsn">);
    x.close(tag<"RtrInf">);
  }

  // The bank's posting text (?00), and the :61: supplementary details, which camt has
  // no element of their own for.
  void write_additional_information(Xml& x, const Transaction& t, const FieldViews& fields) {
    std::string& info = purpose_;
    info.clear();
    info.append(trim_white_space(fields.posting_text));
    if (t.extra_details && !trim_white_space(*t.extra_details).empty()) {
      if (!info.empty()) info.push_back(' ');
      info.append(trim_white_space(*t.extra_details));
    }
    x.text(tag<"AddtlNtryInf">, info, kMax500);
  }

  const Statement& s_;
  CamtMessage message_;
  const CamtOptions& options_;
  CamtVersion version_;
  std::string_view id_;
  std::vector<std::string>& warnings_;
  std::string currency_;
  int units_ = 2;
  std::string purpose_;  // working storage, reused from entry to entry
  std::string proprietary_;
  std::string bank_reference_;
  std::string other_account_;
  std::string scratch_[4];  // of fit(), for the texts of one part of an entry at a time
  FieldScratch fields_scratch_;  // the same for the derived fields
};

}  // namespace

LeftOut write_statement(const Statement& s, CamtMessage message, const CamtOptions& options, std::string_view id,
                        std::span<const TransactionId> entry_ids, std::vector<std::string>& warnings,
                        std::string& out, TrailingHash* trailing) {
  return StatementWriter(s, message, options, id, warnings).write(out, entry_ids, trailing);
}

}  // namespace tallyfold::camt
