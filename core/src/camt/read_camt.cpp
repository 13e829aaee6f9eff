// The camt reading: from the parsed XML tree to the model. The tree is walked along
// the paths the message definitions give, element names compared without their prefix,
// so every version reads with one set of rules; what a version adds or renames is
// either tried in turn (Sts or Sts/Cd, BIC or BICFI, Dbtr/Nm or Dbtr/Pty/Nm) or kept
// under its path in the details.
#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "bankfile/diagnostics.hpp"
#include "camt/details.hpp"
#include "camt/xml_tree.hpp"
#include "model/details_map.hpp"
#include "reconcile_text.hpp"
#include "camt/read_camt.hpp"
#include "tallyfold/reconcile.hpp"
#include "util/ascii.hpp"

namespace tallyfold {
namespace {

using camt::at;
using camt::child;
using camt::DetailWrites;
using camt::Element;
using camt::is_element;
using camt::LineIndex;
using camt::local_name;
using camt::Node;
using camt::text_of;
using camt::Tree;

enum class Message : std::uint8_t { Report, Statement, Notification };

struct MessageForm {
  std::string_view element;  // the message element, without the "V01" of the first version
  std::string_view item;     // one statement of it
  std::string_view number;   // "052", "053", "054"
  std::string_view pagination;
  std::string_view information;
  StatementKind kind;
};

constexpr MessageForm kForms[] = {
    {"BkToCstmrAcctRpt", "Rpt", "052", "RptPgntn", "AddtlRptInf", StatementKind::InterimReport},
    {"BkToCstmrStmt", "Stmt", "053", "StmtPgntn", "AddtlStmtInf", StatementKind::Statement},
    {"BkToCstmrDbtCdtNtfctn", "Ntfctn", "054", "NtfctnPgntn", "AddtlNtfctnInf", StatementKind::Notification},
};

// The highest version of each message published so far; a higher one is read by its
// element names like an unknown namespace.
constexpr int kLatestVersion = 13;

const MessageForm* form_of(Node n) noexcept {
  const std::string_view name = local_name(n);
  for (const MessageForm& form : kForms) {
    if (name == form.element) return &form;
    // The first versions name the message with its version: BkToCstmrStmtV01.
    if (name.size() == form.element.size() + 3 && name.starts_with(form.element) &&
        name.substr(form.element.size(), 1) == "V") {
      return &form;
    }
  }
  return nullptr;
}

using ascii::is_digit;

std::optional<Decimal> read_amount(std::string_view t) noexcept {
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  uint128 mantissa = 0;
  int scale = -1;
  std::size_t digits = 0;
  for (const char c : t) {
    if (c == '.') {
      if (scale >= 0) return std::nullopt;
      scale = 0;
      continue;
    }
    if (!is_digit(c)) return std::nullopt;
    // Leading zeros take no room; anything past 29 digits cannot fit 96 bits.
    if (mantissa != 0 || c != '0') ++digits;
    if (digits > 29) return std::nullopt;
    mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
    if (scale >= 0) ++scale;
  }
  if (t.empty() || t == ".") return std::nullopt;
  return Decimal::from_parts(mantissa, scale < 0 ? 0 : scale, negative);
}

using ascii::number_at;

// The date of an ISODate or ISODateTime: its first ten characters, as the bank wrote
// them (the local date of a time).
std::optional<Date> read_date(std::string_view t) noexcept {
  if (t.size() > 10 && t[10] != 'T' && t[10] != 'Z' && t[10] != '+' && t[10] != '-') return std::nullopt;
  return Date::from_iso(t.substr(0, 10));
}

std::optional<ReportTime> read_time(std::string_view t) noexcept {
  const auto date = read_date(t);
  if (!date) return std::nullopt;
  ReportTime time;
  time.date = *date;
  if (t.size() < 16 || t[10] != 'T') return time;
  const auto h = number_at(t, 11, 2);
  const auto mi = number_at(t, 14, 2);
  if (!h || !mi || t[13] != ':' || *h > 23 || *mi > 59) return std::nullopt;
  time.hour = static_cast<std::uint8_t>(*h);
  time.minute = static_cast<std::uint8_t>(*mi);
  const std::size_t zone = t.find_first_of("Z+-", 16);
  if (zone == std::string_view::npos) return time;
  if (t[zone] == 'Z') {
    time.utc_offset_minutes = 0;
  } else if (const auto oh = number_at(t, zone + 1, 2), om = number_at(t, zone + 4, 2); oh && om && *oh < 24 && *om < 60) {
    const int minutes = *oh * 60 + *om;
    time.utc_offset_minutes = static_cast<std::int16_t>(t[zone] == '-' ? -minutes : minutes);
  }
  return time;
}

// A date element in either form: <Dt> or <DtTm>.
std::optional<Date> date_of(Element n) noexcept {
  if (const Element d = child(n, "Dt")) return read_date(text_of(d));
  if (const Element d = child(n, "DtTm")) return read_date(text_of(d));
  return std::nullopt;
}

std::string_view first_text(Element n, std::initializer_list<std::initializer_list<std::string_view>> paths) noexcept {
  for (const auto& path : paths) {
    if (const Element found = at(n, path)) {
      if (const std::string_view t = text_of(found); !t.empty()) return t;
    }
  }
  return {};
}

// An MT transaction type as the proprietary code: "N" or "F" and three letters or
// digits, alone or first in a "NTRF+166+..." code.
std::string_view swift_type(std::string_view code) noexcept {
  code = code.substr(0, code.find('+'));
  if (code.size() != 4 || (code[0] != 'N' && code[0] != 'F')) return {};
  for (const char c : code.substr(1)) {
    if (!ascii::is_upper_or_digit(c)) return {};
  }
  return code;
}

// Runs `f` out of line, in code kept apart from the hot path: the messages of repairs and
// omissions are built there, so that an entry's reading stays small in the instruction cache.
template <class F>
[[gnu::cold, gnu::noinline]] void rarely(F&& f) {
  f();
}

struct ReadBalance {
  std::string_view code;
  Balance balance;
  Element node;
  bool used = false;
};

class Reader {
 public:
  Reader(std::string_view bytes, CamtFile& out, TextBuffer& texts, std::shared_ptr<const TextBuffer> share)
      : lines_(bytes), out_(out), texts_(texts), share_(std::move(share)) {}

