#!/usr/bin/python3
"""The sandbox the demo and the end-to-end tests run the real program in.

A temporary folder holds a generated game installation ("Quen Dara/bin/x64/QuenDara.exe" and
"Quen Dara/ZNGame/data.lpk"), a home folder of the program's own (so its work directory and settings
file are the sandbox's), a patch server on 127.0.0.1 (scripts/sandbox_server.py) serving three
translations published with quen-dara-patch make and manifest, and a running "ORBEX.exe". The
program runs on a virtual X display unless a real one is asked for; a player's clicks are real X
input events (XTEST), and what the window shows is read from the state file the program writes
when QDT_AUTOMATION_STATE is set.

WineSandbox is the same for the Windows program under Wine: a prefix of its own inside the sandbox
folder holds the game (found through the registry, as the launcher leaves it), the work directory
in a user profile with a Cyrillic name, and a Windows ORBEX.exe; an https server whose certificate
authority the prefix trusts can stand beside the plain one.

  scripts/sandbox.py demo BUILD_DIR [--size MIB] [--seconds N] [--keep] [--screenshot FILE]
                                   [--release-key KEY]
"""
import argparse
import hashlib
import json
import os
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Quen Dara Online Translation v0.4"
# quen-dara-patch's language keys, the manifest's key suffixes, and the server folder each patch
# is listed under (the Russian one behind a redirect).
LANGUAGES = (("en", "EN", "files"), ("en_m", "EN_M", "files"), ("ru", "RU", "redirect"))

# The window's texts that must read whole from a screenshot, by widget; what OCR reads is compared
# by words() (letters and digits only, so line breaks and blanks do not count).
WINDOW_TEXTS = {
    "restoreCheckbox": "Restore original on close (recommended)",
    "pushButtonEnglish_2": "Human + Machine English",
    "pushButtonEnglish": "Human English",
    "pushButtonStart": "Start the game",
}


# The window speaks the system's language: these make it English (whatever the caller's locale)
# or Russian, natively and under Wine, which takes the Windows user's language from them.
ENGLISH_LOCALE = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "LANGUAGE": ""}
RUSSIAN_LOCALE = {"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8", "LANGUAGE": "ru"}
RUSSIAN_TEXTS = os.path.join(HERE, "..", "resources", "translations",
                             "quen-dara-translation_ru.ts")


def russian(english, context="QuenDaraTranslation"):
    """The window's Russian for one of its English texts, as its Linguist source has it."""
    for ctx in ET.parse(RUSSIAN_TEXTS).getroot().iter("context"):
        if ctx.findtext("name") != context:
            continue
        for message in ctx.iter("message"):
            if message.findtext("source") == english:
                return message.findtext("translation")
    raise KeyError("no Russian for %s: %r" % (context, english))


def russian_window_texts():
    """What must read whole in the Russian window, by widget: (text, Tesseract's language). The
    language buttons keep their labels."""
    form = {"restoreCheckbox": "Restore original on close\n(recommended)",
            "toolButtonGameFolder": "Browse", "toolButtonFindGame": "Find game",
            "pushButtonStart": "Start the game"}
    texts = {name: (russian(text, "QuenDaraTranslationClass").replace("\n", " "), "rus")
             for name, text in form.items()}
    texts["pushButtonRussian"] = ("\u0420\u0443\u0441\u0441\u043a\u0438\u0439", "rus")
    for name in ("pushButtonEnglish_2", "pushButtonEnglish"):
        texts[name] = (WINDOW_TEXTS[name], "eng")
    return texts


def words(text):
    return "".join(c for c in text.lower() if c.isalnum())


