#include "char_class.h"

namespace ovilex::text::detail {

// CHAR_CLASS_INDEX and CHAR_CLASS_BLOCKS, written at build time by
// tools/gen_char_classes.py; the declarations in the header give them
// external linkage.
#include "char_classes.inc"

static_assert(GENERATED_SYMBOL == static_cast<int>(CharClass::Symbol));
static_assert(GENERATED_LETTER == static_cast<int>(CharClass::Letter));
static_assert(GENERATED_DIGIT == static_cast<int>(CharClass::Digit));
static_assert(GENERATED_SPACE == static_cast<int>(CharClass::Space));
static_assert(GENERATED_PATTERN_COUNT == CLASS_TABLE_COUNT);
static_assert(class_table(SplitPattern::Gpt2) + 1 == CLASS_TABLE_COUNT);
static_assert(sizeof(CHAR_CLASS_BLOCKS) == GENERATED_BLOCK_COUNT * 256);
static_assert(static_cast<int>(LetterKind::Mark) == 4);

}  // namespace ovilex::text::detail
