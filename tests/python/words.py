"""Text drawn from words that meet every rule of the split at their edges:
contractions, a leading space, digits, whitespace runs with CR/LF, and
characters of two to four bytes."""

import random

WORDS = ["the", " quick", " fox", "'s", " 42", "\n", "  ", "\t", "é", " Москва", "日本",
         "👍🏽", "_x", ".", "\u00a0", "\u2028", "x'", "ll", "\r\n", "\n\n", " "]


def generated(seed, size):
    rng = random.Random(seed)
    return "".join(rng.choice(WORDS) for _ in range(size))
