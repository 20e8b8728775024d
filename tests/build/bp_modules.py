#!/usr/bin/python3
"""Prints the modules of an Android.bp as mini-soong's Blueprint parser reads them.

One "M<TAB>type" line per module, then one "P<TAB>property<TAB>value" line per value (each
element of a list; nested maps as "target.android.cflags"). Exits 1 when the file does not parse
to its end or a value holds a tab or a line break.
"""
import sys

from mini_soong.model import Module
from mini_soong.parser import soong


def values(path, value):
    if isinstance(value, dict):
        for key, inner in value.items():
            yield from values(path + "." + key if path else key, inner)
    elif isinstance(value, list):
        for inner in value:
            yield from values(path, inner)
    else:
        text = str(value).lower() if isinstance(value, bool) else str(value)
        if "\t" in text or "\n" in text:
            sys.exit("%s: a value holds a tab or a line break" % path)
        yield path, text


def main():
    with open(sys.argv[1]) as f:
        parsed = soong.parseString(f.read(), parseAll=True)
    for module in parsed:
        if isinstance(module, Module):
            print("M\t" + module.name)
            for path, text in values("", module.arguments):
                print("P\t%s\t%s" % (path, text))


if __name__ == "__main__":
    main()