  void note(Node n, std::string message, std::string kind = {}) {
    say(n, Severity::Note, std::move(message), std::move(kind));
  }
  void note(Element n, std::string message, std::string kind = {}) { note(n.node(), std::move(message), std::move(kind)); }
  void warn(Node n, std::string message) { say(n, Severity::Warning, std::move(message)); }
  void warn(Element n, std::string message) { warn(n.node(), std::move(message)); }
  std::size_t line_of(Node n) { return lines_.line_of(n); }

  [[gnu::hot]] void read_item(Node item_node, Element header, const MessageForm& form) {
    // The entries are read as trees of their own, one at a time.
    item_tree_.read(item_node, "Ntry");
    const Element item = camt::root_of(item_tree_);
    Statement s;
    s.kind = form.kind;
    s.texts = share_;
    const std::string_view id = text_of(child(item, "Id"));
    if (id.empty()) warn(item, std::string(form.item) + " without an Id");
    s.transaction_reference = keep(id);
    name_ = std::string(form.kind == StatementKind::Statement ? "statement '"
                        : form.kind == StatementKind::InterimReport ? "report '"
                                                                    : "notification '") +
            std::string(id) + "'";
    DetailWrites about;  // what the statement says beyond the model
    std::vector<std::string_view> consumed = {"Id", "Acct", "Bal", "Ntry", "TxsSummry", form.information};

    // The statement number: the legal one, else the electronic one; the page.
    const std::string_view legal = text_of(child(item, "LglSeqNb"));
    const std::string_view electronic = text_of(child(item, "ElctrncSeqNb"));
    s.number = keep(legal.empty() ? electronic : legal);
    if (!legal.empty()) consumed.push_back("LglSeqNb");
    if (legal.empty() || legal == electronic) consumed.push_back("ElctrncSeqNb");
    if (const std::string_view page = text_of(at(item, {form.pagination, "PgNb"})); !page.empty()) {
      s.sequence = keep(page);
    }
    if (form.kind != StatementKind::Statement) {
      const Element created = child(item, "CreDtTm");
      if (created) {
        if (auto time = read_time(text_of(created))) {
          s.reported_at = time;
          consumed.push_back("CreDtTm");
        }
      }
    }
    if (const Element info = child(item, form.information)) {
      s.information_to_account_owner = keep(text_of(info));
    }

    currency_ = read_account(item, s, about);
    read_balances(item, s, about);
    if (currency_.empty()) currency_ = statement_currency(s);
    if (currency_.empty()) {
      // Without account currency or balance, the entries say which currency they are in.
      if (const Element entry = child(item, "Ntry")) {
        entry_tree_.read(entry.node());
        currency_ = keep(camt::trim_attribute(child(camt::root_of(entry_tree_), "Amt"), "Ccy"));
      }
      if (!s.opening_balance_given) s.opening_balance.currency = currency_;
      if (!s.closing_balance_given) s.closing_balance.currency = currency_;
    }
    fallback_date_ = read_date(text_of(child(item, "CreDtTm")));
    if (!fallback_date_) fallback_date_ = read_date(text_of(child(header, "CreDtTm")));
    read_summary(item, s, about);

    TransactionList& transactions = s.transactions;
    for (Element n = item.first_element(); n; n = n.next_element()) {
      if (is_element(n) && local_name(n) == "Ntry") {
        if (auto t = read_entry(n)) transactions.push_back(std::move(*t));
      }
    }

    bool whole = true;
    for (Element n = item.first_element(); n; n = n.next_element()) {
      if (!is_element(n)) continue;
      const std::string_view name = local_name(n);
      if (std::find(consumed.begin(), consumed.end(), name) != consumed.end()) continue;
      whole &= about.flatten_element(n, name);
    }
    if (header) whole &= about.flatten(header, "GrpHdr/");
    if (!whole) warn(item, "elements nested deeper than the details keep were left out");
    if (!about.empty()) s.source_details = about.finish(texts_);

    if (s.kind == StatementKind::Statement) {
      std::string missing;
      const auto lack = [&](bool absent, std::string_view what) {
        if (!absent) return;
        if (!missing.empty()) missing += ", ";
        missing += what;
      };
      lack(s.account_identification.empty(), "no account");
      lack(!s.opening_balance_given, "no opening balance (OPBD, PRCD or ITBD)");
      lack(!s.closing_balance_given, "no closing balance (CLBD or ITBD)");
      if (!missing.empty()) {
        s.complete = false;
        warn(item, name_ + " kept incomplete: " + missing);
      } else {
        const StatementCheck check = check_statement(s);
        if (!check.balanced) note(item, reconcile_note(s, check));
      }
    }
    out_.statements.push_back(std::move(s));
  }

