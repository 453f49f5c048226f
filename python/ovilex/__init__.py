"""ovilex: a byte-level BPE tokenizer. The native module is _ovilex."""

from .split import SPLIT_PATTERN, split

__all__ = ["SPLIT_PATTERN", "split"]
