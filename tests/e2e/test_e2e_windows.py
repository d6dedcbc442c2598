#!/usr/bin/python3
"""End-to-end tests of the real QuenDaraTranslation.exe under Wine.

Each test builds a Windows-shaped sandbox (scripts/sandbox.py, WineSandbox): a fresh Wine prefix
whose user has a Cyrillic name with a blank, the game installed on its drive C: and registered
where the launcher registers it, a running Windows "ORBEX.exe", a patch server on 127.0.0.1 and a
private Xvfb display. The program is driven with real X clicks at the places it reports, and the
game's archive is checked on disk.

  QDT_BUILD_DIR             the Linux build (qdt-sandbox-data); default build/
  QDT_WINDOWS_PROGRAM       QuenDaraTranslation.exe built with tests (it has the state report the
                            journey drives it by); default build-mingw/app/QuenDaraTranslation.exe
  QDT_WINDOWS_FAKE_GAME     the Windows fake game; default build-mingw/tests/qdt-fake-game.exe
  QDT_KEEP_SANDBOX=1        keep the sandbox folders
"""
import filecmp
import os
import shutil
import signal
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import sandbox as sb  # noqa: E402

BUILD_DIR = os.environ.get("QDT_BUILD_DIR", os.path.join(ROOT, "build"))
PROGRAM = os.environ.get("QDT_WINDOWS_PROGRAM",
                         os.path.join(ROOT, "build-mingw", "app", "QuenDaraTranslation.exe"))
FAKE_GAME = os.environ.get("QDT_WINDOWS_FAKE_GAME",
                           os.path.join(ROOT, "build-mingw", "tests", "qdt-fake-game.exe"))
ENGLISH, MACHINE, RUSSIAN = "pushButtonEnglish", "pushButtonEnglish_2", "pushButtonRussian"
RESULTS = {ENGLISH: "result_EN", MACHINE: "result_EN_M", RUSSIAN: "result_RU"}
DONE = ("Applying patch...success!", "Applying patch...fail!")

# A stage's time limit ends the run with SIGTERM: let the cleanups still stop Wine and Xvfb.
signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))


class WineSandboxTest(unittest.TestCase):
    size_mib = 8
    # Whether the https server's certificate authority is among the prefix's trusted roots.
    trust_tls = True
    # The virtual screen, in its pixels.
    screen = "900x500"

    def setUp(self):
        self.sandbox = sb.WineSandbox(BUILD_DIR, PROGRAM, FAKE_GAME, self.size_mib)
        self.addCleanup(self._cleanup)
        self.certificates = sb.make_certificates(os.path.join(self.sandbox.dir, "tls"))
        if self.trust_tls:
            self.sandbox.trust_certificate(self.certificates["ca_der"])
        self.sandbox.start_server()
        self.sandbox.start_tls_server(self.certificates["cert"], self.certificates["key"])
        self.sandbox.start_launcher()
        self.sandbox.start_display(size=self.screen)
        self.original = self.sandbox.hashes["source"]
        self.original_copy = os.path.join(self.sandbox.dir, "original-data.lpk")
        shutil.copyfile(self.sandbox.archive, self.original_copy)

    def _cleanup(self):
        keep = os.environ.get("QDT_KEEP_SANDBOX") == "1"
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and (not getattr(outcome, "success", True) or any(
            err for _, err in getattr(outcome, "errors", []) if err))
        if failed:
            for name in ("app.log", "server.log", "state.json", "game-started.log",
                         "game-folder.log"):
                path = os.path.join(self.sandbox.dir, name)
                if os.path.exists(path):
                    with open(path, errors="replace") as f:
                        sys.stderr.write("--- %s\n%s\n" % (name, f.read()[-4000:]))
        self.sandbox.stop(keep=keep)

    def start(self, extra_env=None):
        app = self.sandbox.start_app(extra_env=extra_env)
        # Wine's first window in a fresh prefix takes a while.
        app.wait_idle(180)
        return app

    def checked(self, app):
        s = app.state()
        return [n for n in (ENGLISH, MACHINE, RUSSIAN) if s["widgets"][n]["checked"]]

    def choose(self, app, button, done=DONE):
        """Clicks a language that is not applied and waits for the outcome: a message, or the
        language checked with the controls usable again (the progress bar alone still shows the
        previous language's "success!" at first). done: the progress bar's texts for success and
        failure, in the window's language."""
        self.assertNotIn(button, self.checked(app))
        app.click(button)
        state = app.wait_for(lambda s: "messageBox" in s or (
            s["widgets"][button]["checked"] and s["widgets"]["pushButtonStart"]["enabled"]
            and s["progress"]["format"] in done), 180, button + " to be applied")
        self.assertNotIn("messageBox", state, state.get("messageBox"))
        self.assertEqual(state["progress"]["format"], done[0])
        self.assertEqual(self.checked(app), [button])
        self.assertArchive(self.sandbox.hashes[RESULTS[button]])

    def assertArchive(self, expected):
        self.assertEqual(self.sandbox.archive_hash(), expected)


