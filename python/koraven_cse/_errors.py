# SPDX-License-Identifier: Apache-2.0
"""The exceptions of koraven_cse."""


class CseError(Exception):
    """An operation failed: the plug-in, the chain or the debugger refused it.

    ``reason`` holds the one-line reason, with the plug-in's own error lines after it. ``item``
    is the index of the first item that failed when a Session.queue() ran, else None.
    """

    item = None

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class UsageError(CseError, ValueError):
    """The caller's input was wrong: a device number, a bit count, a value, a state name, an option.

    Also a ValueError, so that code catching Python's own errors for bad values catches it too.
    """


class LinkError(CseError):
    """The debugger's front end did not answer, or the link to it failed."""
