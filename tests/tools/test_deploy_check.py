#!/usr/bin/python3
"""Tests of tools/deploy-check against live servers on 127.0.0.1: the
endpoint server with each of its fault switches, nginx running
deploy/nginx/zembrio.conf inside Debian's nginx.conf with complete,
truncated, damaged and stale files and with misconfigurations, with faulty
release files, and a small site giving out faulty cookies; the snippet's own
limits and logs; releases through tools/publish, to a local folder and over
ssh, and the release key's password kept off every command line."""

import os
import hashlib
import json
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import harness  # noqa: E402
import authenticode  # noqa: E402
from pe_checksum import checksum_offset, compute_checksum  # noqa: E402
import release  # noqa: E402
import release_files  # noqa: E402

CHECK = os.path.join(SOURCE, "tools", "deploy-check")
PUBLISH = os.path.join(SOURCE, "tools", "publish")
SIGN = os.path.join(SOURCE, "tools", "sign")
RELEASE = os.path.join(SOURCE, "tools", "release.py")
SECRET = "the release key's own password 7Qz"
# Variables that would hand the tools keys, pins or passwords the test did not give.
GIVEN_ONLY = ("ZEMBRIO_TRUSTED_SIGNERS", "ZEMBRIO_RELEASE_KEYS", release.PASSWORD_VARIABLE)
SIZES = {"installhelper.exe": 10240, "dotnetfx.exe": 20971520, "setup.exe": 20971521, "setupm.exe": 20971523}


def make_image(rng, size):
    """Random bytes behind minimal PE headers with one section and a correct
    checksum: just what the installer verifies, and what can be signed."""
    image = bytearray(rng.randbytes(size))
    image[0:0x200] = bytes(0x200)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x80)
    image[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 0x84, 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    optional = 0x98
    struct.pack_into("<H", image, optional, 0x10B)
    struct.pack_into("<II", image, optional + 32, 0x1000, 0x200)  # section and file alignment
    struct.pack_into("<II", image, optional + 56, 0x2000, 0x200)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<H", image, optional + 68, 2)
    struct.pack_into("<I", image, optional + 92, 16)  # NumberOfRvaAndSizes
    struct.pack_into("<8sIIII", image, optional + 0xE0, b".text", 0x1000, 0x1000, 0x200, 0x200)
    struct.pack_into("<I", image, checksum_offset(image), compute_checksum(image))
    return image


def sign(path, keys, key="test", form="dual"):
    subprocess.run(["/usr/bin/python3", SIGN, "--key", os.path.join(keys, key + ".key"), "--cert",
                    os.path.join(keys, key + ".crt"), "--form", form, "--quiet", path], check=True, timeout=120)


def make_components(folder, keys):
    """The components at (or just over) the installer's minimum sizes before
    signing, the publisher's signed with the test key of keys, dotnetfx.exe
    with the foreign one as another maker's; release.txt, serial 100, signed
    with the test release key. Returns the test key's pin."""
    subprocess.run(["/usr/bin/python3", SIGN, "--make-test-keys", keys], check=True, timeout=120,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["/usr/bin/python3", RELEASE, "--make-test-key", keys], check=True, timeout=120,
                   stdout=subprocess.DEVNULL)
    rng = random.Random(3)
    for name, size in SIZES.items():
        path = os.path.join(folder, name)
        with open(path, "wb") as out:
            out.write(make_image(rng, size))
        sign(path, keys, "test" if name in release_files.PUBLISHER_SIGNED else "foreign")
    write_release(folder, keys, 100, served(folder))
    with open(os.path.join(keys, "test.pin")) as f:
        return f.read().strip()


def served(folder, names=SIZES):
    """{name: (size, sha256)} of the components in folder."""
    return {name: release.file_entry(os.path.join(folder, name))[1:] for name in names}


def signed_release(keys, serial, files, key="release"):
    return release.sign(release.make_body(serial, [(name, *entry) for name, entry in files.items()]),
                        os.path.join(keys, key + ".key"))


def write_release(folder, keys, serial, files, key="release"):
    with open(os.path.join(folder, "release.txt"), "wb") as out:
        out.write(signed_release(keys, serial, files, key))


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


def publish(*args, env=None, umask=None):
    env = {**{k: v for k, v in os.environ.items() if k not in GIVEN_ONLY}, **(env or {})}
    return subprocess.run(["/usr/bin/python3", PUBLISH, *args], capture_output=True, text=True, timeout=300,
                          env=env, preexec_fn=None if umask is None else lambda: os.umask(umask))


def sha256_of(path):
    return hashlib.sha256(read_bytes(path)).hexdigest()


def unsign(path, out):
    subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", out], check=True, capture_output=True,
                   timeout=120)


