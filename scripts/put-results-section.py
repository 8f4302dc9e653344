#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Puts a section into bench/RESULTS.md: the sections of the given titles (an earlier run's) go,
the new one is appended. Usage: put-results-section.py RESULTS SECTION_FILE TITLE..."""
import re
import sys

results, section, titles = sys.argv[1], sys.argv[2], sys.argv[3:]
text = open(results, encoding="utf-8").read()
for title in titles:
    text = re.sub(r"\n## %s\n.*?(?=\n## |\Z)" % re.escape(title), "", text, flags=re.S)
with open(results, "w", encoding="utf-8") as out:
    out.write(text.rstrip("\n") + "\n" + open(section, encoding="utf-8").read())
