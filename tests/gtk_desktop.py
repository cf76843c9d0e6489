"""The desktop program under Xvfb, as a user drives it: the format window
and its keys, Esc, the progress window and its cancel button, a second
start joining a running batch, the closing notice and its button, and
every file-manager entry's command line expanded as that file manager
expands it. Runs inside its own X server and session bus:
    xvfb-run -a dbus-run-session -- python3 gtk_desktop.py VRELK_GTK SOURCE_DIR ARTEFACT_DIR
Screenshots of the windows go to ARTEFACT_DIR."""
import configparser
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import numpy as np
from PIL import Image

PROGRAM, SOURCE, ARTEFACTS = (os.path.abspath(a) for a in sys.argv[1:4])
DESKTOP = os.path.join(SOURCE, "desktop")
os.makedirs(ARTEFACTS, exist_ok=True)
WORK = tempfile.mkdtemp(prefix="vrelk-gtk-")
NAMES = ["plain.png", "with space.png", "写真 一.png", "it's here.png"]
# Where each output format's signature sits in its first bytes.
SIGNATURES = {"bmp": (0, b"BM"), "png": (0, b"\x89PNG"), "gif": (0, b"GIF89a"), "jpg": (0, b"\xff\xd8\xff"),
              "webp": (8, b"WEBP"), "avif": (4, b"ftypavif")}


def tool(name):
    if shutil.which(name) is None:
        raise SystemExit(f"gtk_desktop: {name} is missing")


for needed in ("xdotool", "import"):
    tool(needed)


# ---- fixtures -----------------------------------------------------------------------

