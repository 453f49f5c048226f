"""Training sources: what ``Tokenizer.train`` and the command line take.

A training corpus is counted, not kept: what training needs is the multiset
of chunks, so files are read in blocks, split and counted natively on
several threads (``WordCounts.add_files``), and no Python object is made per
chunk.
"""

from __future__ import annotations

import os
import pathlib
import sysconfig
from collections.abc import Iterable

__all__ = ["Source", "default_files", "path_list"]

Source = str | os.PathLike[str]


def path_list(paths: Iterable[Source]) -> list[str]:
    """paths as a list of str; TypeError for a single path."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must be an iterable of paths, not a single "
                        f"{type(paths).__name__}")
    return [os.fspath(p) for p in paths]


def default_files() -> list[pathlib.Path]:
    """The built-in corpus: the Python sources of the running interpreter's
    standard library (installed third-party packages left out), sorted."""
    stdlib = pathlib.Path(sysconfig.get_path("stdlib"))
    skip = {"site-packages", "dist-packages"}
    return sorted(p for p in stdlib.rglob("*.py") if skip.isdisjoint(p.parts) and p.is_file())
