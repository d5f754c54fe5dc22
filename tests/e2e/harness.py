"""Shared pieces of the end-to-end runs: the real installer under Wine, the
local endpoint server on loopback, the registry and the files it leaves.

Environment (set by ctest, or by tools/test and tools/demo):
  ZEMBRIO_BUILD_DIR   the x86_64 test build (the installer, the stand-ins)
  ZEMBRIO_SOURCE_DIR  the source tree
  WINEPREFIX, DISPLAY prepared by tools/wine-env
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(os.environ.get("ZEMBRIO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("ZEMBRIO_BUILD_DIR", SOURCE / "build"))
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
# The port compiled into the test build (tools/configure writes it down).
PORT = int((BUILD / "test-port").read_text()) if (BUILD / "test-port").exists() else 47810
EXE_NAME = "ZembrioInstaller.exe"
STATE_KEY = r"HKCU\Software\Zembrio\Zembrio Installer"
UNINSTALL_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Zembrio Installer"


def prefix():
    return Path(os.environ["WINEPREFIX"])


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env["WINEARCH"] = "win64"
    if extra:
        env.update(extra)
    return env


def wine(*args, env=None, timeout=60, check=False):
    """Runs a Windows program to its end; returns the CompletedProcess."""
    return subprocess.run([WINE, *map(str, args)], env=wine_env(env), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, check=check)


def unix_path(windows_path):
    """C:\\x\\y -> the file inside the prefix."""
    p = windows_path.replace("\\", "/")
    if len(p) > 1 and p[1] == ":":
        return prefix() / f"drive_{p[0].lower()}" / p[3:]
    return Path(p)


def windows_path(path):
    r = wine("winepath", "-w", str(path))
    return r.stdout.decode(errors="replace").strip()


# ---- registry -------------------------------------------------------------

def reg_query(key):
    """Values of one key as {name: value} (strings, ints for REG_DWORD);
    None when the key does not exist."""
    r = wine("reg", "query", key)
    if r.returncode != 0:
        return None
    values = {}
    for line in r.stdout.decode("latin-1").splitlines():
        parts = line.strip().split(None, 2) if line.startswith("    ") else None
        if not parts or len(parts) < 2 or not parts[1].startswith("REG_"):
            continue
        name, kind = parts[0], parts[1]
        data = parts[2] if len(parts) > 2 else ""
        # Value names with spaces: "reg" separates columns by 4 spaces.
        cols = line.strip().split("    ")
        if len(cols) >= 2 and cols[1].startswith("REG_"):
            name, kind, data = cols[0], cols[1], cols[2] if len(cols) > 2 else ""
        values[name] = int(data, 16) if kind == "REG_DWORD" else data
    return values


def reg_delete(key):
    wine("reg", "delete", key, "/f")


def reg_set(key, name, value):
    if isinstance(value, int):
        wine("reg", "add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f", check=True)
    else:
        wine("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f", check=True)


def set_windows_version(version, exe=EXE_NAME):
    """win98, win2k, winxp, vista, win7... as GetVersionExA reports it to exe."""
    key = rf"HKCU\Software\Wine\AppDefaults\{exe}"
    if version:
        reg_set(key, "Version", version)
    else:
        reg_delete(key)


# ---- the endpoint server ----------------------------------------------------

class EndpointServer:
    """tools/endpoint_server.py on the test build's port, for one scenario."""

    def __init__(self, root, workdir, faults=(), rate=None, port=PORT):
        self.workdir = Path(workdir)
        self.events_file = self.workdir / "events.jsonl"
        self.requests_file = self.workdir / "requests.jsonl"
        port_file = self.workdir / "port"
        cmd = [sys.executable, str(SOURCE / "tools" / "endpoint_server.py"), "--port", str(port),
               "--port-file", str(port_file), "--root", str(root), "--events", str(self.events_file),
               "--requests", str(self.requests_file), "--max-seconds", "900"]
        for f in faults:
            cmd += ["--fault", f]
        if rate:
            cmd += ["--rate", str(rate)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(self.workdir / "server.log", "wb"))
        deadline = time.time() + 15
        while not port_file.exists():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("endpoint server did not start: " + (self.workdir / "server.log").read_text())
            time.sleep(0.05)
        self.port = int(port_file.read_text())

    def events(self):
        if not self.events_file.exists():
            return []
        return [json.loads(l) for l in self.events_file.read_text().splitlines() if l.strip()]

    def event_names(self):
        return [e["event"] for e in self.events()]

    def requests(self):
        if not self.requests_file.exists():
            return []
        return [json.loads(l) for l in self.requests_file.read_text().splitlines() if l.strip()]

    def control(self, query):
        import urllib.request
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/__control?{query}", timeout=5) as r:
            return r.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ---- the installer ----------------------------------------------------------