def picture(path, size=(64, 48), noise=False, fmt=None):
    rng = np.random.default_rng(len(path))
    if noise:
        pixels = rng.integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)
    else:
        y, x = np.mgrid[0:size[1], 0:size[0]]
        pixels = np.stack([x * 255 // size[0], y * 255 // size[1], (x + y) % 256], axis=2).astype(np.uint8)
    Image.fromarray(pixels).save(path, format=fmt)
    return path


class Session:
    """One user: home, settings file, notification server and a recorder
    application for opened folders."""

    def __init__(self, name, settings=None, click_notice=False):
        self.root = os.path.join(WORK, name)
        self.home = os.path.join(self.root, "home")
        self.files = os.path.join(self.root, "files")
        for folder in (self.home, self.files):
            os.makedirs(folder)
        config = os.path.join(self.home, ".config")
        data = os.path.join(self.home, ".local", "share")
        os.makedirs(os.path.join(config, "Vrelk"))
        os.makedirs(os.path.join(data, "applications"))
        with open(os.path.join(config, "Vrelk", "Vrelk.ini"), "w") as ini:
            ini.write("[SImg]\n" + "".join(f"{k}={v}\n" for k, v in (settings or {}).items()))
        self.opened_log = os.path.join(self.root, "opened.txt")
        recorder = os.path.join(self.root, "open-recorder")
        with open(recorder, "w") as script:
            script.write(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{self.opened_log}'\n")
        os.chmod(recorder, 0o755)
        with open(os.path.join(data, "applications", "recorder.desktop"), "w") as entry:
            entry.write(f"[Desktop Entry]\nType=Application\nName=Recorder\nExec={recorder} %u\n"
                        "MimeType=inode/directory;\n")
        with open(os.path.join(config, "mimeapps.list"), "w") as lists:
            lists.write("[Default Applications]\ninode/directory=recorder.desktop\n")
        self.env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=config, XDG_DATA_HOME=data,
                        LANG="C.UTF-8", LC_ALL="", LC_MESSAGES="", GDK_BACKEND="x11", GSK_RENDERER="cairo",
                        NO_AT_BRIDGE="1", GTK_A11Y="none", ASAN_OPTIONS="detect_leaks=0")
        self.notices = os.path.join(self.root, "notices.jsonl")
        args = [sys.executable, os.path.join(SOURCE, "tests", "notify_server.py"), self.notices]
        self.server = subprocess.Popen(args + (["default"] if click_notice else []), env=self.env)
        wait_for(lambda: os.path.exists(self.notices + ".ready"), "the notification server")
        self.programs = []

    def start(self, *args, cwd=None):
        process = subprocess.Popen([PROGRAM, *args], env=self.env, cwd=cwd or self.files,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.programs.append(process)
        return process

    def notices_sent(self):
        if not os.path.exists(self.notices):
            return []
        with open(self.notices, encoding="utf-8") as log:
            return [json.loads(line) for line in log]

    def close(self):
        for process in self.programs:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            process.wait(10)
        self.server.terminate()
        self.server.wait(10)


def wait_for(condition, what, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def window(title_pattern):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title_pattern],
                           capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def press(window_id, key):
    subprocess.run(["xdotool", "windowfocus", "--sync", window_id], check=True)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True)


def screenshot(name):
    subprocess.run(["import", "-window", "root", os.path.join(ARTEFACTS, name + ".png")], check=True)


def outputs(folder, extension):
    return sorted(n for n in os.listdir(folder) if n.endswith("." + extension))


def staging_left(folder):
    return [n for n in os.listdir(folder) if n.startswith(".vrelk-")]


# ---- the program as a user drives it -------------------------------------------------

KEYS = [("b", "bmp", "png"), ("p", "png", "bmp"), ("g", "gif", "png"), ("j", "jpg", "png"),
        ("t", "jpg", "jpeg"), ("w", "webp", "png"), ("a", "avif", "png"), ("B", "bmp", "png")]


def each_key_converts_to_its_format():
    for key, extension, source in KEYS:
        session = Session("key-" + key + extension, click_notice=True)
        try:
            inputs = [picture(os.path.join(session.files, f"in{i}.{source}"), fmt="JPEG" if source == "jpeg" else None)
                      for i in range(2)]
            session.start(*inputs)
            format_window = wait_for(lambda: window("^Tessaly$"), "the format window")
            if key == "b":
                screenshot("format-window")
            press(format_window, key)
            notice = wait_for(session.notices_sent, "the notice")[0]
            written = outputs(session.files, extension)
            assert written == [f"in0.{extension}", f"in1.{extension}"], (key, written)
            for name in written:
                offset, signature = SIGNATURES[extension]
                with open(os.path.join(session.files, name), "rb") as data:
                    assert data.read(offset + len(signature))[offset:] == signature, (key, name)
                if extension != "avif":
                    with Image.open(os.path.join(session.files, name)) as image:
                        assert image.size == (64, 48), (key, name, image.size)
            assert "Files converted: 2." in notice["body"], notice
            opened = wait_for(lambda: os.path.exists(session.opened_log) and open(session.opened_log).read(),
                              "the folder opened from the notice")
            # GIO gives a program without URI support the local path.
            assert opened.strip().removeprefix("file://") == session.files, opened
        finally:
            session.close()


def escape_converts_nothing():
    session = Session("escape")
    try:
        inputs = [picture(os.path.join(session.files, f"in{i}.png")) for i in range(3)]
        process = session.start(*inputs)
        press(wait_for(lambda: window("^Tessaly$"), "the format window"), "Escape")
        assert process.wait(10) == 0
        assert sorted(os.listdir(session.files)) == ["in0.png", "in1.png", "in2.png"], os.listdir(session.files)
        assert session.notices_sent() == []
    finally:
        session.close()


def big_batch(session, count, prefix):
    return [picture(os.path.join(session.files, f"{prefix}{i:02}.png"), size=(1400, 1000), noise=True)
            for i in range(count)]


def cancel_leaves_only_whole_files():
    session = Session("cancel")
    try:
        session.start("--format=webp", *big_batch(session, 30, "c"))
        progress = wait_for(lambda: window("^Tessaly – "), "the progress window")
        screenshot("progress-window")
        press(progress, "space")
        notice = wait_for(session.notices_sent, "the notice", 120)[0]
        written = outputs(session.files, "webp")
        assert 0 < len(written) < 30, written
        assert staging_left(session.files) == []
        for name in written:
            with Image.open(os.path.join(session.files, name)) as image:
                image.load()
                assert image.size == (1400, 1000)
        assert f"Files converted: {len(written)}." in notice["body"], notice
    finally:
        session.close()


def second_start_joins_the_running_batch():
    session = Session("join")
    try:
        session.start("--format=jpeg", *big_batch(session, 30, "a"))
        wait_for(lambda: window("^Tessaly – "), "the progress window")
        later = [picture(os.path.join(session.files, name)) for name in NAMES]
        second = session.start("--format=png", *[os.path.basename(n) for n in later])
        assert second.wait(20) == 0, second.stdout.read()
        notice = wait_for(session.notices_sent, "the notice", 180)[0]
        assert len(outputs(session.files, "jpg")) == 30
        inputs = NAMES + [f"a{i:02}.png" for i in range(30)]
        assert outputs(session.files, "png") == sorted(inputs + [n[:-4] + "+1.png" for n in NAMES])
        assert "Files converted: 34." in notice["body"], notice
        assert staging_left(session.files) == []
    finally:
        session.close()


def japanese_format_window():
    session = Session("japanese")
    try:
        session.env.update(LANG="ja_JP.UTF-8")
        session.start(picture(os.path.join(session.files, "写真.png")))
        wait_for(lambda: window("^Tessaly$"), "the format window")
        screenshot("format-window-ja")
    finally:
        session.close()


def settings_dialog_without_files():
    session = Session("settings", {"Quality": 60, "DrctCvt": 0})
    try:
        session.start()
        wait_for(lambda: window("^Tessaly$"), "the settings dialog")
        screenshot("settings-dialog")
    finally:
        session.close()


# ---- the file managers' entries -----------------------------------------------------

def recorder_path(session):
    """A vrelk-gtk first on PATH that writes down its arguments."""
    folder = os.path.join(session.root, "bin")
    os.makedirs(folder, exist_ok=True)
    log = os.path.join(session.root, "argv.json")
    with open(os.path.join(folder, "vrelk-gtk"), "w") as script:
        script.write("#!/usr/bin/python3\nimport json, os, sys\n"
                     f"open({log!r}, 'a').write(json.dumps([os.getcwd()] + sys.argv[1:]) + '\\n')\n")
    os.chmod(os.path.join(folder, "vrelk-gtk"), 0o755)
    return folder, log


def desktop_groups(path):
    parser = configparser.RawConfigParser(strict=True, delimiters=("=",))
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    return parser


def expand_desktop_exec(line, paths):
    """%F as a desktop entry's Exec line has it: each file one argument."""
    words = []
    for word in shlex.split(line):
        words.extend(paths if word == "%F" else [word])
    return words


def expand_nemo_exec(line, paths):
    """Nemo puts each path shell-quoted in place of %F and splits the line
    as a shell would."""
    return shlex.split(line.replace("%F", " ".join(shlex.quote(p) for p in paths)))


def entries():
    """(label, Exec line, expansion, format option) of every installed entry."""
    found = []
    main = desktop_groups(os.path.join(DESKTOP, "org.example.tessaly.Vrelk.desktop"))
    service = desktop_groups(os.path.join(DESKTOP, "tessaly-convert.desktop"))
    for name, groups in (("open with", main), ("dolphin", service)):
        for group in groups.sections():
            if "Exec" in groups[group]:
                found.append((f"{name} {group}", groups[group]["Exec"], expand_desktop_exec))
    for action in sorted(os.listdir(DESKTOP)):
        if action.endswith(".nemo_action"):
            found.append(("nemo " + action, desktop_groups(os.path.join(DESKTOP, action))["Nemo Action"]["Exec"],
                          expand_nemo_exec))
    return found


def format_of(words):
    return next((w.split("=", 1)[1] for w in words if w.startswith("--format=")), None)


def entries_pass_the_selection_whole():
    session = Session("entries")
    try:
        paths = [picture(os.path.join(session.files, name)) for name in NAMES]
        folder, log = recorder_path(session)
        env = dict(session.env, PATH=folder + os.pathsep + os.environ["PATH"])
        seen = set()
        for label, line, expand in entries():
            if os.path.exists(log):
                os.remove(log)
            words = expand(line, paths)
            subprocess.run(words, env=env, check=True)
            with open(log) as recorded:
                argv = json.loads(recorded.readline())[1:]
            fmt = format_of(argv)
            assert argv == ([f"--format={fmt}"] if fmt else []) + ["--"] + paths, (label, argv)
            seen.add((label.split()[0], fmt))
        for manager in ("open", "dolphin", "nemo"):
            assert {(manager, f) for f in ("jpeg", "png", "webp")} <= seen, (manager, seen)
        assert ("dolphin", None) in seen and ("nemo", None) in seen
    finally:
        session.close()


def nautilus_extension_runs_the_command():
    session = Session("nautilus")
    try:
        paths = [picture(os.path.join(session.files, name)) for name in NAMES]
        folder, log = recorder_path(session)
        stub = os.path.join(session.root, "stub")
        os.makedirs(os.path.join(stub, "gi"))
        with open(os.path.join(stub, "gi", "__init__.py"), "w"):
            pass
        with open(os.path.join(stub, "gi", "repository.py"), "w") as repository:
            repository.write(
                "class GObject:\n    class GObject:\n        pass\n"
                "class Nautilus:\n    class MenuProvider:\n        pass\n"
                "    class MenuItem:\n"
                "        def __init__(self, name, label):\n            self.name, self.label, self.handlers = name, label, []\n"
                "        def connect(self, signal, handler, *data):\n            self.handlers.append((handler, data))\n"
                "        def activate(self):\n            [h(self, *d) for h, d in self.handlers]\n")
        driver = (
            "import importlib.util, json, sys, time, os\n"
            "from urllib.parse import quote\n"
            "found = importlib.util.spec_from_file_location('ext', sys.argv[1])\n"
            "ext = importlib.util.module_from_spec(found); found.loader.exec_module(ext)\n"
            "class Location:\n    def __init__(self, p): self.p = p\n    def get_path(self): return self.p\n"
            "class Info:\n    def __init__(self, p): self.p = p\n    def is_directory(self): return False\n"
            "    def get_mime_type(self): return 'image/png'\n    def get_location(self): return Location(self.p)\n"
            "items = ext.TessalyMenu().get_file_items([Info(p) for p in sys.argv[2:]])\n"
            "print(json.dumps([(i.name, i.label) for i in items]))\n"
            "for i in items:\n    i.activate()\n")
        env = dict(session.env, PATH=folder + os.pathsep + os.environ["PATH"], PYTHONPATH=stub)
        shown = subprocess.run([sys.executable, "-c", driver, os.path.join(DESKTOP, "tessaly_nautilus.py"), *paths],
                               env=env, check=True, capture_output=True, text=True).stdout
        assert [label for _name, label in json.loads(shown)][0] == "Convert with Tessaly", shown
        wait_for(lambda: os.path.exists(log) and len(open(log).readlines()) == 4, "four commands")
        with open(log) as recorded:
            calls = sorted(json.loads(line)[1:] for line in recorded)
        expected = sorted([["--"] + paths] + [[f"--format={f}", "--"] + paths for f in ("jpeg", "png", "webp")])
        assert calls == expected, calls
    finally:
        session.close()


def real_conversion_through_an_entry():
    session = Session("nemo-real")
    try:
        paths = [picture(os.path.join(session.files, name)) for name in NAMES]
        action = desktop_groups(os.path.join(DESKTOP, "tessaly-jpeg.nemo_action"))["Nemo Action"]["Exec"]
        words = expand_nemo_exec(action, paths)
        assert words[0] == "vrelk-gtk"
        session.programs.append(subprocess.Popen([PROGRAM] + words[1:], env=session.env))
        wait_for(session.notices_sent, "the notice")
        assert outputs(session.files, "jpg") == sorted(n[:-4] + ".jpg" for n in NAMES)
    finally:
        session.close()


FOREIGN_UCA = """<?xml version="1.0" encoding="UTF-8"?>
<actions>
<action>
\t<icon>utilities-terminal</icon>
\t<name>Open Terminal Here</name>
\t<unique-id>1234567890-1</unique-id>
\t<command>exo-open --working-directory %f --launch TerminalEmulator</command>
\t<patterns>*</patterns>
\t<directories/>
</action>
</actions>
"""


def user_actions_install_run_and_remove():
    session = Session("user-actions")
    try:
        uca = os.path.join(session.home, ".config", "Thunar", "uca.xml")
        os.makedirs(os.path.dirname(uca))
        with open(uca, "w") as file:
            file.write(FOREIGN_UCA)
        for _ in range(2):
            subprocess.run([PROGRAM, "--install-user-actions"], env=session.env, check=True)
        scripts = os.path.join(session.home, ".local", "share", "nautilus", "scripts", "Tessaly")
        names = sorted(os.listdir(scripts))
        assert names == sorted(["Convert with Tessaly", "Convert with Tessaly to JPEG", "Convert with Tessaly to PNG",
                                "Convert with Tessaly to WebP"]), names
        text = open(uca).read()
        assert text.count("<unique-id>tessaly-") == 4 and "Open Terminal Here" in text, text
        paths = [picture(os.path.join(session.files, name)) for name in NAMES]
        # Nautilus runs a script in the folder shown, with the names selected.
        session.programs.append(subprocess.Popen([os.path.join(scripts, "Convert with Tessaly to PNG")] +
                                                 [os.path.basename(p) for p in paths],
                                                 env=session.env, cwd=session.files))
        wait_for(session.notices_sent, "the notice")
        assert len([n for n in outputs(session.files, "png") if "+1" in n]) == 4
        session.close()
        command = next(line for line in text.splitlines() if "<command>" in line and "--format=jpeg" in line)
        command = command.strip().removeprefix("<command>").removesuffix("</command>").replace("&amp;", "&")
        words = expand_nemo_exec(command, paths)  # Thunar quotes each file as Nemo does
        session.programs = [subprocess.Popen(words, env=session.env)]
        session.server = subprocess.Popen([sys.executable, os.path.join(SOURCE, "tests", "notify_server.py"),
                                           session.notices + "2"], env=session.env)
        wait_for(lambda: len(outputs(session.files, "jpg")) == 4, "the JPEG files")
        subprocess.run([PROGRAM, "--remove-user-actions"], env=session.env, check=True)
        assert open(uca).read() == FOREIGN_UCA
        assert not os.path.exists(scripts)
        # A file that is not a list of actions is refused and left as it was.
        with open(uca, "w") as file:
            file.write("<actions>\n<action>")
        refused = subprocess.run([PROGRAM, "--install-user-actions"], env=session.env, capture_output=True, text=True)
        assert refused.returncode == 1 and "no list of actions" in refused.stderr, refused
        assert open(uca).read() == "<actions>\n<action>"
    finally:
        session.close()


TESTS = [each_key_converts_to_its_format, escape_converts_nothing, cancel_leaves_only_whole_files,
         second_start_joins_the_running_batch, japanese_format_window, settings_dialog_without_files,
         entries_pass_the_selection_whole, nautilus_extension_runs_the_command, real_conversion_through_an_entry,
         user_actions_install_run_and_remove]

if __name__ == "__main__":
    only = os.environ.get("GTK_TEST_FILTER", "")
    failed = 0
    for test in TESTS:
        if only not in test.__name__:
            continue
        started = time.monotonic()
        try:
            test()
            print(f"gtk: ok - {test.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception:
            failed += 1
            traceback.print_exc()
            print(f"gtk: FAIL - {test.__name__}", flush=True)
    shutil.rmtree(WORK, ignore_errors=True)
    sys.exit(1 if failed else 0)
