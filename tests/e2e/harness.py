"""Shared pieces of the end-to-end runs: the real installer under Wine, the
local endpoint server on loopback, the registry and the files it leaves.

Environment (set by ctest, or by tools/test and tools/demo):
  ZEMBRIO_BUILD_DIR   the test build (the installer, the stand-ins)
  ZEMBRIO_SOURCE_DIR  the source tree
  WINEPREFIX, WINEARCH, WINE, DISPLAY   prepared by tools/wine-env for the
                      build's architecture (32-bit Wine for the i686 build)
"""
import atexit
import ctypes
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("ZEMBRIO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("ZEMBRIO_BUILD_DIR", SOURCE / "build"))
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
# The port compiled into the test build (tools/configure writes it down).
PORT = int((BUILD / "test-port").read_text()) if (BUILD / "test-port").exists() else 47810
sys.path.insert(0, str(SOURCE / "tools"))
from endpoint_server import parse_query  # noqa: E402
EXE_NAME = "ZembrioInstaller.exe"
STATE_KEY = r"HKCU\Software\Zembrio\Zembrio Installer"
UNINSTALL_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Zembrio Installer"


def prefix():
    return Path(os.environ["WINEPREFIX"])


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEARCH", "win64")
    if extra:
        env.update(extra)
    return env


def wine(*args, env=None, timeout=60, check=False):
    """Runs a Windows program to its end; returns the CompletedProcess.
    Its output goes through files, not pipes: a Wine service the program
    starts on demand (the desktop process, after the last one went idle)
    inherits its handles and would hold a pipe open long after the program
    has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        run = subprocess.run([WINE, *map(str, args)], env=wine_env(env), stdin=subprocess.DEVNULL,
                             stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(run.args, run.returncode, out.read(), err.read())
    if check:
        done.check_returncode()
    return done


def unix_path(windows_path):
    """C:\\x\\y -> the file inside the prefix."""
    p = windows_path.replace("\\", "/")
    if len(p) > 1 and p[1] == ":":
        # Wine maps the Unix root as drive Z:.
        return Path("/", p[3:]) if p[0] in "zZ" else prefix() / f"drive_{p[0].lower()}" / p[3:]
    return Path(p)


def windows_path(path):
    r = wine("winepath", "-w", str(path))
    return r.stdout.decode(errors="replace").strip()


# ---- registry -------------------------------------------------------------

# Through the long-lived window driver (below): a "reg" process per call
# costs a Wine start each, and tests poll the record.

def reg_query(key):
    """Values of one key as {name: value} (strings, ints for REG_DWORD);
    None when the key does not exist."""
    code, records = Driver().run("reg-query", key, check=False)
    if code == 3:
        return None
    if code != 0:
        raise DriverError(f"reg-query {key}: exit {code}")
    return {r["name"]: r["value"] for r in records}


def reg_delete(key, name=None):
    """Deletes the key with everything under it, or one value of it; what
    is not there is no error."""
    Driver().run("reg-delete", key, *([name] if name is not None else []), check=False)


def reg_set(key, name, value):
    kind = "dword" if isinstance(value, int) else "sz"
    Driver().run("reg-set", key, name, kind, value)


def set_windows_version(version, exe=EXE_NAME):
    """win98, win2k, winxp, vista, win7... as GetVersionExA reports it to exe."""
    key = rf"HKCU\Software\Wine\AppDefaults\{exe}"
    if version:
        reg_set(key, "Version", version)
    else:
        reg_delete(key)


# ---- the endpoint server ----------------------------------------------------

def end_server(proc, sig):
    """Asks a server process to stop with sig; kills it if it has not ended
    within 10 s."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


class EndpointServer:
    """tools/endpoint_server.py on the test build's port, for one scenario."""

    def __init__(self, root, workdir, faults=(), rate=None, port=PORT, per_connection=False, make_release=False):
        self.workdir = Path(workdir)
        self.events_file = self.workdir / "events.jsonl"
        self.requests_file = self.workdir / "requests.jsonl"
        port_file = self.workdir / "port"
        cmd = [sys.executable, str(SOURCE / "tools" / "endpoint_server.py"), "--port", str(port),
               "--port-file", str(port_file), "--root", str(root), "--events", str(self.events_file),
               "--requests", str(self.requests_file), "--max-seconds", "900"]
        if make_release:
            # A root without a release.txt of its own gets one for its files.
            cmd += ["--release-key", str(BUILD / "signing" / "release.key")]
        for f in faults:
            cmd += ["--fault", f]
        if rate:
            cmd += ["--rate", str(rate)] + (["--per-connection"] if per_connection else [])
        self._log = open(self.workdir / "server.log", "wb")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._log)
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
        end_server(self.proc, signal.SIGTERM)
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ---- nginx with the production configuration ---------------------------------

