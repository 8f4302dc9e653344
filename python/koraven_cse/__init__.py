# SPDX-License-Identifier: Apache-2.0
"""Drive a KORAVEN in-circuit debugger as a JTAG cable from Python.

    import koraven_cse as kc
    with kc.Session() as s:                 # embedded quorbit-sim with the demo chain
        for dev in s.devices:
            print(dev)
        print(hex(s.idcode(1)))

The plug-in's log lines go to the logger "koraven_cse" (its level 1 as WARNING, 2 as INFO, 3 as
DEBUG, 4 as level 5); a script decides what to see, e.g. ``logging.basicConfig(level=logging.INFO)``
before opening the session.
"""

import logging

from ._errors import CseError, LinkError, UsageError
from ._types import Check, Device, Mismatch, SvfResult
from ._core import Queue, Queued, Session, __version__, git_commit

logging.getLogger(__name__).addHandler(logging.NullHandler())

__all__ = ["Session", "Queue", "Queued", "Device", "Check", "Mismatch", "SvfResult", "CseError", "UsageError",
           "LinkError", "__version__"]
