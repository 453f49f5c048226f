"""The package's native module: its types and functions as type checkers see
them. tests/python/test_stubs.py holds this file to the module (stubtest)."""

import os
from array import array
from collections.abc import Buffer, Callable, Iterable, Mapping, Sequence
from typing import Any, Literal, TypeVar, final

from typing_extensions import disjoint_base


_T = TypeVar("_T", bound=Tokenizer)
_Path = str | os.PathLike[str]
_Merge = tuple[tuple[int, int], int]
# Ids: a sequence of ints, or a buffer of unsigned 16- or 32-bit items.
_Ids = Sequence[int] | Buffer
_Allowed = Literal["all"] | Iterable[str] | None
# "uint16"/"H", "uint32"/"I", numpy.uint16, numpy.uint32 or their dtypes.
_DType = str | type | object | None
# A native pattern's name, or split steps run by PCRE2: ("split", regex,
# behavior, invert) and ("digits", individual_digits).
_Steps = tuple[tuple[Any, ...], ...]
_Pattern = str | _Steps

DEFAULT_MIN_FREQUENCY: int
DEFAULT_VOCAB_SIZE: int
MAX_TOKEN_ID: int
NFC_UNICODE_VERSION: str

@disjoint_base
class Tokenizer:
    def __new__(
        cls,
        merges: Iterable[_Merge] | None,
        vocab: Mapping[int, bytes],
        special_tokens: Mapping[str, int] | None = None,
        *,
        pattern: _Pattern | None = None,
        merging: str = "list",
        whole_chunks: bool = False,
        prefix_space: bool = False,
        normalizer: str | None = None,
    ) -> Tokenizer: ...
    @property
    def cache_size(self) -> int: ...
    @property
    def merges(self) -> list[_Merge]: ...
    @property
    def merging(self) -> str: ...
    @property
    def normalizer(self) -> str | None: ...
    @property
    def pattern(self) -> _Pattern: ...
    @property
    def prefix_space(self) -> bool: ...
    @property
    def special_tokens(self) -> dict[str, int]: ...
    @property
    def vocab(self) -> dict[int, bytes]: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def whole_chunks(self) -> bool: ...
    def check_round_trip(self, counts: WordCounts, threads: int | None = None) -> tuple[int, int, bool]: ...
    def count(self, text: str, /, *, allowed_special: _Allowed = ()) -> int: ...
    def count_batch(
        self, texts: Iterable[str], threads: int | None = None, *, allowed_special: _Allowed = ()
    ) -> list[int]: ...
    def count_in_files(self, paths: Iterable[_Path], threads: int | None = None) -> list[int]: ...
    def decode(self, ids: _Ids, /) -> str: ...
    def decode_bytes(self, ids: _Ids, /) -> bytes: ...
    def encode(self, text: str, /, *, allowed_special: _Allowed = ()) -> list[int]: ...
    def encode_array(
        self, text: str, /, *, allowed_special: _Allowed = (), dtype: _DType = None
    ) -> array[int]: ...
    def encode_batch(
        self, texts: Iterable[str], threads: int | None = None, *, allowed_special: _Allowed = ()
    ) -> list[list[int]]: ...
    def encode_batch_array(
        self,
        texts: Iterable[str],
        threads: int | None = None,
        *,
        allowed_special: _Allowed = (),
        dtype: _DType = None,
    ) -> tuple[array[int], array[int]]: ...
    def encode_chunks(self, chunks: Iterable[str], /) -> list[list[int]]: ...
    def id_to_bytes(self, token_id: int, /) -> bytes: ...
    def write_shards(
        self,
        jobs: Iterable[tuple[_Path, _Path, _Path] | tuple[_Path, _Path, _Path, _Path]],
        eot: int | str | None = None,
        threads: int | None = None,
        progress: Callable[[int, int, int, bool], Any] | None = None,
    ) -> None: ...

@final
class WordCounts:
    def __init__(self) -> None: ...
    @property
    def chunks(self) -> int: ...
    @property
    def distinct(self) -> int: ...
    def add(self, chunk: str, count: int = 1) -> None: ...
    def add_chunks(self, chunks: Iterable[str], /) -> None: ...
    def add_count_files(self, paths: Iterable[_Path], /) -> None: ...
    def add_files(
        self,
        paths: Iterable[_Path],
        threads: int | None = None,
        progress: Callable[[int], Any] | None = None,
        errors: str = "strict",
    ) -> None: ...
    def add_texts(self, texts: Iterable[str], threads: int | None = None) -> None: ...
    @staticmethod
    def merge_count_files(paths: Iterable[_Path], out: _Path) -> None: ...
    def save(self, path: _Path, /) -> None: ...
    def to_dict(self) -> dict[str, int]: ...

def char_class_ranges(pattern: str | None = None) -> dict[str, tuple[tuple[int, int], ...]]: ...
def check_read_in_pieces(tokenizer: Tokenizer, function: str) -> None: ...
def check_training(
    *,
    vocab_size: int = 8000,
    min_frequency: int = 3,
    max_token_length: int | None = None,
    special_tokens: Iterable[str] | None = None,
) -> list[str]: ...
def last_safe_cut(
    data: Buffer,
    floor: int = 0,
    pattern: str | None = None,
    text_start: bool = False,
    normalizer: str | None = None,
) -> int: ...
def load_records(
    cls: type[_T], merges_path: _Path, vocab_path: _Path, special_tokens_path: _Path | None = None
) -> _T: ...
def load_ranks(
    cls: type[_T],
    data: str | bytes,
    compact: bool,
    where: str,
    special_tokens: dict[str, int],
    pattern: _Pattern,
    n_vocab: int | None = None,
) -> _T: ...
def normalize(text: str, normalizer: str | None = "nfc") -> str: ...
def read_records(merges_path: _Path, vocab_path: _Path) -> tuple[list[_Merge], dict[int, bytes]]: ...
def split(text: str, /, pattern: _Pattern | None = None) -> list[str]: ...
def train(
    cls: type[_T],
    counts: WordCounts,
    workdir: _Path,
    check: bool = False,
    special_tokens: Iterable[str] | None = None,
    *,
    vocab_size: int = 8000,
    min_frequency: int = 3,
    max_token_length: int | None = None,
) -> Any: ...
def usable_processors() -> int: ...
