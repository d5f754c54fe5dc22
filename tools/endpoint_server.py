#!/usr/bin/env python3
"""Local endpoint server: install server, logging server and web site in one.

Serves the components folder under /install/ with Content-Length and byte
ranges, the site root, the FAQ and free-goodies pages, records every logger
GET as one JSON line and every request as another, and injects faults on
demand. Loopback only, standard library only. See tools/README.md.
"""

import argparse
import contextlib
import datetime
import errno
import http
import http.server
import io
import json
import math
import os
import re
import select
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release  # noqa: E402
# parse_query is also taken from here by the end-to-end harness.
from wire import (CATEGORIES, COOKIE_ID, COOKIE_MARK, FAQ_NAME, GOODIES_PATH, INSTALL_PREFIX,  # noqa: E402
                  INSTALLER_AGENT, LOGGER_PATH, RELEASE_NAME, parse_query)

# The release file made for the folder when it holds none (--release-key),
# at the serial the stand-ins' own release.txt has unless a test sets another.
RELEASE_SERIAL = 100
CONTROL_PATH = "/__control"
BIND_ADDRESS = "127.0.0.1"

# The help page's text for each error category.
HELP = {
    "simulated": "A test error was forced on the installer's command line. Nothing is wrong.",
    "general": "The installation stopped unexpectedly. Close other programs and start it again.",
    "network": "The installer could not reach the internet. Check your connection, firewall and "
               "proxy settings, then start it again; finished downloads are kept.",
    "fileio": "A file could not be written. Check that the temporary folder is not full or read-only.",
    "permissions": "A folder or shortcut could not be created. Log on as an administrator and try again.",
    "unsupportedos": "Windows 98, Windows 2000 or newer is required.",
    "diskspace": "At least 200 MB of free disk space is needed on the system drive.",
}

# Fault name -> kind of value: None takes no value, "int" an optional byte
# count, "status" a required HTTP status, "rate" a required bytes per second,
# "seconds" an optional duration.
FAULT_KINDS = {
    "no-length": None,
    "short-body": "int",
    "ignore-range": None,
    "other-etag": None,
    "no-cookie": None,
    "range-shift": "int",
    "status": "status",
    "status-range": "status",
    "logger-status": "status",
    "slow": "rate",
    "stall": "int",
    "silent": None,
    "logger-silent": None,
    "drop": None,
    "refuse": "seconds",
}

# The site's cookie, as deploy/nginx/zembrio.conf sets it: the visitor's id
# where the installer looks for it, for a visitor without a usable one, never
# for the installer's own requests.
SITE_COOKIE = COOKIE_MARK + "=" + COOKIE_ID + ":%s&v:1; Path=/; Expires=Thu, 31-Dec-2037 23:59:59 GMT"
USABLE_COOKIE = re.compile(r"(?:^|;)\s*%s=%s:[0-9A-Za-z]{1,64}&" % (COOKIE_MARK, COOKIE_ID))

SEND_CHUNK = 65536
PACED_CHUNK_MAX = 16384


def html_page(title, body):
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\"><title>%s</title></head>\n"
            "<body>\n<h1>%s</h1>\n%s\n</body></html>\n" % (title, title, body)).encode("latin-1")


ROOT_PAGE = html_page("Zembrio", "<p>Zembrio download server.</p>")
GOODIES_PAGE = html_page("Free goodies", "<p>Skins, sounds and add-ons for Zembrio, free to download.</p>")
FAQ_PAGE = html_page("Installation help", "\n".join(
    "<h2 id=\"%s\"><a name=\"%s\"></a>%s</h2>\n<p>%s</p>" % (name, name, name, HELP[name])
    for name in CATEGORIES))


class Fault:
    """One fault switch: a name, its value (or None) and an optional scope."""

    def __init__(self, name, value=None, scope=None):
        self.name, self.value, self.scope = name, value, scope

    def matches(self, path):
        if self.scope is None:
            return True
        if self.scope.startswith("/"):
            return path == self.scope
        return path.rsplit("/", 1)[-1] == self.scope

    def __str__(self):
        text = self.name if self.value is None else "%s=%s" % (self.name, self.value)
        return text if self.scope is None else "%s@%s" % (text, self.scope)


