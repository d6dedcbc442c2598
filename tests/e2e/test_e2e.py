#!/usr/bin/python3
"""End-to-end tests of the real QuenDaraTranslation executable.

Each test builds a sandbox (generated game, patch server on 127.0.0.1, running "ORBEX.exe", a home
folder of its own, a private Xvfb display) and drives the program with real mouse clicks, then
checks the game's archive on disk. QDT_BUILD_DIR names the build tree.
"""
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

import sandbox as sb  # noqa: E402

BUILD_DIR = os.environ.get("QDT_BUILD_DIR", os.path.join(HERE, "..", "..", "build"))
ENGLISH, MACHINE, RUSSIAN = "pushButtonEnglish", "pushButtonEnglish_2", "pushButtonRussian"


class SandboxTest(unittest.TestCase):
    size_mib = 8

    def setUp(self):
        self.sandbox = sb.Sandbox(BUILD_DIR, self.size_mib)
        self.addCleanup(self._cleanup)
        self.sandbox.start_server()
        self.sandbox.start_launcher()
        self.sandbox.start_display()
        self.original = self.sandbox.hashes["source"]

    def _cleanup(self):
        keep = os.environ.get("QDT_KEEP_SANDBOX") == "1"
        failed = hasattr(self, "_outcome") and any(
            err for _, err in getattr(self._outcome, "errors", []) if err)
        if failed:
            for name in ("app.log", "server.log", "state.json"):
                path = os.path.join(self.sandbox.dir, name)
                if os.path.exists(path):
                    with open(path, errors="replace") as f:
                        sys.stderr.write("--- %s\n%s\n" % (name, f.read()[-4000:]))
        self.sandbox.stop(keep=keep)

    def start(self, extra_env=None):
        app = self.sandbox.start_app(extra_env=extra_env)
        app.wait_idle()
        return app

    def checked(self, app):
        s = app.state()
        return [n for n in (ENGLISH, MACHINE, RUSSIAN) if s["widgets"][n]["checked"]]

    def choose(self, app, button):
        app.click(button)
        # Done when the button's checked state settles on the outcome and the controls are idle.
        app.wait_for(lambda s: s["progress"]["format"] in ("Applying patch...success!",
                                                           "Applying patch...fail!")
                     or "messageBox" in s, 120, "the patch to be applied")

    def assertArchive(self, expected):
        self.assertEqual(self.sandbox.archive_hash(), expected)


class WindowLooks(SandboxTest):
    def test_every_text_shows_whole(self):
        # Read from a screenshot of the real window: a text cut by its widget's edge, or drawn
        # over by a neighbour, does not read whole.
        app = self.start()
        widgets = app.state()["widgets"]
        for name, text in sb.WINDOW_TEXTS.items():
            with self.subTest(widget=name):
                read = self.sandbox.read_text(widgets[name])
                self.assertIn(sb.words(text), sb.words(read), "%s reads %r" % (name, read))

    def test_in_russian_every_text_shows_whole(self):
        # A Russian system: the translator's texts, whole on the screen; the language buttons
        # keep their labels.
        app = self.start(sb.RUSSIAN_LOCALE)
        state = app.state()
        self.assertEqual(state["title"], sb.russian("Quen Dara Online Translation v%1.%2")
                         .replace("%1.%2", "0.4"))
        for name, (text, language) in sb.russian_window_texts().items():
            with self.subTest(widget=name):
                self.assertEqual(sb.words(state["widgets"][name]["text"]), sb.words(text))
                read = self.sandbox.read_text(state["widgets"][name], language=language,
                                              inset=3)
                self.assertTrue(sb.reads_whole(text, read), "%s reads %r" % (name, read))


