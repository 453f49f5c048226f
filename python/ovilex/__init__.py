"""ovilex: a byte-level BPE tokenizer.

The native module ``_ovilex`` learns and applies merges on chunk lists; this
package works on text and files, through its own native module
``ovilex._native``: the pre-splitting of text (``split``), the ``Tokenizer``
(a merge list and its vocabulary compiled for encoding and decoding), the
counting of training text (kept in count files by ``count_files``), token
shards for pretraining (``write_shards``), and the command line
(``python -m ovilex``), with its training report (``write_report``).
"""

import pkgutil as _pkgutil

# In a build tree the native module lies in BUILD/ovilex/, beside the
# sources rather than in them: any ovilex/ directory on sys.path is part of
# the package. An installed package holds it in its own directory.
__path__ = _pkgutil.extend_path(__path__, __name__)

from .counting import count_files, merge_count_files  # noqa: E402
from .errors import (  # noqa: E402
    CountFileError, OvilexError, RecordError, SourceError, TokenizerFileError)
from .report import write_report  # noqa: E402
from .shards import write_shards  # noqa: E402
from .split import SPLIT_PATTERN, split  # noqa: E402
from .streaming import StreamDecoder  # noqa: E402
from .tokenizer import Merge, Tokenizer, WordCounts  # noqa: E402

__all__ = [
    "SPLIT_PATTERN",
    "CountFileError",
    "Merge",
    "OvilexError",
    "RecordError",
    "SourceError",
    "TokenizerFileError",
    "StreamDecoder",
    "Tokenizer",
    "WordCounts",
    "count_files",
    "merge_count_files",
    "split",
    "write_report",
    "write_shards",
]
