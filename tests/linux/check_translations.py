#!/usr/bin/python3
"""Checks the window's translations (translations/*.ts) against the code.

lupdate reads the marked texts of app/ (the logic's QT_TRANSLATE_NOOP texts, the windows'
tr() texts) into a copy of each .ts file. Every text the code has must be in the file with a
finished translation (a text added to the code without one shows its Russian source to an
English user: the file is brought up to date with `cmake --build build --target
update_translations` and the new texts translated), and every translation must keep what the
window relies on: the same places %1..%9, a line break (\\r) wherever the source has one,
and a trailing blank where the source ends in one (the caption's).

Usage: check_translations.py LUPDATE SOURCE_DIR
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

FAILURES = []


def messages(ts_path):
    """(context, source) -> (translation text, type) of every message not vanished/obsolete."""
    # lupdate writes a carriage return as <byte value="xd"/>, which ElementTree reads as an
    # element: put the character back first.
    with open(ts_path, encoding="utf-8") as f:
        text = f.read().replace('<byte value="xd"/>', "&#13;")
    root = ET.fromstring(text)
    out = {}
    for context in root.findall("context"):
        name = context.findtext("name")
        for message in context.findall("message"):
            translation = message.find("translation")
            kind = translation.get("type", "") if translation is not None else "unfinished"
            if kind in ("vanished", "obsolete"):
                continue
            out[(name, message.findtext("source"))] = (
                (translation.text or "") if translation is not None else "", kind)
    return out


def places(text):
    return sorted(re.findall(r"%[1-9]", text))


def check_file(lupdate, source_dir, ts_path):
    name = os.path.basename(ts_path)
    with tempfile.TemporaryDirectory() as work:
        current = os.path.join(work, name)
        shutil.copyfile(ts_path, current)
        result = subprocess.run(
            [lupdate, "-locations", "none", "-I", source_dir, os.path.join(source_dir, "app"),
             "-ts", current], capture_output=True, text=True)
        if result.returncode != 0:
            FAILURES.append("%s: lupdate failed:\n%s%s" % (name, result.stdout, result.stderr))
            return
        in_code = messages(current)
    in_file = messages(ts_path)
    for key, (translation, kind) in sorted(in_code.items()):
        context, source = key
        shown = "%s: [%s] %r" % (name, context, source)
        if key not in in_file:
            FAILURES.append("%s: in the code, not in the file (run update_translations)" % shown)
            continue
        if kind == "unfinished" or not translation:
            FAILURES.append("%s: no translation" % shown)
            continue
        if places(source) != places(translation):
            FAILURES.append("%s: places %s, translation has %s" %
                            (shown, places(source), places(translation)))
        if source.count("\r") != translation.count("\r"):
            FAILURES.append("%s: %d line breaks, translation has %d" %
                            (shown, source.count("\r"), translation.count("\r")))
        if source.endswith(" ") != translation.endswith(" "):
            FAILURES.append("%s: the trailing blank differs" % shown)
    for key in sorted(set(in_file) - set(in_code)):
        FAILURES.append("%s: [%s] %r is no longer in the code (run update_translations)" %
                        (name, key[0], key[1]))
    print("%s: %d texts" % (name, len(in_code)))


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    lupdate, source_dir = sys.argv[1:]
    files = sorted(glob.glob(os.path.join(source_dir, "translations", "*.ts")))
    if not files:
        FAILURES.append("no translations in %s/translations" % source_dir)
    for ts_path in files:
        check_file(lupdate, source_dir, ts_path)
    for failure in FAILURES:
        print("FAIL:", failure)
    if not FAILURES:
        print("translations: every text of the code is translated")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