 private:
  void say(Node n, Severity severity, std::string message, std::string kind = {}) {
    out_.diagnostics.emplace_back(lines_.line_of(n), severity, std::move(message), std::move(kind));
  }

  std::string_view keep(std::string_view text) { return texts_.keep(text); }

  std::string reconcile_note(const Statement& s, const StatementCheck& check) {
    std::string text = name_ + " ";
    append_mismatch(text, s, check, "entries");
    return text;
  }

  // The account's currency, which its entries are in.
  std::string_view read_account(Element item, Statement& s, DetailWrites& about) {
    const Element account = child(item, "Acct");
    if (!account) return {};
    const Element id = child(account, "Id");
    std::string_view used;
    for (const auto path : {std::initializer_list<std::string_view>{"IBAN"}, {"Othr", "Id"}, {"PrtryAcct", "Id"},
                            {"BBAN"}, {"UPIC"}}) {
      if (const Element n = at(id, path); n && !text_of(n).empty()) {
        s.account_identification = keep(text_of(n));
        used = *path.begin();
        break;
      }
    }
    const std::string_view currency = keep(text_of(child(account, "Ccy")));
    s.opening_balance.currency = currency;
    s.closing_balance.currency = currency;
    s.servicer_bic = std::string(first_text(account, {{"Svcr", "FinInstnId", "BICFI"}, {"Svcr", "FinInstnId", "BIC"}}));
    // What is left of the account (its name, owner, type, the rest of its id).
    for (Element n = account.first_element(); n; n = n.next_element()) {
      if (!is_element(n)) continue;
      const std::string_view name = local_name(n);
      if (name == "Ccy") continue;
      std::string key = "Acct/";
      key += name;
      if (name == "Id") {
        for (Element part = n.first_element(); part; part = part.next_element()) {
          if (!is_element(part)) continue;
          if (local_name(part) == used) {
            about.flatten(part, key + "/" + std::string(used) + "/", {"Id"});
          } else {
            about.flatten_element(part, key + "/" + std::string(local_name(part)));
          }
        }
        continue;
      }
      if (name == "Svcr" && !s.servicer_bic.empty()) {
        about.flatten(n, key + "/", {});
        about.drop_if("Acct/Svcr/FinInstnId/BICFI", s.servicer_bic);
        about.drop_if("Acct/Svcr/FinInstnId/BIC", s.servicer_bic);
        continue;
      }
      about.flatten_element(n, key);
    }
    return currency;
  }