NGINX_SNIPPET = SOURCE / "deploy" / "nginx" / "zembrio.conf"
NGINX_PAGES = SOURCE / "deploy" / "nginx" / "pages"
DEBIAN_NGINX = Path("/etc/nginx")
NGINX_TEMP_KINDS = ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")


def _replace(text, pattern, replacement, what, count=1):
    text, found = re.subn(pattern, lambda m: replacement, text, flags=re.S)
    if found != count:
        raise ValueError(f"{what}: {pattern!r} matched {found} times, not {count}")
    return text


def nginx_test_config(text, port, workdir, components, pages=NGINX_PAGES, events=None, downloads=None):
    """The production snippet with its settings pointed at loopback and the
    test's folders: every name plays every role, as the test build's single
    address needs; the logs go to workdir unbuffered, so that a test reads
    each line as soon as its request has ended."""
    workdir = Path(workdir)

    def sub(pattern, replacement, count=1):
        nonlocal text
        text = _replace(text, pattern, replacement, NGINX_SNIPPET.name, count)

    sub(r"map \$host \$zembrio_roles \{.*?\n\}", 'map $host $zembrio_roles {\n    default "install logger site";\n}')
    sub(r"\n    server_name [^;]*;", "\n    server_name 127.0.0.1;")
    sub(r'(?<=\$zembrio_components \{ default )[^;]*', str(components))
    sub(r'(?<=\$zembrio_pages \{ default )[^;]*', str(pages))
    sub(r"(?<=access_log )\S+(?= zembrio_event)", str(events or workdir / "events.jsonl"))
    sub(r"(?<=access_log )\S+(?= zembrio_download)", str(downloads or workdir / "downloads.jsonl"))
    sub(r" buffer=\S+ flush=\S+(?=[ ;])", "", count=2)
    sub(r"listen 80;\s*listen \[::\]:80;", f"listen 127.0.0.1:{port};")
    return text


