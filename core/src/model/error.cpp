#include "tallyfold/error.hpp"

namespace tallyfold {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
// clang 14 lacks aggregate deduction, and the fuzz build uses clang.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto p : parts) n += p.size();
  std::string s;
  s.reserve(n);
  for (auto p : parts) s.append(p);
  return s;
}

}  // namespace

std::string message(const ParseError& error) {
  return std::visit(
      Overloaded{
          [](const NoData&) { return std::string("Input contains no MT940 data"); },
          [](const MissingMandatoryTag& e) {
            return concat({"Missing mandatory tag ", e.tag, " (", e.reference, ")"});
          },
          [](const InvalidDate& e) { return concat({"Invalid date '", e.value, "' in tag ", e.field}); },
          [](const InvalidAmount& e) {
            return concat({"Invalid amount '", e.value, "' in tag ", e.field});
          },
          [](const InvalidFormat& e) {
            return concat({"Invalid format in tag ", e.field, ": '", e.value, "': ", e.reason});
          },
          [](const Other& e) { return concat({"Parse error: ", e.message}); },
          [](const EncodingError& e) { return e.message; },
          [](const NotStatementFile& e) { return std::string(e.message); },
          [](const Refusal& e) { return e.message; },
      },
      error);
}

}  // namespace tallyfold