  std::optional<ReadBalance> read_balance(Element n) {
    ReadBalance r;
    r.node = n;
    const Element type = child(n, "Tp");
    r.code = first_text(type, {{"CdOrPrtry", "Cd"}, {"CdOrPrtry", "Prtry"}, {"Cd"}, {"Prtry"}});
    const Element amount = child(n, "Amt");
    const auto value = read_amount(text_of(amount));
    const std::string_view mark = text_of(child(n, "CdtDbtInd"));
    const auto date = date_of(child(n, "Dt"));
    if (!value || (mark != "CRDT" && mark != "DBIT") || !date) {
      warn(n, "balance " + std::string(r.code) + " of " + name_ +
                  " left out: it needs an amount, CRDT or DBIT and a date");
      return std::nullopt;
    }
    r.balance.amount = *value;
    r.balance.debit_credit = mark == "DBIT" ? DebitCreditMark::Debit : DebitCreditMark::Credit;
    r.balance.date = *date;
    r.balance.currency = keep(camt::trim_attribute(amount, "Ccy"));
    return r;
  }

  void read_balances(Element item, Statement& s, DetailWrites& about) {
    std::vector<ReadBalance> balances;
    for (Element n = item.first_element(); n; n = n.next_element()) {
      if (is_element(n) && local_name(n) == "Bal") {
        if (auto b = read_balance(n)) balances.push_back(std::move(*b));
      }
    }
    // A statement may give balances in other currencies too: those in the account's
    // come first.
    const std::string_view own = s.opening_balance.currency;
    const auto pick = [&](std::string_view code, auto first, auto last) -> ReadBalance* {
      ReadBalance* any = nullptr;
      for (auto it = first; it != last; ++it) {
        if (it->code != code || it->used) continue;
        if (own.empty() || it->balance.currency == own) return &*it;
        if (!any) any = &*it;
      }
      return any;
    };
    const auto first = [&](std::string_view code) { return pick(code, balances.begin(), balances.end()); };
    const auto last = [&](std::string_view code) { return pick(code, balances.rbegin(), balances.rend()); };
    const Balance without = s.opening_balance;  // the account's currency, no amount
    // The closing balance first: a lone ITBD is the closing balance, never the opening.
    ReadBalance* closing = first("CLBD");
    if (!closing) closing = last("ITBD");
    if (closing) closing->used = true;
    ReadBalance* opening = first("OPBD");
    if (!opening) opening = first("PRCD");
    if (!opening) opening = first("ITBD");
    if (opening) {
      opening->used = true;
      s.opening_balance = opening->balance;
      s.opening_balance.intermediate = opening->code == "ITBD";
    }
    if (closing) {
      s.closing_balance = closing->balance;
      s.closing_balance.intermediate = closing->code == "ITBD";
    }
    s.opening_balance_given = opening != nullptr;
    s.closing_balance_given = closing != nullptr;
    if (!opening) s.opening_balance = without;
    if (!closing) s.closing_balance = without;
    if (ReadBalance* available = first("CLAV")) {
      available->used = true;
      s.closing_available_balance = available->balance;
    }
    for (ReadBalance& b : balances) {
      if (b.code != "FWAV" || b.used) continue;
      b.used = true;
      s.forward_balances.push_back(b.balance);
    }
    if (!s.forward_balances.empty()) s.forward_available_balance = s.forward_balances.back();
    // Balances the model has no member for, and what the used ones say beyond it.
    for (ReadBalance& b : balances) {
      std::string key = "Bal/";
      key += b.code.empty() ? std::string_view("?") : b.code;
      if (!b.used) {
        std::string value = b.balance.signed_amount().to_string();
        value += ' ';
        value += b.balance.currency;
        value += ' ';
        value += b.balance.date.to_iso();
        about.add_owned(key, value);
      }
      about.flatten(b.node, key + "/", {"Amt", "CdtDbtInd", "Dt"});
      about.take_all(key + "/Tp/CdOrPrtry/Cd");
    }
  }

