#!/usr/bin/env python3
"""The picture of the figures page: fwloader.exe's main window in Wine's
virtual desktop (which draws the window frames), then an Update that must end
with "Successful". Run from the work tree after `scripts/build windows` and
`ctest --test-dir build/windows -R wine_prefix_window` (which makes the folder
and the prefix):

    bench/wine_screenshot.py screenshot --wine /usr/lib/wine/wine64 \
        --prefix build/windows/wineprefix-window --folder build/windows/wine-folder \
        --fwsim build/dev/bin/fwsim --sample sample --screenshot docs/wine-main-window.png
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "windows"))
import wine_programs as w  # noqa: E402


def screenshot(rig):
    """For the figures page, not a test: the main window in Wine's virtual
    desktop (which draws the window frames), saved to --screenshot; then
    Update, which must end with "Successful". (Under Wine 8.0 the windows
    that the main window owns stay unpainted, so the picture is taken before.)"""
    w.check(rig.args.screenshot, "--screenshot names the picture")
    com = 90
    subprocess.run([rig.args.wine, "reg", "add", f"HKLM\\Software\\{w.VENDOR}\\Update", "/v",
                    "ComPort", "/d", str(com), "/f", "/reg:32"], env=rig.env, check=True,
                   capture_output=True)
    rig.start_device(com)
    log = os.path.join(rig.work, "messages.txt")
    env = dict(rig.env, FWLOADER_TEST_MESSAGE_LOG=log)
    width, height = 400, 240
    program = subprocess.Popen([rig.args.wine, "explorer", f"/desktop=fwloader,{width}x{height}",
                                os.path.join(rig.folder, "fwloader.exe")], env=env)
    try:
        time.sleep(8)
        picture = rig.args.screenshot + ".full.png"
        rig.display.screenshot(picture)
        cut = subprocess.run(f"pngtopam '{picture}' | pamcut 0 0 {width} {height} | pnmtopng",
                             shell=True, capture_output=True, check=True).stdout
        with open(rig.args.screenshot, "wb") as png:
            png.write(cut)
        os.unlink(picture)
        # The window is centred; its client area starts below the frame's
        # caption (Wine's theme: 3 pixels of border, 20 of caption).
        left = (width - 290) // 2
        top = (height - 164 - 23) // 2 + 23
        update = w.twips(840, 1320, 1095, 495)
        rig.display.xdotool("mousemove", str(left + update[0]), str(top + update[1]))
        rig.display.xdotool("click", "1")
        deadline = time.time() + 120
        while time.time() < deadline and not os.path.exists(log):
            time.sleep(0.3)
        time.sleep(0.5)
        w.check(os.path.exists(log), "a message after Update")
        with open(log, encoding="utf-8") as record:
            w.check(record.read() == f"{w.TITLE}\tSuccessful\n", "the message is Successful")
    finally:
        program.kill()
        program.wait()


if __name__ == "__main__":
    sys.exit(w.main({"screenshot": screenshot}))