class PlayerJourney(WineSandboxTest):
    def test_registry_apply_switch_over_https_and_redirect_start_game_restore_on_close(self):
        sandbox = self.sandbox
        # English comes over https from the server whose authority the prefix trusts.
        sandbox.set_manifest_overrides({"filename_EN_M": sandbox.https_url("patch_EN_M.data")})
        # The work directory lives in a profile whose name has Cyrillic letters and a blank.
        self.assertTrue(sandbox.user_honoured, "Wine did not name the profile after USER")
        self.assertEqual(os.path.basename(sandbox.profile), sb.WINE_USER)
        self.assertFalse(os.path.exists(sandbox.work_dir))

        app = self.start()
        self.assertEqual(self.checked(app), [])
        # Nothing but the registry can have told it where the game is.
        self.assertEqual(app.state()["gameFolder"], sandbox.game_exe_windows)
        self.assertEqual(app.state()["title"], sb.TITLE)

        self.choose(app, ENGLISH)
        self.assertTrue(os.path.isfile(os.path.join(sandbox.work_dir, "patch_KR.data")))
        self.assertTrue(os.path.isfile(os.path.join(sandbox.work_dir, "patch_EN.data")))
        self.assertTrue(app.widget("pushButtonStart")["enabled"])

        self.choose(app, MACHINE)
        self.assertIn("/files/patch_EN_M.data", sandbox.requests(tls=True))
        self.assertNotIn("/files/patch_EN_M.data", sandbox.requests())

        self.choose(app, RUSSIAN)
        served = sandbox.requests()
        self.assertIn("/redirect/patch_RU.data", served)
        self.assertIn("/files/patch_RU.data", served)
        self.assertTrue(os.path.isfile(os.path.join(sandbox.work_dir, "patch_KR.data")))

        # Start the game: the Windows QuenDara.exe from the registry's folder, with the switch.
        log = os.path.join(sandbox.dir, "game-started.log")
        self.assertFalse(os.path.exists(log))
        self.assertEqual(sandbox.game_processes(), [])
        app.click("pushButtonStart")
        sb.wait_for(lambda: sandbox.game_processes(), 60, "the game to run")
        lines = sb.wait_for(lambda: _lines(log) if len(_lines(log)) >= 2 else None, 30,
                            "the game's record of its arguments")
        self.assertEqual(len(lines), 2, lines)
        self.assertEqual(lines[0].lower(), sandbox.game_exe_windows.lower())
        self.assertEqual(lines[1], "-launch_from_launcher")
        # In its own folder, as the launcher starts it, not in the patcher's.
        folder = sb.wait_for(lambda: _lines(os.path.join(sandbox.dir, "game-folder.log")), 30,
                             "the game's record of its working folder")
        self.assertEqual(folder[0].rstrip("\\").lower(),
                         sandbox.game_exe_windows.rsplit("\\", 1)[0].lower())

        # Closing with "Restore original on close" while the game runs: the archive is in use, so
        # the program asks; the cautious answer keeps the window and the translation.
        self.assertTrue(app.widget("restoreCheckbox")["checked"])
        app.close_window()
        box = app.answer("I'll close the game first")
        self.assertEqual(box["text"], "Could not restore original files while game is running.")
        self.assertEqual([b["text"].replace("&", "") for b in box["buttons"]],
                         ["I'll close the game first", "Exit anyway (not recommended)"])
        app.wait_for(lambda s: "messageBox" not in s, 30, "the question to go")
        self.assertFalse(app.exited())
        self.assertArchive(sandbox.hashes["result_RU"])
        self.assertEqual(self.checked(app), [RUSSIAN])

        # With the game gone, closing puts the original archive back and ends the program.
        sandbox.end_game()
        app.close_window()
        self.assertEqual(app.wait_exit(120), 0)
        self.assertArchive(self.original)
        self.assertEqual(os.path.getsize(sandbox.archive), self.size_mib << 20)
        self.assertTrue(filecmp.cmp(sandbox.archive, self.original_copy, shallow=False))