def parse_fault(text, scope=None):
    """Parse "name[=value][@file]"; raises ValueError with a readable message."""
    if "@" in text:
        text, scope = text.split("@", 1)
        if not scope:
            raise ValueError("empty scope in fault %r" % text)
    name, _, value = text.partition("=")
    if name not in FAULT_KINDS:
        raise ValueError("unknown fault %r" % name)
    kind = FAULT_KINDS[name]
    if kind is None:
        if value:
            raise ValueError("fault %r takes no value" % name)
        value = None
    elif not value:
        if kind in ("status", "rate"):
            raise ValueError("fault %r needs a value" % name)
        value = None
    else:
        try:
            value = float(value) if kind == "seconds" else int(value)
        except ValueError:
            raise ValueError("bad value for fault %r: %r" % (name, value)) from None
        if kind == "status" and not 200 <= value <= 599:
            raise ValueError("status must lie between 200 and 599")
        if value < 0 or (kind == "rate" and value == 0):
            raise ValueError("bad value for fault %r: %r" % (name, value))
    if name == "logger-status":
        # The logger shares host and port with everything else, so its own
        # error status is simply a status fault limited to its path.
        return Fault("status", value, LOGGER_PATH)
    if name == "logger-silent":
        return Fault("silent", None, LOGGER_PATH)
    if name == "refuse":
        scope = None  # a listening socket cannot refuse per path
    return Fault(name, value, scope)


class FaultSet:
    """The switches in force; read by handler threads, changed by control requests."""

    def __init__(self):
        self._lock = threading.Lock()
        self._faults = []

    def add(self, fault):
        with self._lock:
            self._faults = [f for f in self._faults
                            if (f.name, f.scope) != (fault.name, fault.scope)] + [fault]

    def reset(self):
        with self._lock:
            self._faults = []

    def snapshot(self):
        with self._lock:
            return list(self._faults)


def find_fault(faults, name, path):
    """The most recently set fault of that name that applies to path, or None."""
    for fault in reversed(faults):
        if fault.name == name and fault.matches(path):
            return fault
    return None


class Pacer:
    """Token bucket. reserve() books bytes and says how long to wait before sending them.

    The bucket starts empty whenever a body starts while no other is being
    paced, so idle time never turns into a burst that skews a measurement;
    while bodies flow it holds up to 100 ms, so a sender that was descheduled
    for a moment catches up instead of losing the time."""

    def __init__(self, rate):
        self.rate = float(rate)
        self.chunk = int(max(1, min(PACED_CHUNK_MAX, self.rate / 50)))
        self.burst = max(self.rate * 0.1, self.chunk)
        self._tokens = 0.0
        self._stamp = time.monotonic()
        self._users = 0
        self._lock = threading.Lock()

    def __enter__(self):
        with self._lock:
            if self._users == 0:
                self._tokens, self._stamp = 0.0, time.monotonic()
            self._users += 1
        return self

    def __exit__(self, *exc):
        with self._lock:
            self._users -= 1

    def reserve(self, count):
        with self._lock:
            now = time.monotonic()
            self._tokens = min(self.burst, self._tokens + (now - self._stamp) * self.rate)
            self._stamp = now
            # Tokens may go negative: the debt delays whoever asks next, which
            # keeps the long-run rate exact even when several threads share it.
            self._tokens -= count
            return -self._tokens / self.rate if self._tokens < 0 else 0.0


