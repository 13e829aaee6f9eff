#include "camt/details.hpp"

#include <algorithm>

namespace tallyfold::camt {

[[gnu::hot]] void DetailWrites::add_owned(std::string_view key, std::string_view value) {
  if (value.empty()) return;
  const std::size_t at = arena_.size();
  arena_.append(key);
  const std::size_t value_at = arena_.size();
  arena_.append(value);  // which may be a value kept here already
  keys_ |= key_bit(key);
  writes_.push_back(Write{at, key.size(), {}, value_at, value.size(), true});
}

[[gnu::hot]] void DetailWrites::attributes(Element node, Bytes& path) {
  const std::size_t base = path.size();
  for (const Tree::Attribute& a : node.attributes()) {
    // Namespace declarations say how the document is written, not what it says.
    if (a.name == "xmlns" || a.name.starts_with("xmlns:")) continue;
    path.push_back('@');
    path.append(a.local);
    add(path.view(), a.value);
    path.resize(base);
  }
}

[[gnu::hot]] bool DetailWrites::walk(Element node, Bytes& path, std::size_t depth,
                        std::initializer_list<std::string_view> skip) {
  if (depth > kMaxDepth) return false;
  bool whole = true;
  const std::size_t base = path.size();
  std::string_view previous;
  std::size_t repeat = 0;
  for (Element c = node.first_element(); c; c = c.next_element()) {
    const std::string_view name = c.name();
    if (depth == 0 && skip.size() != 0 &&
        std::find_if(skip.begin(), skip.end(), [&](std::string_view s) { return same_text(s, name); }) != skip.end()) {
      continue;
    }
    repeat = same_text(name, previous) ? repeat + 1 : 1;
    previous = name;
    if (base > 0) path.push_back('/');
    path.append(name);
    if (repeat > 1) {
      path.push_back('[');
      path.append(std::to_string(repeat));
      path.push_back(']');
    }
    add(path.view(), c.text());
    if (!c.attributes().empty()) attributes(c, path);
    if (c.has_children()) whole &= walk(c, path, depth + 1, {});
    path.resize(base);
  }
  return whole;
}

[[gnu::hot]] bool DetailWrites::flatten(Element node, std::string_view prefix, std::initializer_list<std::string_view> skip) {
  path_.assign(prefix);
  // A prefix ends in "/" so that its children join it directly.
  if (!path_.empty() && path_.back() == '/') path_.resize(path_.size() - 1);
  return walk(node, path_, 0, skip);
}

[[gnu::hot]] bool DetailWrites::flatten_element(Element node, std::string_view key) {
  path_.assign(key);
  add(path_.view(), node.text());
  attributes(node, path_);
  return walk(node, path_, 0, {});
}

[[gnu::hot]] std::optional<std::string_view> DetailWrites::find(std::string_view k) const noexcept {
  if (!may_hold(k)) return std::nullopt;
  for (std::size_t i = base_; i < writes_.size(); ++i) {
    if (has_key(writes_[i], k)) return value(writes_[i]);
  }
  return std::nullopt;
}

[[gnu::hot]] std::optional<std::string_view> DetailWrites::rename(std::initializer_list<std::string_view> paths,
                                                     std::string_view new_key) {
  for (const std::string_view path : paths) {
    if (!may_hold(path)) continue;
    for (std::size_t i = base_; i < writes_.size(); ++i) {
      Write& w = writes_[i];
      if (!has_key(w, path)) continue;
      w.key_at = arena_.size();
      w.key_size = new_key.size();
      arena_.append(new_key);
      keys_ |= key_bit(new_key);
      return value(w);
    }
  }
  return std::nullopt;
}

[[gnu::hot]] std::vector<std::string_view> DetailWrites::take_all(std::string_view path) {
  std::vector<std::string_view> values;
  const auto matches = [&](const Write& w) {
    if (w.key_size < path.size() || !same_text(key(w).substr(0, path.size()), path)) return false;
    const std::string_view k = key(w).substr(path.size());
    return k.empty() || (k.front() == '[' && k.back() == ']' && k.find('/') == std::string_view::npos);
  };
  const auto kept = std::remove_if(section_begin(), writes_.end(), [&](const Write& w) {
    if (!matches(w)) return false;
    values.push_back(value(w));
    return true;
  });
  writes_.erase(kept, writes_.end());
  return values;
}

[[gnu::hot]] void DetailWrites::drop_if(std::string_view k, std::string_view v) {
  if (!may_hold(k)) return;
  const auto kept =
      std::remove_if(section_begin(), writes_.end(), [&](const Write& w) { return has_key(w, k) && value(w) == v; });
  writes_.erase(kept, writes_.end());
}

[[gnu::hot]] void DetailWrites::end_section(std::string_view prefix) {
  // `seen` holds the bits of every key before the write looked at.
  std::uint64_t seen = before_;
  for (std::size_t i = base_; i < writes_.size(); ++i) {
    Write& w = writes_[i];
    const std::string_view k = key(w);
    const std::uint64_t bit = key_bit(k);
    bool before = false;
    if ((seen & bit) != 0) {
      for (std::size_t j = 0; j < i && !before; ++j) before = has_key(writes_[j], k);
    }
    if (!before) {
      seen |= bit;
      continue;
    }
    const std::size_t k_at = w.key_at;
    w.key_at = arena_.size();
    w.key_size = prefix.size() + k.size();
    arena_.append(prefix);
    arena_.append({arena_.data() + k_at, k.size()});
    seen |= key_bit(key(w));
  }
  keys_ = seen;
  base_ = 0;
}

[[gnu::hot]] std::string_view DetailWrites::join(const std::vector<std::string_view>& pieces) {
  joined_.clear();
  for (const std::string_view piece : pieces) {
    if (!joined_.empty()) joined_ += ' ';
    joined_ += piece;
  }
  return joined_;
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

[[gnu::hot]] DecodedDetails DetailWrites::finish(TextBuffer& into) {
  std::vector<DecodedDetails::EntryView>& views = views_;
  views.clear();
  for (const Write& w : writes_) views.emplace_back(key(w), value(w));
  const auto less = [](const DecodedDetails::EntryView& x, const DecodedDetails::EntryView& y) {
    return less_text(x.first, y.first);
  };
  if (views.size() <= 32) {
    // A few dozen writes: sorted in place, each moved past the keys greater than its own.
    for (std::size_t i = 1; i < views.size(); ++i) {
      const DecodedDetails::EntryView moving = views[i];
      std::size_t j = i;
      for (; j > 0 && less(moving, views[j - 1]); --j) views[j] = views[j - 1];
      views[j] = moving;
    }
  } else {
    std::stable_sort(views.begin(), views.end(), less);
  }
  // Keys repeated by siblings that are not adjacent: numbered after the first, so that
  // the last write does not replace the others.
  std::vector<std::string> numbered;
  bool repeated = false;
  for (std::size_t i = 1; i < views.size(); ++i) repeated |= same_text(views[i].first, views[i - 1].first);
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

namespace {

// Where a creditor's identifier and its scheme are, in either version's layout.
struct SchemePaths {
  std::string_view proprietary;
  std::string_view code;
  std::string_view id;
};
constexpr SchemePaths kCreditorIds[] = {
    {"RltdPties/Cdtr/Pty/Id/PrvtId/Othr/SchmeNm/Prtry", "RltdPties/Cdtr/Pty/Id/PrvtId/Othr/SchmeNm/Cd",
     "RltdPties/Cdtr/Pty/Id/PrvtId/Othr/Id"},
    {"RltdPties/Cdtr/Id/PrvtId/Othr/SchmeNm/Prtry", "RltdPties/Cdtr/Id/PrvtId/Othr/SchmeNm/Cd",
     "RltdPties/Cdtr/Id/PrvtId/Othr/Id"},
};

// Where a party's town and address lines are, in either version's layout.
struct AddressPaths {
  std::string_view town;
  std::string_view lines;
};
constexpr AddressPaths kDebtorAddress[] = {
    {"RltdPties/Dbtr/Pty/PstlAdr/TwnNm", "RltdPties/Dbtr/Pty/PstlAdr/AdrLine"},
    {"RltdPties/Dbtr/PstlAdr/TwnNm", "RltdPties/Dbtr/PstlAdr/AdrLine"},
};
constexpr AddressPaths kCreditorAddress[] = {
    {"RltdPties/Cdtr/Pty/PstlAdr/TwnNm", "RltdPties/Cdtr/Pty/PstlAdr/AdrLine"},
    {"RltdPties/Cdtr/PstlAdr/TwnNm", "RltdPties/Cdtr/PstlAdr/AdrLine"},
};

}  // namespace

[[gnu::hot]] void derive_payment_keys(DetailWrites& w, bool credit) {
  w.rename({"Refs/EndToEndId"}, "EREF");
  w.rename({"Refs/MndtId"}, "MREF");
  w.rename({"Refs/PmtInfId"}, "PREF");
  const std::vector<std::string_view> pieces = w.take_all("RmtInf/Ustrd");
  const std::string_view joined = w.join(pieces);
  const auto reference = w.find("RmtInf/Strd/CdtrRefInf/Ref");
  if (reference && (pieces.empty() || joined == *reference)) {
    // A payment remitted by its creditor reference alone: that is its purpose and its
    // structured reference, as an MT slash layout's /REMI/STRD/ISSUER/REF gives them; the
    // structured form stays as well.
    w.add_owned("REMI", *reference);
    w.add_owned("REMI/TYPE", "STRD");
    if (const auto issuer = w.find("RmtInf/Strd/CdtrRefInf/Tp/Issr")) w.add_owned("REMI/ISSUER", *issuer);
  } else if (!pieces.empty()) {
    w.add_owned("REMI", joined);
  }
  // The creditor's SEPA identifier, whichever side the owner is on.
  for (const SchemePaths& at : kCreditorIds) {
    const auto scheme = w.find(at.proprietary);
    const auto code = w.find(at.code);
    if ((scheme && *scheme == "SEPA") || (code && *code == "SEPA")) {
      if (w.rename({at.id}, "CRED")) break;
    }
  }
  // The other party's postal address: its town, and its address lines as one line.
  for (const AddressPaths& at : credit ? kDebtorAddress : kCreditorAddress) {
    w.rename({at.town}, "CNTP/CITY");
    const std::vector<std::string_view> lines = w.take_all(at.lines);
    if (lines.empty()) continue;
    w.add_owned("ADDR", w.join(lines));
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
