"""The exceptions of the Python layer."""

from __future__ import annotations

__all__ = ["CountFileError", "OvilexError", "RecordError", "SourceError", "TokenizerFileError"]


class OvilexError(Exception):
    """A failure caused by the input, with a message meant for the user."""


class RecordError(OvilexError):
    """A record file is missing, unreadable or not in the format that
    training writes. The message names the file and, for a format error,
    the line and what was expected there."""


class SourceError(OvilexError):
    """A training source cannot be used: a file that is not UTF-8 text, or
    no text at all."""


class CountFileError(OvilexError):
    """A count file is not one, is of another format version, or is
    truncated or damaged. The message names the file."""


class TokenizerFileError(OvilexError):
    """A tokenizer file of another library that cannot be imported: not in
    that library's format, or using what ovilex cannot reproduce. The
    message names the file and the part."""
