"""Files written whole or not at all: each is written under a temporary
name beside its own, flushed to disk, and renamed over it only once it is
complete (and, for several, once all of them are); an error or an
interruption leaves neither a partial file under the name nor a temporary.
Shards, exports and reports are written this way."""

from __future__ import annotations

import contextlib
import errno
import itertools
import os
import pathlib
import sys
from array import array
from collections.abc import Iterator
from typing import BinaryIO

__all__ = ["Stale", "Staged", "staging", "write_text", "writing"]


_serial = itertools.count()


@contextlib.contextmanager
def writing(path: pathlib.Path) -> Iterator[None]:
    """OSError "cannot write PATH: REASON" for an OSError within."""
    try:
        yield
    except OSError as e:
        raise OSError(f"cannot write {path}: {e.strerror}") from None


class Staged:
    """A file written under a temporary name beside path: commit() renames
    it over path, discard() removes it unless it was committed."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path
        self.temp: pathlib.Path | None = None
        temp = path.with_name(f".{path.name}.tmp.{os.getpid()}.{next(_serial)}")
        with writing(path):
            # A path that could not be written in place (a directory, a file
            # we may not write) fails now, before anything is written.
            with contextlib.suppress(FileNotFoundError):
                os.close(os.open(path, os.O_WRONLY | os.O_CLOEXEC))
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        self.temp = temp
        self.file: BinaryIO = os.fdopen(fd, "wb")

    def write(self, values: array) -> None:
        if sys.byteorder != "little":
            values = array(values.typecode, values)
            values.byteswap()
        with writing(self.path):
            self.file.write(values)

    def finish(self) -> None:
        with writing(self.path):
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()

    def commit(self) -> None:
        assert self.temp is not None
        with writing(self.path):
            os.replace(self.temp, self.path)
        self.temp = None

    def discard(self) -> None:
        self.file.close()
        if self.temp is not None:
            self.temp.unlink(missing_ok=True)


class Stale:
    """A file that must not stay beside the outputs: commit() removes it.
    One that could never be removed (a directory) fails at once."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path
        if path.is_dir() and not path.is_symlink():
            raise OSError(f"cannot remove {path}: {os.strerror(errno.EISDIR)}")

    def commit(self) -> None:
        try:
            self.path.unlink(missing_ok=True)
        except OSError as e:
            raise OSError(f"cannot remove {self.path}: {e.strerror}") from None

    def discard(self) -> None:
        pass


@contextlib.contextmanager
def staging() -> Iterator[list[Staged | Stale]]:
    """A list for the Staged outputs of a job and the Stale files beside
    them: all are renamed to their names, and the stale ones removed, in
    order, when the block ends without an error; none is left otherwise
    (nor any temporary)."""
    staged: list[Staged | Stale] = []
    try:
        yield staged
        for file in staged:
            file.commit()
    finally:
        for file in staged:
            file.discard()


def write_text(path: pathlib.Path, text: str, errors: str = "strict") -> None:
    """text, as UTF-8, to path whole or not at all; OSError "cannot write
    PATH: REASON" when it cannot be written."""
    staged = Staged(path)
    try:
        with writing(path):
            staged.file.write(text.encode("utf-8", errors))
        staged.finish()
        staged.commit()
    finally:
        staged.discard()
