#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "bankfile/diagnostics.hpp"
#include "tallyfold/bankfile.hpp"

namespace tallyfold {
namespace {

// A repair that kept the data is shown by a few of its lines; the user looks there to
// see what the bank wrote.
constexpr std::size_t kLinesOfANote = 3;

std::string grouped_message(const Diagnostic& d, std::size_t count) {
  std::string text = std::to_string(count);
  text += ' ';
  text += d.kind;
  text += " (lines ";
  const bool every = d.severity == Severity::Warning;
  const std::size_t shown = every ? d.lines.size() : std::min(d.lines.size(), kLinesOfANote);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(d.lines[i]);
  }
  if (shown < d.lines.size()) text += ", \xE2\x80\xA6";
  text += ')';
  return text;
}

}  // namespace

std::vector<Diagnostic> group_diagnostics(std::vector<Diagnostic> diagnostics) {
  std::vector<Diagnostic> out;
  out.reserve(diagnostics.size());
  // Index in `out` of the first diagnostic of each kind and severity.
  std::unordered_map<std::string, std::size_t> first;
  std::vector<std::size_t> counts;  // per diagnostic of `out`
  for (Diagnostic& d : diagnostics) {
    if (d.kind.empty()) {
      out.push_back(std::move(d));
      counts.push_back(1);
      continue;
    }
    std::string key = d.kind;
    key.push_back(d.severity == Severity::Note ? 'n' : 'w');
    const auto [it, added] = first.try_emplace(std::move(key), out.size());
    if (added) {
      out.push_back(std::move(d));
      counts.push_back(1);
      continue;
    }
    Diagnostic& group = out[it->second];
    if (group.lines.empty()) group.lines.push_back(group.line);
    // Two of a kind on one line count twice but name the line once.
    if (group.lines.back() != d.line) group.lines.push_back(d.line);
    ++counts[it->second];
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (counts[i] > 1) out[i].message = grouped_message(out[i], counts[i]);
  }
  return out;
}

}  // namespace tallyfold