def nginx_layout(workdir, snippet, port=None):
    """Debian's own /etc/nginx (nginx.conf, mime.types, enabled modules and
    the default site) under workdir/etc with the snippet as
    conf.d/zembrio.conf, only the paths moved: logs into workdir/log, pid and
    temporary files into workdir, nginx as the test's own user. With a port
    the default site listens on it too (loopback only) and serves workdir/www,
    so that the snippet's server shares the port with another site as it does
    in production. Returns the nginx.conf path."""
    workdir = Path(workdir)
    etc, logs = workdir / "etc", workdir / "log"
    for folder in [etc / "conf.d", etc / "sites-enabled", logs, workdir / "www"] + [
            workdir / "temp" / kind for kind in NGINX_TEMP_KINDS]:
        folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(DEBIAN_NGINX / "mime.types", etc)
    if (DEBIAN_NGINX / "modules-enabled").is_dir():
        shutil.copytree(DEBIAN_NGINX / "modules-enabled", etc / "modules-enabled", symlinks=True, dirs_exist_ok=True)

    text = (DEBIAN_NGINX / "nginx.conf").read_text()
    text = _replace(text, r"(?m)^user [^;]*;", "", "nginx.conf")
    text = _replace(text, r"(?m)^pid [^;]*;", f"pid {workdir}/nginx.pid;", "nginx.conf")
    temp = "".join(f"\n    {kind}_temp_path {workdir}/temp/{kind};" for kind in NGINX_TEMP_KINDS)
    text = _replace(text, r"(?m)^http \{", "http {" + temp, "nginx.conf")
    text = text.replace("/etc/nginx/", f"{etc}/").replace("/var/log/nginx/", f"{logs}/")
    conf = etc / "nginx.conf"
    conf.write_text(text)
    (etc / "conf.d" / "zembrio.conf").write_text(snippet.replace("/var/log/nginx/", f"{logs}/"))

    default = DEBIAN_NGINX / "sites-available" / "default"
    if default.exists():
        site = default.read_text()
        if port is not None:
            site = _replace(site, r"listen 80 default_server;\s*listen \[::\]:80 default_server;",
                            f"listen 127.0.0.1:{port} default_server;", "default site")
            site = _replace(site, r"\n\s*root [^;]*;", f"\n\troot {workdir}/www;", "default site")
            (workdir / "www" / "index.html").write_text("the machine's default site\n")
        (etc / "sites-enabled" / "default").write_text(site)
    return conf


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # nginx must not outlive a test that was killed.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class NginxServer:
    """Debian's nginx with deploy/nginx/zembrio.conf inside Debian's own
    nginx.conf (nginx_layout), in the foreground as a child of the test, on
    a loopback port; events() reads its event log like EndpointServer's.
    edit, given the snippet with the test settings, returns it changed: a
    misconfigured deployment."""

    def __init__(self, root, workdir, port=PORT, pages=NGINX_PAGES, edit=None):
        self.workdir = Path(workdir)
        self.port = port
        self.events_file = self.workdir / "events.jsonl"
        self.downloads_file = self.workdir / "downloads.jsonl"
        snippet = nginx_test_config(NGINX_SNIPPET.read_text(), port, self.workdir, Path(root).resolve(),
                                    Path(pages).resolve(), self.events_file, self.downloads_file)
        conf = nginx_layout(self.workdir, edit(snippet) if edit else snippet, port)
        error_log = self.workdir / "log" / "error.log"
        self._out = open(self.workdir / "nginx.out", "wb")
        # One process and no daemon: the test owns it and it ends with it.
        self.proc = subprocess.Popen(
            ["nginx", "-p", str(self.workdir), "-c", str(conf), "-e", str(error_log),
             "-g", "daemon off; master_process off;"],
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.time() + 15
        while not self._listening():
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("nginx did not start: " + (self.workdir / "nginx.out").read_text()
                                   + (error_log.read_text() if error_log.exists() else ""))
            time.sleep(0.05)

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def events(self):
        """The logged events with their values decoded as the endpoint server
        decodes them (nginx logs the arguments still encoded)."""
        if not self.events_file.exists():
            return []
        events = []
        for line in self.events_file.read_text().splitlines():
            record = json.loads(line)
            record.update({k: v for k, v in parse_query(record["raw"]).items()
                           if k in ("event", "userUID", "source")})
            events.append(record)
        return events

    def event_names(self):
        return [e["event"] for e in self.events()]

    def downloads(self):
        """The download log's lines, one per component request that has ended."""
        if not self.downloads_file.exists():
            return []
        return [json.loads(line) for line in self.downloads_file.read_text().splitlines()]

    def stop(self):
        end_server(self.proc, signal.SIGQUIT)  # graceful: open answers finish
        self._out.close()


# ---- the installer ----------------------------------------------------------

def installer_exe():
    return BUILD / EXE_NAME


PLANTED_LIBRARIES = ("version.dll", "wininet.dll")
# Wine takes its built-in libraries unless told to prefer a file of that name
# beside the program, as Windows' search order does for the libraries that
# are not always taken from the system folder.
PREFER_PLANTED = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";version,wininet=n,b"}


def installer_beside_planted_libraries(folder):
    """A copy of the installer in folder (a visitor's downloads folder), with
    marker-writing libraries named like system ones beside it; each one that
    is ever loaded leaves "<name>.loaded" there, and the version library
    "version.dll.used" when one of its version reads is called."""
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy2(installer_exe(), folder / EXE_NAME)
    for name in PLANTED_LIBRARIES:
        shutil.copy2(BUILD / "tests" / "planted" / name, folder / name)
    return folder / EXE_NAME