class PlayerJourney(SandboxTest):
    def test_apply_switch_detect_rollback_and_restore_on_close(self):
        sandbox = self.sandbox
        app = self.start()
        self.assertEqual(self.checked(app), [])
        self.assertEqual(app.state()["gameFolder"], sandbox.game_exe)

        # Human English: the archive becomes the patch's result and the reverse patch is kept.
        self.choose(app, ENGLISH)
        app.wait_for(lambda s: s["widgets"][ENGLISH]["checked"], 60, "English checked")
        self.assertArchive(sandbox.hashes["result_EN"])
        self.assertTrue(os.path.exists(os.path.join(sandbox.work_dir, "patch_KR.data")))
        self.assertTrue(app.widget("pushButtonStart")["enabled"])

        # Russian (behind a redirect on the server): the switch goes through the original.
        self.choose(app, RUSSIAN)
        app.wait_for(lambda s: s["widgets"][RUSSIAN]["checked"], 60, "Russian checked")
        self.assertArchive(sandbox.hashes["result_RU"])
        self.assertEqual(self.checked(app), [RUSSIAN])

        # Quit without restoring, start again: the applied language is recognised.
        app.click("restoreCheckbox")
        app.wait_for(lambda s: not s["widgets"]["restoreCheckbox"]["checked"], 10, "unchecked")
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        self.assertArchive(sandbox.hashes["result_RU"])

        app = self.start()
        app.wait_for(lambda s: s["widgets"][RUSSIAN]["checked"], 30, "Russian detected")
        self.assertEqual(self.checked(app), [RUSSIAN])
        app.close_window()
        # Restore-on-close is checked again, so closing puts the original back.
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)

        # Apply English again, leave it applied, then publish a new English patch: the outdated
        # translation is rolled back at the next start.
        app = self.start()
        self.choose(app, ENGLISH)
        app.wait_for(lambda s: s["widgets"][ENGLISH]["checked"], 60, "English checked")
        app.click("restoreCheckbox")
        app.wait_for(lambda s: not s["widgets"]["restoreCheckbox"]["checked"], 10, "unchecked")
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        self.assertArchive(sandbox.hashes["result_EN"])

        sandbox.set_manifest_overrides({"xxhash_EN": 12345})
        app = self.start()
        self.assertEqual(self.checked(app), [])
        self.assertArchive(self.original)

        # Close with "Restore original on close" checked and nothing applied: archive untouched.
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        with open(sandbox.archive, "rb") as f:
            size = len(f.read())
        self.assertEqual(size, self.size_mib << 20)
        self.assertArchive(self.original)


class UnhappyPaths(SandboxTest):
    def test_server_down_at_start_up(self):
        self.sandbox.stop_server()
        app = self.sandbox.start_app()
        box = app.answer()
        self.assertEqual(box["text"], "Can't connect to server.")
        self.assertEqual(app.wait_exit(30), 0)
        self.assertArchive(self.original)

    def test_download_failing_mid_way_keeps_the_archive_and_the_controls(self):
        app = self.start()
        self.sandbox.set_faults({"/files/patch_EN_M.data": "close-mid-body"})
        app.click(MACHINE)
        box = app.answer()
        self.assertIn("download", box["text"].lower())
        app.wait_idle()
        self.assertEqual(self.checked(app), [])
        self.assertArchive(self.original)
        # Nothing of the broken transfer was stored as a cached patch.
        self.assertFalse(os.path.exists(os.path.join(self.sandbox.work_dir, "patch_EN_M.data")))
        # The buttons work again: with the server mended the same language applies.
        self.sandbox.set_faults({})
        self.choose(app, MACHINE)
        app.wait_for(lambda s: s["widgets"][MACHINE]["checked"], 60, "machine English checked")
        self.assertArchive(self.sandbox.hashes["result_EN_M"])

    def test_a_missing_patch_says_what_the_server_answered(self):
        app = self.start()
        self.sandbox.set_faults({"/files/patch_EN.data": "404"})
        app.click(ENGLISH)
        box = app.answer()
        lines = box["text"].split("\n")
        self.assertEqual(lines[0], "Downloading the patch failed.")
        self.assertIn("404", box["text"])
        self.assertIn("not there", box["text"])
        self.assertNotIn("check your connection", box["text"])
        app.wait_idle()
        self.assertEqual(self.checked(app), [])
        self.assertArchive(self.original)
        # A refusal is not tried again.
        self.assertEqual(self.sandbox.requests().count("/files/patch_EN.data"), 1)

    def test_a_trickling_server_ends_within_three_minutes_of_the_click(self):
        app = self.start()
        self.sandbox.set_faults({"/files/patch_EN.data": "trickle"})
        clicked = time.monotonic()
        app.click(ENGLISH)
        app.wait_for(lambda s: "Connection lost, resuming" in s["progress"]["format"], 150,
                     "the bar to say that it is retrying")
        box = app.wait_message(200)
        waited = time.monotonic() - clicked
        self.assertLess(waited, 180, "the message came %.0f s after the click" % waited)
        self.assertTrue(box["text"].startswith("Downloading the patch failed.\n"), box["text"])
        self.assertIn("too slowly", box["text"])
        app.answer()
        app.wait_idle()
        self.assertArchive(self.original)

    def test_game_running_at_close(self):
        app = self.start()
        self.choose(app, ENGLISH)
        app.wait_for(lambda s: s["widgets"][ENGLISH]["checked"], 60, "English checked")
        game = self.sandbox.start_named("QuenDara.exe", os.path.join("running", "bin", "x64"))
        app.close_window()
        box = app.answer("I'll close the game first")
        self.assertEqual(box["text"], "Could not restore original files while game is running.")
        self.assertFalse(app.exited())
        self.assertArchive(self.sandbox.hashes["result_EN"])
        game.terminate()
        game.wait(10)
        app.close_window()
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)

    def test_start_up_gate_without_launcher(self):
        self.sandbox.launcher.terminate()
        self.sandbox.launcher.wait(10)
        app = self.sandbox.start_app()
        box = app.answer()
        self.assertEqual(box["text"], "Please login in ORBEX first, make sure button has blue color.")
        self.assertEqual(app.wait_exit(30), 0)