  void read_summary(Element item, Statement& s, DetailWrites& about) {
    const Element summary = child(item, "TxsSummry");
    if (!summary) return;
    const auto total = [&](std::string_view element) -> std::optional<EntryTotal> {
      const Element side = child(summary, element);
      const std::string_view count = text_of(child(side, "NbOfNtries"));
      const auto sum = read_amount(text_of(child(side, "Sum")));
      EntryTotal t;
      const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), t.count);
      if (!side || !sum || error != std::errc() || end != count.data() + count.size()) return std::nullopt;
      t.sum = *sum;
      t.currency = s.opening_balance.currency;
      return t;
    };
    s.credit_total = total("TtlCdtNtries");
    s.debit_total = total("TtlDbtNtries");
    about.flatten(summary, "TxsSummry/", {s.credit_total ? "TtlCdtNtries" : "", s.debit_total ? "TtlDbtNtries" : ""});
  }

  [[gnu::hot]] std::optional<Transaction> read_entry(Element opaque) {
    entry_tree_.read(opaque.node());
    const Element entry = camt::root_of(entry_tree_);
    Transaction t;
    // Its details map holds the keys of banks' own layouts ("EREF", "CNTP/NAME", ...),
    // which the bank rules derive the fields from.
    t.rules = FieldRules::Bank;
    const Element amount = child(entry, "Amt");
    const auto value = read_amount(text_of(amount));
    const std::string_view mark = text_of(child(entry, "CdtDbtInd"));
    if (!value || (mark != "CRDT" && mark != "DBIT")) [[unlikely]] {
      rarely([&] { warn(entry, "entry of " + name_ + " left out: it needs an amount and CRDT or DBIT"); });
      return std::nullopt;
    }
    const bool credit = mark == "CRDT";
    const std::string_view reversal = text_of(child(entry, "RvslInd"));
    const bool reversed = reversal == "true" || reversal == "1";
    // A reversal keeps the side it is booked on: a credit reverses a debit.
    t.debit_credit = credit ? (reversed ? DebitCreditMark::ReversalDebit : DebitCreditMark::Credit)
                            : (reversed ? DebitCreditMark::ReversalCredit : DebitCreditMark::Debit);
    t.amount = *value;

    const Element booking = child(entry, "BookgDt");
    const Element valuation = child(entry, "ValDt");
    const auto booked = date_of(booking);
    const auto valued = date_of(valuation);
    if (booked) t.entry_date = booked;
    if (valued) {
      t.value_date = *valued;
    } else if (booked) {
      t.value_date = *booked;
    } else if (fallback_date_) {
      t.value_date = *fallback_date_;
      rarely([&] {
        note(entry,
             "entry of " + name_ + " has neither a booking nor a value date: dated " + fallback_date_->to_iso() +
                 ", when the file was made",
             "entries without a booking or value date dated when the file was made");
      });
    } else {
      rarely([&] { warn(entry, "entry of " + name_ + " left out: it has neither a booking nor a value date"); });
      return std::nullopt;
    }
    if (const std::string_view ref = text_of(child(entry, "AcctSvcrRef")); !ref.empty()) t.bank_reference = keep(ref);
    t.transaction_type = keep(swift_type(first_text(entry, {{"BkTxCd", "Prtry", "Cd"}})));
    if (const Element info = child(entry, "AddtlNtryInf")) t.extra_details = keep(text_of(info));

    DetailWrites& writes = entry_writes_;
    writes.clear();
    bool whole = writes.flatten(entry, "", {"Amt", "CdtDbtInd", "RvslInd", "BookgDt", "ValDt", "AcctSvcrRef",
                                            "NtryDtls", "AddtlNtryInf"});
    // A time of day is more than the model's dates hold: kept beside them.
    if (const Element t_booked = child(booking, "DtTm")) writes.add("BookgDt/DtTm", text_of(t_booked));
    if (const Element t_valued = child(valuation, "DtTm")) writes.add("ValDt/DtTm", text_of(t_valued));
    if (!booked && booking) [[unlikely]] {
      rarely([&] {
        warn(booking, "booking date '" + std::string(camt::first_child_text(booking.node())) + "' is no date");
      });
    }
    if (!valued && valuation) [[unlikely]] {
      rarely([&] {
        warn(valuation, "value date '" + std::string(camt::first_child_text(valuation.node())) + "' is no date");
      });
    }
    if (const std::string_view ccy = camt::trim_attribute(amount, "Ccy"); !ccy.empty() && ccy != currency_) {
      writes.add("Amt@Ccy", ccy);
    }

    std::vector<Element>& payments = payments_;
    payments.clear();
    for (Element details = entry.first_element(); details; details = details.next_element()) {
      if (!is_element(details) || local_name(details) != "NtryDtls") continue;
      for (Element n = details.first_element(); n; n = n.next_element()) {
        if (!is_element(n)) continue;
        if (local_name(n) == "TxDtls") {
          payments.push_back(n);
        } else {
          rarely([&] { whole &= writes.flatten_element(n, "NtryDtls/" + std::string(local_name(n))); });
        }
      }
    }
    if (payments.size() == 1) {
      // The payment's writes are a map of their own until they join the entry's.
      writes.begin_section();
      whole &= writes.flatten(payments.front(), "");
      derive_payment_keys(writes, credit);
      // The payment's amount and side repeat the entry's.
      writes.drop_if("Amt", text_of(amount));
      writes.drop_if("Amt@Ccy", camt::trim_attribute(amount, "Ccy"));
      writes.drop_if("CdtDbtInd", mark);
      t.customer_reference = keep(customer_reference(writes));
      writes.end_section("TxDtls/");
    } else if (payments.size() > 1) {
      whole &= read_batch(t, payments, credit);
    }
    if (!whole) [[unlikely]] {
      rarely([&] { warn(entry, "elements nested deeper than the details keep were left out"); });
    }
    if (!writes.empty()) t.structured_details = writes.finish(texts_);
    return t;
  }

