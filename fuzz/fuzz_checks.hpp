// Property checks shared by the fuzz targets. A broken property traps, so libFuzzer
// and the replay main both report it as a crash with the offending input saved.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::fuzz {

[[noreturn]] inline void fail() { __builtin_trap(); }

// Names the broken check before trapping: inlined checks leave no line in the trace.
// The builtins, as clang 14 has no std::source_location with libstdc++.
inline void require(bool property, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (property) return;
  std::fprintf(stderr, "broken property at %s:%d\n", file, line);
  fail();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// Splits one fuzz input into choices and a text. Choices come off the end, so the text
/// at the start, which is what a seed file holds, stays as written.
class FuzzedData {
 public:
  FuzzedData(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  /// A number below `count` from the last unread byte; 0 once the input is used up.
  std::size_t pick(std::size_t count) { return size_ == 0 ? 0 : data_[--size_] % count; }

  std::string_view rest() const { return as_text(data_, size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

/// Strict UTF-8 as Python's codec reads it: no overlong forms, no surrogates, nothing
/// above U+10FFFF. Text that fails here cannot become a Python `str`.
inline bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += n + 1;
  }
  return true;
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

/// Every error has a non-empty one-line-shaped message whose fixed parts are the ones
/// the parser defines, and whose kind can come from parsing (never `Other`). A message
/// built from valid UTF-8 input must itself be valid UTF-8, or Python cannot raise it.
inline void check_parse_error(const ParseError& error, bool input_is_utf8) {
  const std::string text = message(error);
  require(!text.empty());
  if (input_is_utf8) require(is_valid_utf8(text));
  std::visit(
      [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, NoData>) {
          require(text == "Input contains no MT940 data");
        } else if constexpr (std::is_same_v<E, MissingMandatoryTag>) {
          require(e.tag == ":25:" || e.tag == ":28C:" || e.tag == ":60F:" || e.tag == ":62F:");
          require(starts_with(text, "Missing mandatory tag "));
        } else if constexpr (std::is_same_v<E, InvalidDate>) {
          require(e.field == kDateField && starts_with(text, "Invalid date '"));
        } else if constexpr (std::is_same_v<E, InvalidAmount>) {
          require(e.field == kAmountField && starts_with(text, "Invalid amount '"));
        } else if constexpr (std::is_same_v<E, InvalidFormat>) {
          const bool balance = e.field == kBalanceField &&
                               (e.reason == kReasonTooShort || e.reason == kReasonInvalidMark);
          const bool line = e.field == kStatementLineField && e.reason == kReasonNoMatch;
          require(balance || line);
          require(starts_with(text, "Invalid format in tag "));
        } else {
          fail();  // `Other` belongs to the exports
        }
      },
      error);
}

/// The error's inserted input text, or nullptr for kinds that carry none.
inline const std::string* error_value(const ParseError& error) {
  if (const auto* e = std::get_if<InvalidDate>(&error)) return &e->value;
  if (const auto* e = std::get_if<InvalidAmount>(&error)) return &e->value;
  if (const auto* e = std::get_if<InvalidFormat>(&error)) return &e->value;
  return nullptr;
}

/// JSON brackets balance outside strings, strings close and hold no raw control byte,
/// and the array holds `statements` statement objects with `transactions` transaction
/// objects in all (counted by their nesting position).
inline void check_json(std::string_view json, std::size_t statements, std::size_t transactions) {
  std::string stack;
  std::size_t seen_statements = 0, seen_transactions = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') {
        require(i + 1 < json.size());
        ++i;
      } else if (c == '"') {
        in_string = false;
      } else {
        require(static_cast<unsigned char>(c) >= 0x20);
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
        stack.push_back('[');
        break;
      case '{':
        if (stack == "[") ++seen_statements;
        if (stack == "[{[") ++seen_transactions;
        stack.push_back('{');
        break;
      case ']':
      case '}':
        require(!stack.empty() && stack.back() == (c == ']' ? '[' : '{'));
        stack.pop_back();
        if (stack.empty()) require(i + 1 == json.size());
        break;
      default:
        break;
    }
  }
  require(!in_string && stack.empty() && starts_with(json, "["));
  require(seen_statements == statements && seen_transactions == transactions);
}

/// XML tags nest and close, the text holds only the five predefined entities and no
/// character that XML 1.0 forbids, and the document has one `Stmt` per statement and
/// one `Ntry` per transaction. Characters are checked only for documents made from
/// UTF-8 input: other bytes are carried through and no reader accepts them anyway.
inline void check_xml(std::string_view xml, std::size_t statements, std::size_t transactions,
                      bool check_characters) {
  constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  require(starts_with(xml, kDeclaration) && xml.back() == '\n');
  for (std::size_t i = 0; check_characters && i < xml.size(); ++i) {
    const auto c = static_cast<unsigned char>(xml[i]);
    require(c >= 0x20 || c == '\t' || c == '\n' || c == '\r');
    // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
    if (c == 0xEF && i + 2 < xml.size() && static_cast<unsigned char>(xml[i + 1]) == 0xBF) {
      const auto third = static_cast<unsigned char>(xml[i + 2]);
      require(third != 0xBE && third != 0xBF);
    }
    if (c == '&') {
      const std::string_view rest = xml.substr(i);
      require(starts_with(rest, "&amp;") || starts_with(rest, "&lt;") ||
              starts_with(rest, "&gt;") || starts_with(rest, "&quot;") ||
              starts_with(rest, "&apos;"));
    }
  }
  std::vector<std::string_view> open;
  std::size_t seen_statements = 0, seen_transactions = 0;
  bool root_closed = false;
  for (std::size_t i = xml.find('<', kDeclaration.size()); i != std::string_view::npos;
       i = xml.find('<', i + 1)) {
    const std::size_t close = xml.find('>', i);
    require(close != std::string_view::npos && !root_closed);
    const std::string_view tag = xml.substr(i + 1, close - i - 1);
    require(!tag.empty() && tag.back() != '/');
    if (tag.front() == '/') {
      require(!open.empty() && open.back() == tag.substr(1));
      open.pop_back();
      root_closed = open.empty();
    } else {
      const std::string_view name = tag.substr(0, tag.find(' '));
      require(!name.empty());
      // An attribute value holding '<' or a quote would have been cut short here.
      const std::string_view attributes = tag.substr(name.size());
      require(attributes.find('<') == std::string_view::npos);
      require(attributes.empty() || std::count(attributes.begin(), attributes.end(), '"') == 2);
      if (name == "Stmt") ++seen_statements;
      if (name == "Ntry") ++seen_transactions;
      open.push_back(name);
    }
  }
  require(root_closed);
  require(seen_statements == statements && seen_transactions == transactions);
}

/// The CSV read as a spreadsheet would: records of 13 fields, quotes doubled inside
/// quoted fields, one header record then one record per transaction.
inline void check_csv(std::string_view csv, std::size_t transactions) {
  constexpr std::string_view kHeader =
      "\xEF\xBB\xBFStatement,Account,Currency,Date,EntryDate,Type,Reference,BankRef,"
      "Counterparty,CounterIBAN,Purpose,Amount,IsReversal\n";
  require(starts_with(csv, kHeader));
  require(csv.back() == '\n');
  std::size_t records = 1, fields = 1;
  bool in_quotes = false, field_start = true;
  for (std::size_t i = kHeader.size(); i < csv.size(); ++i) {
    const char c = csv[i];
    if (in_quotes) {
      if (c == '"') {
        if (i + 1 < csv.size() && csv[i + 1] == '"') {
          ++i;
        } else {
          in_quotes = false;
          require(i + 1 < csv.size() && (csv[i + 1] == ',' || csv[i + 1] == '\n'));
        }
      }
      continue;
    }
    if (c == '"') {
      require(field_start);  // a quote inside an unquoted field would need quoting
      in_quotes = true;
      field_start = false;
    } else if (c == ',') {
      ++fields;
      field_start = true;
    } else if (c == '\n') {
      require(fields == 13);
      ++records;
      fields = 1;
      field_start = true;
    } else {
      require(c != '\r');  // an unquoted carriage return splits the row in readers
      field_start = false;
    }
  }
  require(!in_quotes && fields == 1);
  require(records == transactions + 1);
}

}  // namespace tallyfold::fuzz
