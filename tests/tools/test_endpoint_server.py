#!/usr/bin/env python3
"""Tests of tools/endpoint_server.py, run as a real server process on 127.0.0.1."""

import http.client
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "tools", "endpoint_server.py")
DATA = random.Random(7).randbytes(5000)
OTHER = random.Random(8).randbytes(3000)
SECRET = b"outside the components folder"
A_BIN = b"GET /install/a.bin HTTP/1.1\r\nHost: x\r\n\r\n"  # keep-alive: only the server's close ends it


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    return predicate()


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


def ask(conn, path, headers=None, method="GET"):
    """One request on a kept connection: (status, headers, body)."""
    conn.request(method, path, headers=headers or {})
    response = conn.getresponse()
    return response.status, response.headers, response.read()


class ServerProcess:
    """One endpoint server subprocess with its own components folder and logs;
    as a context, stopped at the end and held to a clean exit."""

    def __init__(self, *extra):
        self.tmp = tempfile.TemporaryDirectory()
        base = self.tmp.name
        self.root = os.path.join(base, "components")
        os.makedirs(os.path.join(self.root, "sub"))
        self.write("a.bin", DATA)
        self.write("b.bin", OTHER)
        self.write("../secret.txt", SECRET)
        self.events_path = os.path.join(base, "events.jsonl")
        self.requests_path = os.path.join(base, "requests.jsonl")
        port_file = os.path.join(base, "port")
        self.output = open(os.path.join(base, "server.out"), "w")
        self.proc = subprocess.Popen(
            [sys.executable, SERVER, "--port", "0", "--port-file", port_file, "--root", self.root,
             "--events", self.events_path, "--requests", self.requests_path,
             "--max-seconds", "60", "--stall-seconds", "10"] + list(extra),
            stdout=self.output, stderr=subprocess.STDOUT)
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None, 10):
            self.stop()
            raise RuntimeError("server did not start")
        with open(port_file) as text:
            self.port = int(text.read())

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        rc = self.stop()
        assert rc == 0, "server exit code %r" % rc

    def write(self, name, data):
        with open(os.path.join(self.root, name), "wb") as out:
            out.write(data)

    def connection(self, timeout=5):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def get(self, path, headers=None, method="GET"):
        conn = self.connection()
        try:
            return ask(conn, path, headers, method)
        finally:
            conn.close()

    def control(self, query):
        status, _, body = self.get("/__control?" + query)
        return status, body

    def lines(self, path):
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as text:
            return [json.loads(line) for line in text]

    def requests(self):
        return self.lines(self.requests_path)

    def events(self):
        return self.lines(self.events_path)

    def records_since(self, mark, path, count=1):
        """Request-log records of path written after mark, once count of them exist.

        Records are written when an answer ends, so they may lag behind the client."""
        def matching():
            return [r for r in self.requests()[mark:] if r["path"] == path]
        wait_for(lambda: len(matching()) >= count)
        found = matching()
        assert len(found) >= count, "too few records of %s: %r" % (path, found)
        return found

    def stop(self, signum=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            return self.proc.wait(timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.output.close()
            self.tmp.cleanup()


def raw_exchange(port, request, timeout=5, source=None):
    """Send request bytes, read until the server closes; returns (status, headers, body)."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                    source_address=(source, 0) if source else None)
    try:
        sock.sendall(request)
        data = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    finally:
        sock.close()
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return int(lines[0].split()[1]), headers, body


def raw_get(port, path, extra=""):
    return raw_exchange(port, ("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%s\r\n"
                               % (path, extra)).encode("latin-1"))


server = None


def setUpModule():
    global server
    server = ServerProcess()


def tearDownModule():
    server.__exit__()


class OneServer(unittest.TestCase):
    """Serving and the fault switches, on the module's server, reset before each test."""

    def setUp(self):
        server.control("reset=1")

    def set_fault(self, text, name=None):
        status, body = server.control("fault=%s" % text + ("&file=%s" % name if name else ""))
        self.assertEqual(status, 200, body)

    def test_whole_file_and_head_share_one_keep_alive_connection(self):
        mark = len(server.requests())
        conn = server.connection()
        for method in ("GET", "HEAD", "GET"):
            status, headers, body = ask(conn, "/install/a.bin", method=method)
            self.assertEqual((status, headers["Content-Length"], body), (200, "5000", DATA if method == "GET" else b""))
        # A client that asks for the close hears it said back, as from nginx,
        # and the connection ends with the answer.
        conn.request("GET", "/install/a.bin", headers={"Connection": "close"})
        response = conn.getresponse()
        self.assertEqual((response.read(), response.headers["Connection"], response.will_close), (DATA, "close", True))
        conn.close()
        records = server.records_since(mark, "/install/a.bin", 4)
        self.assertEqual(len({r["conn"] for r in records}), 1)
        self.assertEqual([(r["sent"], r["connection"]) for r in records],
                         [(5000, None), (0, None), (5000, None), (5000, "close")])

    def test_byte_ranges_and_unsatisfiable_ranges(self):
        mark = len(server.requests())
        conn = server.connection()
        # Range; the first byte sent, to the end (None: unsatisfiable)
        cases = [("bytes=1000-4999", 1000), ("bytes=0-", 0), ("bytes=4999-4999", 4999), ("bytes=-100", 4900),
                 ("bytes=4000-9999", 4000), ("bytes=5000-", None), ("bytes=5000-6000", None), ("bytes=-0", None)]
        for header, first in cases:
            status, headers, body = ask(conn, "/install/a.bin", {"Range": header})
            self.assertEqual((status, headers["Content-Range"]) + ((body,) if first is not None else ()),
                             (416, "bytes */5000") if first is None else
                             (206, "bytes %d-4999/5000" % first, DATA[first:]), header)
        conn.close()
        records = server.records_since(mark, "/install/a.bin", 8)
        self.assertEqual([(r["range"], r["sent"]) for r in records],
                         [(header, 0 if first is None else 5000 - first) for header, first in cases])

    def test_pages_and_faq_sections(self):
        for path in ("/", "/freegoodies", "/install/faq.htm"):
            status, headers, body = server.get(path)
            self.assertEqual((status, headers["Content-Type"]), (200, "text/html"), path)
        for category in ("simulated", "general", "network", "fileio", "permissions",
                         "unsupportedos", "diskspace"):
            self.assertIn(('id="%s"' % category).encode(), body)
        self.assertEqual(server.get("/nothing")[0], 404)
        # The site's cookie goes to a browser without one, never to the
        # installer (its probe would leave an id in Wine's cookie store).
        for agent, cookie, sets in [("Mozilla/4.0", None, True), ("Zembrio Installer v.1.8.204", None, False),
                                    ("Mozilla/4.0", "a=1; zembrio=userId:42&v:1", False),
                                    ("Mozilla/4.0", "zembrio=42", True)]:
            headers = {"User-Agent": agent, **({"Cookie": cookie} if cookie else {})}
            self.assertEqual(sets, "Set-Cookie" in server.get("/", headers)[1], (agent, cookie))
        server.write("faq.htm", b"<html>our own help</html>")
        self.addCleanup(os.remove, os.path.join(server.root, "faq.htm"))
        self.assertEqual(server.get("/install/faq.htm")[2], b"<html>our own help</html>")

    def test_paths_outside_the_folder_and_directories_are_refused(self):
        attempts = ["/install/../secret.txt", "/install/%2e%2e/secret.txt", "/install/..%2fsecret.txt",
                    "/install/%2E%2E%5Csecret.txt", "/install/..\\secret.txt", "/install/sub/../../secret.txt",
                    "/install/%252e%252e/secret.txt", "/install//" + os.path.join(server.tmp.name, "secret.txt"),
                    "/install/%2F" + server.tmp.name.lstrip("/") + "/secret.txt", "/install/", "/install/sub",
                    "/install/sub/", "/install/a.bin%00.txt"]
        for path in attempts:
            status, _, body = raw_get(server.port, path)
            self.assertIn(status, (403, 404), path)
            self.assertNotIn(SECRET, body, path)

    def test_logger_records_decoded_event_with_agent(self):
        query = "event=networkThreadControl%2CNetworkError&userUID=ab+c%7E%E9&source=zembrioinstaller"
        status, headers, body = server.get("/Logger/Zembrio.aspx?" + query, {"User-Agent": "Zembrio Agent"})
        self.assertEqual((status, len(body) < 64), (200, True))
        self.assertLessEqual({"event": "networkThreadControl,NetworkError", "userUID": "ab+c~\u00e9",
                              "source": "zembrioinstaller", "agent": "Zembrio Agent", "raw": query}.items(),
                             server.events()[-1].items())
        server.get("/Logger/Zembrio.aspx?event=generalbootstrapstart&userUID=&source=x")
        self.assertEqual((server.events()[-1]["userUID"], server.events()[-1]["event"]),
                         ("", "generalbootstrapstart"))

    def test_length_faults(self):
        self.set_fault("no-length", "a.bin")
        status, headers, body = raw_exchange(server.port, A_BIN)
        self.assertEqual((status, headers["connection"], "content-length" in headers, body),
                         (200, "close", False, DATA))
        self.assertEqual(server.get("/install/b.bin")[1]["Content-Length"], "3000")  # other files keep their length
        # A short body announces the full length.
        server.control("reset=1")
        self.set_fault("short-body=100", "a.bin")
        status, headers, body = raw_get(server.port, "/install/a.bin", "Range: bytes=0-\r\n")
        self.assertEqual((status, headers["content-length"], body), (206, "5000", DATA[:100]))
        self.set_fault("short-body@a.bin")
        conn = server.connection()
        conn.request("GET", "/install/a.bin")
        with self.assertRaises(http.client.IncompleteRead) as caught:
            conn.getresponse().read()
        self.assertEqual(len(caught.exception.partial), 2500)
        conn.close()

    def test_range_and_status_faults(self):
        self.set_fault("ignore-range")
        status, headers, body = server.get("/install/a.bin", {"Range": "bytes=1000-4999"})
        self.assertEqual((status, body, "Content-Range" in headers), (200, DATA, False))
        server.control("reset=1")
        self.set_fault("range-shift=10")
        status, headers, body = server.get("/install/a.bin", {"Range": "bytes=1000-4999"})
        self.assertEqual((status, headers["content-range"], body), (206, "bytes 1010-4999/5000", DATA[1010:]))
        server.control("reset=1")
        self.set_fault("status-range=500", "a.bin")
        conn = server.connection()
        for path, headers, expected in [("/install/a.bin", {}, 200),
                                        ("/install/a.bin", {"Range": "bytes=0-9"}, 500),
                                        ("/install/b.bin", {"Range": "bytes=0-9"}, 206)]:
            self.assertEqual(ask(conn, path, headers)[0], expected, (path, headers))
        conn.close()
        self.set_fault("status=503")
        self.assertEqual([server.get("/")[0], server.get("/install/b.bin")[0]], [503, 503])
        server.control("reset=1")
        self.set_fault("logger-status=500")
        self.assertEqual(server.get("/Logger/Zembrio.aspx?event=e1&userUID=u&source=s")[0], 500)
        self.assertEqual(server.events()[-1]["event"], "e1")  # the server still saw it
        self.assertEqual(server.get("/")[0], 200)

    def test_slow_paces_only_the_chosen_file(self):
        self.set_fault("slow=20000", "a.bin")
        started = time.monotonic()
        self.assertEqual(server.get("/install/a.bin")[2], DATA)
        self.assertGreater(time.monotonic() - started, 0.2)  # 5000 bytes at 20000 B/s
        started = time.monotonic()
        server.get("/install/b.bin")
        self.assertLess(time.monotonic() - started, 0.1)

    def test_stall_and_a_silent_logger_hold_the_answer_until_the_client_leaves(self):
        mark = len(server.requests())
        held = "/Logger/Zembrio.aspx?event=held&userUID=u&source=s"
        # fault, request; what arrives before the client gives up, the bytes the record says went out
        for fault, request, arrives, sent in [
                ("stall=1000@a.bin", A_BIN, (b"Content-Length: 5000", DATA[:1000]), 1000),
                ("logger-silent", b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % held.encode(), (), 0)]:
            with self.subTest(fault):
                self.set_fault(fault)
                sock = socket.create_connection(("127.0.0.1", server.port), timeout=0.5)
                sock.sendall(request)
                data = b""
                with self.assertRaises(socket.timeout):  # a close instead ends the loop, and fails
                    while chunk := sock.recv(65536):
                        data += chunk
                sock.close()
                if arrives:
                    self.assertIn(arrives[0], data)
                    self.assertTrue(data.endswith(arrives[1]))
                else:
                    self.assertEqual((data, server.events()[-1]["event"]), (b"", "held"))
                record = server.records_since(mark, request.split()[1].decode())[0]
                self.assertEqual((record["sent"], record["aborted"]), (sent, True))
        self.assertEqual(server.get("/")[0], 200)

    def test_drop_resets_the_logger_without_recording(self):
        self.set_fault("drop@/Logger/Zembrio.aspx")
        before = len(server.events())
        with self.assertRaises((ConnectionError, http.client.RemoteDisconnected)):
            server.get("/Logger/Zembrio.aspx?event=lost&userUID=u&source=s")
        self.assertEqual((len(server.events()), server.get("/")[0]), (before, 200))

    def test_control_validates_resets_and_serves_only_loopback_127_0_0_1(self):
        self.assertEqual([server.control("fault=nonsense")[0], server.control("fault=status=99")[0]], [400, 400])
        self.set_fault("status=500@a.bin")
        self.assertEqual(json.loads(server.control("")[1])["faults"], ["status=500@a.bin"])
        self.assertEqual(server.control("reset=1")[0], 200)
        self.assertEqual(server.get("/install/a.bin")[0], 200)
        status, _, _ = raw_exchange(server.port, b"GET /__control?fault=status=500 HTTP/1.1\r\n"
                                    b"Host: x\r\nConnection: close\r\n\r\n", source="127.0.0.2")
        self.assertEqual((status, server.get("/")[0]), (403, 200))


class LifecycleTests(unittest.TestCase):
    def test_start_time_faults_and_bad_arguments(self):
        with ServerProcess("--fault", "ignore-range@a.bin", "--fault", "logger-status=502") as own:
            self.assertEqual([own.get("/install/a.bin", {"Range": "bytes=0-9"})[0],
                              own.get("/install/b.bin", {"Range": "bytes=0-9"})[0],
                              own.get("/Logger/Zembrio.aspx?event=x")[0]], [200, 206, 502])
        for bad in (["--bind", "0.0.0.0"], ["--fault", "bogus"], ["--fault", "status=42"],
                    ["--fault", "slow"]):
            result = subprocess.run([sys.executable, SERVER, "--max-seconds", "5"] + bad,
                                    capture_output=True, timeout=10)
            self.assertEqual(result.returncode, 2, bad)

    def test_refuse_at_start_and_at_run_time(self):
        def reachable():
            try:
                return own.get("/")[0] == 200
            except ConnectionError:
                return False

        with ServerProcess("--fault", "refuse=1") as own:
            self.assertTrue(refused(own.port))
            self.assertTrue(wait_for(reachable, 5))
            idle = own.connection()
            ask(idle, "/")
            self.assertEqual(own.control("fault=refuse=1")[0], 200)
            time.sleep(0.3)
            self.assertTrue(refused(own.port))
            with self.assertRaises((ConnectionError, http.client.HTTPException)):
                ask(idle, "/")  # the kept-alive connection was ended too
            idle.close()
            self.assertTrue(wait_for(reachable, 5))

    def test_signals_stop_promptly_with_complete_logs(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            own = ServerProcess("--fault", "stall=100@a.bin")
            stalled = socket.create_connection(("127.0.0.1", own.port), timeout=5)
            stalled.sendall(A_BIN)
            idle = own.connection()
            ask(idle, "/")
            wait_for(lambda: stalled.recv(65536, socket.MSG_PEEK))
            started = time.monotonic()
            own.proc.send_signal(signum)
            rc = own.proc.wait(5)
            records = own.requests()
            own.stop()
            stalled.close()
            idle.close()
            self.assertEqual(rc, 0, signum)
            self.assertLess(time.monotonic() - started, 3)
            self.assertEqual([(r["path"], r["sent"]) for r in records], [("/", records[0]["sent"]),
                                                                         ("/install/a.bin", 100)], signum)

    def test_a_taken_port_is_not_shared(self):
        with ServerProcess() as own:
            second = subprocess.run([sys.executable, SERVER, "--port", str(own.port), "--max-seconds", "5"],
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual(second.returncode, 1)
            self.assertIn("port %d of 127.0.0.1 is taken" % own.port, second.stderr)
            mark = len(own.requests())
            self.assertEqual([own.get("/")[0] for _ in range(4)], [200] * 4)
            self.assertEqual(len(own.records_since(mark, "/", 4)), 4)  # every request reached the first

    def test_the_server_ends_with_the_process_that_started_it(self):
        # A test killed by its time limit must not leave the port taken.
        with tempfile.TemporaryDirectory() as tmp:
            port_file = os.path.join(tmp, "port")
            starter = subprocess.Popen(
                [sys.executable, "-c", "import subprocess, sys, time; subprocess.Popen(sys.argv[1:]); time.sleep(60)",
                 sys.executable, SERVER, "--port", "0", "--port-file", port_file, "--max-seconds", "60"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.assertTrue(wait_for(lambda: os.path.exists(port_file), 10))
                with open(port_file) as text:
                    port = int(text.read())
                self.assertFalse(refused(port))
            finally:
                starter.kill()
                starter.wait()
            self.assertTrue(wait_for(lambda: refused(port), 3), "the server outlived its parent")

    def test_max_seconds_ends_the_server(self):
        result = subprocess.run([sys.executable, SERVER, "--max-seconds", "0.3"],
                                capture_output=True, timeout=10)
        self.assertEqual((result.returncode, result.stdout.strip().isdigit()), (0, True))

    def test_global_and_per_connection_rates_are_accurate(self):
        # Two bodies at once: together at the rate, or each at it.
        rate, size = 16 << 20, 4 << 20
        for extra, share in (((), 2), (("--per-connection",), 1)):
            with ServerProcess("--rate", str(rate), *extra) as own:
                own.write("big.bin", bytes(size))
                conns = [own.connection() for _ in range(2)]
                for conn in conns:
                    conn.request("GET", "/install/big.bin")
                responses = [conn.getresponse() for conn in conns]
                started = time.monotonic()
                with ThreadPoolExecutor(2) as readers:
                    received = list(readers.map(lambda response: len(response.read()), responses))
                elapsed = time.monotonic() - started
                for conn in conns:
                    conn.close()
                records = own.records_since(0, "/install/big.bin", 2)
            self.assertEqual(received, [size, size])
            # The server's own clock is the measure; the client may only lag
            # behind it (a busy machine delays the reader), never run ahead.
            for record in records:
                self.assertAlmostEqual(size / record["seconds"] / rate * share, 1.0, delta=0.04, msg=extra)
            self.assertLess(2 * size / elapsed / rate / (2 / share), 1.05, extra)


if __name__ == "__main__":
    unittest.main()