ENVIRONMENT_KEY = r"HKCU\Environment"
_expanded = {}


def _expand(text):
    """A text as a program started now sees it, variables expanded: asked of
    cmd once per text, as tests ask for the same few all the time."""
    if text not in _expanded:
        _expanded[text] = wine("cmd", "/c", "echo", text).stdout.decode().strip()
    return _expanded[text]


def working_folder():
    """The fresh-start working folder: the system temp folder + "Zembrio"."""
    # The temp folder a new program gets follows the user's environment key.
    setting = (reg_query(ENVIRONMENT_KEY) or {}).get("TEMP", "")
    temp = setting if setting and "%" not in setting else _expand(setting or "%TEMP%")
    return unix_path(temp) / "Zembrio"


def set_temp_folder(name=None):
    """Makes the folder of this name inside the user's usual temp folder the
    system's temporary path (TEMP and TMP) of every program started from now
    on; None puts the usual one back."""
    profile = _expand("%USERPROFILE%")
    temp = profile + "\\Temp" + ("\\" + name if name else "")
    if name:
        shutil.rmtree(unix_path(temp), ignore_errors=True)
    unix_path(temp).mkdir(parents=True, exist_ok=True)
    for variable in ("TEMP", "TMP"):
        reg_set(ENVIRONMENT_KEY, variable, temp)


def reset_machine():
    """Forgets every earlier run: state, uninstall entry, working folder,
    self-installation, version overrides, a moved temp folder."""
    set_temp_folder(None)
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
    """Ends every running copy of a Windows program of the prefix by image
    name, abruptly, by process id."""
    end_processes([(pid, image) for pid, image in product_processes() if image == name.lower()])


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


def alter_program(path):
    """One byte of a program changed in its middle and its header checksum
    made right again: what a hostile network would serve in its place."""
    import pe_checksum
    data = bytearray(Path(path).read_bytes())
    data[len(data) // 2] ^= 0x01
    offset = pe_checksum.checksum_offset(data)
    data[offset:offset + 4] = pe_checksum.compute_checksum(bytes(data)).to_bytes(4, "little")
    Path(path).write_bytes(data)


def write_release(folder, serial=100, key="release"):
    """folder/release.txt for the components in folder, signed with the
    build's test release key ("release") or the one no build trusts
    ("foreign")."""
    import release
    names = ("installhelper.exe", "dotnetfx.exe", "setup.exe", "setupm.exe")
    entries = [release.file_entry(Path(folder) / n) for n in names if (Path(folder) / n).exists()]
    key_file = BUILD / "signing" / ("release.key" if key == "release" else "foreign-release.key")
    (Path(folder) / "release.txt").write_bytes(release.sign(release.make_body(serial, entries), str(key_file)))


def set_profile_value(name, value):
    reg_set(STATE_KEY, name, value)


# ---- the window driver ------------------------------------------------------

DRIVER_EXE = BUILD / "tests" / "driver" / "zdriver.exe"

# Control identifiers of the installer's window.
ID_NEXT, ID_HIDE, ID_CANCEL, ID_MINIMIZE, ID_CLOSE = 32770, 32771, 32772, 32773, 32774
ID_PROGRESS_BAR, ID_PROGRESS_TEXT, ID_AUTO_START, ID_FINISH = 32775, 32778, 32780, 32781
ID_LICENSE, ID_CHECKBOX, ID_LINK, ID_GOODIES_LINK = 32782, 32783, 32784, 32785


class DriverError(RuntimeError):
    pass


class DriverProcess:
    """One "zdriver serve" process for the whole test process: commands go
    in on its stdin, answers come back on its stdout, each ended by its exit
    code. It ends when its stdin closes, with the test process at the latest."""

    _running = {}

    @classmethod
    def shared(cls, exe):
        process = cls._running.get(exe)
        if process is None or not process.alive():
            process = cls._running[exe] = cls(exe)
        return process

    def __init__(self, exe):
        # What it says on its way out is kept, to tell a crash from an end.
        (BUILD / "e2e").mkdir(parents=True, exist_ok=True)
        with open(BUILD / "e2e" / "zdriver-stderr.txt", "ab") as errors:
            self.proc = subprocess.Popen([WINE, str(exe), "serve"], env=wine_env(), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=errors)
        self.buffer = b""

    def alive(self):
        return self.proc.poll() is None

    def ask(self, args, timeout):
        """Sends one command; returns (exit code, the answer's JSON records)."""
        line = "\t".join(map(str, args))
        if "\n" in line:
            raise DriverError(f"a driver argument holds a line break: {args}")
        try:
            self.proc.stdin.write(line.encode("latin-1") + b"\n")
            self.proc.stdin.flush()
        except OSError as error:
            self.stop()
            raise DriverError(f"the driver has ended: {error}") from None
        records, deadline = [], time.monotonic() + timeout
        while True:
            end, _, rest = self.buffer.partition(b"\n")
            if _:
                self.buffer = rest
                text = end.decode("latin-1").strip()
                if not text.startswith("{"):
                    continue
                record = json.loads(text)
                if "zdriver-exit" in record:
                    return record["zdriver-exit"], records
                records.append(record)
                continue
            # A Wine service may hold the pipe after the driver is gone: look
            # at the process, not only for the end of the pipe.
            left = deadline - time.monotonic()
            if left <= 0 or not self.alive():
                self.stop()
                raise DriverError(f"zdriver {' '.join(map(str, args))}: "
                                  + ("no answer in time" if left <= 0 else
                                     f"the driver has ended (exit {self.proc.returncode})"))
            ready, _, _ = select.select([self.proc.stdout], [], [], min(left, 0.5))
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    self.proc.wait(timeout=10)
                self.buffer += chunk

    def stop(self):
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)


