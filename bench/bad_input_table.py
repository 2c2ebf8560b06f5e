"""Prints the bad-input table: every argument of every method against every
kind of bad value, and what the call returned, as Markdown. The results come
from running the calls of tests/python/test_bad_input.py now; arguments and
kinds that fared alike are merged into one row.

    PYTHONPATH=build/dev python3 bench/bad_input_table.py
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import test_bad_input  # noqa: E402

if __name__ == "__main__":
    print(test_bad_input.markdown_table())