def reads_whole(text, read):
    """Whether OCR's reading holds every word of text, whole and in order. Stray marks it reads
    beside a word (a check box's edge, a bracket as a letter) do not count."""
    rest = words(read)
    for word in text.split():
        at = rest.find(words(word))
        if at < 0:
            return False
        rest = rest[at + len(words(word)):]
    return True


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

    def __init__(self, virtual=True, size="900x500"):
        self.proc = None
        if not virtual and os.environ.get("DISPLAY"):
            self.name = os.environ["DISPLAY"]
            return
        for number in range(140, 400):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.proc = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", size + "x24", "-nolisten", "tcp"],
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
        self.proc = subprocess.Popen(sandbox.app_command(), env=env, cwd=sandbox.app_cwd(),
                                     stdout=self.log, stderr=self.log)
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

    @staticmethod
    def _russian_title():
        return russian("Quen Dara Online Translation v%1.%2").replace("%1.%2", "0.4")

    def _find_window(self, window):
        name = None
        try:
            # The title as UTF-8 (the Russian one does not survive WM_NAME's Latin-1), else WM_NAME.
            d = self._display()
            prop = window.get_full_property(d.intern_atom("_NET_WM_NAME"),
                                            d.intern_atom("UTF8_STRING"))
            if prop is not None:
                value = prop.value
                name = value.decode("utf-8", "replace") if isinstance(value, bytes) else value
        except Exception:
            name = None
        try:
            name = name or window.get_wm_name()
        except Exception:
            name = None
        if name in (TITLE, self._russian_title()):
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
        self.tls_port = None
        self.display = None
        self.apps = []
        # The release key manifests are signed with (None: unsigned releases).
        self.release_key = None
        try:
            self._make(size_mib)
        except BaseException:
            self.stop()
            raise

    def _make(self, size_mib):
        self._make_release(size_mib)
        os.makedirs(os.path.dirname(self.game_exe), exist_ok=True)
        os.makedirs(os.path.dirname(self.archive), exist_ok=True)
        os.makedirs(self.work_dir, exist_ok=True)
        os.replace(os.path.join(self.server_root, "ZNGame", "data.lpk"), self.archive)
        fake = os.path.join(self.build_dir, "tests", "qdt-fake-game")
        shutil.copy(fake, self.game_exe)
        self.save_game_path(self.game_exe)

    # --- the publisher's side ------------------------------------------------------------
    def tool(self, *args, **kwargs):
        """Runs the Linux quen-dara-patch of the build (bounded); raises when it fails."""
        return subprocess.run([os.path.join(self.build_dir, "tools", "quen-dara-patch")] +
                              list(args), check=True, timeout=600, **kwargs)

    def _make_release(self, size_mib):
        """What a translator has and does: the original and one translated archive per language
        (generated), then one patch per language made from them with `quen-dara-patch make` into
        the server's folder. The translated archives are dropped afterwards."""
        subprocess.run([os.path.join(self.build_dir, "tests", "qdt-sandbox-data"),
                        self.server_root, str(size_mib)], check=True, timeout=300)
        www = os.path.join(self.server_root, "www")
        os.makedirs(www, exist_ok=True)
        original = os.path.join(self.server_root, "ZNGame", "data.lpk")
        for _, suffix, _ in LANGUAGES:
            translated = os.path.join(self.server_root, "translated", "data_%s.lpk" % suffix)
            self.tool("make", original, translated, "-o",
                      os.path.join(www, "patch_%s.data" % suffix), "--header-word", "51440001",
                      stdout=subprocess.DEVNULL)
            os.remove(translated)
        self.hashes = xxh_hashes(os.path.join(self.server_root, "hashes.json"))

    def write_manifest(self):
        """The manifest for the running server, written by `quen-dara-patch manifest`; the server
        reads it on every request. The Russian patch is listed behind a redirect."""
        host = "http://127.0.0.1:%d" % self.port
        args = ["manifest", "--version", "0.4"]
        for key, suffix, folder in LANGUAGES:
            name = "patch_%s.data" % suffix
            args += ["--language", "%s=%s/%s/%s,%s" % (key, host, folder, name,
                                                      os.path.join(self.server_root, "www", name))]
        if self.release_key:
            args += ["--sign", self.release_key, "--valid-days", "30"]
        self.tool(*args, "-o", os.path.join(self.server_root, "patch.json"),
                  stdout=subprocess.DEVNULL)

    def make_release_key(self, path=None):
        """A release key made with `quen-dara-patch keygen` (or the one at `path`, made there if
        missing); manifests written from now on are signed with it. Returns its public key."""
        path = path or os.path.join(self.dir, "keys", "release.key")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not os.path.exists(path):
            self.tool("keygen", "-o", path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.release_key = path
        with open(path + ".pub", encoding="ascii") as f:
            return f.read().strip()

    def verify_release(self):
        """`quen-dara-patch verify` of the served release against the game's original archive
        (with the release key, when there is one): (exit status, its lines)."""
        key = ["--key", self.release_key + ".pub"] if self.release_key else []
        done = subprocess.run(
            [os.path.join(self.build_dir, "tools", "quen-dara-patch"), "verify",
             os.path.join(self.server_root, "patch.json"), "--original", self.archive,
             "--files", os.path.join(self.server_root, "www")] + key,
            timeout=600, capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr

    def save_game_path(self, path):
        with open(os.path.join(self.work_dir, "fallbackJson.json"), "w", encoding="utf-8") as f:
            f.write(json.dumps({"launcherPath": path}, indent=4, ensure_ascii=False))

    def app_command(self):
        return [self.program]

    def app_cwd(self):
        return None

    # --- services ------------------------------------------------------------------------
    def _start_server_process(self, name, port, extra):
        port_file = os.path.join(self.dir, name)
        if os.path.exists(port_file):
            os.remove(port_file)
        with open(os.path.join(self.dir, "server.log"), "ab") as log:
            proc = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "sandbox_server.py"),
                 "--root", self.server_root, "--port-file", port_file, "--lifetime", "3600"] +
                (["--port", str(port)] if port else []) + extra,
                stdout=subprocess.DEVNULL, stderr=log)
        self.processes.append(proc)
        wait_for(lambda: os.path.exists(port_file) or proc.poll() is not None, 20,
                 "the patch server")
        if proc.poll() is not None:
            raise RuntimeError("the patch server did not start (see %s)" % log.name)
        with open(port_file) as f:
            return proc, int(f.read())

    def start_server(self):
        self.server, self.port = self._start_server_process("port", self.port, [])
        self.write_manifest()
        return self.server

    def start_tls_server(self, cert, key):
        """A second server on 127.0.0.1 that speaks https with `cert` (PEM chain) and `key`."""
        self.tls_server, self.tls_port = self._start_server_process(
            "port-tls", self.tls_port, ["--tls-cert", cert, "--tls-key", key])
        return self.tls_server

    def https_url(self, name):
        return "https://127.0.0.1:%d/files/%s" % (self.tls_port, name)

    def requests(self, tls=False):
        """Paths the server (or the https server) was asked for, in order."""
        try:
            with open(os.path.join(self.server_root, "requests-tls.log" if tls else "requests.log"),
                      encoding="utf-8") as f:
                return f.read().split()
        except OSError:
            return []

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

    def start_display(self, virtual=True, size="900x500"):
        self.display = Display(virtual, size)
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
        env.update(ENGLISH_LOCALE)
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

    def read_text(self, widget, scale=4, language="eng", inset=0):
        """What OCR reads in a widget's place on the screen (its "left", "top", "width" and
        "height" from the window's state report), enlarged for small fonts; language is
        Tesseract's ("eng", "rus"). inset leaves out that many pixels at each edge (a small
        button's frame can hide its text from OCR)."""
        shot = os.path.join(self.dir, "ocr.png")
        subprocess.run(["import", "-display", self.display.name, "-window", "root", "-crop",
                        "%dx%d+%d+%d" % (widget["width"] - 2 * inset, widget["height"] - 2 * inset,
                                         widget["left"] + inset, widget["top"] + inset),
                        "-resize", "%d%%" % (scale * 100), "-colorspace", "Gray", shot],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        out = subprocess.run(["tesseract", shot, "-", "--psm", "6", "-l", language], check=True,
                             capture_output=True, text=True)
        return out.stdout

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
        self._stop_platform()
        if self.display:
            self.display.stop()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def _stop_platform(self):
        pass


# A Windows user name with Cyrillic letters and a blank: the profile folder that holds the work
# directory then has both, as it does for many players.
WINE_USER = "Иван Тестов"
LAUNCHER_APPS_KEY = r"HKCU\Software\KVTR\Apps\45"
ROOT_CERTIFICATES_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_CERT_PROP_ID = 0x20


def make_certificates(folder):
    """A throwaway certificate authority and a server certificate for 127.0.0.1 that it signed.

    Returns {"ca_pem", "ca_der", "cert", "key"}: file paths, except ca_der, the authority's DER
    bytes.
    """
    os.makedirs(folder, exist_ok=True)
    ca_key, ca_pem = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr = os.path.join(folder, "server.key"), os.path.join(folder, "server.csr")
    cert, ext = os.path.join(folder, "server.pem"), os.path.join(folder, "server.ext")

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem,
            "-days", "2", "-subj", "/CN=Quen Dara Sandbox CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
            "-subj", "/CN=127.0.0.1")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-out", cert, "-days", "2", "-extfile", ext)
    with open(ca_pem) as f:
        ca_der = ssl.PEM_cert_to_DER_cert(f.read())
    return {"ca_pem": ca_pem, "ca_der": ca_der, "cert": cert, "key": key}