class WindowLooks(WineSandboxTest):
    # Room for the window at 175 %.
    screen = "1280x600"

    def test_every_text_shows_whole_at_four_display_scalings(self):
        # The display scaling a player sets in Windows is the prefix's DPI: 100 %, 125 % (many
        # laptops), 150 % and 175 %. The whole window grows with the fonts, and every text reads
        # whole from a screenshot of the real window.
        for dpi in (96, 120, 144, 168):
            with self.subTest(dpi=dpi):
                self.sandbox.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD",
                                     str(dpi))
                app = self.start()
                state = app.state()
                scale = dpi / 96.0
                self.assertAlmostEqual(state["window"]["scale"], scale, places=2)
                self.assertAlmostEqual(state["window"]["width"], 647 * scale, delta=2)
                self.assertAlmostEqual(state["window"]["height"], 247 * scale, delta=2)
                for name, text in sb.WINDOW_TEXTS.items():
                    read = self.sandbox.read_text(state["widgets"][name], scale=3)
                    self.assertIn(sb.words(text), sb.words(read),
                                  "%s at %d DPI reads %r" % (name, dpi, read))
                app.close_window()
                self.assertEqual(app.wait_exit(60), 0)


class RussianWindows(WineSandboxTest):
    """A player whose Windows speaks Russian: the window does too, whole, at 100 % and 150 %, and
    the journey's texts are the translator's."""
    screen = "1280x600"

    def test_the_window_reads_in_russian_and_the_journey_asks_in_russian(self):
        sandbox = self.sandbox
        title = sb.russian("Quen Dara Online Translation v%1.%2").replace("%1.%2", "0.4")
        for dpi in (144, 96):
            with self.subTest(dpi=dpi):
                sandbox.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD", str(dpi))
                app = self.start(sb.RUSSIAN_LOCALE)
                try:
                    state = app.state()
                    self.assertEqual(state["title"], title)
                    scale = dpi / 96.0
                    self.assertAlmostEqual(state["window"]["width"], 647 * scale, delta=2)
                    for name, (text, language) in sb.russian_window_texts().items():
                        # The translator's text, and all of it on the screen.
                        self.assertEqual(sb.words(state["widgets"][name]["text"]), sb.words(text))
                        read = sandbox.read_text(state["widgets"][name], scale=3,
                                                 language=language, inset=3)
                        self.assertTrue(sb.reads_whole(text, read),
                                        "%s at %d DPI reads %r" % (name, dpi, read))
                finally:
                    app.close_window()
                    self.assertEqual(app.wait_exit(60), 0)

        # The journey at 100 %: a translation applied, the game started, and the question at
        # closing while it runs, all in Russian.
        app = self.start(sb.RUSSIAN_LOCALE)
        self.choose(app, ENGLISH, tuple(sb.russian(t) for t in DONE))
        app.click("pushButtonStart")
        sb.wait_for(lambda: sandbox.game_processes(), 60, "the game to run")
        app.close_window()
        stay = sb.russian("I'll close the game first")
        box = app.answer(stay)
        self.assertEqual(box["text"],
                         sb.russian("Could not restore original files while game is running."))
        self.assertEqual([b["text"].replace("&", "") for b in box["buttons"]],
                         [stay, sb.russian("Exit anyway (not recommended)")])
        app.wait_for(lambda s: "messageBox" not in s, 30, "the question to go")
        self.assertFalse(app.exited())
        self.assertArchive(sandbox.hashes["result_EN"])
        sandbox.end_game()
        app.close_window()
        self.assertEqual(app.wait_exit(120), 0)
        self.assertArchive(self.original)


