"""Errors the command-line tool reports as a message and an exit status."""

from __future__ import annotations

EXIT_OK = 0
EXIT_DATA = 1  # bad data, a failed check, a store that cannot be used
EXIT_USAGE = 2  # the command line itself is wrong


class CliError(Exception):
    """An expected failure: printed as one message on standard error, no traceback."""

    def __init__(self, message: str, code: int = EXIT_DATA) -> None:
        super().__init__(message)
        self.message = message
        self.code = code


class UsageError(CliError):
    """A command line that cannot be carried out as given."""

    def __init__(self, message: str) -> None:
        super().__init__(message, EXIT_USAGE)


class OutputError(CliError):
    """The result cannot be written: a full disk, a device gone, standard output closed."""
