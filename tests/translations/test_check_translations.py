#!/usr/bin/python3
"""The translation check itself: on a small source tree of its own, what it must find.

  test_check_translations.py LUPDATE
"""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
LUPDATE = sys.argv.pop(1) if len(sys.argv) > 1 else "lupdate"

SOURCE = r'''
#include <QCoreApplication>
QString a() { return QCoreApplication::translate("Window", "Start the game"); }
QString b() { return QCoreApplication::translate("Window", "Downloading...%p% (%1 Mb/sec)"); }
QString c() { return QCoreApplication::translate("Window", "Two\nlines"); }
'''

TS_HEAD = '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE TS>\n' \
          '<TS version="2.1" language="ru" sourcelanguage="en">\n<context>\n<name>Window</name>\n'


def message(source, translation, kind=None):
    attr = ' type="%s"' % kind if kind else ""
    return "<message><source>%s</source><translation%s>%s</translation></message>\n" % (
        source, attr, translation)


COMPLETE = [message("Start the game", "Запустить игру"),
            message("Downloading...%p% (%1 Mb/sec)", "Загрузка...%p% (%1 Мб/с)"),
            message("Two\nlines", "Две\nстроки")]


class CheckTranslations(unittest.TestCase):
    def run_check(self, messages):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "app"))
            for folder in ("patching", "game", "distribution"):
                os.makedirs(os.path.join(root, folder))
            with open(os.path.join(root, "app", "window.cpp"), "w") as f:
                f.write(SOURCE)
            ts = os.path.join(root, "window_ru.ts")
            with open(ts, "w", encoding="utf-8") as f:
                f.write(TS_HEAD + "".join(messages) + "</context>\n</TS>\n")
            run = subprocess.run([sys.executable, os.path.join(HERE, "check_translations.py"),
                                  LUPDATE, root, ts], capture_output=True, text=True, timeout=300)
            return run.returncode, run.stdout

    def test_what_is_found(self):
        cases = [
            ("every text translated", COMPLETE, 0, []),
            ("a text missing", COMPLETE[:2], 1, ["not translated (unfinished)", "Two\\nlines"]),
            ("a translation unfinished",
             [message("Start the game", "Запустить игру", "unfinished")] + COMPLETE[1:], 1,
             ["not translated (unfinished)", "Start the game"]),
            ("an entry gone from the sources", COMPLETE + [message("Old text", "Старый текст")],
             1, ["no longer in the sources", "Old text"]),
            ("a placeholder lost",
             COMPLETE[:1] + [message("Downloading...%p% (%1 Mb/sec)", "Загрузка...%p%")]
             + COMPLETE[2:], 1, ["placeholders differ"]),
            ("a line break lost", COMPLETE[:2] + [message("Two\nlines", "Две строки")], 1,
             ["line breaks differ"]),
            ("an empty translation", [message("Start the game", "")] + COMPLETE[1:], 1,
             ["empty translation", "Start the game"]),
        ]
        for what, messages, status, says in cases:
            with self.subTest(what):
                rc, out = self.run_check(messages)
                self.assertEqual(rc, status, out)
                for words in says:
                    self.assertIn(words, out)
                self.assertIn("3 texts" if status == 0 else "faults", out)


if __name__ == "__main__":
    unittest.main()