class UnhappyPaths(WineSandboxTest):
    def test_start_up_gate_without_launcher(self):
        self.sandbox.launcher.terminate()
        self.sandbox.launcher.wait(10)
        sb.wait_for(lambda: not any(p.lower().endswith("\\orbex.exe")
                                    for _, p in self.sandbox.windows_processes()),
                    30, "ORBEX.exe to end")
        app = self.sandbox.start_app()
        box = app.answer()
        self.assertEqual(box["text"], "Please login in ORBEX first, make sure button has blue color.")
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)

    def test_server_down_at_start_up(self):
        self.sandbox.stop_server()
        app = self.sandbox.start_app()
        box = app.answer()
        self.assertEqual(box["text"], "Can't connect to server.")
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)


class UntrustedCertificate(WineSandboxTest):
    # The same server and certificate as in the journey, but its authority is not trusted.
    trust_tls = False

    def test_https_patch_from_an_untrusted_server_is_refused(self):
        sandbox = self.sandbox
        url = sandbox.https_url("patch_EN_M.data")
        sandbox.set_manifest_overrides({"filename_EN_M": url})
        app = self.start()
        app.click(MACHINE)
        # Either outcome ends the wait, so that a download that wrongly succeeds fails at once.
        state = app.wait_for(lambda s: "messageBox" in s or s["widgets"][MACHINE]["checked"], 120,
                             "the download's outcome")
        self.assertIn("messageBox", state, "the patch was fetched from an untrusted server")
        box = app.answer()
        self.assertTrue(box["text"].startswith("Downloading the patch failed."), box["text"])
        self.assertIn(url, box["text"])
        self.assertIn("SSL", box["text"])
        app.wait_idle()
        self.assertEqual(self.checked(app), [])
        self.assertArchive(self.original)
        self.assertNotIn("/files/patch_EN_M.data", sandbox.requests(tls=True))
        self.assertFalse(os.path.exists(os.path.join(sandbox.work_dir, "patch_EN_M.data")))
        # Plain http still works in the same prefix: only the trust was missing.
        self.choose(app, ENGLISH)


class PatchDay(WineSandboxTest):
    def test_moved_game_and_a_lock_left_empty_by_a_power_cut(self):
        # The game moved to another folder: the registry still names the old one, which is gone;
        # the folder saved by the last run is the right one. A power cut left the lock file empty.
        sandbox = self.sandbox
        moved = os.path.join(sandbox.drive_c, "Moved", "Quen Dara")
        os.makedirs(os.path.dirname(moved))
        os.rename(sandbox.game, moved)
        sandbox.game = moved
        sandbox.game_exe = os.path.join(moved, "bin", "x64", "QuenDara.exe")
        sandbox.archive = os.path.join(moved, "ZNGame", "data.lpk")
        os.makedirs(sandbox.work_dir, exist_ok=True)
        sandbox.save_game_path(sandbox.windows_path(sandbox.game_exe))
        with open(os.path.join(sandbox.work_dir, "patcher.lock"), "wb"):
            pass
        app = self.start()
        self.assertEqual(app.state()["gameFolder"], sandbox.windows_path(sandbox.game_exe))
        self.choose(app, ENGLISH)
        app.close_window()
        self.assertEqual(app.wait_exit(120), 0)
        self.assertArchive(self.original)

def _lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\r\n") for line in f if line.strip()]
    except OSError:
        return []


if __name__ == "__main__":
    unittest.main()