class JsonLines:
    """Append-only JSON-lines file, flushed per line so readers see it at once."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._lock = threading.Lock()

    def write(self, record):
        with self._lock:
            if self._file:
                self._file.write(json.dumps(record) + "\n")
                self._file.flush()

    def close(self):
        with self._lock:
            if self._file:
                self._file.close()
                self._file = None


def parse_range(header, size):
    """None to serve the whole file, (first, last) inclusive, or "unsatisfiable".

    Multiple ranges and malformed values are ignored, which HTTP allows."""
    if not header or not header.startswith("bytes="):
        return None
    wanted = header[len("bytes="):].strip()
    if "," in wanted or "-" not in wanted:
        return None
    first, _, last = (part.strip() for part in wanted.partition("-"))
    if not (first.isdigit() or first == "") or not (last.isdigit() or last == ""):
        return None
    if first == "":
        if last == "":
            return None
        suffix = int(last)
        if suffix == 0 or size == 0:
            return "unsatisfiable"
        return (max(0, size - suffix), size - 1)
    first = int(first)
    if last != "" and int(last) < first:
        return None
    if first >= size:
        return "unsatisfiable"
    return (first, size - 1 if last == "" else min(int(last), size - 1))


class Forbidden(Exception):
    pass


def resolve_component(root, raw_name):
    """Path of the component file named by the still-encoded URL part, or None.

    Raises Forbidden for anything that tries to leave the folder."""
    name = urllib.parse.unquote(raw_name, errors="replace")
    if ("\\" in name or "\0" in name or ":" in name or "%" in name or name.startswith("/")
            or any(part in ("", ".", "..") for part in name.split("/"))):
        raise Forbidden(name)
    if not root:
        return None
    base = os.path.realpath(root)
    full = os.path.realpath(os.path.join(base, name))
    if os.path.commonpath([base, full]) != base:
        raise Forbidden(name)
    return full if os.path.isfile(full) else None


def status_phrase(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Error"


def now_iso():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


class EndpointHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ZembrioEndpoint/1.0"
    timeout = 30  # idle keep-alive connections and blocked sends end after this
    # As production servers do (nginx's tcp_nodelay): with Nagle's algorithm
    # the small last piece of a body waits for the client's delayed ACK,
    # up to 40 ms after the rest, and the client's next request with it.
    disable_nagle_algorithm = True

    # -- connection and bookkeeping ------------------------------------

    def setup(self):
        super().setup()
        self.conn_id = self.server.register(self.connection)
        # A link of its own per connection, as a visitor's connections meet
        # a server whose limit is per connection.
        self.pacer = Pacer(self.server.rate) if self.server.rate and self.server.per_connection else None

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.unregister(self.connection)

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("%s %s\n" % (self.log_date_time_string(), format % args))

    def handle_one_request(self):
        # Forget the previous request, so that a malformed one is not recorded with its fields.
        self.record = self.headers = self.path = self.command = None
        super().handle_one_request()

    def begin_record(self):
        self.started = time.monotonic()
        headers = self.headers or {}
        self.record = {"time": now_iso(), "start": round(time.time(), 6), "conn": self.conn_id,
                       "method": self.command or None, "path": self.path, "range": headers.get("Range"),
                       "connection": headers.get("Connection"),
                       "agent": headers.get("User-Agent"), "status": None, "length": None,
                       "head": 0, "sent": 0, "fault": None, "aborted": False, "error": None,
                       "seconds": None}

    def end_record(self):
        self.record["seconds"] = round(time.monotonic() - self.started, 4)
        self.server.requests.write(self.record)

    def send_response(self, code, message=None):
        self.record["status"] = int(code)
        super().send_response(code, message)

    def send_header(self, keyword, value):
        if keyword.lower() == "content-length":
            self.record["length"] = int(value)
        super().send_header(keyword, value)

    def flush_headers(self):
        self.record["head"] += sum(len(line) for line in getattr(self, "_headers_buffer", []))
        super().flush_headers()

    def send_error(self, code, message=None, explain=None):
        # Malformed requests and unknown methods end up here; they are recorded too.
        self.begin_record()
        try:
            super().send_error(code, message, explain)
            if self.record["length"] and self.command != "HEAD":
                self.record["sent"] = self.record["length"]
        finally:
            self.end_record()

    # -- dispatch ------------------------------------------------------

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def dispatch(self):
        self.begin_record()
        try:
            self.discard_request_body()
            target = self.path
            if target.startswith("http://"):  # absolute form, as sent to proxies
                parts = urllib.parse.urlsplit(target)
                target = parts.path + ("?" + parts.query if parts.query else "")
            self.route_path, _, self.query = target.partition("?")
            if self.route_path == CONTROL_PATH:
                self.faults = []
                self.serve_control()
                return
            self.faults = self.server.faults.snapshot()
            if self.fault("drop"):
                self.drop_connection()
                return
            self.route()
        except (ConnectionError, TimeoutError, OSError) as error:
            self.record["aborted"] = True
            self.record["error"] = str(error)
            self.close_connection = True
        finally:
            self.end_record()

    def route(self):
        path = self.route_path
        if path == "/":
            self.respond(200, ROOT_PAGE, "text/html", self.site_headers())
        elif path == GOODIES_PATH:
            self.respond(200, GOODIES_PAGE, "text/html", self.site_headers())
        elif path == LOGGER_PATH:
            self.serve_logger()
        elif path.startswith(INSTALL_PREFIX):
            self.serve_component(path[len(INSTALL_PREFIX):])
        else:
            self.respond(404, html_page("Not found", ""), "text/html")

    def site_headers(self):
        headers = [("Cache-Control", "private, no-cache")]
        if (not (self.headers.get("User-Agent") or "").startswith(INSTALLER_AGENT)
                and not USABLE_COOKIE.search(self.headers.get("Cookie") or "") and not self.fault("no-cookie")):
            headers.append(("Set-Cookie", SITE_COOKIE % uuid.uuid4().hex))
        return headers

    def fault(self, name):
        found = find_fault(self.faults, name, urllib.parse.unquote(self.route_path))
        if found is not None and self.record["fault"] is None:
            self.record["fault"] = str(found)
        return found

    def discard_request_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > 1 << 20:
            self.close_connection = True
        elif length > 0:
            self.rfile.read(length)

    # -- endpoints -----------------------------------------------------

    def serve_logger(self):
        if self.command == "GET":
            values = parse_query(self.query)
            self.server.events.write({
                "event": values.get("event"), "userUID": values.get("userUID"),
                "source": values.get("source"), "agent": self.headers.get("User-Agent"),
                "time": now_iso(), "raw": self.query})
        self.respond(200, b"OK", "text/plain")

    def serve_component(self, raw_name):
        if urllib.parse.unquote(raw_name) == RELEASE_NAME and self.server.release_key and not os.path.exists(
                os.path.join(self.server.root, RELEASE_NAME)):
            self.respond(200, self.server.made_release(), "text/plain")
            return
        try:
            full = resolve_component(self.server.root, raw_name)
        except Forbidden:
            self.respond(403, html_page("Forbidden", ""), "text/html")
            return
        if full is None:
            if urllib.parse.unquote(raw_name) == FAQ_NAME:
                self.respond(200, FAQ_PAGE, "text/html")
            else:
                self.respond(404, html_page("Not found", ""), "text/html")
            return
        ctype = "text/html" if full.lower().endswith((".htm", ".html")) else "application/octet-stream"
        with open(full, "rb") as body:
            status = os.fstat(body.fileno())
            size = status.st_size
            wanted = None if self.fault("ignore-range") else parse_range(self.headers.get("Range"), size)
            # As nginx makes it; a CDN edge that holds another version answers
            # a range with its own.
            etag = '"%x-%x"' % (int(status.st_mtime), size)
            if wanted and self.fault("other-etag"):
                etag = '"%x-%x"' % (int(status.st_mtime) + 1, size)
            if wanted == "unsatisfiable":
                self.respond(416, b"", "text/plain", [("Content-Range", "bytes */%d" % size)], is_file=True)
            elif wanted:
                first, last = wanted
                shift = self.fault("range-shift")
                if shift:
                    # Honestly labelled, but not the bytes that were asked for.
                    first = min(last, first + (1024 if shift.value is None else shift.value))
                body.seek(first)
                self.respond(206, body, ctype, [("Content-Range", "bytes %d-%d/%d" % (first, last, size)),
                                                ("ETag", etag)], length=last - first + 1, is_file=True)
            else:
                self.respond(200, body, ctype, [("ETag", etag)], length=size, is_file=True)

    def serve_control(self):
        if self.client_address[0] != BIND_ADDRESS:
            self.respond(403, html_page("Forbidden", ""), "text/html")
            return
        params = urllib.parse.parse_qs(self.query, keep_blank_values=True)
        scope = (params.get("file") or [None])[0] or None
        try:
            changes = [parse_fault(text, scope) for text in params.get("fault", [])]
        except ValueError as error:
            self.respond(400, (str(error) + "\n").encode(), "text/plain")
            return
        if params.get("reset"):
            self.server.faults.reset()
            self.server.release_serial, self.server.release_key = RELEASE_SERIAL, self.server.default_release_key
        if params.get("release-serial"):
            self.server.release_serial = int(params["release-serial"][0])
        if params.get("release-key"):
            # "none": no release is made (a server that publishes none);
            # "foreign": the key beside the default one that no build trusts.
            which = params["release-key"][0]
            default = self.server.default_release_key
            self.server.release_key = (None if which == "none" or not default else
                                       os.path.join(os.path.dirname(default), "foreign-release.key")
                                       if which == "foreign" else default)
        refusal = None
        for change in changes:
            if change.name == "refuse":
                refusal = change
            else:
                self.server.faults.add(change)
        state = {"faults": [str(f) for f in self.server.faults.snapshot()],
                 "refuse": None if refusal is None else str(refusal)}
        headers = []
        if refusal:
            # This connection must finish its answer before the server goes dark.
            headers.append(("Connection", "close"))
            self.close_connection = True
        self.respond(200, (json.dumps(state) + "\n").encode(), "application/json", headers)
        if refusal:
            self.server.request_refusal(refusal.value, keep=self.connection)

    # -- sending -------------------------------------------------------

    def respond(self, status, body, ctype, headers=(), length=None, is_file=False):
        """Send one answer with the fault switches applied.

        body is bytes or a file positioned at the first byte to send; only
        component files take part in the global pacing."""
        if isinstance(body, bytes):
            length, body = len(body), io.BytesIO(body)
        if self.fault("silent"):
            # Taken (a logger has recorded it by now) and never answered.
            self.close_connection = True
            self.stall()
            return
        forced = self.fault("status") or (self.headers.get("Range") and self.fault("status-range"))
        if forced:
            self.send_plain(forced.value)
            return
        no_length = self.fault("no-length")
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if is_file:
            self.send_header("Accept-Ranges", "bytes")
        for name, value in headers:
            self.send_header(name, value)
        if (no_length or self.close_connection) and not any(n.lower() == "connection" for n, _ in headers):
            # Said out loud when the client asked for the close, as nginx does.
            self.send_header("Connection", "close")
            self.close_connection = True
        if not no_length:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        if self.command == "HEAD":
            return
        limit = length
        short, stall = self.fault("short-body"), self.fault("stall")
        for cut in (short, stall):
            if cut:
                limit = min(length, length // 2 if cut.value is None else cut.value)
                self.close_connection = True
        slow = self.fault("slow")
        pacers = [p for p in ((self.pacer or self.server.pacer) if is_file else None,
                              Pacer(slow.value) if slow else None) if p]
        self.send_body(body, limit, pacers)
        if stall:
            self.stall()

    def send_plain(self, status):
        text = html_page("%d %s" % (status, status_phrase(status)), "")
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        if self.command != "HEAD":
            self.send_all(text)

    def send_body(self, body, limit, pacers):
        chunk = min([SEND_CHUNK] + [p.chunk for p in pacers])
        remaining = limit
        with contextlib.ExitStack() as active:
            for pacer in pacers:
                active.enter_context(pacer)
            while remaining > 0:
                data = body.read(min(chunk, remaining))
                if not data:
                    break
                for pacer in pacers:
                    delay = pacer.reserve(len(data))
                    if delay and self.server.stopping.wait(delay):
                        raise ConnectionAbortedError("server stopping")
                self.send_all(data)
                remaining -= len(data)

    def send_all(self, data):
        # send() rather than sendall() so that "sent" counts exactly what left,
        # even when the client goes away in the middle.
        view = memoryview(data)
        while view:
            if self.server.stopping.is_set():
                raise ConnectionAbortedError("server stopping")
            count = self.connection.send(view)
            self.record["sent"] += count
            view = view[count:]

    def stall(self):
        """Send nothing more until the client leaves, the limit passes or the server stops."""
        deadline = time.monotonic() + self.server.stall_seconds
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.1)
            if not readable:
                continue
            try:
                if not self.connection.recv(1, socket.MSG_PEEK):
                    break
            except OSError:
                break
            self.server.stopping.wait(0.1)  # client sent more; keep ignoring it
        self.record["aborted"] = True

    def drop_connection(self):
        # Linger zero makes close() send a reset instead of an orderly end.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.rfile.close()
        self.connection.close()
        self.close_connection = True
        self.record["aborted"] = True


class EndpointServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    timeout = 0.1  # how often the main loop looks at the stop, refusal, time limit and parent
    # SO_REUSEADDR (from the base class) only for ports in TIME_WAIT; never
    # SO_REUSEPORT, which would let two servers share a port and split the
    # requests between them.
    allow_reuse_port = False

    def __init__(self, port, root, events, requests, rate=None, stall_seconds=60.0, verbose=False,
                 per_connection=False, release_key=None):
        self.root = root
        self.default_release_key = self.release_key = release_key
        self.release_serial = RELEASE_SERIAL
        self._digests = {}
        self.events = JsonLines(events)
        self.requests = JsonLines(requests)
        self.faults = FaultSet()
        self.rate, self.per_connection = rate, per_connection
        self.pacer = Pacer(rate) if rate and not per_connection else None
        self.stall_seconds = stall_seconds
        self.verbose = verbose
        self.stopping = threading.Event()
        self.stop_requested = False
        self.listening = True
        self.refuse_until = None
        self.refuse_keep = None
        self._conn_lock = threading.Condition()
        self._connections = set()
        self._next_conn = 0
        super().__init__((BIND_ADDRESS, port), EndpointHandler)

    def made_release(self):
        """release.txt for what the folder holds now, signed with the
        release key: a test serves any files and the installer's check of
        them passes, as it does against a published release."""
        entries = []
        for name in sorted(os.listdir(self.root)):
            path = os.path.join(self.root, name)
            if name in (RELEASE_NAME, FAQ_NAME) or name.startswith(".") or not os.path.isfile(path):
                continue
            stat = os.stat(path)
            key = (name, stat.st_size, stat.st_mtime_ns)
            if key not in self._digests:
                self._digests[key] = release.file_entry(path)
            entries.append(self._digests[key])
        return release.sign(release.make_body(self.release_serial, entries), self.release_key)

    def server_bind(self):
        # The base class looks up the host's full name here, which can stall
        # on a machine without DNS; loopback needs no lookup.
        super(http.server.HTTPServer, self).server_bind()
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def port(self):
        return self.server_address[1]

    # -- open connections, so that refusal and stop can end them --------

    def register(self, connection):
        with self._conn_lock:
            self._next_conn += 1
            self._connections.add(connection)
            return self._next_conn

    def unregister(self, connection):
        with self._conn_lock:
            self._connections.discard(connection)
            self._conn_lock.notify_all()

    def shut_connections(self, keep=None):
        with self._conn_lock:
            connections = [c for c in self._connections if c is not keep]
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # -- refusal: the port stays ours but nothing listens on it ---------

    def request_refusal(self, seconds, keep=None):
        self.refuse_keep = keep
        self.refuse_until = math.inf if seconds is None else time.monotonic() + seconds

    def update_listening(self):
        refusing = self.refuse_until is not None and time.monotonic() < self.refuse_until
        if refusing and self.listening:
            self.socket.close()
            # A bound socket that never listens keeps the port reserved, and
            # the kernel answers connection attempts with a reset: "refused".
            self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.socket.bind(self.server_address)
            self.listening = False
            self.shut_connections(keep=self.refuse_keep)
        elif not refusing and not self.listening:
            self.socket.close()
            self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.server_bind()
            self.server_activate()
            self.listening = True
            self.refuse_until = None

    # -- main loop and stop ---------------------------------------------

    def run(self, max_seconds=None, parent=None):
        """Serves until a stop is asked for, the time limit passes or the
        process that started it (parent) has ended: a server left behind by
        a killed test would hold the port of every later one."""
        deadline = None if max_seconds is None else time.monotonic() + max_seconds
        while not self.stop_requested:
            if deadline is not None and time.monotonic() >= deadline:
                sys.stderr.write("endpoint server: time limit of %g s reached\n" % max_seconds)
                break
            if parent is not None and os.getppid() != parent:
                sys.stderr.write("endpoint server: the process that started it (%d) has ended\n" % parent)
                break
            self.update_listening()
            if self.listening:
                self.handle_request()
            else:
                time.sleep(self.timeout)

    def stop(self):
        self.stopping.set()
        self.socket.close()
        self.shut_connections()
        with self._conn_lock:
            self._conn_lock.wait_for(lambda: not self._connections, timeout=2.0)
        self.events.close()
        self.requests.close()


def write_port_file(path, port):
    temp = path + ".tmp"
    with open(temp, "w") as out:
        out.write("%d\n" % port)
    os.replace(temp, path)  # readers never see a half-written file


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Local endpoint server (loopback only).")
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0 picks a free one")
    parser.add_argument("--bind", default=BIND_ADDRESS, help="must be 127.0.0.1")
    parser.add_argument("--root", help="components folder served under /install/")
    parser.add_argument("--events", help="JSON-lines file of logger GETs")
    parser.add_argument("--requests", help="JSON-lines file of every request")
    parser.add_argument("--port-file", help="file that receives the port once listening")
    parser.add_argument("--fault", action="append", default=[], metavar="NAME[=VALUE][@FILE]",
                        help="fault switch; repeatable")
    parser.add_argument("--rate", type=int, help="pace all component bodies together, bytes per second")
    parser.add_argument("--per-connection", action="store_true",
                        help="--rate paces each connection on its own instead of all together")
    parser.add_argument("--stall-seconds", type=float, default=60.0, help="longest stall (default 60)")
    parser.add_argument("--max-seconds", type=float, help="end by itself after this long")
    parser.add_argument("--verbose", action="store_true", help="print each request to stderr")
    parser.add_argument("--release-key", help="unencrypted PEM release key: /install/release.txt, where the "
                        "folder has none, is made for the folder's files and signed with it")
    parser.add_argument("--outlive-parent", action="store_true",
                        help="keep serving after the process that started it has ended (by default it stops)")
    args = parser.parse_args(argv)
    if args.bind != BIND_ADDRESS:
        parser.error("only %s may be bound" % BIND_ADDRESS)
    if args.root and not os.path.isdir(args.root):
        parser.error("--root %s is not a folder" % args.root)
    if args.rate is not None and args.rate <= 0:
        parser.error("--rate must be positive")
    try:
        args.fault = [parse_fault(text) for text in args.fault]
    except ValueError as error:
        parser.error(str(error))
    return args


def main(argv=None):
    args = parse_args(argv)
    # Taken before anything else: a parent that ends from here on is seen.
    parent = os.getppid()
    try:
        server = EndpointServer(args.port, args.root, args.events, args.requests,
                                rate=args.rate, stall_seconds=args.stall_seconds, verbose=args.verbose,
                                per_connection=args.per_connection, release_key=args.release_key)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            sys.stderr.write("endpoint server: port %d of %s is taken, by another server or one left running; "
                             "not sharing it\n" % (args.port, BIND_ADDRESS))
        else:
            sys.stderr.write("endpoint server: cannot listen on %s:%d: %s\n" % (BIND_ADDRESS, args.port, error))
        return 1
    for fault in args.fault:
        if fault.name == "refuse":
            server.request_refusal(fault.value)
        else:
            server.faults.add(fault)
    server.update_listening()  # refuse before anyone learns the port

    def request_stop(signum, frame):
        server.stop_requested = True
    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)

    print(server.port, flush=True)
    if args.port_file:
        write_port_file(args.port_file, server.port)
    try:
        server.run(args.max_seconds, parent=None if args.outlive_parent else parent)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
