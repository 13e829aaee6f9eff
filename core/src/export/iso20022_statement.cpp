#include "export/iso20022_statement.hpp"

#include "export/iso20022_limits.hpp"
#include "export/iso20022_time.hpp"
#include "export/iso20022_xml.hpp"
#include "tallyfold/bank_details.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold::camt {
namespace {

std::string_view statement_element(CamtMessage message) noexcept {
  switch (message) {
    case CamtMessage::Statement: return "Stmt";
    case CamtMessage::Report: return "Rpt";
    case CamtMessage::Notification: return "Ntfctn";
  }
  return "Stmt";
}

std::string_view information_element(CamtMessage message) noexcept {
  switch (message) {
    case CamtMessage::Statement: return "AddtlStmtInf";
    case CamtMessage::Report: return "AddtlRptInf";
    case CamtMessage::Notification: return "AddtlNtfctnInf";
  }
  return "AddtlStmtInf";
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

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

class StatementWriter {
 public:
  StatementWriter(const Statement& s, CamtMessage message, const CamtOptions& options, std::string_view created)
      : s_(s), message_(message), version_(options.version), created_(created) {}

  Refusal write(std::string& out) {
    const bool report = message_ != CamtMessage::Statement;
    // camt has no statement without its balances; writing it would invent them.
    if (!s_.complete) return "the statement is incomplete";
    currency_ = currency();
    if (!is_currency(currency_)) return "no currency code";
    Xml x(out, 2);
    const std::string_view element = statement_element(message_);
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
    const std::vector<TransactionId> ids = transaction_ids(s_);
    for (std::size_t i = 0; i < s_.transactions.size(); ++i) {
      if (auto refusal = write_entry(x, s_.transactions[i], ids[i])) return refusal;
    }
    if (s_.information_to_account_owner) {
      x.text(information_element(message_), *s_.information_to_account_owner, kMax500);
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

  Refusal write_entry(Xml& x, const Transaction& t, const TransactionId& id) {
    const auto amount = schema_amount(t.amount, kAmountDecimals);
    if (!amount) return "amount " + t.amount.to_string() + " has more digits than camt allows";
    const bool credit = is_credit_side(t.debit_credit);
    const std::string_view indicator = credit ? "CRDT" : "DBIT";
    const BankFields fields = transaction_fields(t, s_.reading);
    x.open("Ntry");
    // The stable id, so that an importer recognises an entry it booked before.
    x.value("NtryRef", id.text());
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
  CamtMessage message_;
  CamtVersion version_;
  std::string_view created_;
  std::string currency_;
};

}  // namespace

Refusal write_statement(const Statement& s, CamtMessage message, const CamtOptions& options,
                        std::string_view created, std::string& out) {
  return StatementWriter(s, message, options, created).write(out);
}

}  // namespace tallyfold::camt
