"""A tokenizer whose ids pass 65535, made without training: every pair of
two bytes is a token. Pairs of printable ASCII are listed first and the
first merges take the greatest ids, so that common text encodes to ids on
both sides of 65536."""

from ovilex import Tokenizer


def printable(byte):
    return 0x20 <= byte < 0x7F


def wide_tokenizer(special_tokens=None):
    pairs = [(a, b) for a in range(256) for b in range(256)]
    pairs.sort(key=lambda p: not (printable(p[0]) and printable(p[1])))  # stable
    top = 256 + len(pairs) - 1  # 65791
    merges = [(pair, top - k) for k, pair in enumerate(pairs)]
    vocab = {i: bytes([i]) for i in range(256)} | {new: bytes(pair) for pair, new in merges}
    return Tokenizer(merges, vocab, special_tokens)