@atexit.register
def _stop_drivers():
    for process in DriverProcess._running.values():
        process.stop()


class Driver:
    """tests/driver/zdriver.exe: reads and presses the installer's controls
    by identifier, sends it messages, takes screenshots."""

    def __init__(self, exe=DRIVER_EXE, timeout=60):
        self.exe = exe
        self.timeout = timeout

    # Commands that only look are asked again of a new driver when the
    # driver's process ended under one: once in many runs it has ended in a
    # wait for the window of a resumed installer, cause not yet known
    # (build*/e2e/zdriver-stderr.txt keeps what it said; the product ends no
    # process). A command that acts is never repeated.
    LOOKS = {"wait-window", "list", "caption", "focus", "reg-query"}

    def run(self, *args, check=True):
        """Runs one driver command; returns (exit code, list of JSON records)."""
        try:
            code, records = DriverProcess.shared(self.exe).ask(args, self.timeout)
        except DriverError as error:
            if args[0] not in self.LOOKS or "the driver has ended" not in str(error):
                raise
            print(f"{error}; asked again of a new driver", file=sys.stderr)
            code, records = DriverProcess.shared(self.exe).ask(args, self.timeout)
        if check and code != 0:
            raise DriverError(f"zdriver {' '.join(map(str, args))}: exit {code} {records}")
        return code, records

    def open_for_writing(self, path):
        """The error code another program gets opening the file (a Windows
        path) for writing; 0 when it can."""
        return self.run("open-write", path)[1][0]["error"]

    def wait_window(self, seconds=30):
        code, records = self.run("wait-window", seconds, check=False)
        return code == 0

    def controls(self):
        """Every child control, in creation order, as dicts with id, class,
        visible, enabled, text, check, rect."""
        return self.run("list")[1]

    def control(self, ident, controls=None):
        """The control with this identifier; of Next and Continue (both
        32770) the visible one, else the first."""
        found = [c for c in (controls or self.controls()) if c["id"] == ident]
        if not found:
            raise DriverError(f"no control {ident}")
        return next((c for c in found if c["visible"]), found[0])

    def click(self, ident, force=False, post=False):
        """BM_CLICK to the control; False when the driver refused because the
        control is hidden or disabled (a user could not press it either)."""
        args = ["click", ident] + (["--force"] if force else []) + (["--post"] if post else [])
        code, _ = self.run(*args, check=False)
        if code not in (0, 3):
            raise DriverError(f"click {ident}: exit {code}")
        return code == 0

    def command(self, ident, post=False):
        return self.run("command", ident, *(["--post"] if post else []))[1]

    def message(self, msg, wparam=0, lparam=0, post=False):
        """Sends (or posts) a message to the window; returns the result."""
        records = self.run("message", msg, wparam, lparam, *(["--post"] if post else []))[1]
        return records[0].get("result") if records else None

    def minimize(self):
        return self.run("minimize")[1][0]

    def restore(self):
        return self.run("restore")[1][0]

    def caption(self):
        return self.run("caption")[1][0]

    def msgbox(self, button=None):
        code, records = self.run("msgbox", *([button] if button else []), check=False)
        return records[0] if code == 0 and records else None

    def pointer(self, *where):
        return self.run("pointer", *where)[1]

    def watch(self, seconds=600, interval_ms=100, slow_ms=500):
        """Starts timing the window's answer to a message (a WM_NULL round
        trip) every interval_ms from one driver process, until the window
        is gone; the returned watch's result() is the driver's summary."""
        return ResponseWatch(self.exe, seconds, interval_ms, slow_ms)

    def screenshot(self, png_path):
        """Saves the window as it is on the screen as a PNG."""
        png_path = Path(png_path)
        png_path.parent.mkdir(parents=True, exist_ok=True)
        bmp = png_path.with_suffix(".bmp")
        self.run("screenshot", "Z:" + str(bmp.resolve()).replace("/", "\\"))
        subprocess.run(["convert", str(bmp), str(png_path)], check=True, timeout=60)
        bmp.unlink()
        return png_path


