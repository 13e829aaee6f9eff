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
      {"german-gvc", full}, {"swift-structured", full}, {std::string_view("gvc\0", 4), full},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.resolver);
    EXPECT_EQ(names(select_chain(row.resolver)), row.decoders);
  }
}

TEST(Chain, WithoutCatchAllIsAnInternalError) {
  const Decoder* const broken[] = {&german_gvc_decoder()};
  for (const DecoderChain& chain : {DecoderChain(broken), DecoderChain({})}) {
    try {
      (void)decode_details(chain, "plain text");
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