def live_release(folder):
    return release.verify(read_bytes(os.path.join(folder, "release.txt")),
                          [release.load_public_key(COMPONENTS["release_key"])])


# ssh to a host that is this machine, as a real one runs the command: through
# a shell, the data on its input. CUT_UPLOADS loses the second half of each
# upload, as a broken transfer or a full disk would.
# SSH_LOG, when set, gets each command as a JSON line.
FAKE_SSH = """#!/usr/bin/python3
import json, os, subprocess, sys
args = sys.argv[1:]
while args[0].startswith("-"):
    args = args[2:] if args[0] == "-o" else args[1:]
if os.environ.get("SSH_LOG"):
    with open(os.environ["SSH_LOG"], "a") as log:
        log.write(json.dumps(args[1]) + "\\n")
data = sys.stdin.buffer.read()
if os.environ.get("CUT_UPLOADS") and "cat >" in args[1]:
    data = data[:len(data) // 2]
sys.exit(subprocess.run(["sh", "-c", args[1]], input=data).returncode)
"""

# openssl as it is, each call's command line logged to OPENSSL_LOG (when
# set) with whether the release password was in its environment.
FAKE_OPENSSL = """#!/usr/bin/python3
import json, os, sys
if os.environ.get("OPENSSL_LOG"):
    with open(os.environ["OPENSSL_LOG"], "a") as log:
        log.write(json.dumps({"argv": sys.argv, "password in environment": "%s" in os.environ}) + "\\n")
os.execv("/usr/bin/openssl", ["openssl"] + sys.argv[1:])
""" % release.PASSWORD_VARIABLE


def fake_tools(folder):
    """A folder for PATH with the stand-in ssh and the logging openssl."""
    os.makedirs(folder, exist_ok=True)
    for name, text in (("ssh", FAKE_SSH), ("openssl", FAKE_OPENSSL)):
        with open(os.path.join(folder, name), "w") as out:
            out.write(text)
        os.chmod(os.path.join(folder, name), 0o755)
    return {"PATH": folder + os.pathsep + os.environ["PATH"]}


def logged(path):
    if not os.path.exists(path):
        return []
    with open(path) as lines:
        return [json.loads(line) for line in lines]


def deploy_check(*args):
    env = {k: v for k, v in os.environ.items() if k not in GIVEN_ONLY}  # keys and pins only from args
    run = subprocess.run(["/usr/bin/python3", CHECK, *args], capture_output=True, text=True, timeout=120, env=env)
    failures = [line for line in run.stdout.splitlines() if line.startswith("FAIL")]
    return run, failures


COMPONENTS = {}


def setUpModule():
    # Made and signed once for both servers (several seconds of hashing);
    # a test that damages a file puts the good one back.
    tmp = tempfile.TemporaryDirectory()
    unittest.addModuleCleanup(tmp.cleanup)
    root, keys = os.path.join(tmp.name, "components"), os.path.join(tmp.name, "keys")
    os.mkdir(root)
    COMPONENTS.update(root=root, keys=keys, pin=make_components(root, keys),
                      release_key=os.path.join(keys, "release.pub.pem"))


