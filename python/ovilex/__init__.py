"""ovilex: a byte-level BPE tokenizer.

The native module ``_ovilex`` learns and applies merges; this package adds
the pre-splitting of text (``split``), the ``Tokenizer`` that ties splitting,
the merges and the vocabulary together and reads the record files of a
training, and the command line (``python -m ovilex``).
"""

from .errors import OvilexError, RecordError, SourceError
from .split import SPLIT_PATTERN, split
from .tokenizer import Merge, Tokenizer

__all__ = [
    "SPLIT_PATTERN",
    "Merge",
    "OvilexError",
    "RecordError",
    "SourceError",
    "Tokenizer",
    "split",
]
