#!/usr/bin/env python3
"""Former name of `mime_check.py --utf8`, kept only for callers not yet moved to it."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
os.execv(sys.executable, [sys.executable, os.path.join(here, "mime_check.py"), "--utf8"] + sys.argv[1:])
