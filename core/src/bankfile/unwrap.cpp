#include "tallyfold/unwrap.hpp"

#include <array>
#include <cstddef>

#include "tallyfold/model.hpp"

namespace tallyfold {
namespace {

constexpr bool is_control_byte(char c) noexcept { return c == '\x01' || c == '\x03' || c == '\x1a'; }

constexpr bool is_ascii_alnum(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Same rule as the parser's, so that unwrapping and parsing agree on where fields start.
bool is_tag_line(std::string_view line) noexcept {
  return !line.empty() && line.front() == ':' && line.find(':', 1) != std::string_view::npos;
}

bool is_balance_tag_line(std::string_view line) noexcept {
  static constexpr std::array<std::string_view, 6> kBalanceTags = {":60F:", ":60M:", ":62F:",
                                                                   ":62M:", ":64:",  ":65:"};
  for (std::string_view tag : kBalanceTags) {
    if (line.starts_with(tag)) return true;
  }
  return false;
}

// "-", or "-XXX" as one bank family ends its messages.
bool is_separator_line(std::string_view line) noexcept {
  std::string_view trimmed = trim_white_space(line);
  return trimmed == "-" || trimmed == "-XXX";
}

// Length of the block label in "{label:" at the start of `line`, or 0 when the line does
// not open a block. Labels are short (block numbers, "MAC", "CHK"), which keeps a brace
// inside details text from being taken for an envelope.
std::size_t block_label_length(std::string_view line) noexcept {
  if (line.size() < 3 || line.front() != '{') return 0;
  std::size_t end = 1;
  while (end < line.size() && end <= 3 && is_ascii_alnum(line[end])) ++end;
  if (end == 1 || end >= line.size() || line[end] != ':') return 0;
  return end - 1;
}

// Removes the envelope framing at the start of `line`. Returns true when any was found.
// Repeats until the line starts with something else, so that unwrapping its own output
// changes nothing.
bool strip_envelope(std::string_view& line) noexcept {
  bool found = false;
  for (;;) {
    if (line.starts_with("-}")) {
      line.remove_prefix(2);
      found = true;
      continue;
    }
    std::size_t label = block_label_length(line);
    if (label == 0) return found;
    found = true;
    if (line.substr(1, label) == "4") {
      // Block 4 holds the fields and is closed by a later "-}", not by a brace here.
      line.remove_prefix(label + 2);
      continue;
    }
    std::size_t depth = 0;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
      if (line[i] == '{') {
        ++depth;
      } else if (line[i] == '}' && --depth == 0) {
        break;
      }
    }
    // An unclosed block swallows the rest of its line.
    line.remove_prefix(i < line.size() ? i + 1 : line.size());
  }
}

}  // namespace

std::string unwrap_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::string cleaned;
  bool dropping = false;         // non-tag lines are dropped until the next tag line
  bool in_transactions = false;  // from an opening balance to the closing one

  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    bool has_lf = lf != std::string_view::npos;
    std::string_view raw = text.substr(pos, has_lf ? lf - pos : std::string_view::npos);
    pos = has_lf ? lf + 1 : text.size();

    std::string_view line = raw;
    bool has_control = false;
    for (char c : raw) has_control |= is_control_byte(c);
    if (has_control) {
      cleaned.clear();
      for (char c : raw) {
        if (!is_control_byte(c)) cleaned.push_back(c);
      }
      line = cleaned;
    }

    // Carriage returns before the line feed belong to the line end and are kept with it.
    std::size_t body_size = line.size();
    while (body_size > 0 && line[body_size - 1] == '\r') --body_size;
    std::string_view line_end = line.substr(body_size);
    line = line.substr(0, body_size);

    if (strip_envelope(line) && trim_white_space(line).empty()) continue;
    // Between the balances a lone "-" is details text wrapped onto its own line.
    if (!in_transactions && is_separator_line(line)) {
      dropping = true;  // what follows up to the next field stands between statements
      continue;
    }

    if (is_tag_line(line)) {
      dropping = is_balance_tag_line(line);
      if (line.starts_with(":60F:") || line.starts_with(":60M:")) {
        in_transactions = true;
      } else if (line.starts_with(":62F:") || line.starts_with(":62M:") ||
                 line.starts_with(":20:")) {
        in_transactions = false;
      }
      if (line.starts_with(":28:")) {
        out += ":28C:";
        line.remove_prefix(4);
      }
    } else if (dropping) {
      continue;
    }
    out += line;
    out += line_end;
    if (has_lf) out += '\n';
  }
  return out;
}

}  // namespace tallyfold
