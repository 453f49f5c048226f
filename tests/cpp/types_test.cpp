#include "tokenizer/types.h"

#include <gtest/gtest.h>

namespace ovilex {
namespace {

TEST(MergeWord, SkipsOverlappingPairs) {
  EXPECT_EQ(merge_word(Word{97, 97, 97}, Pair{97, 97}, 256), (Word{256, 97}));
  EXPECT_EQ(merge_word(Word{97, 97, 97, 97}, Pair{97, 97}, 256), (Word{256, 256}));
}

}  // namespace
}  // namespace ovilex
