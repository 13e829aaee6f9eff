#include "export/iso20022_time.hpp"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>

#include "export/iso20022_limits.hpp"
#include "tallyfold/iso20022.hpp"
#include "util/ascii.hpp"

namespace tallyfold {
namespace camt {
namespace {

void append_two(unsigned v, std::string& out) {
  out.push_back(static_cast<char>('0' + v / 10 % 10));
  out.push_back(static_cast<char>('0' + v % 10));
}

}  // namespace

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

std::int64_t utc_midnight(const Date& date) {
  using namespace std::chrono;
  const sys_days day{year{date.year()} / month{date.month()} / std::chrono::day{date.day()}};
  return sys_seconds{day}.time_since_epoch().count();
}

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

}  // namespace camt

std::int64_t default_creation_time() {
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
    if (const auto seconds = parse_timestamp(std::string("@") + epoch)) return *seconds;
  }
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<std::int64_t> parse_timestamp(std::string_view text) noexcept {
  const auto number = [text](std::size_t at, std::size_t n) { return ascii::number_at(text, at, n); };
  if (!text.empty() && text.front() == '@') {
    std::int64_t v = 0;
    const char* first = text.data() + 1;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
    return v;
  }
  const auto date = Date::from_iso(text.substr(0, 10));
  if (!date) return std::nullopt;
  std::int64_t seconds = camt::utc_midnight(*date);
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

}  // namespace tallyfold
