#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/decode.hpp"
#include "tallyfold/error.hpp"

namespace tallyfold {
namespace {

std::vector<std::string_view> names(const DecoderChain& chain) {
  std::vector<std::string_view> out;
  for (const Decoder* d : chain.decoders()) out.push_back(d->name());
  return out;
}

TEST(Chain, SelectedByResolverName) {
  using Names = std::vector<std::string_view>;
  const Names full{"swift-structured", "german-gvc", "angular", "unstructured"};
  const struct { std::string_view resolver; Names decoders; } kRows[] = {
      {"auto", full},
      {"swift", {"swift-structured", "unstructured"}},
      {"gvc", {"german-gvc", "unstructured"}},
      {"angular", {"angular", "unstructured"}},
      {"AUTO", full}, {"Swift", full}, {"", full}, {"unstructured", full},
      {"german-gvc", full}, {"swift-structured", full}, {"swift ", full}, {std::string_view("gvc\0", 4), full},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.resolver);
    EXPECT_EQ(names(select_chain(row.resolver)), row.decoders);
  }
}

// The command accepts only the listed names: each must pick its own chain rather than fall
// back to the full one as an unknown name does.
TEST(Chain, ListedNamesAreTheRecognisedOnes) {
  EXPECT_EQ(kResolverNames.front(), "auto");
  const auto full = names(select_chain("auto"));
  std::vector<std::vector<std::string_view>> seen{full};
  for (const std::string_view name : std::span(kResolverNames).subspan(1)) {
    SCOPED_TRACE(name);
    const auto chain = names(select_chain(name));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), chain), 0);
    seen.push_back(chain);
  }
}

TEST(Chain, WithoutCatchAllIsAnInternalError) {
  const Decoder* const broken[] = {&german_gvc_decoder()};
  for (const DecoderChain& chain : {DecoderChain(broken), DecoderChain({})}) {
    try {
      TextBuffer texts;
      (void)decode_details(chain, "plain text", texts);
      ADD_FAILURE() << "no exception";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(),
                   "internal error: entered unreachable code: UnstructuredDecoder must be the last "
                   "decoder in every chain");
    }
  }
}

}  // namespace
}  // namespace tallyfold