  // The payments of a batch, each its own map; false when something was too deep to keep.
  [[gnu::noinline]] bool read_batch(Transaction& t, const std::vector<Element>& payments, bool credit) {
    bool whole = true;
    std::vector<DecodedDetails> maps;
    maps.reserve(payments.size());
    for (const Element p : payments) {
      DetailWrites& payment = payment_writes_;
      payment.clear();
      whole &= payment.flatten(p, "");
      const std::string_view side = text_of(child(p, "CdtDbtInd"));
      derive_payment_keys(payment, side.empty() ? credit : side == "CRDT");
      maps.push_back(payment.finish(texts_));
    }
    t.transaction_details = detail::place_maps(maps, texts_);
    return whole;
  }

  // The owner's own reference for the payment, as MT940 gives it in :61:.
  static std::string_view customer_reference(const DetailWrites& payment) {
    for (const std::string_view key : {"Refs/AcctOwnrTxId", "Refs/InstrId", "EREF"}) {
      if (const auto v = payment.find(key); v && *v != "NOTPROVIDED") return *v;
    }
    return {};
  }

  LineIndex lines_;
  Tree item_tree_;
  Tree entry_tree_;
  DetailWrites entry_writes_;
  DetailWrites payment_writes_;
  std::vector<Element> payments_;
  CamtFile& out_;
  TextBuffer& texts_;
  std::shared_ptr<const TextBuffer> share_;
  std::string name_;
  std::string_view currency_;
  std::optional<Date> fallback_date_;  // for entries without a date
};

// The namespace that applies to `n`: the declaration of its prefix on it or the
// nearest ancestor.
std::string_view namespace_of(Node n) {
  std::string attribute = "xmlns";
  if (const std::string_view prefix = camt::prefix_of(n); !prefix.empty()) {
    attribute += ':';
    attribute += prefix;
  }
  for (Node at_node = n; at_node && is_element(at_node); at_node = at_node.parent()) {
    if (const pugi::xml_attribute a = at_node.attribute(attribute.c_str())) return trim_white_space(a.value());
  }
  return {};
}

// The message element: the first element whose name is one of the three messages,
// breadth first under the root, never inside a business application header. Iterative
// and bounded, however deep the document.
Node find_message(Node root) {
  std::vector<std::pair<Node, std::size_t>> queue = {{root, 0}};
  for (std::size_t i = 0; i < queue.size() && i < 4096; ++i) {
    const auto [n, depth] = queue[i];
    if (form_of(n)) return n;
    if (depth >= 8 || local_name(n) == "AppHdr") continue;
    for (Node c = n.first_child(); c; c = c.next_sibling()) {
      if (is_element(c)) queue.emplace_back(c, depth + 1);
    }
  }
  return {};
}

}  // namespace