class ResponseWatch:
    """A running "zdriver watch"; see Driver.watch."""

    def __init__(self, exe, seconds, interval_ms, slow_ms):
        self._out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([WINE, str(exe), "watch", str(seconds), str(interval_ms), str(slow_ms)],
                                     env=wine_env(), stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=subprocess.DEVNULL)

    def result(self, timeout=60):
        """The summary once the window is gone: samples, max_ms, slow (time
        and ms of each answer slower than slow_ms), gone, last_ms."""
        self.proc.wait(timeout=timeout)
        self._out.seek(0)
        records = [json.loads(l) for l in self._out.read().decode("latin-1").splitlines()
                   if l.strip().startswith("{")]
        return next((r for r in reversed(records) if "samples" in r), {"error": records})

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=15)
        self._out.close()


def screenshots_dir():
    d = BUILD / "screenshots"
    d.mkdir(parents=True, exist_ok=True)
    return d


def start_main_app_standin(folder, seconds=60):
    """The main-application stand-in running under the image name
    ZembrioMain.exe, as if the product were running."""
    exe = Path(folder) / "ZembrioMain.exe"
    shutil.copy(BUILD / "tests" / "standins" / "zembriomain_standin.exe", exe)
    return start_installer("--stay", str(seconds), exe=exe)


def close_installer(proc, timeout=30):
    """Asks the installer's window to close, as the window manager would
    (WM_CLOSE: the close box, so exit saves the state; where the page
    disables the box, nothing), and waits for the process; kills it if it
    does not end in time. Returns the exit code or None."""
    wine("taskkill", "/im", EXE_NAME)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_installer()
        proc.wait(timeout=15)
        return None


def wait_for_event(server, event, timeout=30):
    """Waits until the logger has received the event; returns all events."""
    return wait_for(lambda: event in server.event_names() and server.events(), timeout=timeout)


def log_events(log):
    """The run log's Event and Error lines as the logger's event values
    (the category and the name joined without the comma)."""
    return [value.replace(",", "", 1) for name, value in log if name in ("Event", "Error")]


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


SHELL_FOLDERS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"


def clear_ie_cookies():
    """Empties Wine's WinINet cookie store. A program killed while it read
    the store (a test ends every program it started, the installer's
    reports read it on their first request) leaves that entry locked in
    Wine's index for good, and every later cookie of the site is refused."""
    folder = (reg_query(SHELL_FOLDERS_KEY) or {}).get("Cookies")
    if folder:
        shutil.rmtree(unix_path(folder), ignore_errors=True)


