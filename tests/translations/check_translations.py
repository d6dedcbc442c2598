#!/usr/bin/python3
"""Fails when a text of the window has no finished translation in a Linguist source.

  check_translations.py LUPDATE SOURCE_ROOT TS_FILE...

For each .ts file, lupdate reads the window's sources (as scripts/update-translations.sh does) into
a copy: a text that is new, or whose translation is unfinished, and an entry whose text is gone
from the sources are faults. A finished translation must keep the text's placeholders (%1 ... %99,
%p%) and its line breaks. Each fault is printed; the exit status is 1 on any.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SOURCE_DIRS = ["app", "patching", "game", "distribution"]
PLACEHOLDER = re.compile(r"%(?:\d{1,2}|p%)")


def placeholders(text):
    return sorted(PLACEHOLDER.findall(text or ""))


def check(lupdate, root, ts):
    faults = []
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, os.path.basename(ts))
        shutil.copyfile(ts, copy)
        run = subprocess.run([lupdate, "-I", ".", "-locations", "none"] + SOURCE_DIRS
                             + ["-ts", copy], cwd=root, capture_output=True, text=True,
                             timeout=300)
        if run.returncode != 0:
            return ["lupdate failed: " + run.stdout + run.stderr]
        found = re.search(r"Found (\d+) source text", run.stdout + run.stderr)
        if not found or int(found.group(1)) == 0:
            return ["lupdate found no texts in the sources:\n" + run.stdout + run.stderr]
        messages = 0
        for context in ET.parse(copy).getroot().iter("context"):
            name = context.findtext("name")
            for message in context.iter("message"):
                messages += 1
                source = message.findtext("source") or ""
                translation = message.find("translation")
                kind = translation.get("type") if translation is not None else "missing"
                where = "%s: %r" % (name, source)
                if kind in ("vanished", "obsolete"):
                    faults.append("no longer in the sources: " + where)
                elif kind is not None:
                    faults.append("not translated (%s): %s" % (kind, where))
                elif message.get("numerus") == "yes":
                    for form in translation.iter("numerusform"):
                        if placeholders(form.text) != placeholders(source):
                            faults.append("placeholders differ: %s -> %r" % (where, form.text))
                else:
                    text = translation.text or ""
                    if not text.strip():
                        faults.append("empty translation: " + where)
                    elif placeholders(text) != placeholders(source):
                        faults.append("placeholders differ: %s -> %r" % (where, text))
                    elif text.count("\n") != source.count("\n"):
                        faults.append("line breaks differ: %s -> %r" % (where, text))
        print("%s: %d texts, %d faults" % (os.path.basename(ts), messages, len(faults)))
    return faults


def main():
    lupdate, root, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    if not files:
        sys.exit("no .ts files given")
    faults = []
    for ts in files:
        faults += ["%s: %s" % (os.path.basename(ts), f) for f in check(lupdate, root, ts)]
    for fault in faults:
        print(fault)
    if faults:
        print("Run scripts/update-translations.sh and translate what is unfinished.")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