class Deployment(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.root, cls.keys, cls.pin = COMPONENTS["root"], COMPONENTS["keys"], COMPONENTS["pin"]
        cls.trusted = ["--signer", cls.pin, "--release-key", COMPONENTS["release_key"]]

    def assert_passes(self, *args, checks=45):
        run, failures = deploy_check(*args, *self.trusted)
        self.assertEqual((0, []), (run.returncode, failures), run.stdout + run.stderr)
        self.assertIn("%d checks: %d passed, 0 failed" % (checks, checks), run.stdout)

    def assert_fails(self, args, check, words, also=()):
        """The named check fails with what to fix, and nothing else fails but
        checks about the same file or address; no traceback."""
        run, failures = deploy_check(*args, *self.trusted)
        self.assertEqual(1, run.returncode, run.stdout + run.stderr)
        self.assertEqual("", run.stderr)
        self.assertTrue(failures, run.stdout)
        allowed = tuple("FAIL  " + what for what in (check.split()[0], *also))
        self.assertTrue(all(line.startswith(allowed) for line in failures), failures)
        self.assertTrue(any(line.startswith("FAIL  " + check) and words in line for line in failures), failures)


class AgainstEndpointServer(Deployment):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = harness.EndpointServer(cls.root, cls.tmp.name, port=0)
        cls.addClassCleanup(cls.server.stop)
        cls.url = "http://127.0.0.1:%d" % cls.server.port

    def test_each_fault_fails_with_what_to_fix(self):
        live = os.path.join(self.root, "release.txt")
        good = read_bytes(live)
        self.addCleanup(shutil.copy, live + ".good", live)
        shutil.copy(live, live + ".good")
        files = served(self.root)
        size, digest = files["setup.exe"]
        at = good.index(digest.encode())
        altered = good[:at] + (b"1" if good[at:at + 1] == b"0" else b"0") + good[at + 1:]
        unlisted = {name: entry for name, entry in files.items() if name != "setupm.exe"}
        no_diskspace = (b'<h2 id="general"><a name="network"></a><p id=simulated><h2 id="fileio">'
                        b'<h2 id="permissions"><h2 id="unsupportedos"><p>diskspace</p>')
        dead = ["--logger", "http://127.0.0.1:%d" % harness.free_port()]
        # A fault switch, or files put in the folder (None: removed); more
        # arguments; the check that fails and words of its line (None: all
        # pass), others that may fail. Each row starts from the healthy server.
        cases = [
            ({}, ["--min-serial", "100"], None, None),  # a release at the minimum serial
            ("ignore-range@setup.exe", [], "setup.exe range bytes=", "ignores Range"),
            ("no-cookie", [], "site cookie", "sets no cookie holding \"userId\""),
            ("other-etag@setupm.exe", [], "setupm.exe range bytes=0-", "different versions"),
            ("no-length@dotnetfx.exe", [], "dotnetfx.exe GET", "no Content-Length"),
            ("short-body@setupm.exe", [], "setupm.exe GET", "the body ended after"),
            ("status-range=500@installhelper.exe", [], "installhelper.exe range", "instead of 206"),
            ("logger-status=503", [], "logger", "answered 503"),
            ("drop@/", [], "probe", "connectivity probe fails", "site"),  # the site shares the root
            ({"faq.htm": no_diskspace}, [], "faq.htm", "no section for diskspace"),
            ({}, dead, "logger", "Connection refused"),
            ({"release.txt": altered}, [], "release.txt signature", "changed after signing"),
            ({"release.txt": signed_release(self.keys, 100, files, "foreign-release")}, [], "release.txt signature",
             "not signed by a key given"),
            ({}, ["--min-serial", "101"], "release.txt serial", "serial 100, below --min-serial 101"),
            ({"release.txt": signed_release(self.keys, 100, {**files, "setup.exe": (size + 1, digest)})}, [],
             "setup.exe release", "release.txt lists %d bytes" % (size + 1)),
            ({"release.txt": signed_release(self.keys, 100, unlisted)}, [], "setupm.exe release",
             "release.txt does not list it"),
            ({"release.txt": good.replace(b"\n", b"\r\n")}, [], "release.txt signature", "carriage return"),
            ({"release.txt": None}, [], "release.txt GET", "answered 404"),
        ]
        for number, (what, args, check, words, *also) in enumerate(cases):
            with self.subTest(number=number, what=what if isinstance(what, str) else list(what), args=args):
                self.server.control("reset=1" + ("&fault=" + what if isinstance(what, str) else ""))
                shutil.copy(live + ".good", live)
                put = {} if isinstance(what, str) else what
                for name, data in put.items():
                    if data is None:
                        os.remove(os.path.join(self.root, name))
                    else:
                        with open(os.path.join(self.root, name), "wb") as out:
                            out.write(data)
                try:
                    if check is None:
                        self.assert_passes(self.url + "/install", *args)
                    else:
                        self.assert_fails([self.url] + args, check, words, also)
                finally:
                    if "faq.htm" in put:
                        os.remove(os.path.join(self.root, "faq.htm"))


class AgainstNginx(Deployment):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.nginx = harness.NginxServer(cls.root, os.path.join(cls.tmp.name, "nginx"), port=harness.free_port())
        cls.addClassCleanup(cls.nginx.stop)
        cls.url = "http://127.0.0.1:%d" % cls.nginx.port

    def test_truncated_damaged_or_badly_signed_file_fails(self):
        def altered(data):  # a signed byte changed, the checksum set again: only the signature tells
            data = bytearray(data)
            data[len(data) // 2] ^= 1
            struct.pack_into("<I", data, checksum_offset(data), compute_checksum(data))
            return data

        def nested_broken(data):  # the primary signature intact, the nested one's last byte changed
            data = bytearray(data)
            table = authenticode.certificate_table(data)[0] + 8
            data[authenticode._element(data, table)[2] - 1] ^= 1
            return data

        for name, damage, check, words in [
                ("setup.exe", lambda data: data[:1 << 20], "setup.exe size", "needs at least 20971520"),
                # Cut inside the data directories: the certificate table is gone, not a traceback.
                ("installhelper.exe", lambda data: data[:240], "installhelper.exe signature", "not signed"),
                ("setupm.exe", lambda data: data[:-1] + bytes([data[-1] ^ 1]), "setupm.exe checksum",
                 "upload it again"),
                ("setup.exe", "unsigned", "setup.exe signature", "not signed"),
                ("installhelper.exe", "foreign", "installhelper.exe signature", "not by a signer given"),
                ("installhelper.exe", altered, "installhelper.exe signature", "altered after signing"),
                ("setupm.exe", nested_broken, "setupm.exe signature", "nested signature 1 does not verify"),
                ("setup.exe", "sha256", "setup.exe signature", "Windows 98 to XP")]:
            with self.subTest(name=name, words=words):
                path = os.path.join(self.root, name)
                shutil.copy(path, path + ".good")
                try:
                    if callable(damage):
                        with open(path, "wb") as bad:
                            bad.write(damage(read_bytes(path + ".good")))
                    else:
                        os.remove(path)
                        unsign(path + ".good", path)
                        if damage != "unsigned":
                            sign(path, self.keys, *(("foreign",) if damage == "foreign" else ("test", damage)))
                    self.assert_fails([self.url], check, words)
                finally:
                    os.replace(path + ".good", path)

    def test_snippet_passes_nginx_t_inside_debians_configuration(self):
        """As shipped, and with its real-IP block uncommented, beside Debian's
        default site on the same port."""
        snippet = harness.NGINX_SNIPPET.read_text()
        real_ip = re.sub(r"(?m)^    # ((set_real_ip_from|real_ip_header|real_ip_recursive) .*)$", r"    \1", snippet)
        self.assertEqual(4, len(re.findall(r"(?m)^    (set_real_ip_from|real_ip_header|real_ip_recursive) ", real_ip)))
        for name, text in (("shipped", snippet), ("real-ip", real_ip)):
            with self.subTest(name):
                work = os.path.join(self.tmp.name, "nginx-t-" + name)
                conf = harness.nginx_layout(work, text)
                self.assertTrue(os.path.exists(os.path.join(work, "etc", "sites-enabled", "default")))
                run = subprocess.run(["nginx", "-t", "-p", work, "-c", str(conf), "-e",
                                      os.path.join(work, "log", "error.log")],
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(0, run.returncode, run.stderr)
                self.assertIn("test is successful", run.stderr)
                self.assertNotIn("[warn]", run.stderr)

    def test_configuration_passes_with_its_limits_caches_and_logs(self):
        before = len(self.nginx.events())
        self.assert_passes(self.url + "/install/", "--logger", self.url, "--site", self.url)
        self.assertEqual([("deploycheck", "deploycheck", "127.0.0.1")],
                         [(e["event"], e["source"], e["client"]) for e in self.nginx.events()[before:]])

        def fetch(path, headers=None, read=None):
            request = urllib.request.Request(self.url + path, headers=headers or {})
            try:
                with urllib.request.urlopen(request, timeout=30) as answer:
                    return answer.status, answer.headers, answer.read(read)
            except urllib.error.HTTPError as error:
                return error.code, error.headers, error.read()

        setup = os.path.join(self.root, "setup.exe")
        size = os.path.getsize(setup)
        shutil.copy(setup, os.path.join(self.root, ".setup.exe.publish-1"))
        self.addCleanup(os.remove, os.path.join(self.root, ".setup.exe.publish-1"))
        # path, request headers; status, Cache-Control, what else the answer holds
        cases = [
            ("/install/setup.exe", {"Range": "bytes=0-9,100-109,200-209,300-309"}, 200, "public, max-age=300",
             "multiple ranges get the whole file", lambda h, body: len(body) == size),
            ("/install/missing.exe", {}, 404, "no-store", "a CDN must not keep a missing file", None),
            ("/install/.setup.exe.publish-1", {}, 404, "no-store", "upload names are never served", None),
            ("/elsewhere", {}, 404, "no-store", "nor a 404 outside the components", None),
            ("/", {"Host": "other.example"}, 200, None, "another name goes to the machine's default site",
             lambda h, body: body == b"the machine's default site\n"),
            ("/", {"User-Agent": "Zembrio Installer v.1.8.204 3/1/07"}, 200, "private, no-cache",
             "the installer's probe gets no cookie", lambda h, body: h.get("Set-Cookie") is None),
            ("/Logger/Zembrio.aspx?event=x&userUID=" + "1" * 1024, {}, 414, "no-store",
             "a query over 1 KB is refused", None),
        ]
        for path, headers, status, cache, why, holds in cases:
            with self.subTest(why):
                got, answer_headers, body = fetch(path, headers)
                self.assertEqual((status, cache), (got, answer_headers.get("Cache-Control")))
                if holds:
                    self.assertTrue(holds(answer_headers, body))

        # A burst of events from one address: one and a burst of 10 are
        # taken (more only as the 2 a second that pass meanwhile allow), the
        # rest refused, and only those taken are logged.
        before, start = len(self.nginx.events()), time.monotonic()
        statuses = [fetch("/Logger/Zembrio.aspx?event=flood%d&userUID=1&source=test" % i)[0] for i in range(20)]
        allowed = 11 + int(2 * (time.monotonic() - start)) + 1
        self.assertEqual(({200, 429}, 200), (set(statuses), statuses[0]), statuses)
        self.assertLessEqual(statuses.count(200), allowed, statuses)
        self.assertEqual(["flood%d" % i for i, status in enumerate(statuses) if status == 200],
                         [e["event"] for e in self.nginx.events()[before:]])
        self.assertFalse(any("1" * 1024 in e["raw"] for e in self.nginx.events()))

        # A download the client leaves early is logged as not completed, with
        # the bytes that went out of those announced.
        with urllib.request.urlopen(urllib.request.Request(self.url + "/install/setup.exe",
                                                           headers={"Range": "bytes=1000-"}), timeout=30) as answer:
            answer.read(4096)
        left = harness.wait_for(lambda: [d for d in self.nginx.downloads() if d["range"] == "bytes=1000-"])
        self.assertTrue(left)
        self.assertEqual((206, "", str(size - 1000)), (left[0]["status"], left[0]["completion"], left[0]["length"]))
        self.assertLess(left[0]["sent"], size - 1000)

    def test_compression_of_executables_fails(self):
        """Gzip switched on for programs: a proxy may keep a compressed copy."""
        def gzip_everything(text):
            return text.replace("gzip off;", "gzip on; gzip_types application/octet-stream; gzip_min_length 1;")

        nginx = harness.NginxServer(self.root, os.path.join(self.tmp.name, "nginx-gzip"), port=harness.free_port(),
                                    edit=gzip_everything)
        self.addCleanup(nginx.stop)
        self.assert_fails(["http://127.0.0.1:%d" % nginx.port], "setup.exe compression", "Content-Encoding gzip",
                          also=[name for name in SIZES if name != "setup.exe"] + ["release.txt"])

    def test_publish_is_atomic_and_held_to_its_manifest(self):
        live = os.path.join(self.root, "setup.exe")
        for path in (live, os.path.join(self.root, "release.txt")):
            shutil.copy(path, path + ".good")
            self.addCleanup(os.replace, path + ".good", path)
        staging = os.path.join(self.tmp.name, "staging")
        os.makedirs(staging, exist_ok=True)
        for name in SIZES:
            shutil.copy(os.path.join(self.root, name), staging)
        new = os.path.join(staging, "setup.exe")
        with open(new, "wb") as out:
            out.write(make_image(random.Random(4), SIZES["setup.exe"]))
        sign(new, self.keys)
        old_hash, new_hash = sha256_of(live), sha256_of(new)
        others = {name: os.stat(os.path.join(self.root, name)).st_mtime_ns for name in SIZES if name != "setup.exe"}
        manifest = os.path.join(self.tmp.name, "manifest.txt")

        # Readers of the live file while it is replaced: each reads the old
        # file or the new one, whole.
        seen, stop = [], threading.Event()

        def read_live():
            while not stop.is_set():
                seen.append(sha256_of(live))

        reader = threading.Thread(target=read_live)
        reader.start()
        try:
            run = publish("--to", self.root, "--manifest", manifest, "--signer", self.pin, "--release-key",
                          os.path.join(self.keys, "release.key"), *(os.path.join(staging, name) for name in SIZES),
                          umask=0o077)
        finally:
            stop.set()
            reader.join()
        self.assertEqual(0, run.returncode, run.stdout + run.stderr)
        self.assertEqual(new_hash, sha256_of(live))
        self.assertLessEqual(set(seen), {old_hash, new_hash})
        for name in ("setup.exe", "release.txt"):  # readable by the server's user, whatever the umask
            self.assertEqual(0o644, os.stat(os.path.join(self.root, name)).st_mode & 0o777)
        self.assertEqual(others, {name: os.stat(os.path.join(self.root, name)).st_mtime_ns for name in others})
        self.assertEqual([], [name for name in os.listdir(self.root) if name.startswith(".")])
        entries = release_files.read_manifest(manifest)
        self.assertEqual((sorted(SIZES), (os.path.getsize(new), new_hash)), (sorted(entries), entries["setup.exe"]))
        listed = live_release(self.root)
        self.assertEqual((101, served(self.root)), (listed.serial, listed.files))
        self.assert_passes(self.url, "--expect", manifest, "--min-serial", "101", checks=49)

        # The old file put back by hand, as a stale copy or a second machine
        # that missed the release would serve it.
        shutil.copy(live + ".good", live)
        self.assert_fails([self.url, "--expect", manifest], "setup.exe manifest", "the manifest says")

    def test_failed_publish_leaves_the_live_files(self):
        """A file that fails its checks, one that arrives damaged over ssh, a
        serial not above the live one, a live file the manifest lacks: every
        live file (release.txt too) stays as it was, no upload stays behind,
        the manifest is unchanged; then the same release over ssh succeeds,
        release.txt numbered one above the live one and renamed last."""
        via_ssh = fake_tools(os.path.join(self.tmp.name, "fake-bin"))
        remote = os.path.join(self.tmp.name, "remote folder")  # quoted on its way through ssh
        os.makedirs(remote, exist_ok=True)
        for name in ("setup.exe", "setupm.exe"):
            shutil.copy(os.path.join(self.root, name), remote)
        write_release(remote, self.keys, 100, served(remote, ("setup.exe", "setupm.exe")))
        staging = os.path.join(self.tmp.name, "staging-failures")
        os.makedirs(staging, exist_ok=True)
        unsigned = os.path.join(staging, "setupm.exe")
        unsign(os.path.join(self.root, "setupm.exe"), unsigned)
        changed = os.path.join(staging, "setup.exe")
        with open(changed, "wb") as out:
            out.write(make_image(random.Random(5), SIZES["setup.exe"]))
        sign(changed, self.keys)
        manifest = os.path.join(self.tmp.name, "manifest-failures.txt")
        release_files.write_manifest(manifest, served(remote, ("setup.exe", "setupm.exe")))
        manifest_before = read_bytes(manifest)
        key = ["--release-key", os.path.join(self.keys, "release.key")]

        for why, folder, files, env, words in [
                ("unsigned", self.root, [changed, unsigned], {}, "not signed"),
                ("damaged on the way", "backup-host:" + remote, [changed], {**via_ssh, "CUT_UPLOADS": "1"},
                 "arrived as %d bytes" % (os.path.getsize(changed) // 2)),
                ("serial not above the live one", "backup-host:" + remote, ["--serial", "100", changed], via_ssh,
                 "--serial 100 is not above the live release.txt's serial 100"),
                ("a live component the manifest lacks", self.root, [changed], {},
                 "serves installhelper.exe, which the manifest does not list")]:
            with self.subTest(why):
                target = folder.split(":", 1)[-1]
                names = ("setup.exe", "setupm.exe", "release.txt")
                live = {name: sha256_of(os.path.join(target, name)) for name in names}
                run = publish("--to", folder, "--manifest", manifest, "--signer", self.pin, *key, *files, env=env)
                self.assertEqual(1, run.returncode, run.stdout + run.stderr)
                self.assertIn(words, run.stderr)
                self.assertEqual(live, {name: sha256_of(os.path.join(target, name)) for name in live})
                self.assertEqual([], [name for name in os.listdir(target) if name.startswith(".")])
                self.assertEqual(manifest_before, read_bytes(manifest))

        log = os.path.join(self.tmp.name, "ssh-log")
        run = publish("--to", "backup-host:" + remote, "--manifest", manifest, "--signer", self.pin, *key, changed,
                      env={**via_ssh, "SSH_LOG": log})
        self.assertEqual(0, run.returncode, run.stdout + run.stderr)
        self.assertEqual(sha256_of(changed), sha256_of(os.path.join(remote, "setup.exe")))
        self.assertEqual((os.path.getsize(changed), sha256_of(changed)), release_files.read_manifest(manifest)["setup.exe"])
        listed = live_release(remote)
        self.assertEqual((101, served(remote, ("setup.exe", "setupm.exe"))), (listed.serial, listed.files))
        renamed = [re.search(r"'([^']*)'$", command).group(1).rsplit("/", 1)[-1]
                   for command in logged(log) if command.startswith("mv ")]
        self.assertEqual(["setup.exe", "release.txt"], renamed)

    def test_release_password_stays_off_every_command_line(self):
        """An encrypted release key, its password from the environment and
        from a file: no command line publish runs holds it (nor openssl's
        environment), and a wrong one changes nothing."""
        tools = fake_tools(os.path.join(self.tmp.name, "fake-bin-password"))
        password_file = os.path.join(self.tmp.name, "release-password")
        with open(password_file, "w") as out:
            out.write(SECRET + "\n")
        encrypted = os.path.join(self.tmp.name, "encrypted-release.key")
        subprocess.run(["openssl", "pkey", "-in", os.path.join(self.keys, "release.key"), "-aes256", "-passout",
                        "file:" + password_file, "-out", encrypted], check=True, timeout=60)
        remote = os.path.join(self.tmp.name, "remote-password")
        os.makedirs(remote, exist_ok=True)
        component = os.path.join(self.root, "installhelper.exe")
        manifest = os.path.join(self.tmp.name, "manifest-password.txt")
        logs = {"SSH_LOG": os.path.join(self.tmp.name, "password-ssh-log"),
                "OPENSSL_LOG": os.path.join(self.tmp.name, "password-openssl-log")}
        # how the password is given; the serial then live (the wrong one leaves 5)
        for why, args, env, serial in [
                ("from the environment", [], {release.PASSWORD_VARIABLE: SECRET}, 1),
                ("from a file", ["--release-password-file", password_file, "--serial", "5"], {}, 5),
                ("wrong", ["--serial", "9"], {release.PASSWORD_VARIABLE: SECRET + "x"}, 5)]:
            with self.subTest(why):
                run = publish("--to", "backup-host:" + remote, "--manifest", manifest, "--signer", self.pin,
                              "--release-key", encrypted, *args, component, env={**tools, **logs, **env})
                self.assertEqual(why == "wrong", run.returncode == 1, run.stdout + run.stderr)
                if why == "wrong":
                    self.assertIn("cannot read the release key", run.stderr)
                self.assertEqual(serial, release.parse(read_bytes(os.path.join(remote, "release.txt"))).serial)
        calls = logged(logs["OPENSSL_LOG"])
        self.assertGreaterEqual(len(calls), 5)
        self.assertEqual([], [call for call in calls if call["password in environment"]])
        for argv in [call["argv"] for call in calls] + [[command] for command in logged(logs["SSH_LOG"])]:
            self.assertFalse(any(SECRET in word for word in argv), argv)

    def test_pins_and_release_keys_are_required_and_checked(self):
        weak = os.path.join(self.tmp.name, "weak.pub.pem")
        with open(weak, "wb") as out:
            out.write(subprocess.run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 | openssl pkey "
                                     "-pubout", shell=True, check=True, capture_output=True, timeout=60).stdout)
        key = ["--release-key", COMPONENTS["release_key"]]
        for args, words in [
                (key, "--signer"),
                (["--signer", self.pin.upper()] + key, "not a signer pin"),
                (["--signer", self.pin], "--release-key"),
                (["--signer", self.pin, "--release-key", os.path.join(self.keys, "release.key")], "a private key"),
                (["--signer", self.pin, "--release-key", weak], "1024 bits"),
                (["--signer", self.pin] + key + ["--min-serial", "0"], "not a serial")]:
            with self.subTest(words):
                run, _ = deploy_check(self.url, *args)
                self.assertEqual(2, run.returncode, run.stdout + run.stderr)
                self.assertIn(words, run.stderr)


class CookieSite(BaseHTTPRequestHandler):
    """A site that gives a visitor without its cookie the server's Set-Cookie
    (ID becoming a new id each time, or always the same one), with the
    server's Cache-Control; everything else is missing."""

    def do_GET(self):
        server = self.server
        self.send_response(200 if self.path in ("/", "/freegoodies") else 404)
        if server.cookie and (server.renew or "zembrio=" not in (self.headers.get("Cookie") or "")):
            self.send_header("Set-Cookie", server.cookie.replace("ID", "42" if server.same else uuid.uuid4().hex))
        self.send_header("Cache-Control", server.control)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


class SiteCookie(unittest.TestCase):
    def test_cookies_the_installer_cannot_use_fail(self):
        server = ThreadingHTTPServer(("127.0.0.1", 0), CookieSite)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        url = "http://127.0.0.1:%d" % server.server_address[1]
        sound = "zembrio=userId:ID&v:1; Path=/; Expires=Thu, 31-Dec-2037 23:59:59 GMT"
        # Set-Cookie; words of the failure (None: it passes); Cache-Control,
        # one id for every visitor, a new one for a returning visitor
        cases = [
            (sound, None, "private, no-cache"), (None, "sets no cookie"),
            (sound.replace("&v:1", ""), "as '59 GMT' from a cookie file"),
            (sound.replace("ID", "ID.x"), "use letters and digits"),
            (sound.replace("zembrio=", "visitor="), "name the cookie zembrio"),
            (sound + "; Domain=.zembrio.example", "set no Domain"), (sound + "; HttpOnly", "HttpOnly"),
            (sound + "; Secure", "Secure"), (sound.replace("Expires=Thu, 31-Dec-2037 23:59:59 GMT", "Max-Age=315360000"),
                                            "no Expires"),
            (sound.replace("2037", "2001"), "too soon"), (sound + "; Max-Age=86400", "Max-Age=86400"),
            (sound, "the same id", "public, max-age=600"),
            (sound, "two new visitors got the same id 42", "private", True),
            (sound, "a returning visitor's id", "private", False, True),
        ]
        for cookie, words, *given in cases:
            control, same, renew = given + ["private", False, False][len(given):]
            with self.subTest(cookie=cookie, control=control, same=same, renew=renew):
                server.cookie, server.control, server.same, server.renew = cookie, control, same, renew
                run, _ = deploy_check(url, "--signer", "0" * 64, "--release-key", COMPONENTS["release_key"])
                line = next(line for line in run.stdout.splitlines() if "  site cookie: " in line)
                self.assertTrue(line.startswith("PASS") if words is None
                                else line.startswith("FAIL") and words in line, line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