def certificate_store_entry(der):
    """The registry form of a certificate in a Windows system store: the key name (the SHA-1
    thumbprint in upper-case hex) and its "Blob" value, a serialized store element. That is a
    run of properties, each a little-endian property id, a reserved 1 and a length, then the
    data; the certificate itself is the CERT_CERT_PROP_ID property holding the DER bytes."""
    blob = struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der
    return hashlib.sha1(der).hexdigest().upper(), blob


class WineSandbox(Sandbox):
    """The sandbox as a player's Windows machine: the Windows program and the Windows fake game
    run under Wine in a prefix of the sandbox's own (its user has a Cyrillic name), the game is
    installed on its drive C: and found through the registry value the launcher writes, and
    ORBEX.exe is a Windows process there.

    build_dir is the Linux build (for qdt-sandbox-data); program is QuenDaraTranslation.exe and
    fake_game the Windows build of the fake game.
    """

    def __init__(self, build_dir, program, fake_game, size_mib=8, directory=None, user=WINE_USER):
        self.windows_program = os.path.abspath(program)
        self.fake_game = os.path.abspath(fake_game)
        self.user = user
        super().__init__(build_dir, size_mib, directory)

    # --- the prefix ----------------------------------------------------------------------
    def wine_env(self, extra=None):
        env = dict(os.environ)
        for name in ("QT_QPA_PLATFORM", "QDT_AUTOMATION_STATE", "QDT_FAKE_GAME_LOG",
                     "QDT_FAKE_GAME_FOLDER", "QUEN_DARA_MANIFEST_URL", "DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer on first start (nothing here needs them), and no menu
            # entries or file associations written for the host's desktop.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # Wine names the profile folder after USER, on every start of the prefix.
            "USER": self.user,
            "LOGNAME": self.user,
            # Wine links the profile's Desktop, Documents, ... to folders of HOME.
            "HOME": self.home,
        })
        env.update(ENGLISH_LOCALE)
        env.update(extra or {})
        return env

    def wine(self, *args, timeout=120):
        """Runs a Windows command in the prefix and waits for it (bounded)."""
        return subprocess.run(["wine"] + list(args), env=self.wine_env(), cwd=self.dir,
                              timeout=timeout, check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)

    def wait_wineserver(self, timeout=60):
        """Waits until the prefix's wineserver has ended, and so written the registry to disk. Only
        while no program of the prefix runs."""
        subprocess.run(["wineserver", "-w"], env=self.wine_env(), timeout=timeout, check=True)

    def reg_add(self, key, value, kind, data):
        self.wine("reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")

    def windows_path(self, unix_path):
        """C:\\... for a file on the prefix's drive C:."""
        rel = os.path.relpath(unix_path, self.drive_c)
        if rel.startswith(".."):
            raise ValueError("%s is not on drive C:" % unix_path)
        return "C:\\" + rel.replace("/", "\\")

    def _make(self, size_mib):
        self.prefix = os.path.join(self.dir, "wineprefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.game = os.path.join(self.drive_c, "Games", "Quen Dara")
        self.game_exe = os.path.join(self.game, "bin", "x64", "QuenDara.exe")
        self.archive = os.path.join(self.game, "ZNGame", "data.lpk")
        self.program = os.path.join(self.drive_c, "Quen Dara Translation",
                                    "QuenDaraTranslation.exe")
        self.state_path = os.path.join(self.dir, "state.json")
        os.makedirs(self.home, exist_ok=True)

        self._make_release(size_mib)

        subprocess.run(["wineboot", "-i"], env=self.wine_env(), cwd=self.dir, timeout=180,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_wineserver(120)
        users = os.path.join(self.drive_c, "users")
        self.user_honoured = os.path.isdir(os.path.join(users, self.user))
        if not self.user_honoured:
            # Wine chose its own name: the program's home is whatever profile it made.
            self.user = next(n for n in sorted(os.listdir(users)) if n != "Public")
        self.profile = os.path.join(users, self.user)
        self.work_dir = os.path.join(self.profile, ".quen_dara_patch")

        os.makedirs(os.path.dirname(self.game_exe))
        os.makedirs(os.path.dirname(self.archive))
        os.makedirs(os.path.dirname(self.program))
        os.replace(os.path.join(self.server_root, "ZNGame", "data.lpk"), self.archive)
        shutil.copy(self.fake_game, self.game_exe)
        shutil.copy(self.windows_program, self.program)

        # What the launcher leaves behind: the installation folder, and the executable relative to
        # it followed by the switch it starts the game with.
        self.game_windows = self.windows_path(self.game)
        self.game_exe_windows = self.windows_path(self.game_exe)
        exec_name = os.path.relpath(self.game_exe, self.game).replace("/", "\\")
        self.reg_add(LAUNCHER_APPS_KEY, "GamePath", "REG_SZ", self.game_windows)
        self.reg_add(LAUNCHER_APPS_KEY, "ExecName", "REG_SZ", exec_name + " -launch_from_launcher")
        self.wait_wineserver()

    def trust_certificate(self, der):
        """Adds a certificate authority to the prefix's trusted roots (the machine's "ROOT" store),
        where CryptoAPI, and through it the program's TLS, finds it. Before anything runs in the
        prefix."""
        thumbprint, blob = certificate_store_entry(der)
        self.reg_add(ROOT_CERTIFICATES_KEY + "\\" + thumbprint, "Blob", "REG_BINARY", blob.hex())
        self.wait_wineserver()
        return thumbprint

    # --- programs ------------------------------------------------------------------------
    def app_command(self):
        return ["wine", self.windows_path(self.program)]

    def app_cwd(self):
        # Started from a Unix folder, the program's current drive is Z: (the Unix root), so the
        # Unix paths in its environment name the same files for it as for us.
        return self.dir

    def start_named(self, exe_name, folder):
        """Starts the Windows fake game under another name, in folder (relative to drive C:)."""
        where = os.path.join(self.drive_c, *folder.replace("\\", "/").split("/"))
        os.makedirs(where, exist_ok=True)
        path = os.path.join(where, exe_name)
        shutil.copy(self.fake_game, path)
        windows_path = self.windows_path(path)
        proc = subprocess.Popen(["wine", windows_path], env=self.wine_env(),
                                cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(proc)
        wait_for(lambda: proc.poll() is not None or any(
            p.lower() == windows_path.lower() for _, p in self.windows_processes()),
            60, exe_name + " to run under Wine")
        if proc.poll() is not None:
            raise RuntimeError("%s ended at once (exit status %d)"
                               % (windows_path, proc.returncode))
        return proc

    def start_app(self, manifest_url=None, extra_env=None):
        env = self.wine_env({
            "DISPLAY": self.display.name,
            "QUEN_DARA_MANIFEST_URL": manifest_url or self.manifest_url(),
            "QDT_AUTOMATION_STATE": self.state_path,
            "QDT_FAKE_GAME_LOG": os.path.join(self.dir, "game-started.log"),
            "QDT_FAKE_GAME_FOLDER": os.path.join(self.dir, "game-folder.log"),
        })
        env.update(extra_env or {})
        app = App(self, env)
        self.apps.append(app)
        return app

    def windows_processes(self):
        """(pid, program) of the prefix's Windows programs, program as Wine shows it (its Windows
        path, the command line's first word)."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read().split(b"\0")
            except OSError:
                continue
            if ("WINEPREFIX=" + self.prefix).encode() not in environ or not cmdline[0]:
                continue
            found.append((int(entry), cmdline[0].decode("utf-8", "replace").strip()))
        return found

    def game_processes(self):
        return [pid for pid, program in self.windows_processes()
                if program.lower().endswith("\\quendara.exe")]

    def end_game(self, timeout=30):
        """Ends the running game as a crash or the Task Manager would; waits until it is gone."""
        for pid in self.game_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for(lambda: not self.game_processes(), timeout, "the game to end")

    def _stop_platform(self):
        if not getattr(self, "prefix", None) or not os.path.isdir(self.prefix):
            return
        try:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.wine_env(), timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass


def demo(args):
    virtual = not os.environ.get("DISPLAY")
    sandbox = Sandbox(args.build_dir, args.size)
    print("Sandbox: %s" % sandbox.dir)
    try:
        if args.release_key:
            public = sandbox.make_release_key(os.path.abspath(args.release_key))
            print("Release key: %s (public key %s, built into the program)"
                  % (args.release_key, public))
        sandbox.start_server()
        status, report = sandbox.verify_release()
        print("Release made with quen-dara-patch make and manifest%s; quen-dara-patch verify%s "
              "says:" % (" --sign" if args.release_key else "",
                         " --key" if args.release_key else ""))
        print("  " + report.strip().replace("\n", "\n  "))
        if status != 0:
            raise RuntimeError("the release does not verify")
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
    d.add_argument("--release-key", help="sign the release with this key (the program must be "
                                         "built with its public key)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if args.command == "demo":
        demo(args)


if __name__ == "__main__":
    main()
