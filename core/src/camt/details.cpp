#include "camt/details.hpp"

#include <algorithm>

namespace tallyfold::camt {

void DetailWrites::add(std::string_view key, std::string_view value) {
  if (value.empty()) return;
  const std::size_t at = arena_.size();
  arena_.append(key);
  writes_.push_back(Write{at, key.size(), value});
}

void DetailWrites::add_owned(std::string_view key, std::string_view value) {
  if (value.empty()) return;
  const std::size_t at = arena_.size();
  arena_.append(key);
  const std::size_t value_at = arena_.size();
  arena_.append(value);
  writes_.push_back(Write{at, key.size(), {}, value_at, value.size(), true});
}

void DetailWrites::attributes(Node node, const std::string& path) {
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name(a.name());
    // Namespace declarations say how the document is written, not what it says.
    if (name == "xmlns" || name.starts_with("xmlns:")) continue;
    std::string key = path;
    key += '@';
    key += local_name(a.name());
    add(key, trim_white_space(a.value()));
  }
}

bool DetailWrites::walk(Node node, std::string& path, std::size_t depth,
                        std::initializer_list<std::string_view> skip) {
  if (depth > kMaxDepth) return false;
  bool whole = true;
  const std::size_t base = path.size();
  std::string_view previous;
  std::size_t repeat = 0;
  for (Node c = node.first_child(); c; c = c.next_sibling()) {
    if (!is_element(c)) continue;
    const std::string_view name = local_name(c);
    if (depth == 0 && std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    repeat = name == previous ? repeat + 1 : 1;
    previous = name;
    if (base > 0) path += '/';
    path += name;
    if (repeat > 1) {
      path += '[';
      path += std::to_string(repeat);
      path += ']';
    }
    add(path, text_of(c));
    attributes(c, path);
    if (c.first_child()) whole &= walk(c, path, depth + 1, {});
    path.resize(base);
  }
  return whole;
}

bool DetailWrites::flatten(Node node, std::string_view prefix, std::initializer_list<std::string_view> skip) {
  std::string path(prefix);
  // A prefix ends in "/" so that its children join it directly.
  if (!path.empty() && path.back() == '/') path.pop_back();
  return walk(node, path, 0, skip);
}

bool DetailWrites::flatten_element(Node node, std::string_view key) {
  std::string path(key);
  add(path, text_of(node));
  attributes(node, path);
  return walk(node, path, 0, {});
}

std::optional<std::string_view> DetailWrites::find(std::string_view k) const noexcept {
  for (const Write& w : writes_) {
    if (key(w) == k) return value(w);
  }
  return std::nullopt;
}

std::optional<std::string_view> DetailWrites::rename(std::initializer_list<std::string_view> paths,
                                                     std::string_view new_key) {
  for (const std::string_view path : paths) {
    for (Write& w : writes_) {
      if (key(w) != path) continue;
      w.key_at = arena_.size();
      w.key_size = new_key.size();
      arena_.append(new_key);
      return value(w);
    }
  }
  return std::nullopt;
}

std::vector<std::string_view> DetailWrites::take_all(std::string_view path) {
  std::vector<std::string_view> values;
  const auto matches = [&](std::string_view k) {
    if (!k.starts_with(path)) return false;
    k.remove_prefix(path.size());
    return k.empty() || (k.front() == '[' && k.back() == ']' && k.find('/') == std::string_view::npos);
  };
  std::erase_if(writes_, [&](const Write& w) {
    if (!matches(key(w))) return false;
    values.push_back(value(w));
    return true;
  });
  return values;
}

void DetailWrites::drop_if(std::string_view k, std::string_view v) {
  std::erase_if(writes_, [&](const Write& w) { return key(w) == k && value(w) == v; });
}

void DetailWrites::merge(const DetailWrites& other, std::string_view prefix) {
  for (const Write& w : other.writes_) {
    const std::string_view k = other.key(w);
    const std::string_view v = other.value(w);
    std::string kept = find(k) ? std::string(prefix) + std::string(k) : std::string(k);
    if (w.owned) {
      add_owned(kept, v);
    } else {
      add(kept, v);
    }
  }
}

DecodedDetails DetailWrites::finish(TextBuffer& into) {
  std::vector<DecodedDetails::EntryView> views;
  views.reserve(writes_.size());
  for (const Write& w : writes_) views.emplace_back(key(w), value(w));
  std::stable_sort(views.begin(), views.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // Keys repeated by siblings that are not adjacent: numbered after the first, so that
  // the last write does not replace the others.
  std::vector<std::string> numbered;
  bool repeated = false;
  for (std::size_t i = 1; i < views.size(); ++i) repeated |= views[i].first == views[i - 1].first;
  if (repeated) {
    numbered.reserve(views.size());
    std::size_t run = 1;
    for (std::size_t i = 1; i < views.size(); ++i) {
      run = views[i].first == views[i - 1].first ? run + 1 : 1;
      if (run > 1) numbered.push_back(std::string(views[i].first) + "[" + std::to_string(run) + "]");
    }
    std::size_t next = 0;
    run = 1;
    std::string_view previous;
    for (std::size_t i = 0; i < views.size(); ++i) {
      const std::string_view k = views[i].first;
      run = i > 0 && k == previous ? run + 1 : 1;
      previous = k;
      if (run > 1) views[i].first = numbered[next++];
    }
  }
  return DecodedDetails::from_view_writes(views, into);
}

void derive_payment_keys(DetailWrites& w, bool credit) {
  w.rename({"Refs/EndToEndId"}, "EREF");
  w.rename({"Refs/MndtId"}, "MREF");
  w.rename({"Refs/PmtInfId"}, "PREF");
  const std::vector<std::string_view> pieces = w.take_all("RmtInf/Ustrd");
  std::string joined;
  for (const std::string_view piece : pieces) {
    if (!joined.empty()) joined += ' ';
    joined += piece;
  }
  const auto reference = w.find("RmtInf/Strd/CdtrRefInf/Ref");
  if (reference && (pieces.empty() || joined == *reference)) {
    // A payment remitted by its creditor reference alone: that is its purpose and its
    // structured reference, as an MT slash layout's /REMI/STRD/ISSUER/REF gives them; the
    // structured form stays as well.
    w.add_owned("REMI", std::string(*reference));
    w.add_owned("REMI/TYPE", "STRD");
    if (const auto issuer = w.find("RmtInf/Strd/CdtrRefInf/Tp/Issr")) w.add_owned("REMI/ISSUER", std::string(*issuer));
  } else if (!pieces.empty()) {
    w.add_owned("REMI", joined);
  }
  // The creditor's SEPA identifier, whichever side the owner is on.
  for (const std::string_view party : {"RltdPties/Cdtr/Pty/Id/PrvtId/Othr", "RltdPties/Cdtr/Id/PrvtId/Othr"}) {
    const std::string at(party);
    const auto scheme = w.find(at + "/SchmeNm/Prtry");
    const auto code = w.find(at + "/SchmeNm/Cd");
    if ((scheme && *scheme == "SEPA") || (code && *code == "SEPA")) {
      if (w.rename({at + "/Id"}, "CRED")) break;
    }
  }
  // The other party's postal address: its town, and its address lines as one line.
  const std::string_view party = credit ? "RltdPties/Dbtr" : "RltdPties/Cdtr";
  for (const std::string_view inner : {"/Pty/PstlAdr/", "/PstlAdr/"}) {
    const std::string at = std::string(party) + std::string(inner);
    w.rename({at + "TwnNm"}, "CNTP/CITY");
    const std::vector<std::string_view> lines = w.take_all(at + "AdrLine");
    if (lines.empty()) continue;
    std::string address;
    for (const std::string_view line : lines) {
      if (!address.empty()) address += ' ';
      address += line;
    }
    w.add_owned("ADDR", address);
  }
  if (credit) {
    w.rename({"RltdPties/Dbtr/Pty/Nm", "RltdPties/Dbtr/Nm"}, "CNTP/NAME");
    w.rename({"RltdPties/DbtrAcct/Id/IBAN", "RltdPties/DbtrAcct/Id/Othr/Id"}, "CNTP/IBAN");
    w.rename({"RltdAgts/DbtrAgt/FinInstnId/BICFI", "RltdAgts/DbtrAgt/FinInstnId/BIC"}, "CNTP/BIC");
  } else {
    w.rename({"RltdPties/Cdtr/Pty/Nm", "RltdPties/Cdtr/Nm"}, "CNTP/NAME");
    w.rename({"RltdPties/CdtrAcct/Id/IBAN", "RltdPties/CdtrAcct/Id/Othr/Id"}, "CNTP/IBAN");
    w.rename({"RltdAgts/CdtrAgt/FinInstnId/BICFI", "RltdAgts/CdtrAgt/FinInstnId/BIC"}, "CNTP/BIC");
  }
  w.rename({"RltdPties/UltmtDbtr/Pty/Nm", "RltdPties/UltmtDbtr/Nm"}, "ULTD/NAME");
  w.rename({"RltdPties/UltmtCdtr/Pty/Nm", "RltdPties/UltmtCdtr/Nm"}, "ULTC/NAME");
  w.rename({"Purp/Cd", "Purp/Prtry"}, "PURP");
  w.rename({"RtrInf/Rsn/Cd", "RtrInf/Rsn/Prtry"}, "RTRN");
}

}  // namespace tallyfold::camt
