#!/usr/bin/env python3
"""The Windows programs of the program folder, run under Wine against the
simulated device as an operator and a production line use them.

    wine_programs.py CASE --wine WINE64 --prefix PREFIX --folder FOLDER
                     --fwsim FWSIM --sample SAMPLE_FOLDER [--build BUILD]

FOLDER is the program folder as `cmake --install` makes it; the programs run
from a copy of it, with Config.txt and the firmware beside them. The device
(a Linux program) is published as a COM port of the Wine prefix. Cases:

  cli-update     fwloader-cli.exe update: exit 0, device memory = the image
  cli-station    two units with --trace and --log: each trace a file, one
                 record per unit; a --log or --output naming a device refused
  cli-read       fwloader-cli.exe read: exit 0, the file = device memory
  cli-silent     a device that never answers: the watchdog's question is
                 answered Cancel, exit 1
  cli-ctrl-c     Ctrl-C during a session: the session ends, exit 130
  window         fwloader.exe under Xvfb: the title from Config.txt; the port
                 dialog's OK stores the port in the prefix's registry; the
                 next start uses it, and Update ends with "Successful"
  installer      scripts/package-windows from BUILD: the zip holds the folder;
                 the installer's folder runs, with a Start-menu entry; a
                 silent installation over a running program is refused; the
                 uninstaller takes what any version listed and leaves only
                 what the operator put there
  prepare        makes the Wine prefix (the other cases need it made);
                 --offscreen: its Qt programs draw off the screen

The window case ends every program of its prefix when it ends: give it a
prefix of its own.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

MODEL = "1:2:3"
VENDOR = "WineTestVendor"
TITLE = "fwloader under Wine"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def start_wineserver(wine, env, persist=10):
    """The prefix's server and Wine's own background programs, with no
    output of their own: ones that a program starts would hold its pipes
    open after it ends (and write the server's state into them). The server
    stays persist seconds after its last program."""
    started = subprocess.run([os.path.join(os.path.dirname(wine), "wineserver"), f"-p{persist}"],
                             env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode == 0
    if started:
        subprocess.run([wine, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)


def windows_path(path):
    """The Linux path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_hex(path):
    """The data records of an Intel HEX file: {address: byte}."""
    image = {}
    with open(path) as text:
        for line in text:
            line = line.strip()
            if not line.startswith(":"):
                continue
            record = bytes.fromhex(line[1:])
            count, address, kind = record[0], record[1] << 8 | record[2], record[3]
            if kind == 0:
                for i in range(count):
                    image[address + i] = record[4 + i]
    return image


class Rig:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        # The window program gets a display, and so must Wine's desktop
        # program, which the first program of the prefix starts.
        self.display = Display() if args.case in ("window", "screenshot") else None
        if self.display:
            self.env["DISPLAY"] = self.display.name
        start_wineserver(args.wine, self.env)
        # The program folder: the installed one, with Config.txt and the firmware.
        self.folder = os.path.join(work, "program")
        shutil.copytree(args.folder, self.folder)
        with open(os.path.join(self.folder, "Config.txt"), "w", encoding="utf-8") as config:
            config.write(f"{MODEL}\r\n{VENDOR}\r\n{TITLE}\r\n")
        hexes = [name for name in os.listdir(args.sample) if name.lower().endswith(".hex")]
        check(len(hexes) == 1, f"one firmware file in {args.sample}")
        self.firmware = os.path.join(self.folder, hexes[0])
        shutil.copy(os.path.join(args.sample, hexes[0]), self.firmware)
        self.device = None
        self.others = []  # further devices, each with its own memory file
        self.memory_out = os.path.join(work, "device.bin")

    def start_device(self, com, *options, memory_out=None):
        # The cases run at once in one prefix, each on COM numbers of its own
        # (a link of one case replaced by another's would join two programs
        # to one device).
        link = os.path.join(self.args.prefix, "dosdevices", f"com{com}")
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if os.path.lexists(link):
            os.unlink(link)
        device = subprocess.Popen(
            [self.args.fwsim, "--com", str(com), "--store-root", self.args.prefix, "--quiet",
             "--model", MODEL, "--line-timing", "--memory-out", memory_out or self.memory_out,
             *options])
        if memory_out is None:
            self.device = device
        else:
            self.others.append(device)
        for _ in range(100):
            if os.path.islink(link):
                break
            time.sleep(0.05)
        else:
            raise Failure(f"the simulated device did not come up as COM{com}")
        # Listed among the machine's serial ports, as a port driver lists its
        # ports. The list lasts as long as the prefix's server, and a server
        # that a program starts by itself ends 3 s after its last program: a
        # case that spent longer without one (building the packages, say)
        # gets a server of the rig's kind again first.
        start_wineserver(self.args.wine, self.env)
        subprocess.run([self.args.wine, "reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v",
                        f"\\Device\\fwsim{com}", "/d", f"COM{com}", "/f"], env=self.env, check=True,
                       capture_output=True)
        return device

    def stop_device(self):
        """Stops the device and returns its memory."""
        if self.device is None:
            return b""
        self.device.send_signal(signal.SIGTERM)
        self.device.wait(timeout=10)
        self.device = None
        with open(self.memory_out, "rb") as memory:
            return memory.read()

    def cli(self, *arguments, timeout=120):
        return subprocess.run([self.args.wine, os.path.join(self.folder, "fwloader-cli.exe"),
                               *arguments], env=self.env, capture_output=True, timeout=timeout)

    def close(self):
        for device in [self.device, *self.others]:
            if device is not None and device.poll() is None:
                device.kill()
                device.wait()
        if self.display:
            # Ends every program of the prefix, then the display.
            subprocess.run([os.path.join(os.path.dirname(self.args.wine), "wineserver"), "-k"],
                           env=self.env, capture_output=True)
            self.display.close()


def first_line(process, timeout=60):
    """The first line the program writes (under Wine its start can take
    seconds on a busy machine); raises Failure when none comes in time."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    line = process.stdout.readline() if ready else b""
    if not line:
        raise Failure(f"the program wrote nothing within {timeout} s")
    return line


def json_lines(output):
    return [json.loads(line) for line in output.decode("utf-8").splitlines() if line.strip()]


def result_of(run):
    results = [line for line in json_lines(run.stdout) if line.get("event") == "result"]
    check(len(results) == 1, f"one result line in {run.stdout!r} {run.stderr!r}")
    return results[0]


def cli_update(rig):
    rig.start_device(7)
    run = rig.cli("update", "--port", "COM7", "--folder", windows_path(rig.folder), "--json")
    memory = rig.stop_device()
    check(run.returncode == 0, f"exit status {run.returncode}: {run.stdout!r} {run.stderr!r}")
    check(result_of(run)["message"] == "Successful", "the session's message is Successful")
    image = read_hex(rig.firmware)
    wrong = [address for address, byte in image.items() if memory[address] != byte]
    check(len(memory) == 65536 and not wrong,
          f"{len(wrong)} bytes of the image differ on the device, first at {wrong[:1]}")


def cli_station(rig):
    """A production line: two units at once with --trace and --log. Each
    trace is a file (COM6.trace would be the port COM6 itself), each unit
    gets one whole record, and a --log or --output that names a device is
    refused before the first byte."""
    for refused in (["update", "--port", "COM14", "--log", "NUL"],
                    ["read", "--port", "COM14", "--output", "C:\\COM5.hex"]):
        run = rig.cli(*refused, "--folder", windows_path(rig.folder))
        check(run.returncode == 2, f"{refused}: exit status {run.returncode}: {run.stderr!r}")
    rig.start_device(6)
    second = rig.start_device(14, memory_out=os.path.join(rig.work, "device14.bin"))
    traces = os.path.join(rig.work, "traces")
    log = os.path.join(rig.work, "units.jsonl")
    run = rig.cli("update", "--port", "COM6", "--port", "COM14", "--folder",
                  windows_path(rig.folder), "--trace", windows_path(traces), "--log",
                  windows_path(log), "--station", "wine", "--json")
    second.send_signal(signal.SIGTERM)
    second.wait(timeout=10)
    memory = rig.stop_device()
    check(run.returncode == 0, f"exit status {run.returncode}: {run.stdout!r} {run.stderr!r}")
    image = read_hex(rig.firmware)
    for name, got in (("COM6", memory), ("COM14", open(os.path.join(rig.work, "device14.bin"),
                                                       "rb").read())):
        check(all(got[address] == byte for address, byte in image.items()),
              f"the image is on the device of {name}")
    with open(log, "rb") as text:
        records = [json.loads(line) for line in text.read().decode("utf-8").splitlines()]
    starts = [record for record in records if record["record"] == "start"]
    results = [record for record in records if record["record"] == "result"]
    check(sorted(record["port"] for record in starts) == ["COM14", "COM6"]
          and records[:2] == starts, f"a start record per unit before the results: {records}")
    check(sorted(record["port"] for record in results) == ["COM14", "COM6"]
          and all(record["ending"] == "success" and record["station"] == "wine"
                  for record in results), f"one record of success per unit: {records}")
    check(sorted(os.listdir(traces)) == ["COM14.trace", "COM6-port.trace"],
          f"the traces are files: {os.listdir(traces)}")
    with open(os.path.join(traces, "COM6-port.trace"), encoding="utf-8") as trace:
        lines = trace.read().splitlines()
    check(any(" -> " in line for line in lines) and any(" <- " in line for line in lines),
          "the trace holds the bytes each way")


def cli_read(rig):
    memory = bytes(random.Random(16).randrange(256) for _ in range(65536))
    memory_in = os.path.join(rig.work, "memory-in.bin")
    with open(memory_in, "wb") as out:
        out.write(memory)
    rig.start_device(8, "--memory-in", memory_in)
    output = os.path.join(rig.work, "read.bin")
    run = rig.cli("read", "--port", "COM8", "--output", windows_path(output), "--format", "bin",
                  "--model", MODEL)
    rig.stop_device()
    check(run.returncode == 0, f"exit status {run.returncode}: {run.stdout!r} {run.stderr!r}")
    with open(output, "rb") as read:
        check(read.read() == memory[:0x8000], "the file holds device memory 0000 to 7FFF")


def cli_silent(rig):
    rig.start_device(9, "--fault", "connect*:silence")
    run = rig.cli("update", "--port", "COM9", "--folder", windows_path(rig.folder), "--json")
    rig.stop_device()
    lines = json_lines(run.stdout)
    questions = [line for line in lines if line.get("event") == "question"]
    check(run.returncode == 1, f"exit status {run.returncode}: {run.stdout!r}")
    check(len(questions) == 1 and questions[0]["answer"] == "cancel",
          f"one question, answered Cancel: {questions}")
    check(result_of(run)["ending"] == "cancelled", "the session ends cancelled")


def cli_ctrl_c(rig):
    rig.start_device(10, "--fault", "connect*:silence")
    program = subprocess.Popen(
        [rig.args.wine, os.path.join(rig.folder, "fwloader-cli.exe"), "update", "--port", "COM10",
         "--folder", windows_path(rig.folder), "--json"],
        env=rig.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    start = first_line(program)
    time.sleep(1)  # the session is running: Connect is being resent
    program.send_signal(signal.SIGINT)  # Wine turns it into the console's Ctrl-C
    stdout, stderr = program.communicate(timeout=30)
    stdout = start + stdout
    rig.stop_device()
    run = subprocess.CompletedProcess(program.args, program.returncode, stdout, stderr)
    check(run.returncode == 130, f"exit status {run.returncode}: {stdout!r} {stderr!r}")
    check(result_of(run)["ending"] == "interrupted", "the session ends interrupted")


class Display:
    """Xvfb, for the window program."""

    def __init__(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
            pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as number:
            self.name = ":" + number.readline().strip()

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=dict(os.environ, DISPLAY=self.name),
                              capture_output=True, text=True, timeout=60)

    def window(self, name, timeout=60):
        """The id of the visible window called name (a regular expression)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.xdotool("search", "--onlyvisible", "--name", name).stdout.split()
            if found:
                return found[-1]
            time.sleep(0.3)
        raise Failure(f"no window called {name}")

    def click(self, window, x, y):
        """A click at (x, y) pixels of the window's client area."""
        self.xdotool("mousemove", "--window", window, str(x), str(y))
        self.xdotool("click", "1")

    def screenshot(self, path):
        dump = subprocess.run(["xwd", "-root", "-silent", "-display", self.name],
                              capture_output=True, check=True).stdout
        pnm = subprocess.run(["xwdtopnm"], input=dump, capture_output=True, check=True).stdout
        with open(path, "wb") as png:
            png.write(subprocess.run(["pnmtopng"], input=pnm, capture_output=True,
                                     check=True).stdout)

    def close(self):
        self.server.terminate()
        self.server.wait()


def twips(left, top, width, height):
    """The centre of a control placed in twips, in pixels at 96 dots per inch."""
    return (left + width // 2) // 15, (top + height // 2) // 15


def window(rig):
    display = rig.display
    env = dict(rig.env, FWLOADER_TEST_MESSAGE_LOG=os.path.join(rig.work, "messages.txt"))
    program = None
    try:
        # A first start on this machine: nothing stored.
        subprocess.run([rig.args.wine, "reg", "delete", f"HKLM\\Software\\{VENDOR}", "/f",
                        "/reg:32"], env=rig.env, capture_output=True)
        com = 90  # above every port that Wine maps to a device of this machine
        rig.start_device(com)
        exe = os.path.join(rig.folder, "fwloader.exe")
        program = subprocess.Popen([rig.args.wine, exe], env=env)
        main = display.window(f"^{TITLE}$")

        # COM: the dialog lists the ports that open; the device's is the last.
        display.click(main, *twips(2280, 1320, 1095, 495))
        dialog = display.window("^Set COM$")
        combo = twips(1800, 480, 1215, 300)
        display.xdotool("mousemove", "--window", dialog, str(combo[0]), str(combo[1]))
        for _ in range(12):
            display.xdotool("click", "5")  # the wheel moves the choice down the list
        display.click(dialog, *twips(600, 1080, 1095, 375))
        deadline = time.time() + 20
        stored = ""
        while time.time() < deadline and f"REG_SZ    {com}" not in stored:
            stored = subprocess.run(
                [rig.args.wine, "reg", "query", f"HKLM\\Software\\{VENDOR}\\Update", "/v",
                 "ComPort", "/reg:32"], env=rig.env, capture_output=True, text=True).stdout
            time.sleep(0.5)
        check(f"REG_SZ    {com}" in stored, f"OK stores COM{com} in the 32-bit view: {stored!r}")
        program.terminate()
        program.wait(timeout=30)

        # The next start uses the stored port: Update flashes the device.
        program = subprocess.Popen([rig.args.wine, exe], env=env)
        main = display.window(f"^{TITLE}$")
        display.click(main, *twips(840, 1320, 1095, 495))
        log = os.path.join(rig.work, "messages.txt")
        deadline = time.time() + 120
        messages = ""
        while time.time() < deadline and "\t" not in messages:
            if os.path.exists(log):
                with open(log, encoding="utf-8") as record:
                    messages = record.read()
            time.sleep(0.3)
        check(messages == f"{TITLE}\tSuccessful\n", f"the one message is Successful: {messages!r}")
        memory = rig.stop_device()
        image = read_hex(rig.firmware)
        check(all(memory[address] == byte for address, byte in image.items()),
              "the device holds the image")
    finally:
        if program is not None and program.poll() is None:
            program.kill()
            program.wait()


def installer(rig):
    """The zip and the installer of scripts/package-windows: the zip holds
    the folder; the installer installs a folder whose programs run, with a
    Start-menu entry; its uninstaller takes away what it installed and
    leaves what the operator put there."""
    packages = os.path.join(rig.work, "packages")
    scripts = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
    subprocess.run([os.path.join(scripts, "package-windows"), "--from", rig.args.build, "--to",
                    packages], check=True, capture_output=True, timeout=600)
    made = sorted(os.listdir(packages))
    check(len(made) == 2, f"a zip and an installer: {made}")
    setup, zip_name = (os.path.join(packages, name) for name in made)  # -setup.exe, -windows-x64.zip
    with zipfile.ZipFile(zip_name) as archive:
        names = set(archive.namelist())
    check({"fwloader/fwloader.exe", "fwloader/fwloader-cli.exe",
           "fwloader/platforms/qwindows.dll"} <= names, f"the zip holds the folder: {names}")

    drive_c = os.path.join(rig.args.prefix, "drive_c")
    folder = os.path.join(drive_c, "fwloader-test")
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run([rig.args.wine, setup, "/S", "/D=C:\\fwloader-test"], env=rig.env, check=True,
                   capture_output=True, timeout=120)
    entry = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                         "fwloader", "fwloader.lnk")
    check(os.path.isfile(entry), "a Start-menu entry")
    version = subprocess.run([rig.args.wine, os.path.join(folder, "fwloader-cli.exe"),
                              "--version"], env=rig.env, capture_output=True, timeout=60)
    check(version.returncode == 0 and version.stdout.startswith(b"fwloader-cli"),
          f"the installed command line runs: {version}")

    # The operator's files.
    with open(os.path.join(folder, "Config.txt"), "w") as config:
        config.write(f"{MODEL}\r\n{VENDOR}\r\n\r\n")
    shutil.copy(rig.firmware, folder)

    # While a program of the folder runs, a silent installation changes nothing.
    cli = os.path.join(folder, "fwloader-cli.exe")
    before = os.stat(cli).st_mtime_ns
    rig.start_device(15, "--fault", "connect*:silence")
    # Asked after each six seconds of silence, it answers Retry twenty times.
    running = subprocess.Popen([rig.args.wine, cli, "update", "--port", "COM15", "--folder",
                                "C:\\fwloader-test", "--json", "--retries", "20"], env=rig.env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        first_line(running)  # its start event: the program runs
        again = subprocess.run([rig.args.wine, setup, "/S", "/D=C:\\fwloader-test"],
                               env=rig.env, capture_output=True, timeout=120)
    finally:
        running.kill()
        running.wait()
        rig.stop_device()
    check(again.returncode == 2, f"refused while running: exit status {again.returncode}")
    check(os.stat(cli).st_mtime_ns == before, "the running program's file is untouched")

    # What another version installed (in the list of installed files) goes
    # too; a line that would reach outside the folder is left alone.
    os.makedirs(os.path.join(folder, "imageformats"))
    outside = os.path.join(drive_c, "outside.txt")
    for added in ("added.dll", os.path.join("imageformats", "qico.dll"), outside):
        open(os.path.join(folder, added), "w").close()
    with open(os.path.join(folder, "installed-files.txt"), "a", newline="") as listed:
        listed.write("added.dll\r\nimageformats\\qico.dll\r\nimageformats\\\r\n"
                     "..\\outside.txt\r\n")
    subprocess.run([rig.args.wine, os.path.join(folder, "uninstall.exe"), "/S",
                    "_?=C:\\fwloader-test"], env=rig.env, check=True, capture_output=True,
                   timeout=120)
    left = sorted(os.listdir(folder))
    check(left == sorted(["Config.txt", os.path.basename(rig.firmware), "uninstall.exe"]),
          f"only the operator's files are left: {left}")
    check(os.path.exists(outside), "a file outside the folder stays")
    check(not os.path.exists(entry), "the Start-menu entry is gone")


def prepare(args):
    """Makes the prefix, with the fonts that Debian's Wine leaves out of it."""
    env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    os.makedirs(args.prefix, exist_ok=True)
    start_wineserver(args.wine, env, persist=0)
    subprocess.run([args.wine, "wineboot", "-i"], env=env, check=True, capture_output=True,
                   timeout=300)
    fonts = os.path.join(args.prefix, "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    for name in os.listdir("/usr/share/wine/fonts"):
        shutil.copy(os.path.join("/usr/share/wine/fonts", name), fonts)
    if args.offscreen:
        # Wine hands no QT_ variable of the environment on to its programs:
        # the prefix's own environment gives the one that the tests need.
        subprocess.run([args.wine, "reg", "add", "HKCU\\Environment", "/v", "QT_QPA_PLATFORM",
                        "/d", "offscreen", "/f"], env=env, check=True, capture_output=True)
    wineserver = os.path.join(os.path.dirname(args.wine), "wineserver")
    subprocess.run([wineserver, "-w"], env=env, check=True, timeout=300)


CASES = {"cli-update": cli_update, "cli-station": cli_station, "cli-read": cli_read, "cli-silent": cli_silent,
         "cli-ctrl-c": cli_ctrl_c, "window": window, "installer": installer}


def main(cases=CASES):
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(cases) + ["prepare"])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--prefix", required=True)
    for option in ("folder", "fwsim", "sample", "build"):
        parser.add_argument("--" + option)
    parser.add_argument("--screenshot", help="bench/wine_screenshot.py: where the picture goes")
    parser.add_argument("--offscreen", action="store_true",
                        help="prepare: Qt's programs in the prefix draw off the screen")
    args = parser.parse_args()
    for option in ("prefix", "folder", "fwsim", "sample", "build", "screenshot"):
        if getattr(args, option):
            setattr(args, option, os.path.abspath(getattr(args, option)))
    if args.case == "prepare":
        prepare(args)
        return 0
    with tempfile.TemporaryDirectory() as work:
        rig = Rig(args, work)
        try:
            cases[args.case](rig)
        except Failure as failure:
            print(f"FAIL {args.case}: {failure}")
            return 1
        finally:
            rig.close()
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