bool looks_like_xml(std::string_view bytes) noexcept {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  // UTF-16 and UTF-32 put NUL bytes around the "<"; a byte-order mark says so first.
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    bytes.remove_prefix(2);
    while (!bytes.empty() && (bytes.front() == '\0' || bytes.front() == ' ' || bytes.front() == '\n' ||
                              bytes.front() == '\r' || bytes.front() == '\t')) {
      bytes.remove_prefix(1);
    }
    return bytes.starts_with("<");
  }
  const std::size_t first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '<';
}

Result<CamtFile, LocatedError> read_camt(std::string_view bytes) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(bytes.data(), bytes.size(), camt::kParseOptions);
  LineIndex lines(bytes);
  if (!parsed) {
    return LocatedError{lines.line_of(parsed.offset),
                        Refusal{std::string("not well-formed XML: ") + parsed.description()}};
  }
  Node root;
  for (Node n = document.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_doctype) {
      return LocatedError{lines.line_of(n),
                          Refusal{"XML with a DOCTYPE refused: a statement file needs no entity or "
                                  "document type declaration"}};
    }
    if (is_element(n) && !root) root = n;
  }
  if (!root) return LocatedError{0, Refusal{"XML without a root element"}};

  CamtFile file;
  auto texts = std::make_shared<TextBuffer>(bytes.size() / 2);
  Reader reader(bytes, file, *texts, texts);
  const Node message = find_message(root);
  if (!message) {
    const bool empty_document = local_name(root) == "Document" && !root.first_child() && *root.value() == '\0';
    return LocatedError{lines.line_of(root),
                        Refusal{empty_document ? "empty camt Document: no statement, report or notification"
                                               : "no camt statement, report or notification (BkToCstmrStmt, "
                                                 "BkToCstmrAcctRpt, BkToCstmrDbtCdtNtfctn) in the document"}};
  }
  const MessageForm& form = *form_of(message);
  if (local_name(root) != "Document") {
    reader.note(root, "document root is <" + std::string(root.name()) + ">, not <Document>: the " +
                          std::string(local_name(message)) + " inside it is read");
  }

  // The version from the namespace: urn:iso:std:iso:20022:tech:xsd:camt.053.001.08.
  const std::string_view ns = namespace_of(message);
  constexpr std::string_view kCamt = "urn:iso:std:iso:20022:tech:xsd:camt.";
  std::string format = "camt.";
  format += form.number;
  std::string_view version;
  if (ns.starts_with(kCamt)) {
    const std::string_view rest = ns.substr(kCamt.size());
    if (rest.size() == 10 && rest.substr(3, 5) == ".001." && rest.substr(0, 3) == form.number) {
      const auto n = number_at(rest, 8, 2);
      if (n && *n >= 1 && *n <= kLatestVersion) version = rest.substr(8, 2);
    }
  }
  std::string unversioned;
  if (!version.empty()) {
    format += ".001.";
    format += version;
  } else if (ns.empty()) {
    unversioned = "camt document without a namespace: read by its element names as camt." + std::string(form.number);
  } else {
    unversioned = "namespace '" + std::string(ns) + "' names no camt." + std::string(form.number) +
                  " version: read by its element names";
  }
  if (!unversioned.empty()) reader.warn(message, unversioned);
  file.source_format = std::move(format);

  Tree header_tree;
  Element header;
  if (const Node node = child(message, "GrpHdr")) {
    header_tree.read(node);
    header = camt::root_of(header_tree);
  }
  for (Node item = message.first_child(); item; item = item.next_sibling()) {
    if (is_element(item) && local_name(item) == form.item) reader.read_item(item, header, form);
  }
  if (file.statements.empty()) {
    return LocatedError{reader.line_of(message),
                        Refusal{"camt." + std::string(form.number) + " message without any " +
                                std::string(form.item) + " (statement, report or notification)" +
                                (unversioned.empty() ? std::string() : "; " + unversioned)}};
  }
  std::stable_sort(file.diagnostics.begin(), file.diagnostics.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  file.diagnostics = group_diagnostics(std::move(file.diagnostics));
  switch (parsed.encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be: file.charset = "UTF-16"; break;
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be: file.charset = "UTF-32"; break;
    case pugi::encoding_latin1: file.charset = "ISO-8859-1"; break;
    default: file.charset = "UTF-8"; break;
  }
  return file;
}

}  // namespace tallyfold
