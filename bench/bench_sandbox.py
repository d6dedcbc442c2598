#!/usr/bin/python3
"""Times the real program in the demo sandbox, as a player meets it:

  start-up   from starting the process to the language buttons being usable (manifest loaded,
             game folder validated)
  apply      from the click on "Human\\nEnglish" to "Applying patch...success!" (download included)
  restore    from the click on the checked button to the original archive being back
  close      closing the window with "Restore original on close" checked and a translation applied

  bench/bench_sandbox.py BUILD_DIR [SIZE_MIB ...]      (default sizes: 32)
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))

import sandbox as sb  # noqa: E402


def timed(action, until):
    start = time.monotonic()
    action()
    until()
    return time.monotonic() - start


def run(build_dir, size):
    box = sb.Sandbox(build_dir, size)
    try:
        box.start_server()
        box.start_launcher()
        box.start_display()
        start = time.monotonic()
        app = box.start_app()
        app.wait_idle(300)
        startup = time.monotonic() - start

        def applied(name):
            return lambda: app.wait_for(
                lambda s: s["widgets"][name]["checked"] and
                s["progress"]["format"] == "Applying patch...success!", 600, name)

        apply = timed(lambda: app.click("pushButtonEnglish"), applied("pushButtonEnglish"))
        assert box.archive_hash() == box.hashes["result_EN"]
        restore = timed(lambda: app.click("pushButtonEnglish"),
                        lambda: app.wait_for(lambda s: not s["widgets"]["pushButtonEnglish"]["checked"]
                                             and s["progress"]["format"] == "Applying patch...success!",
                                             600, "restore"))
        assert box.archive_hash() == box.hashes["source"]
        reapply = timed(lambda: app.click("pushButtonEnglish"), applied("pushButtonEnglish"))
        close = timed(app.close_window, lambda: app.wait_exit(600))
        assert box.archive_hash() == box.hashes["source"]
        print("%5d MiB  start-up %6.2f s  apply %6.2f s  restore %6.2f s  apply from cache %6.2f s"
              "  close with restore %6.2f s" % (size, startup, apply, restore, reapply, close),
              flush=True)
    finally:
        box.stop()


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    sizes = [int(a) for a in sys.argv[2:]] or [32]
    for size in sizes:
        run(build_dir, size)


if __name__ == "__main__":
    main()