class SignedReleases(SandboxTest):
    def test_a_signed_release_applies_and_a_forged_manifest_changes_nothing(self):
        # The translators sign the release; the program takes the key from its build (here from
        # the test builds' stand-in for it).
        public = self.sandbox.make_release_key()
        self.sandbox.write_manifest()
        status, report = self.sandbox.verify_release()
        self.assertEqual(status, 0, report)
        self.assertIn("signature: ok", report)
        keys = {"QDT_TEST_RELEASE_KEYS": public}

        app = self.sandbox.start_app(extra_env=keys)
        app.wait_idle()
        self.choose(app, ENGLISH)
        app.wait_for(lambda s: s["widgets"][ENGLISH]["checked"], 60, "English checked")
        self.assertArchive(self.sandbox.hashes["result_EN"])
        app.close_window()
        self.assertEqual(app.wait_exit(120), 0)
        self.assertArchive(self.original)

        # Someone on the way points English at another file: the manifest no longer verifies,
        # and nothing is fetched, kept or changed.
        self.sandbox.set_manifest_overrides(
            {"filename_EN": "http://127.0.0.1:%d/files/patch_RU.data" % self.sandbox.port})
        cache = os.path.join(self.sandbox.work_dir, "patch_EN.data")
        with open(cache, "rb") as f:
            kept = f.read()
        requests_before = len(self.sandbox.requests())
        app = self.sandbox.start_app(extra_env=keys)
        box = app.answer()
        lines = box["text"].split("\n")
        self.assertEqual(lines[0], "Can't verify the list of translations from the server.")
        self.assertIn("not signed by the translators", box["text"])
        self.assertIn("Nothing was downloaded or changed.", lines)
        self.assertEqual(app.wait_exit(30), 0)
        self.assertArchive(self.original)
        with open(cache, "rb") as f:
            self.assertEqual(f.read(), kept)
        self.assertEqual(sorted(self.sandbox.requests()[requests_before:]),
                         ["/patch.json", "/patch.json.sig"])


