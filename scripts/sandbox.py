#!/usr/bin/python3
"""The sandbox the demo and the end-to-end tests run the real program in.

A temporary folder holds a generated game installation ("Quen Dara/bin/x64/QuenDara.exe" and
"Quen Dara/ZNGame/data.lpk"), a home folder of the program's own (so its work directory and settings
file are the sandbox's), a patch server on 127.0.0.1 (scripts/sandbox_server.py) and a running
"ORBEX.exe". The program runs on a virtual X display unless a real one is asked for; a player's
clicks are real X input events (XTEST), and what the window shows is read from the state file the
program writes when QDT_AUTOMATION_STATE is set.

  scripts/sandbox.py demo BUILD_DIR [--size MIB] [--seconds N] [--keep] [--screenshot FILE]
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Quen Dara Online Translation v0.4"


def xxh_hashes(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class Timeout(Exception):
    pass


def wait_for(predicate, timeout, what):
    """Polls `predicate` every 50 ms until it returns something true; bounded by `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise Timeout("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.05)


class Display:
    """A private Xvfb server, or the caller's display."""

    def __init__(self, virtual=True):
        self.proc = None
        if not virtual and os.environ.get("DISPLAY"):
            self.name = os.environ["DISPLAY"]
            return
        for number in range(140, 400):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.proc = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", "900x500x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.name = ":%d" % number
            try:
                wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number) or self.proc.poll() is not None,
                         10, "Xvfb")
            except Timeout:
                pass
            if self.proc.poll() is None:
                return
        raise RuntimeError("could not start Xvfb")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class App:
    """The running QuenDaraTranslation process and what it shows."""

    def __init__(self, sandbox, env):
        self.sandbox = sandbox
        self.state_file = os.path.join(sandbox.dir, "state.json")
        if os.path.exists(self.state_file):
            os.remove(self.state_file)
        self.log = open(os.path.join(sandbox.dir, "app.log"), "ab")
        self.proc = subprocess.Popen([sandbox.program], env=env, stdout=self.log, stderr=self.log)
        self._x = None

    # --- reading -------------------------------------------------------------------------
    def state(self):
        try:
            with open(self.state_file, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def widget(self, name):
        s = self.state()
        return s["widgets"].get(name) if s else None

    def message_box(self):
        s = self.state()
        return s.get("messageBox") if s else None

    def exited(self):
        return self.proc.poll() is not None

    def wait_exit(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("program still running after %d s" % timeout)

    def wait_for(self, predicate, timeout=60, what="the window"):
        def check():
            s = self.state()
            return s if s is not None and predicate(s) else None
        return wait_for(check, timeout, what)

    def wait_idle(self, timeout=120):
        """Waits until no message box is open and the language buttons are out of the busy state."""
        def idle(s):
            w = s["widgets"]
            langs = [w[n] for n in ("pushButtonEnglish", "pushButtonEnglish_2", "pushButtonRussian")]
            return "messageBox" not in s and sum(b["enabled"] for b in langs) >= 2
        return self.wait_for(idle, timeout, "the language buttons to become usable")

    def wait_message(self, timeout=60):
        return self.wait_for(lambda s: "messageBox" in s, timeout, "a message box")["messageBox"]

    # --- acting --------------------------------------------------------------------------
    def _display(self):
        if self._x is None:
            from Xlib import display
            self._x = display.Display(self.sandbox.display.name)
        return self._x

    def click_at(self, x, y):
        from Xlib import X
        from Xlib.ext import xtest
        d = self._display()
        xtest.fake_input(d, X.MotionNotify, x=x, y=y)
        d.sync()
        time.sleep(0.05)
        xtest.fake_input(d, X.ButtonPress, 1)
        d.sync()
        time.sleep(0.05)
        xtest.fake_input(d, X.ButtonRelease, 1)
        d.sync()

    def click(self, name):
        w = self.wait_for(lambda s: name in s["widgets"] and s["widgets"][name]["visible"], 30,
                          name)["widgets"][name]
        self.click_at(w["x"], w["y"])

    def answer(self, button_text=None):
        """Presses a button of the open message box: the one with that text, else the first."""
        box = self.wait_message()
        buttons = box["buttons"]
        chosen = buttons[0]
        for b in buttons:
            if b.get("text", "").replace("&", "") == button_text:
                chosen = b
        self.click_at(chosen["x"], chosen["y"])
        # The box is gone (or replaced by the next one) once its text changes or it closes.
        wait_for(lambda: self.exited() or self.message_box() != box, 30, "the message box to close")
        return box

    def close_window(self):
        """Asks the window to close, as the title bar's close button does (WM_DELETE_WINDOW)."""
        from Xlib import X, Xatom, protocol
        d = self._display()
        target = self._find_window(d.screen().root)
        if target is None:
            raise RuntimeError("window not found")
        wm_protocols = d.intern_atom("WM_PROTOCOLS")
        wm_delete = d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=target, client_type=wm_protocols,
                                             data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
        target.send_event(event, event_mask=X.NoEventMask)
        d.sync()

    def _find_window(self, window):
        try:
            name = window.get_wm_name()
        except Exception:
            name = None
        if name == TITLE:
            return window
        try:
            children = window.query_tree().children
        except Exception:
            return None
        for child in children:
            found = self._find_window(child)
            if found is not None:
                return found
        return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        if self._x is not None:
            self._x.close()
            self._x = None
        self.log.close()


class Sandbox:
    def __init__(self, build_dir, size_mib=8, directory=None, virtual_display=True):
        self.build_dir = os.path.abspath(build_dir)
        self.program = os.path.join(self.build_dir, "app", "QuenDaraTranslation")
        self.dir = directory or tempfile.mkdtemp(prefix="quen-dara-sandbox.")
        self.server_root = os.path.join(self.dir, "server")
        self.game = os.path.join(self.dir, "Quen Dara")
        self.game_exe = os.path.join(self.game, "bin", "x64", "QuenDara.exe")
        self.archive = os.path.join(self.game, "ZNGame", "data.lpk")
        self.home = os.path.join(self.dir, "home")
        self.work_dir = os.path.join(self.home, ".quen_dara_patch")
        self.processes = []
        self.port = None
        self.display = None
        self.apps = []
        self._make(size_mib)

    def _make(self, size_mib):
        tool = os.path.join(self.build_dir, "tests", "qdt-sandbox-data")
        subprocess.run([tool, self.server_root, str(size_mib)], check=True)
        os.makedirs(os.path.dirname(self.game_exe), exist_ok=True)
        os.makedirs(os.path.dirname(self.archive), exist_ok=True)
        os.makedirs(self.work_dir, exist_ok=True)
        os.replace(os.path.join(self.server_root, "ZNGame", "data.lpk"), self.archive)
        fake = os.path.join(self.build_dir, "tests", "qdt-fake-game")
        shutil.copy(fake, self.game_exe)
        self.hashes = xxh_hashes(os.path.join(self.server_root, "hashes.json"))
        self.save_game_path(self.game_exe)

    def save_game_path(self, path):
        with open(os.path.join(self.work_dir, "fallbackJson.json"), "w", encoding="utf-8") as f:
            f.write(json.dumps({"launcherPath": path}, indent=4, ensure_ascii=False))

    # --- services ------------------------------------------------------------------------
    def start_server(self):
        port_file = os.path.join(self.dir, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sandbox_server.py"), "--root", self.server_root,
             "--port-file", port_file, "--lifetime", "3600"] +
            (["--port", str(self.port)] if self.port else []),
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.dir, "server.log"), "ab"))
        self.processes.append(proc)
        self.server = proc
        wait_for(lambda: os.path.exists(port_file), 20, "the patch server")
        with open(port_file) as f:
            self.port = int(f.read())
        return proc

    def stop_server(self):
        self.server.terminate()
        self.server.wait(10)

    def manifest_url(self):
        return "http://127.0.0.1:%d/patch.json" % self.port

    def start_named(self, exe_name, folder):
        """Starts the fake game program under another name (for example ORBEX.exe)."""
        where = os.path.join(self.dir, folder)
        os.makedirs(where, exist_ok=True)
        path = os.path.join(where, exe_name)
        shutil.copy(os.path.join(self.build_dir, "tests", "qdt-fake-game"), path)
        proc = subprocess.Popen([path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(proc)
        return proc

    def start_launcher(self):
        self.launcher = self.start_named("ORBEX.exe", "ORBEX")
        return self.launcher

    def start_display(self, virtual=True):
        self.display = Display(virtual)
        return self.display

    def set_manifest_overrides(self, members):
        with open(os.path.join(self.server_root, "manifest-overrides.json"), "w") as f:
            json.dump(members, f)

    def set_faults(self, faults):
        with open(os.path.join(self.server_root, "faults.json"), "w") as f:
            json.dump(faults, f)

    def start_app(self, manifest_url=None, extra_env=None):
        env = dict(os.environ)
        env.update({
            "HOME": self.home,
            "DISPLAY": self.display.name,
            "QT_QPA_PLATFORM": "xcb",
            "QUEN_DARA_MANIFEST_URL": manifest_url or self.manifest_url(),
            "QDT_AUTOMATION_STATE": os.path.join(self.dir, "state.json"),
            "QDT_FAKE_GAME_LOG": os.path.join(self.dir, "game-started.log"),
            "XDG_RUNTIME_DIR": os.path.join(self.dir, "runtime"),
        })
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        env.pop("WINEPREFIX", None)
        env.update(extra_env or {})
        app = App(self, env)
        self.apps.append(app)
        return app

    def archive_hash(self):
        out = subprocess.run([os.path.join(self.build_dir, "tests", "qdt-sandbox-data"), "--hash",
                              self.archive], check=True, capture_output=True, text=True)
        return int(out.stdout.strip())

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display.name, "-window", "root", "-crop",
                        "660x260+0+0", path], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return path

    def stop(self, keep=False):
        for app in self.apps:
            app.stop()
        for proc in self.processes:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
        if self.display:
            self.display.stop()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)


def demo(args):
    virtual = not os.environ.get("DISPLAY")
    sandbox = Sandbox(args.build_dir, args.size)
    print("Sandbox: %s" % sandbox.dir)
    try:
        sandbox.start_server()
        sandbox.start_launcher()
        sandbox.start_display(virtual=virtual)
        print("Patch server: %s" % sandbox.manifest_url())
        print("Game: %s" % sandbox.game_exe)
        print("Starting QuenDaraTranslation%s ..." % (" on a virtual display" if virtual else ""))
        app = sandbox.start_app()
        seconds = args.seconds if args.seconds is not None else (8 if virtual else None)
        if virtual:
            # Nobody is there to click: play the main job once and show it.
            app.wait_idle(120)
            print("Manifest loaded; choosing \"Human English\" ...")
            app.click("pushButtonEnglish")
            app.wait_for(lambda s: s["progress"]["format"] in ("Applying patch...success!",
                                                               "Applying patch...fail!")
                         or "messageBox" in s, 300, "the patch")
            applied = sandbox.archive_hash() == sandbox.hashes["result_EN"]
            print("Archive patched: %s" % ("yes" if applied else "NO"))
            time.sleep(0.3)
            shot = sandbox.screenshot(os.path.abspath(args.screenshot))
            print("Screenshot of the window: %s" % shot)
            time.sleep(seconds)
            print("Closing the window (\"Restore original on close\" is checked) ...")
            app.close_window()
            app.wait_exit(300)
            restored = sandbox.archive_hash() == sandbox.hashes["source"]
            print("Original archive restored: %s" % ("yes" if restored else "NO"))
        else:
            try:
                app.proc.wait(seconds)
            except subprocess.TimeoutExpired:
                pass
        print("The program has exited." if app.exited() else "Closing the program.")
    finally:
        sandbox.stop(keep=args.keep)
        if args.keep:
            print("Sandbox kept in %s" % sandbox.dir)


def main():
    parser = argparse.ArgumentParser(description="Demo sandbox for QuenDaraTranslation")
    sub = parser.add_subparsers(dest="command", required=True)
    d = sub.add_parser("demo")
    d.add_argument("build_dir")
    d.add_argument("--size", type=int, default=32, help="archive size in MiB (default 32)")
    d.add_argument("--seconds", type=float, default=None,
                   help="close the program after this many seconds")
    d.add_argument("--keep", action="store_true", help="keep the sandbox folder")
    d.add_argument("--screenshot", default="demo-screenshot.png")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if args.command == "demo":
        demo(args)


if __name__ == "__main__":
    main()
