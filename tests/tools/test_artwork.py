"""Reruns the artwork generator and checks its outputs against the resource table.

Run with Debian's interpreter (it has python3-pil):
    /usr/bin/python3 -m unittest discover -s tests/tools -p 'test_artwork.py'
"""

import io
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import make_artwork  # noqa: E402
from PIL import Image, ImageChops  # noqa: E402

PAGE_WIDTHS = {172: 524, 142: 524, 143: 524, 189: 524, 144: 524, 145: 524, 146: 523, 147: 524}
# base id: (states present, width, height)
BUTTONS = {1001: (4, 75, 23), 1011: (4, 75, 23), 1021: (3, 75, 23), 1051: (4, 75, 23), 1061: (4, 75, 23),
           185: (3, 195, 23), 1031: (3, 16, 16), 1041: (4, 16, 16)}
BUTTON_IDS = {base + i for base, (n, _, _) in BUTTONS.items() for i in range(n)}
LIGHT = (240, 240, 240)
# Areas that controls cover or paint over (left, top, right, bottom, exclusive).
PLAIN_AREAS = {
    172: [(45, 119, 490, 265), (45, 276, 58, 289)],
    142: [(45, 185, 474, 225), (262, 238, 524, 255)],
    143: [(45, 185, 474, 225)],
    189: [(45, 185, 474, 225)],
    145: [(45, 100, 420, 170), (45, 178, 510, 195)],
}


def solid(img, box):
    return {c for _, c in img.crop(box).getcolors(1 << 16)}


class ArtworkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.res = tempfile.mkdtemp(prefix="artwork")
        cls.addClassCleanup(shutil.rmtree, cls.res)
        cls.art = os.path.join(cls.res, "art")
        make_artwork.main(["--res", cls.res])

    def test_pages_have_size_and_plain_control_areas(self):
        strip = None
        for pid, width in PAGE_WIDTHS.items():
            with Image.open(os.path.join(self.art, "page%d.gif" % pid)) as gif:
                self.assertEqual((gif.format, gif.mode, gif.size, getattr(gif, "n_frames", 1)),
                                 ("GIF", "P", (width, 338), 1), pid)
                img = gif.convert("RGB")
            for box in PLAIN_AREAS.get(pid, []):
                self.assertEqual(solid(img, box), {LIGHT}, (pid, box))
            # the button strip under the bottom buttons is one plain colour on every page
            colours = solid(img, (232, 306, 516, 338))
            self.assertEqual(len(colours), 1, pid)
            strip = strip or colours
            self.assertEqual(colours, strip, pid)
            # the page says something: plenty of dark text in the content area
            dark = sum(n for n, c in img.crop((0, 44, width, 305)).getcolors(1 << 16) if max(c) < 90)
            self.assertGreater(dark, 1000, pid)
            # the title buttons' normal faces are drawn where the buttons sit
            for bid, x in ((1031, 483), (1041, 499)):
                face = Image.open(os.path.join(self.art, "btn%d.bmp" % bid)).convert("RGB")
                diff = ImageChops.difference(img.crop((x, 4, x + 16, 20)), face)
                self.assertLessEqual(max(hi for _, hi in diff.getextrema()), 24, (pid, bid))

    def test_palette_keeps_pages_faithful(self):
        for pid, source in make_artwork.render_pages().items():
            gif = Image.open(os.path.join(self.art, "page%d.gif" % pid))
            # the file holds exactly the palette image: its coding loses nothing
            self.assertEqual(gif.tobytes(), make_artwork.to_palette(source).tobytes(), pid)
            gif = gif.convert("RGB")
            hist = ImageChops.difference(source, gif).convert("L").histogram()
            mean = sum(i * n for i, n in enumerate(hist)) / sum(hist)
            self.assertLess(mean, 0.3, pid)
            self.assertEqual(sum(hist[48:]), 0, pid)

    def test_buttons_keep_every_pixel_with_their_states(self):
        names = {f for f in os.listdir(self.art) if f.startswith("btn")}
        self.assertEqual(names, {"btn%d.bmp" % i for i in BUTTON_IDS})
        drawn = make_artwork.all_buttons()
        for base, (count, w, h) in BUTTONS.items():
            faces = []
            for i in range(count):
                path = os.path.join(self.art, "btn%d.bmp" % (base + i))
                with open(path, "rb") as f:
                    head = f.read(54)
                width, height, _, bits, compression = struct.unpack("<iiHHI", head[18:34])
                (used,) = struct.unpack("<I", head[46:50])
                self.assertEqual((head[:2], width, abs(height)), (b"BM", w, h), path)
                face = Image.open(path).convert("RGB")
                # A face of more than 256 colours is reduced to 256 first:
                # the file holds that version exactly, within a few shades
                # of what was drawn; every other face pixel for pixel.
                expected = make_artwork.button_face(drawn[base + i])
                self.assertIsNone(ImageChops.difference(face, expected).getbbox(), path)
                hist = ImageChops.difference(face, drawn[base + i]).convert("L").histogram()
                self.assertEqual(sum(hist[16:]), 0, path)
                self.assertLess(sum(i * n for i, n in enumerate(hist)) / sum(hist), 0.3, path)
                colours = len(face.getcolors(1 << 16))
                # Palette-coded, in the codings LoadBitmap reads on every
                # Windows: raw, or BI_RLE8 at 8 bits.
                self.assertEqual((colours <= 256, used), (True, colours), path)
                self.assertIn((bits, compression), {(4, 0), (8, 0), (8, 1)}, path)
                faces.append(face)
            self.assertEqual(len({f.tobytes() for f in faces}), count, base)
            if h == 23:
                self.assertEqual(faces[0].getpixel((0, 0)), make_artwork.STRIP_BG)
                r, g, b = faces[2].getpixel((3, 12))
                self.assertGreater(r - b, 100, "pressed face is orange")
                r, g, b = faces[0].getpixel((3, 12))
                self.assertLess(max(r, g, b) - min(r, g, b), 30, "normal face is grey")

    def test_codings_are_lossless_for_awkward_images(self):
        # Runs longer than one code takes, literal stretches of every parity,
        # odd widths, 2 to 300 colours: each file must read back unchanged.
        def image(w, h, pixel):
            img = Image.new("RGB", (w, h))
            img.putdata([pixel(x, y) for y in range(h) for x in range(w)])
            return img
        cases = {
            "long runs": image(601, 3, lambda x, y: (x // 260 * 40, y, 0)),
            "literals": image(259, 4, lambda x, y: ((x * 7 + y) % 200, 0, 0)),
            "odd literals between runs": image(50, 2, lambda x, y: (x if x % 10 < 3 else 250, y, 0)),
            "short pieces": image(37, 5, lambda x, y: ((x // (1 + y)) % 3 * 90, 0, 0)),
            "four bits": image(15, 9, lambda x, y: ((x + y) % 16 * 16, 0, 0)),
            "one colour": image(5, 2, lambda x, y: (1, 2, 3)),
            "beyond a palette": image(30, 10, lambda x, y: (x, y, x * y % 256)),
        }
        for what, img in cases.items():
            with self.subTest(what):
                data = make_artwork.bmp_bytes(img)
                back = Image.open(io.BytesIO(data)).convert("RGB")
                self.assertEqual(back.size, img.size)
                self.assertIsNone(ImageChops.difference(back, img).getbbox())
        # GIF: one colour (strings growing to the longest), repeats of the
        # string just added, noise that fills the code table many times over
        # (so clear codes), and a table refilled right at the end.
        rng = random.Random(7)
        gifs = {
            "one colour": [5] * 5000,
            "just-added strings": [1, 2] * 3000 + [1] * 77,
            "noise": [rng.randrange(256) for _ in range(40000)],
            "patterns and noise": [(i * i) % 7 if i % 900 < 600 else rng.randrange(256) for i in range(30000)],
            "one pixel": [200],
        }
        for what, pixels in gifs.items():
            with self.subTest(what):
                img = Image.frombytes("P", (len(pixels), 1), bytes(pixels))
                img.putpalette([v % 256 for i in range(256) for v in (i, 255 - i, i * 3)])
                back = Image.open(io.BytesIO(make_artwork.gif_bytes(img)))
                self.assertEqual((back.format, back.size), ("GIF", img.size))
                self.assertEqual(back.tobytes(), img.tobytes())
                self.assertEqual(back.getpalette()[:768], img.getpalette()[:768])

    def test_icon_has_two_dib_images(self):
        with open(os.path.join(self.art, "app.ico"), "rb") as f:
            data = f.read()
        self.assertEqual((0, 1, 2), struct.unpack("<HHH", data[:6]))  # an icon of two images
        sizes = []
        for i in range(2):
            w, h, _, _, planes, bits, length, offset = struct.unpack("<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
            # a DIB, not PNG: older Windows cannot read PNG icon images
            hdr, dib_w, dib_h = struct.unpack("<Iii", data[offset:offset + 12])
            self.assertEqual((hdr, dib_w, dib_h, bits), (40, w, 2 * h, 32))
            self.assertLessEqual(offset + length, len(data))
            sizes.append(w)
        # no 48: its 9.6 KB of the stub buy nothing Windows cannot scale from 32
        self.assertEqual(sorted(sizes), [16, 32])

    def test_license_is_cp1252_rtf_with_balanced_groups(self):
        with open(os.path.join(self.art, "license.rtf"), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"{\\rtf1\\ansi\\ansicpg1252"))
        self.assertTrue(all(b < 128 for b in data), "non-ASCII must be escaped")
        text = data.decode("ascii")
        tokens = re.findall(r"\\[\\{}]|\\'[0-9a-f]{2}|\\'|[{}]", text)
        self.assertNotIn("\\'", tokens, "bad hex escape")
        depths, depth = [], 0
        for tok in tokens:
            depth += {"{": 1, "}": -1}.get(tok, 0)
            depths.append(depth)
        # one outer group: open until the very last brace
        self.assertEqual((all(d > 0 for d in depths[:-1]), depths[-1], text.rstrip()[-1]), (True, 0, "}"))
        self.assertIn("License Agreement", text)

    def test_resource_script_lists_every_output(self):
        with open(os.path.join(self.res, "artwork.rc")) as f:
            lines = [l.split() for l in f if l[:1].isdigit()]
        entries = {(int(i), t): p.strip('"') for i, t, p in lines}
        expected = ({(i, "IMAGE") for i in PAGE_WIDTHS} | {(i, "BITMAP") for i in BUTTON_IDS}
                    | {(128, "ICON"), (178, "RTF")})
        self.assertEqual(set(entries), expected)
        for path in entries.values():
            self.assertTrue(os.path.isfile(os.path.join(self.res, path)), path)

    @unittest.skipUnless(shutil.which("i686-w64-mingw32-windres"), "windres not installed")
    def test_resource_script_compiles(self):
        out = os.path.join(self.res, "artwork.o")
        subprocess.run(["i686-w64-mingw32-windres", "-I", self.res, os.path.join(self.res, "artwork.rc"),
                        "-O", "coff", "-o", out], check=True, timeout=60)
        self.assertGreater(os.path.getsize(out), 100000)

    def test_committed_outputs_match_a_fresh_run(self):
        committed = os.path.join(ROOT, "res")
        for name in ["artwork.rc"] + ["art/" + f for f in sorted(os.listdir(self.art))]:
            with open(os.path.join(self.res, name), "rb") as a, open(os.path.join(committed, name), "rb") as b:
                self.assertEqual(a.read(), b.read(), "%s is stale; rerun tools/make_artwork.py" % name)


if __name__ == "__main__":
    unittest.main()