def lnk_info(path):
    """Target and description of a shell link file, read with lnkinfo."""
    r = subprocess.run(["lnkinfo", str(path)], capture_output=True, timeout=30)
    info = {}
    for line in r.stdout.decode(errors="replace").splitlines():
        key, sep, value = line.strip().partition(":")
        if sep and value.strip():
            info.setdefault(key.strip(), value.strip())
    return info


# ---- prerequisites and traces of a whole installation ------------------------

NDP_KEY = r"HKLM\Software\Microsoft\NET Framework Setup\NDP\v2.0.50727"
PRODUCT_KEY = r"HKCU\Software\Zembrio"
INSTALLED_COPY = r"C:\Program Files\Zembrio\ZembrioInstaller\ZembrioInstaller.exe"
RESUME_LINK = "Resume Zembrio Installation.lnk"


def mscorlib_path():
    return prefix() / "drive_c/windows/Microsoft.NET/Framework/v2.0.50727/mscorlib.dll"


def plant_dotnet(present):
    """The .NET Framework 2.0 as the check finds it (key and mscorlib.dll of
    version 2.0.50727.x), or neither."""
    mscorlib = mscorlib_path()
    if present:
        reg_set(NDP_KEY, "Install", 1)
        mscorlib.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(BUILD / "tests/standins/mscorlib_standin.dll", mscorlib)
    else:
        reg_delete(NDP_KEY)
        mscorlib.unlink(missing_ok=True)


def resume_links():
    """Every "Resume" shortcut under the users' folders."""
    return list((prefix() / "drive_c/users").rglob(RESUME_LINK))


def remove_links():
    users = prefix() / "drive_c/users"
    for link in users.rglob(RESUME_LINK):
        link.unlink(missing_ok=True)
    for folder in users.rglob("Programs/Zembrio"):
        shutil.rmtree(folder, ignore_errors=True)


def main_app_folder():
    """Where the set-up stand-in puts ZembrioMain.exe."""
    return prefix() / "drive_c/Program Files/Zembrio/Zembrio"


def forget_runs():
    """reset_machine, and the product's own key and the Resume shortcuts."""
    reset_machine()
    reg_delete(PRODUCT_KEY)
    remove_links()


def kill_outside_programs():
    end_processes([(pid, image) for pid, image in product_processes() if image != EXE_NAME.lower()])


# ---- the product's processes ---------------------------------------------------

# The installer, the programs it starts (whatever their stand-ins are named
# after), and the stand-ins under their build names.
PRODUCT_IMAGES = {EXE_NAME.lower(), "installhelper.exe", "setupm.exe", "setup.exe", "dotnetfx.exe",
                  "zembriomain.exe"}


def product_images():
    return PRODUCT_IMAGES | {p.name.lower() for p in (BUILD / "tests" / "standins").glob("*.exe")}


def product_processes():
    """(Linux process id, image name in lower case) of every live process of
    this prefix that runs the installer, an outside program or a stand-in.
    A Wine process's first argument is its image path (Windows or Unix)."""
    images, ours = product_images(), str(prefix())
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            argv0 = (entry / "cmdline").read_bytes().split(b"\0", 1)[0].decode("latin-1")
            image = argv0.replace("\\", "/").rsplit("/", 1)[-1].lower()
            if image not in images:
                continue
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
            env = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue  # ended meanwhile
        if state != "Z" and f"WINEPREFIX={ours}".encode() in env:
            found.append((int(entry.name), image))
    return found


def end_processes(processes, timeout=10):
    """Kills the processes by id and waits until they are gone; returns those
    still there."""
    for pid, _ in processes:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    live = lambda: [p for p in processes if p in product_processes()]
    wait_for(lambda: not live(), timeout=timeout)
    return live()


def describe(processes):
    return ", ".join(f"{image} (pid {pid})" for pid, image in processes)