def installer_exe():
    return BUILD / EXE_NAME


def working_folder():
    """The fresh-start working folder: the system temp folder + "Zembrio"."""
    r = wine("cmd", "/c", "echo", "%TEMP%")
    return unix_path(r.stdout.decode().strip()) / "Zembrio"


def reset_machine():
    """Forgets every earlier run: state, uninstall entry, working folder,
    self-installation, version overrides."""
    reg_delete(STATE_KEY)
    reg_delete(UNINSTALL_KEY)
    shutil.rmtree(working_folder(), ignore_errors=True)
    for sub in ("Program Files/Zembrio",):
        shutil.rmtree(prefix() / "drive_c" / sub, ignore_errors=True)
    for exe in (EXE_NAME,):
        set_windows_version(None, exe)


def start_installer(*args, exe=None, env=None):
    """Starts the installer and returns the Popen (the process of the Wine
    loader, which ends with the Windows program)."""
    return subprocess.Popen([WINE, str(exe or installer_exe()), *args], env=wine_env(env),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_installer(*args, exe=None, env=None, timeout=60):
    """Runs the installer to its end (modes without a window, or a run the
    test ends through the window); returns its exit code."""
    p = start_installer(*args, exe=exe, env=env)
    return p.wait(timeout=timeout)


def kill_installer(name=EXE_NAME):
    """Ends every running copy of a Windows program by image name."""
    wine("taskkill", "/f", "/im", name)


def run_log(folder=None):
    """The run log as a list of (name, value) pairs."""
    path = Path(folder or working_folder()) / "log.txt"
    if not path.exists():
        return []
    lines = path.read_bytes().decode("latin-1").split("\r\n")
    out = []
    for line in lines:
        if line:
            name, _, value = line.partition("=")
            out.append((name, value))
    return out


def wait_for(predicate, timeout=30, interval=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def scratch_dir(name):
    d = BUILD / "e2e" / name
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir(parents=True)
    return d


def components_dir():
    return BUILD / "tests" / "standins" / "components"


# ---- test aids: window commands, cookies, shortcuts ---------------------------

def support_program(name):
    return BUILD / "tests" / "support" / f"{name}.exe"


def post_command(command, title="Zembrio Installer", wait=20, check=False, text_file=None):
    """Posts WM_COMMAND <command> to the top-level window with this title
    ("class|title" also names the window class), waiting for it to appear.
    check ticks the control of that id first. text_file receives the texts
    of the window's children. True when the command was posted."""
    args = [support_program("post_command"), title, command, wait, "check" if check else "-"]
    if text_file:
        args.append("Z:" + str(text_file).replace("/", "\\"))
    return wine(*args, timeout=wait + 30).returncode == 0


def answer_message_box(title="#32770|Zembrio Installer", wait=20):
    """Presses OK on the installer's message box; returns its texts, or None
    when no such box appeared within wait seconds."""
    out = Path(tempfile.mkdtemp()) / "texts.txt"
    if not post_command(1, title=title, wait=wait, text_file=out):
        return None
    return out.read_text(errors="replace") if out.exists() else ""


def set_ie_cookie(name, value, url="http://127.0.0.1/"):
    """Stores a cookie in Wine's WinINet store, as the web site would; an
    expiry in the past deletes it."""
    r = wine(support_program("set_cookie"), url, name, value)
    return r.returncode == 0


def lnk_info(path):
    """Target and description of a shell link file, read with lnkinfo."""
    r = subprocess.run(["lnkinfo", str(path)], capture_output=True, timeout=30)
    info = {}
    for line in r.stdout.decode(errors="replace").splitlines():
        key, sep, value = line.strip().partition(":")
        if sep and value.strip():
            info.setdefault(key.strip(), value.strip())
    return info