class PatchDay(SandboxTest):
    """The launcher changes the game under the translation; the player is never left stuck."""

    def apply_english(self, app):
        self.choose(app, ENGLISH)
        app.wait_for(lambda s: s["widgets"][ENGLISH]["checked"], 60, "English checked")
        self.assertArchive(self.sandbox.hashes["result_EN"])

    def launcher_writes(self, content):
        """The launcher puts a new archive in place, as an update or a repair does."""
        new = self.sandbox.archive + ".launcher"
        with open(new, "wb") as f:
            f.write(content)
        os.replace(new, self.sandbox.archive)

    def keep_original(self):
        with open(self.sandbox.archive, "rb") as f:
            return f.read()

    def test_update_while_closed_is_explained_and_closing_leaves_it(self):
        app = self.start()
        self.apply_english(app)
        app.click("restoreCheckbox")
        app.wait_for(lambda s: not s["widgets"]["restoreCheckbox"]["checked"], 10, "unchecked")
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)

        updated = os.urandom((self.size_mib << 20) + 4096)
        self.launcher_writes(updated)
        app = self.sandbox.start_app()
        box = app.answer()
        self.assertTrue(box["text"].startswith(
            "The game files are different from the ones the published translations were made "
            "for."), box["text"])
        self.assertIn("most likely updated", box["text"])
        app.wait_idle()
        self.assertEqual(self.checked(app), [])

        app.click(ENGLISH)
        box = app.answer()
        self.assertTrue(box["text"].startswith(
            "Game files are different from expected, can't apply the patch.\n"), box["text"])
        self.assertIn("once the translators publish it", box["text"])
        app.wait_idle()
        # Closing asks nothing and leaves the updated game as it is.
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        with open(self.sandbox.archive, "rb") as f:
            self.assertEqual(f.read(), updated)

    def test_repair_while_open_closes_without_a_question(self):
        original = self.keep_original()
        app = self.start()
        self.apply_english(app)
        self.launcher_writes(original)
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        self.assertArchive(self.original)

    def test_update_while_open_closes_without_a_question(self):
        app = self.start()
        self.apply_english(app)
        updated = os.urandom(3 << 20)
        self.launcher_writes(updated)
        app.close_window()
        self.assertEqual(app.wait_exit(30), 0)
        with open(self.sandbox.archive, "rb") as f:
            self.assertEqual(f.read(), updated)

    def test_lost_reverse_patch_is_made_good_from_the_backup(self):
        reverse = os.path.join(self.sandbox.work_dir, "patch_KR.data")
        for how in ("deleted", "damaged"):
            with self.subTest(how=how):
                app = self.start()
                self.apply_english(app)
                if how == "deleted":
                    os.remove(reverse)
                else:
                    with open(reverse, "r+b") as f:
                        f.truncate(64)
                app.close_window()
                self.assertEqual(app.wait_exit(60), 0)
                self.assertArchive(self.original)

    def test_registry_naming_a_removed_folder_falls_back_to_the_saved_one(self):
        # A Wine prefix whose launcher key still names the folder the game was moved away from.
        prefix = os.path.join(self.sandbox.dir, "prefix")
        os.makedirs(os.path.join(prefix, "dosdevices"))
        os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))
        gone = "Z:" + os.path.join(self.sandbox.dir, "Old Drive", "Quen Dara").replace("/", "\\")
        with open(os.path.join(prefix, "user.reg"), "w", encoding="utf-8") as f:
            f.write("WINE REGISTRY Version 2\n\n[Software\\\\KVTR\\\\Apps\\\\45] 1\n"
                    "\"GamePath\"=\"%s\"\n"
                    "\"ExecName\"=\"bin\\\\x64\\\\QuenDara.exe -launch_from_launcher\"\n"
                    % gone.replace("\\", "\\\\"))
        app = self.sandbox.start_app(extra_env={"WINEPREFIX": prefix})
        app.wait_idle()
        self.assertEqual(app.state()["gameFolder"], self.sandbox.game_exe)
        self.apply_english(app)
        app.close_window()
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)

    def test_an_empty_lock_file_left_by_a_power_cut_does_not_block_the_start(self):
        with open(os.path.join(self.sandbox.work_dir, "patcher.lock"), "wb"):
            pass
        app = self.start()
        self.apply_english(app)
        app.close_window()
        self.assertEqual(app.wait_exit(60), 0)
        self.assertArchive(self.original)

if __name__ == "__main__":
    unittest.main()