class Scenario(unittest.TestCase):
    """A run that starts with none of the product's processes of the prefix
    running and ends its own: after tearDown, whatever is still running was
    started by this scenario and is killed by id. A process that appears
    after that, or one that will not die, was left by this scenario: it
    fails, naming it. One found at the start was left by an earlier test.

    Each test class is an entry of its own in ctest; a class's TIMEOUT
    (seconds, read from the source by list_classes.py) is ctest's limit for
    it, 300 where it names none."""

    def setUp(self):
        earlier = product_processes()
        if earlier:
            stuck = end_processes(earlier)
            self.fail(f"left running by an earlier test: {describe(earlier)}"
                      + (f"; would not end: {describe(stuck)}" if stuck else ""))
        self.addCleanup(self.end_own_processes)

    def end_own_processes(self):
        running = product_processes()
        stuck = end_processes(running)
        if running:
            # A program one of them started at the last moment shows up by
            # now. (One started by a program that had ended by itself is
            # found by the next scenario's start.)
            time.sleep(0.5)
        late = product_processes()
        stuck += end_processes(late)
        if stuck or late:
            self.fail(f"left running by {self.id()}: {describe(late or stuck)}"
                      + (f"; would not end: {describe(stuck)}" if stuck else ""))


class InstallerScenario(Scenario):
    """A scenario of the installer itself: it starts on a machine that has
    never seen the installer, with an endpoint server and a window driver of
    its own; the clean-up (after the class's tearDown, before the processes
    are checked) ends every installer it started and leaves the machine so
    for the next."""
    faults = ()

    def setUp(self):
        super().setUp()
        self.started = time.time()
        forget_runs()
        self.work = scratch_dir(self.id().split(".", 1)[-1].replace(".", "-"))
        self.procs = []
        self.driver = Driver()
        self.server = self.make_server()
        self.addCleanup(self.end_run)

    def make_server(self):
        return EndpointServer(components_dir(), self.work, faults=self.faults)

    def launch(self, *args, exe=None, env=None):
        """Starts the installer; the clean-up ends it."""
        p = start_installer(*args, exe=exe, env=env)
        self.procs.append(p)
        return p

    def end_run(self):
        kill_installer()
        kill_outside_programs()
        for p in self.procs:
            try:
                p.wait(timeout=30)
            except Exception:
                p.kill()
        self.server.stop()
        plant_dotnet(False)
        forget_runs()
        print(f"{self._testMethodName}: {time.time() - self.started:.1f} s", file=sys.stderr)


# ---- the keyboard --------------------------------------------------------------

ID_ERROR_TEXT, ID_RETRY = 32786, 32787


def focused(driver):
    """The identifier of the control with the keyboard focus (0: none, or
    the window itself)."""
    return driver.run("focus")[1][0]["focus"]


def press_key(driver, name):
    """Posts tab, space, enter or esc to the focused control, as the keyboard
    would; returns the identifier of the control it went to."""
    return driver.run("key", name)[1][0]["to"]


# ---- networks that drop ----------------------------------------------------------

class NginxWithWorkers(NginxServer):
    """NginxServer as production runs it, a master process with its workers:
    a worker that dies is replaced by the master. rate, if given, paces
    every component answer (nginx's limit_rate), so that a transfer lasts
    long enough to be cut."""

    def __init__(self, root, workdir, rate=None, port=PORT):
        edit = None
        if rate:
            edit = lambda snippet: _replace(snippet, r"(?<=\n        max_ranges 1;)",
                                            f"\n        limit_rate {rate};", "limit_rate")  # noqa: E731
        super().__init__(root, workdir, port=port, edit=edit)
        end_server(self.proc, signal.SIGQUIT)
        self._out.close()
        conf = self.workdir / "etc" / "nginx.conf"
        self._out = open(self.workdir / "nginx.out", "ab")
        self.proc = subprocess.Popen(
            ["nginx", "-p", str(self.workdir), "-c", str(conf), "-e", str(self.workdir / "log" / "error.log"),
             "-g", "daemon off;"],
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.time() + 15
        while not self.workers() or not self._listening():
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("nginx did not start: " + (self.workdir / "nginx.out").read_text())
            time.sleep(0.05)

    def workers(self):
        """The process ids of the master's workers."""
        children = Path(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children")
        try:
            return [int(p) for p in children.read_text().split()]
        except OSError:
            return []


def progress_text(driver):
    """The download page's progress text as the window shows it."""
    return driver.control(ID_PROGRESS_TEXT)["text"]
