"""What the reader raises and warns."""

from __future__ import annotations

import os


class SessionError(Exception):
    """A converted session folder, or one of its files, is damaged or incomplete.

    The message names the file and what is wrong with it:

    >>> raise SessionError("part_00/binaryData_BarPres.bin", "holds 85 samples, session.json says 86")
    Traceback (most recent call last):
    sensconv.errors.SessionError: part_00/binaryData_BarPres.bin: holds 85 samples, session.json says 86
    """

    def __init__(self, path: str | os.PathLike, problem: str) -> None:
        self.path = os.fspath(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")


class SessionTimeWarning(UserWarning):
    """The folder has no session.json: times are seconds of session time, not UTC."""
