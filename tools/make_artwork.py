#!/usr/bin/python3
"""Generate the installer's artwork and its resource-script fragment.

Writes into RES (default: res/ of this repository):
  art/page<id>.gif   page images, 524 x 338 (146 is 523 wide), 256 colours
  art/btn<id>.bmp    skinned button faces: palette-coded (run-length coded when
                     that is smaller); a face of more than 256 colours is
                     first reduced to 256, as the pages are
  art/app.ico        application icon (16 and 32 px; Windows scales the 32 for larger views)
  art/license.rtf    license agreement, code page 1252
  artwork.rc         resource lines for all of the above

Needs Debian's python3-pil and fonts-dejavu-core. The output depends only on
this file and those packages: rerunning it reproduces the same bytes.
Usage: /usr/bin/python3 tools/make_artwork.py [--res DIR]
"""

import argparse
import io
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
SANS = os.path.join(FONT_DIR, "DejaVuSans.ttf")
SANS_BOLD = os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf")

PRODUCT = "Zembrio"
PAGE_W, PAGE_H = 524, 338
SS = 4  # supersampling factor for shapes; text is always drawn at 1x

# Palette. The content background must be exactly the colour the link and
# label controls paint behind their text, or their boxes would show.
CONTENT_BG = (240, 240, 240)
TITLE_BG = (226, 230, 236)
STRIP_BG = (214, 219, 226)
STRIP_LINE = (196, 202, 211)
INK = (30, 36, 46)
BODY = (77, 77, 77)
MUTED = (122, 129, 139)
BRAND_A = (0, 166, 172)    # teal
BRAND_B = (76, 78, 222)    # indigo
ACCENT = BRAND_B
SUCCESS = (34, 166, 96)
WARN = (236, 120, 32)

TITLE_H = 40
ACCENT_H = 3
STRIP_TOP = 305
TEXT_X = 45
TEXT_RIGHT = 490


def font(path, size, _cache={}):
    key = (path, size)
    if key not in _cache:
        _cache[key] = ImageFont.truetype(path, size)
    return _cache[key]


def lerp(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def gradient(size, c0, c1, horizontal=False, diagonal=False):
    """RGB image of size filled with a linear gradient from c0 to c1."""
    w, h = size
    img = Image.new("RGB", size)
    px = img.load()
    for y in range(h):
        for x in range(w):
            if diagonal:
                t = (x + y) / max(1, w + h - 2)
            elif horizontal:
                t = x / max(1, w - 1)
            else:
                t = y / max(1, h - 1)
            px[x, y] = lerp(c0, c1, t)
    return img


def smooth_mask(size, draw_fn):
    """Coverage mask of size, drawn by draw_fn at SS times the size and reduced.

    draw_fn receives an ImageDraw of the big mask and the scale factor.
    """
    big = Image.new("L", (size[0] * SS, size[1] * SS), 0)
    draw_fn(ImageDraw.Draw(big), SS)
    return big.resize(size, Image.Resampling.BOX)


def fill_mask(target, pos, mask, fill):
    """Paint fill (a colour or an RGB image of the mask's size) through mask."""
    if isinstance(fill, tuple):
        fill = Image.new("RGB", mask.size, fill)
    target.paste(fill, pos, mask)


def wrap(text, fnt, width):
    lines, line = [], ""
    for word in text.split():
        trial = word if not line else line + " " + word
        if fnt.getlength(trial) <= width:
            line = trial
        else:
            lines.append(line)
            line = word
    if line:
        lines.append(line)
    return lines


# ---------------------------------------------------------------- logo mark

def logo(size):
    """The product mark: a rounded teal-to-indigo tile with a white Z."""
    grad = gradient((size, size), BRAND_A, BRAND_B, diagonal=True)

    def tile(d, s):
        n = size * s
        d.rounded_rectangle((0, 0, n - 1, n - 1), radius=n * 0.26, fill=255)

    small = size <= 20  # tiny marks drop the spark and enlarge the Z to stay legible

    def zed(d, s):
        n = size * s
        w = max(n * (0.17 if small else 0.13), 1.6 * s)
        a, b = (n * 0.25, n * 0.75) if small else (n * 0.29, n * 0.71)
        top, bot = (n * 0.27, n * 0.73) if small else (n * 0.30, n * 0.70)
        pts = [(a, top), (b, top), (a, bot), (b, bot)]
        d.line(pts, fill=255, width=round(w), joint="curve")
        for x, y in (pts[0], pts[-1]):
            d.ellipse((x - w / 2, y - w / 2, x + w / 2, y + w / 2), fill=255)
        if small:
            return
        # A small spark beside the Z's top stroke gives the mark its character.
        r = n * 0.075
        cx, cy = n * 0.80, n * 0.18
        d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=255)

    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    img.paste(grad, (0, 0), smooth_mask((size, size), tile))
    white = Image.new("RGBA", (size, size), (255, 255, 255, 255))
    img.paste(white, (0, 0), smooth_mask((size, size), zed))
    alpha = smooth_mask((size, size), tile)
    img.putalpha(alpha)
    return img


# ------------------------------------------------------------------ buttons

BUTTON_LOOKS = {
    # state: (top, bottom, border, caption, caption shadow or None)
    "normal": ((138, 146, 157), (101, 109, 120), (84, 91, 101), (255, 255, 255), (78, 84, 94)),
    "hover": ((104, 111, 122), (68, 74, 84), (52, 57, 66), (255, 255, 255), (44, 48, 56)),
    "pressed": ((255, 154, 56), (230, 110, 16), (190, 88, 8), (255, 255, 255), (170, 80, 8)),
    "disabled": ((198, 202, 208), (181, 186, 193), (166, 171, 179), (230, 233, 237), None),
}
STATES = ("normal", "hover", "pressed", "disabled")

# id base, caption, width, number of states (base + 0 .. base + n - 1)
PUSH_BUTTONS = [
    (1001, "Finish", 75, 4),
    (1011, "Cancel", 75, 4),
    (1021, "Hide", 75, 3),
    (1051, "Next >", 75, 4),
    (1061, "Try again", 75, 4),
    (185, "I Have Exited %s, Continue >" % PRODUCT, 195, 3),
]
TITLE_BUTTONS = [(1031, "dash", 3), (1041, "cross", 4)]
BUTTON_H = 23
TITLE_BTN = 16


def push_button(caption, width, state):
    top, bottom, border, ink, shadow = BUTTON_LOOKS[state]
    size = (width, BUTTON_H)
    img = Image.new("RGB", size, STRIP_BG)
    outer = smooth_mask(size, lambda d, s: d.rounded_rectangle(
        (0, 0, width * s - 1, BUTTON_H * s - 1), radius=4 * s, fill=255))
    inner = smooth_mask(size, lambda d, s: d.rounded_rectangle(
        (s, s, (width - 1) * s - 1, (BUTTON_H - 1) * s - 1), radius=3 * s, fill=255))
    fill_mask(img, (0, 0), outer, border)
    fill_mask(img, (0, 0), inner, gradient(size, top, bottom))
    d = ImageDraw.Draw(img)
    # soft highlight along the top inside edge
    d.line((3, 1, width - 4, 1), fill=lerp(top, (255, 255, 255), 0.25))
    fnt = font(SANS_BOLD, 11)
    if fnt.getlength(caption) > width - 14:
        # The long Continue caption only fits in the lighter face.
        fnt = font(SANS, 10)
    cx = width / 2
    cy = BUTTON_H / 2 + (1 if state == "pressed" else 0)
    if shadow:
        d.text((cx, cy + 1), caption, font=fnt, fill=shadow, anchor="mm")
    d.text((cx, cy), caption, font=fnt, fill=ink, anchor="mm")
    return img


def title_button(symbol, state):
    size = (TITLE_BTN, TITLE_BTN)
    img = Image.new("RGB", size, TITLE_BG)
    d = ImageDraw.Draw(img)
    ink = (58, 64, 74)
    if state == "hover":
        d.rectangle((0, 0, 15, 15), fill=(247, 248, 250), outline=(186, 192, 201))
    elif state == "pressed":
        d.rectangle((0, 0, 15, 15), fill=(196, 202, 211), outline=(160, 167, 177))
        ink = (20, 24, 30)
    elif state == "disabled":
        ink = (168, 174, 183)
    if symbol == "dash":
        d.rectangle((4, 10, 11, 11), fill=ink)
    else:
        def cross(dd, s):
            w = round(1.7 * s)
            dd.line((4.5 * s, 4.5 * s, 11.5 * s, 11.5 * s), fill=255, width=w)
            dd.line((4.5 * s, 11.5 * s, 11.5 * s, 4.5 * s), fill=255, width=w)
        fill_mask(img, (0, 0), smooth_mask(size, cross), ink)
    return img


def all_buttons():
    out = {}
    for base, caption, width, count in PUSH_BUTTONS:
        for i in range(count):
            out[base + i] = push_button(caption, width, STATES[i])
    for base, symbol, count in TITLE_BUTTONS:
        for i in range(count):
            out[base + i] = title_button(symbol, STATES[i])
    return out


# -------------------------------------------------------------- page frame

STEPS = ["License", "Download", "Install", "Finish"]


class Page:
    def __init__(self, width=PAGE_W, step=None):
        self.img = Image.new("RGB", (width, PAGE_H), CONTENT_BG)
        self.d = ImageDraw.Draw(self.img)
        self.width = width
        self._frame(step)

    def _frame(self, step):
        d, w = self.d, self.width
        d.rectangle((0, 0, w - 1, TITLE_H - 1), fill=TITLE_BG)
        self.img.paste(gradient((w, ACCENT_H), BRAND_A, BRAND_B, horizontal=True), (0, TITLE_H))
        mark = logo(24)
        self.img.paste(mark, (16, 8), mark)
        d.text((48, 20), PRODUCT, font=font(SANS_BOLD, 17), fill=INK, anchor="lm")
        x = 48 + font(SANS_BOLD, 17).getlength(PRODUCT) + 9
        d.line((x, 13, x, 27), fill=(178, 185, 195))
        d.text((x + 9, 20), "Setup", font=font(SANS, 14), fill=MUTED, anchor="lm")
        if step is not None:
            self._steps(step)
        # The title buttons sit over their own normal faces.
        self.img.paste(title_button("dash", "normal"), (483, 4))
        self.img.paste(title_button("cross", "normal"), (499, 4))
        d.rectangle((0, STRIP_TOP, w - 1, PAGE_H - 1), fill=STRIP_BG)
        d.line((0, STRIP_TOP, w - 1, STRIP_TOP), fill=STRIP_LINE)

    def _steps(self, current):
        d = self.d
        fnt, bold = font(SANS, 12), font(SANS_BOLD, 12)
        gap = 22
        widths = [(bold if i == current else fnt).getlength(s) for i, s in enumerate(STEPS)]
        x = 462 - sum(widths) - gap * (len(STEPS) - 1)
        for i, s in enumerate(STEPS):
            if i == current:
                colour, f = ACCENT, bold
            elif i < current:
                colour, f = (88, 96, 108), fnt
            else:
                colour, f = (146, 153, 163), fnt
            d.text((x, 21), s, font=f, fill=colour, anchor="lm")
            if i == current:
                d.rounded_rectangle((x, 31, x + widths[i], 33), radius=1, fill=ACCENT)
            x += widths[i]
            if i < len(STEPS) - 1:
                cx = x + gap / 2
                d.line((cx - 2, 17, cx + 1, 21, cx - 2, 25), fill=(168, 175, 185), width=1)
            x += gap

    def heading(self, text, y=72):
        self.d.text((TEXT_X, y), text, font=font(SANS_BOLD, 19), fill=INK, anchor="ls")

    def para(self, text, y, right=TEXT_RIGHT, size=13, fill=BODY, leading=19, bold=False):
        """Wrapped paragraph with its first baseline at y; returns the next baseline."""
        fnt = font(SANS_BOLD if bold else SANS, size)
        for line in wrap(text, fnt, right - TEXT_X):
            self.d.text((TEXT_X, y), line, font=fnt, fill=fill, anchor="ls")
            y += leading
        return y

    def hide_note(self, y, text=None):
        """The reassurance line of the waiting pages, with a small clock glyph."""
        text = text or ("Click Hide to put this window out of the way. "
                        "We will let you know as soon as %s is ready." % PRODUCT)
        self.icon((TEXT_X, y - 12), 15, clock_icon)
        fnt = font(SANS, 12)
        lines = wrap(text, fnt, TEXT_RIGHT - TEXT_X - 22)
        for i, line in enumerate(lines):
            self.d.text((TEXT_X + 22, y + i * 17), line, font=fnt, fill=MUTED, anchor="ls")

    def icon(self, pos, size, painter, bg=CONTENT_BG):
        """Composite a supersampled RGBA drawing made by painter(draw, n)."""
        big = Image.new("RGBA", (size * SS, size * SS), bg + (0,))
        painter(ImageDraw.Draw(big), size * SS)
        small = big.resize((size, size), Image.Resampling.LANCZOS)
        self.img.paste(small, pos, small)

    def paste_logo(self, pos, size):
        mark = logo(size)
        self.img.paste(mark, pos, mark)


# ------------------------------------------------------------------- glyphs
# Each painter draws into an RGBA canvas of n x n pixels (n = size * SS).

def download_icon(d, n):
    d.ellipse((0, 0, n - 1, n - 1), fill=BRAND_B + (255,))
    d.ellipse((n * .06, n * .06, n * .94, n * .94), fill=(98, 100, 232, 255))
    w = round(n * .085)
    white = (255, 255, 255, 255)
    d.line((n * .5, n * .25, n * .5, n * .62), fill=white, width=w)
    d.line((n * .33, n * .47, n * .5, n * .64, n * .67, n * .47), fill=white, width=w, joint="curve")
    d.line((n * .31, n * .75, n * .69, n * .75), fill=white, width=w)


def complete_icon(d, n):
    d.ellipse((0, 0, n - 1, n - 1), fill=SUCCESS + (255,))
    w = round(n * .1)
    d.line((n * .28, n * .52, n * .44, n * .67, n * .73, n * .36), fill=(255, 255, 255, 255),
           width=w, joint="curve")


def progress_ring_icon(d, n):
    w = round(n * .11)
    d.ellipse((w / 2, w / 2, n - w / 2, n - w / 2), outline=(206, 211, 219, 255), width=w)
    d.arc((w / 2, w / 2, n - w / 2, n - w / 2), start=-90, end=150, fill=BRAND_A + (255,), width=w)


def layers_icon(d, n):
    cols = [(150, 152, 240, 255), (112, 114, 232, 255), BRAND_B + (255,)]
    for i, c in enumerate(cols):
        y = n * (.30 + .17 * (2 - i))
        d.polygon([(n * .5, y - n * .2), (n * .92, y), (n * .5, y + n * .2), (n * .08, y)], fill=c)
        d.line([(n * .5, y - n * .2), (n * .92, y), (n * .5, y + n * .2), (n * .08, y),
                (n * .5, y - n * .2)], fill=(255, 255, 255, 255), width=max(1, round(n * .02)))


def warning_icon(d, n):
    d.rounded_rectangle((0, 0, n - 1, n - 1), radius=n * .5, fill=WARN + (255,))
    white = (255, 255, 255, 255)
    w = n * .11
    d.rounded_rectangle((n * .5 - w / 2, n * .22, n * .5 + w / 2, n * .6), radius=w / 2, fill=white)
    d.ellipse((n * .5 - w * .65, n * .68, n * .5 + w * .65, n * .68 + w * 1.3), fill=white)


def shield_icon(d, n):
    body = [(n * .5, n * .04), (n * .9, n * .18), (n * .86, n * .56), (n * .5, n * .96),
            (n * .14, n * .56), (n * .1, n * .18)]
    d.polygon(body, fill=(246, 178, 40, 255))
    d.polygon([(n * .5, n * .04), (n * .9, n * .18), (n * .86, n * .56), (n * .5, n * .96)],
              fill=(228, 150, 20, 255))
    w = round(n * .09)
    d.line((n * .32, n * .5, n * .45, n * .63, n * .69, n * .36), fill=(255, 255, 255, 255),
           width=w, joint="curve")


def clock_icon(d, n):
    w = round(n * .09)
    d.ellipse((w / 2, w / 2, n - w / 2, n - w / 2), outline=MUTED + (255,), width=w)
    d.line((n * .5, n * .24, n * .5, n * .52, n * .7, n * .62), fill=MUTED + (255,), width=w,
           joint="curve")


def pointer(img, x, y):
    """A classic arrow cursor with its hot spot at (x, y)."""
    pts = [(0, 0), (0, 16), (4, 12), (7, 18), (9, 17), (6, 11), (11, 11)]
    d = ImageDraw.Draw(img)
    d.polygon([(x + a, y + b) for a, b in pts], fill=(255, 255, 255), outline=(0, 0, 0))


def shadowed_box(img, box, radius=3, fill=(255, 255, 255), outline=(170, 176, 186)):
    x0, y0, x1, y1 = box
    sh = Image.new("L", (x1 - x0 + 9, y1 - y0 + 9), 0)
    ImageDraw.Draw(sh).rounded_rectangle((3, 3, x1 - x0 + 5, y1 - y0 + 5), radius=radius + 2, fill=60)
    sh = sh.filter(ImageFilter.GaussianBlur(2))
    img.paste((0, 0, 0), (x0 - 1, y0), sh)
    ImageDraw.Draw(img).rounded_rectangle(box, radius=radius, fill=fill, outline=outline)


# -------------------------------------------------------------------- pages

ICON_POS = (438, 90)  # feature glyph beside the body text


def page_license():
    p = Page(step=0)
    p.heading("Welcome to %s" % PRODUCT, y=70)
    p.para("Please read the license agreement below carefully. You need to accept "
           "its terms to install %s." % PRODUCT, 92, size=13, leading=18)
    # Sentence beside the platform's 13 x 13 check box at (45, 276).
    p.d.text((64, 283), "I agree to the terms of the license agreement", font=font(SANS, 13),
             fill=INK, anchor="lm")
    return p.img


def page_download():
    p = Page(step=1)
    p.icon(ICON_POS, 48, download_icon)
    p.heading("Downloading %s" % PRODUCT)
    y = p.para("%s is downloading the installation components it needs. On a high-speed "
               "connection this typically takes about 10 minutes." % PRODUCT, 100, right=420)
    p.para("You can keep using your computer in the meantime.", y + 4, right=420, fill=MUTED, size=12)
    # Lead-in to the goodies link, which starts at x 262 on the row 238..255.
    p.d.text((257, 247), "While you wait, take a look at", font=font(SANS, 13), fill=BODY, anchor="rm")
    p.hide_note(278)
    return p.img


def page_completing():
    p = Page(step=2)
    p.icon(ICON_POS, 48, progress_ring_icon)
    p.paste_logo((ICON_POS[0] + 14, ICON_POS[1] + 14), 20)
    p.heading("Completing the installation")
    y = p.para("All the necessary components are now on your computer. %s Setup is "
               "completing the installation." % PRODUCT, 100, right=420)
    p.para("This usually takes just a few minutes.", y + 4, right=420, fill=MUTED, size=12)
    p.hide_note(257)
    return p.img


def page_dotnet():
    p = Page(step=2)
    p.icon(ICON_POS, 48, layers_icon)
    p.heading("Installing the Microsoft .NET 2.0 update")
    y = p.para("Your computer needs the Microsoft .NET Framework 2.0 update to run %s. "
               "It is being installed now; this typically takes about 5 minutes." % PRODUCT,
               100, right=420)
    p.para("Setup carries on by itself once the update is in place.", y + 4, right=420,
           fill=MUTED, size=12)
    p.hide_note(257)
    return p.img


def page_complete():
    p = Page(step=3)
    cx = PAGE_W // 2
    p.icon((cx - 32, 62), 64, complete_icon)
    d = p.d
    d.text((cx, 158), "Installation complete", font=font(SANS_BOLD, 21), fill=INK, anchor="ms")
    d.text((cx, 186), "%s has been installed successfully and is ready to use." % PRODUCT,
           font=font(SANS, 13), fill=BODY, anchor="ms")
    d.text((cx, 222), "Click Finish to start %s." % PRODUCT, font=font(SANS_BOLD, 14), fill=INK,
           anchor="ms")
    d.text((cx, 276), "Thank you for choosing %s. Enjoy!" % PRODUCT, font=font(SANS, 12),
           fill=MUTED, anchor="ms")
    return p.img


def page_error():
    p = Page()
    p.icon((ICON_POS[0] + 2, ICON_POS[1] + 2), 44, warning_icon)
    p.heading("The installation could not be completed")
    # What went wrong is the window's own text, 45..420 x 100..170, one
    # message per cause; the help link occupies 45..510 x 178..195.
    p.para("Any files already downloaded are kept: the installation goes on from "
           "where it stopped.", 224, fill=MUTED, size=12, leading=17)
    return p.img


def page_exit_app():
    w = PAGE_W - 1
    p = Page(width=w)
    p.heading("Please exit %s first" % PRODUCT)
    y = p.para("%s is running on this computer and must be closed before the "
               "installation can continue." % PRODUCT, 100, right=290)
    steps = [
        "Right-click the %s icon in the notification area, next to the clock." % PRODUCT,
        "Choose Exit %s from the menu." % PRODUCT,
        "Click the button below to continue.",
    ]
    _steps(p, steps, y + 10, 290)
    _tray_picture(p.img, 312, 88)
    return p.img


def _badge(p, x, baseline, number, bg=CONTENT_BG):
    """A numbered disc whose digit sits on the text baseline given."""
    def paint(d, n):
        d.ellipse((0, 0, n - 1, n - 1), fill=ACCENT + (255,))
    p.icon((x, baseline - 14), 18, paint, bg)
    p.d.text((x + 9, baseline - 5), str(number), font=font(SANS_BOLD, 11), fill=(255, 255, 255),
             anchor="mm")


def _steps(p, steps, y, right):
    fnt = font(SANS, 13)
    for i, s in enumerate(steps):
        _badge(p, TEXT_X, y, i + 1)
        for line in wrap(s, fnt, right - TEXT_X - 26):
            p.d.text((TEXT_X + 26, y), line, font=fnt, fill=INK, anchor="ls")
            y += 18
        y += 8
    return y


def _tray_picture(img, x0, y0):
    """Notification area with the product's context menu open at its Exit command."""
    d = ImageDraw.Draw(img)
    # desktop backdrop
    bx1, by1 = x0 + 196, y0 + 200
    backdrop = gradient((bx1 - x0, by1 - y0), (214, 226, 240), (186, 200, 222))
    mask = smooth_mask(backdrop.size, lambda dd, s: dd.rounded_rectangle(
        (0, 0, backdrop.size[0] * s - 1, backdrop.size[1] * s - 1), radius=8 * s, fill=255))
    img.paste(backdrop, (x0, y0), mask)
    # taskbar along the bottom of the backdrop
    tb_top = by1 - 30
    bar = Image.new("RGB", (bx1 - x0, by1 - tb_top), (40, 46, 58))
    bar_mask = smooth_mask(bar.size, lambda dd, s: (
        dd.rectangle((0, 0, bar.size[0] * s, bar.size[1] * s - 8 * s), fill=255),
        dd.rounded_rectangle((0, 0, bar.size[0] * s - 1, bar.size[1] * s - 1), radius=8 * s, fill=255)))
    img.paste(bar, (x0, tb_top), bar_mask)
    d.text((bx1 - 12, tb_top + 15), "10:42", font=font(SANS, 12), fill=(236, 240, 246), anchor="rm")
    # neighbouring tray glyphs: a speaker and signal bars
    sx, sy = bx1 - 98, tb_top + 15
    d.polygon([(sx, sy - 2), (sx + 3, sy - 2), (sx + 7, sy - 6), (sx + 7, sy + 6), (sx + 3, sy + 2),
               (sx, sy + 2)], fill=(200, 206, 216))
    for i in range(4):
        d.rectangle((sx - 24 + i * 4, sy + 5 - 3 * i, sx - 22 + i * 4, sy + 6), fill=(200, 206, 216))
    ix, iy = bx1 - 74, tb_top + 7
    d.rounded_rectangle((ix - 3, iy - 3, ix + 18, iy + 18), radius=3, fill=(72, 80, 96))
    mark = logo(16)
    img.paste(mark, (ix + 1, iy + 1), mark)
    # context menu above the product's icon
    items = ["Open %s" % PRODUCT, "Check for updates", "Settings...", None, "Exit %s" % PRODUCT]
    fnt = font(SANS, 12)
    mw, row = 150, 22
    mh = sum(row if t else 9 for t in items) + 8
    mx0, my1 = bx1 - 176, tb_top - 8
    my0 = my1 - mh
    shadowed_box(img, (mx0, my0, mx0 + mw, my1))
    d = ImageDraw.Draw(img)
    y = my0 + 4
    for t in items:
        if t is None:
            d.line((mx0 + 8, y + 4, mx0 + mw - 8, y + 4), fill=(214, 218, 225))
            y += 9
            continue
        if t.startswith("Exit"):
            d.rounded_rectangle((mx0 + 4, y, mx0 + mw - 4, y + row - 1), radius=3, fill=ACCENT)
            d.text((mx0 + 14, y + row / 2), t, font=font(SANS_BOLD, 12), fill=(255, 255, 255), anchor="lm")
            hot = (mx0 + mw - 46, y + 12)
        else:
            d.text((mx0 + 14, y + row / 2), t, font=fnt, fill=INK, anchor="lm")
        y += row
    pointer(img, *hot)


def page_vista():
    p = Page(step=2)
    # Every Windows from Vista to 11 shows this page: it names none of them.
    p.heading("One more step")
    y = p.para("Windows will ask for your permission to install %s." % PRODUCT, 100, right=300)
    steps = [
        "Click Next below.",
        "Click the flashing %s Installer button on the taskbar." % PRODUCT,
        "Allow it in the User Account Control window.",
    ]
    _steps(p, steps, y + 8, 300)
    p.hide_note(276, "You can minimize this window at any time; we will let you know "
                     "as soon as %s is ready." % PRODUCT)
    _uac_picture(p, 316, 86)
    return p.img


def _uac_picture(p, x0, y0):
    """The permission window, and below it the taskbar button that brings it up."""
    img, bw = p.img, 190
    shadowed_box(img, (x0, y0, x0 + bw, y0 + 120), radius=4, fill=(255, 255, 255))
    d = ImageDraw.Draw(img)
    d.rectangle((x0 + 1, y0 + 1, x0 + bw - 1, y0 + 21), fill=(232, 236, 242))
    d.text((x0 + 8, y0 + 11), "User Account Control", font=font(SANS, 11), fill=INK, anchor="lm")
    shield = Image.new("RGBA", (28 * SS, 28 * SS), (255, 255, 255, 0))
    shield_icon(ImageDraw.Draw(shield), 28 * SS)
    shield = shield.resize((28, 28), Image.Resampling.LANCZOS)
    img.paste(shield, (x0 + 10, y0 + 30), shield)
    d.text((x0 + 46, y0 + 37), "%s Installer" % PRODUCT, font=font(SANS_BOLD, 12), fill=INK, anchor="lm")
    d.text((x0 + 46, y0 + 54), "needs your permission", font=font(SANS, 11), fill=BODY, anchor="lm")
    d.text((x0 + 46, y0 + 68), "to continue", font=font(SANS, 11), fill=BODY, anchor="lm")
    by = y0 + 90
    d.rounded_rectangle((x0 + 30, by, x0 + 106, by + 20), radius=3, fill=ACCENT)
    d.text((x0 + 68, by + 10), "Continue", font=font(SANS_BOLD, 11), fill=(255, 255, 255), anchor="mm")
    d.rounded_rectangle((x0 + 114, by, x0 + 180, by + 20), radius=3, fill=(240, 241, 244),
                        outline=(180, 186, 196))
    d.text((x0 + 147, by + 10), "Cancel", font=font(SANS, 11), fill=INK, anchor="mm")
    pointer(img, x0 + 92, by + 13)
    _badge(p, x0 + 8, by + 15, 3)
    # taskbar with the flashing installer button
    ty = y0 + 136
    bar = Image.new("RGB", (bw, 30), (40, 46, 58))
    img.paste(bar, (x0, ty), smooth_mask(bar.size, lambda dd, s: dd.rounded_rectangle(
        (0, 0, bw * s - 1, 30 * s - 1), radius=6 * s, fill=255)))
    glow = gradient((150, 22), (255, 178, 72), (240, 128, 24))
    img.paste(glow, (x0 + 32, ty + 4), smooth_mask(glow.size, lambda dd, s: dd.rounded_rectangle(
        (0, 0, 150 * s - 1, 22 * s - 1), radius=3 * s, fill=255)))
    mark = logo(16)
    img.paste(mark, (x0 + 38, ty + 7), mark)
    d = ImageDraw.Draw(img)
    d.text((x0 + 60, ty + 15), "%s Installer" % PRODUCT, font=font(SANS_BOLD, 11),
           fill=(255, 255, 255), anchor="lm")
    _badge(p, x0 + 7, ty + 20, 2, bg=(40, 46, 58))


PAGES = {
    172: page_license,
    142: page_download,
    143: page_completing,
    189: page_dotnet,
    144: page_complete,
    145: page_error,
    146: page_exit_app,
    147: page_vista,
}


def render_pages():
    """Page id -> full-colour image, before palette reduction."""
    return {pid: make() for pid, make in PAGES.items()}


# Colours that must survive palette reduction exactly: the areas behind
# controls must match the controls' own backgrounds.
EXACT_COLOURS = [CONTENT_BG, STRIP_BG, TITLE_BG]


def _nearest(colour, entries):
    r, g, b = colour
    dists = [(er - r) * (er - r) + (eg - g) * (eg - g) + (eb - b) * (eb - b)
             for er, eg, eb in entries]
    return dists.index(min(dists))


def to_palette(img, rounds=4):
    """256-colour version of img, mapped without dithering so text edges stay clean.

    Pillow's median cut gives the starting palette; a few weighted k-means
    rounds over the image's distinct colours refine it, with the colours that
    must stay exact held fixed. Pillow's own palette mapping is approximate,
    so every distinct colour is mapped to its true nearest entry here.
    """
    counts = img.getcolors(img.width * img.height)
    if len(counts) <= 256:
        entries = sorted(c for _, c in counts)
    else:
        q = img.quantize(colors=256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
        pal = q.getpalette()[:768]
        entries = sorted({tuple(pal[i:i + 3]) for i in range(0, len(pal), 3)})
        pinned = [c for c in EXACT_COLOURS if c in {c for _, c in counts}]
        entries = [e for e in entries if e not in pinned]
        entries = pinned + entries[:256 - len(pinned)]
        for _ in range(rounds):
            sums = [[0, 0, 0, 0] for _ in entries]
            for n, c in counts:
                acc = sums[_nearest(c, entries)]
                acc[0] += n * c[0]
                acc[1] += n * c[1]
                acc[2] += n * c[2]
                acc[3] += n
            entries = [e if i < len(pinned) or not acc[3] else
                       tuple(round(acc[j] / acc[3]) for j in range(3))
                       for i, (e, acc) in enumerate(zip(entries, sums))]
    index = {c: _nearest(c, entries) for _, c in counts}
    out = Image.frombytes("P", img.size, bytes(index[c] for c in img.getdata()))
    flat = [v for e in entries for v in e]
    out.putpalette(flat + [0] * (768 - len(flat)))
    return out


def _lzw_codes(pixels):
    """GIF LZW codes for 8-bit pixels, with flexible parsing: where a shorter
    match lets the next one reach further, it is taken. Any GIF decoder reads
    the codes unchanged (it grows its table from the codes alone, a repeated
    string included); they come out a few per cent fewer than greedy ones.
    Yields (code, width in bits)."""
    clear, end = 256, 257
    n = len(pixels)

    def match(table, p):
        """(length, code) of the longest string in table starting at p."""
        code, q = pixels[p], p + 1
        while q < n:
            longer = table.get((code << 8) | pixels[q])
            if longer is None:
                break
            code, q = longer, q + 1
        return q - p, code

    table, next_code, width = {}, end + 1, 9
    longest = 1    # no string in the table is longer
    yield clear, width
    p = 0
    while p < n:
        length, code = match(table, p)
        if length > 1 and p + length < n:
            reach, best = p + length + match(table, p + length)[0], length
            for shorter in range(length - 1, 0, -1):
                if p + shorter + longest <= reach:
                    break
                r = p + shorter + match(table, p + shorter)[0]
                if r > reach:
                    reach, best = r, shorter
            if best != length:
                length, code = best, pixels[p]
                for q in range(p + 1, p + best):
                    code = table[(code << 8) | pixels[q]]
        yield code, width
        p += length
        if p == n:
            break
        if next_code < 4096:
            # The decoder adds this string with the next code it reads,
            # under a new number even when it holds the string already.
            table.setdefault((code << 8) | pixels[p], next_code)
            next_code += 1
            longest = max(longest, length + 1)
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            yield clear, width
            table, next_code, width, longest = {}, end + 1, 9, 1
    yield end, width


def gif_bytes(img):
    """A GIF87a file of the 256-colour image img (mode P)."""
    w, h = img.size
    data, acc, bits = bytearray(), 0, 0
    for code, width in _lzw_codes(img.tobytes()):
        acc |= code << bits
        bits += width
        while bits >= 8:
            data.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        data.append(acc)
    blocks = b"".join(bytes((len(data[i:i + 255]),)) + data[i:i + 255] for i in range(0, len(data), 255))
    palette = bytes(img.getpalette()[:768]).ljust(768, b"\0")
    return (b"GIF87a" + struct.pack("<HHBBB", w, h, 0xF7, 0, 0) + palette
            + b"," + struct.pack("<HHHHB", 0, 0, w, h, 0) + b"\x08" + blocks + b"\0;")


# ------------------------------------------------------------ button files
# GDI draws a palette-coded bitmap exactly like a 24-bit one when the palette
# holds every colour exactly, and LoadBitmap reads run-length coded ones on
# every Windows; both are a fraction of the size.

def _rle8_row(row):
    """The shortest BI_RLE8 coding of one row of palette indices (without its
    end-of-line mark): runs of one index, or literal stretches of 3 to 255."""
    n = len(row)
    cost = [0] + [None] * n
    step = [None] * (n + 1)    # (start, literal) of the piece ending here
    for i in range(n):
        if cost[i] is None:
            continue
        j = i
        while j < n and j - i < 255 and row[j] == row[i]:
            j += 1
            if cost[j] is None or cost[i] + 2 < cost[j]:
                cost[j], step[j] = cost[i] + 2, (i, False)
        for k in range(3, min(255, n - i) + 1):
            c = cost[i] + 2 + k + (k & 1)    # literals are padded to a word
            if cost[i + k] is None or c < cost[i + k]:
                cost[i + k], step[i + k] = c, (i, True)
    parts, j = [], n
    while j:
        i, literal = step[j]
        if literal:
            parts.append(bytes((0, j - i)) + bytes(row[i:j]) + b"\0" * ((j - i) & 1))
        else:
            parts.append(bytes((j - i, row[i])))
        j = i
    return b"".join(reversed(parts))


def button_face(img):
    """What a button's file holds: img itself, or beyond 256 colours its
    palette version (the anti-aliased caption's shades moved to the nearest
    of 256, as on the pages), a quarter of a 24-bit file's size."""
    if img.getcolors(256) is None:
        return to_palette(img).convert("RGB")
    return img


def bmp_bytes(img):
    """The smallest BMP file GDI draws exactly as img: 4 or 8 bits per pixel,
    raw or BI_RLE8, with a palette of just its colours; 24-bit beyond 256
    (button_face keeps the installer's faces within 256)."""
    counts = img.getcolors(256)
    if counts is None:
        out = io.BytesIO()
        img.save(out, "BMP")
        return out.getvalue()
    w, h = img.size
    colours = sorted(c for _, c in counts)
    index = {c: i for i, c in enumerate(colours)}
    flat = [index[c] for c in img.getdata()]
    rows = [flat[y * w:(y + 1) * w] for y in range(h - 1, -1, -1)]    # bottom-up
    stride8 = (w + 3) & ~3
    choices = [(8, 0, b"".join(bytes(r) + b"\0" * (stride8 - w) for r in rows)),
               (8, 1, b"".join(_rle8_row(r) + b"\0\0" for r in rows)[:-2] + b"\0\1")]
    if len(colours) <= 16:
        stride4 = (w + 7) // 8 * 4
        packed = []
        for r in rows:
            r = r + [0] * (w & 1)
            line = bytes((r[i] << 4) | r[i + 1] for i in range(0, w, 2))
            packed.append(line + b"\0" * (stride4 - len(line)))
        choices.append((4, 0, b"".join(packed)))
    bits, compression, data = min(choices, key=lambda c: len(c[2]))
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, compression, len(data), 2835, 2835,
                       len(colours), 0)
    offset = 14 + len(info) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + palette + data


# --------------------------------------------------------------------- icon

def write_ico(path, sizes=(16, 32)):
    """Icon with 32-bit DIB images and AND masks, readable by every Windows."""
    images = []
    for s in sizes:
        img = logo(s)
        px = img.load()
        xor = bytearray()
        for y in range(s - 1, -1, -1):
            for x in range(s):
                r, g, b, a = px[x, y]
                xor += bytes((b, g, r, a))
        stride = ((s + 31) // 32) * 4
        mask = bytearray()
        for y in range(s - 1, -1, -1):
            row = bytearray(stride)
            for x in range(s):
                if px[x, y][3] < 128:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        header = struct.pack("<IiiHHIIiiII", 40, s, s * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((s, header + bytes(xor) + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in images:
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


# ------------------------------------------------------------------ license

LICENSE = [
    ("title", "%s End-User License Agreement" % PRODUCT),
    ("p", "Please read this agreement before you install %s. It is an agreement between you "
          "and %s (\u201cwe\u201d, \u201cus\u201d) about the %s desktop application, its installer "
          "and any updates we provide (together, the \u201cSoftware\u201d). By ticking "
          "\u201cI agree\u201d and installing the Software you accept these terms. If you do not "
          "accept them, click Cancel and do not install the Software." % ((PRODUCT,) * 3)),
    ("h", "1. Your license"),
    ("p", "The Software is free of charge. We give you a personal, non-exclusive, "
          "non-transferable license to install and use it on computers that you own or control."),
    ("h", "2. What you may not do"),
    ("p", "You may not sell, rent or lease the Software, remove or alter its copyright notices, "
          "or reverse engineer, decompile or disassemble it, except where the law allows this "
          "despite this limitation. You may pass the unmodified installer on to others free of "
          "charge."),
    ("h", "3. Downloads and installation reports"),
    ("p", "The installer downloads the components the Software needs from our servers. To help us "
          "find and fix installation problems, it also sends us short reports on its progress "
          "(for example that the installation started, finished or failed, and why). Each report "
          "carries a random identifier that our web site stored in your browser\u2019s cookies, or "
          "one the installer makes up when there is none. The reports do not contain your name, "
          "your files or your documents."),
    ("h", "4. Other components"),
    ("p", "If your computer lacks a component the Software depends on, such as the Microsoft .NET "
          "Framework, the installer installs it for you. Those components come with their "
          "makers\u2019 own license terms."),
    ("h", "5. Updates"),
    ("p", "We may offer updates to the Software. This agreement applies to them unless they come "
          "with terms of their own."),
    ("h", "6. Ownership"),
    ("p", "The Software is licensed, not sold. We and our licensors keep every right that this "
          "agreement does not expressly give you."),
    ("h", "7. No warranty"),
    ("p", "The Software is provided \u201cas is\u201d, without warranty of any kind, express or "
          "implied, including the warranties of merchantability, fitness for a particular purpose "
          "and non-infringement. Some places do not allow these exclusions, so they may not apply "
          "to you."),
    ("h", "8. Limitation of liability"),
    ("p", "As far as the law allows, we are not liable for any indirect, incidental, special or "
          "consequential damage, or for lost data or profits, that arises from using or being "
          "unable to use the Software. Our total liability is limited to the amount you paid for "
          "the Software."),
    ("h", "9. Ending this agreement"),
    ("p", "This license ends automatically if you break its terms. You may end it at any time by "
          "uninstalling the Software."),
    ("h", "10. General"),
    ("p", "This is the entire agreement between you and us about the Software. If a court finds "
          "any part of it unenforceable, the rest remains in effect. For questions, use the "
          "support page on the %s web site." % PRODUCT),
    ("small", "\u00a9 %s. All rights reserved." % PRODUCT),
]


def rtf_escape(text):
    out = []
    for ch in text:
        if ch in "\\{}":
            out.append("\\" + ch)
        elif ord(ch) < 128:
            out.append(ch)
        else:
            out.append("\\'%02x" % ch.encode("cp1252")[0])
    return "".join(out)


def license_rtf():
    parts = [
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033",
        "{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}}",
        "{\\colortbl ;\\red30\\green36\\blue46;\\red77\\green77\\blue77;}",
        "\\viewkind4\\uc1\\pard\\f0",
    ]
    for kind, text in LICENSE:
        body = rtf_escape(text)
        if kind == "title":
            parts.append("\\pard\\sa160\\cf1\\b\\fs24 %s\\b0\\par" % body)
        elif kind == "h":
            parts.append("\\pard\\sb120\\sa40\\cf1\\b\\fs18 %s\\b0\\par" % body)
        elif kind == "p":
            parts.append("\\pard\\sa80\\cf2\\fs17 %s\\par" % body)
        else:
            parts.append("\\pard\\sb160\\cf2\\fs15 %s\\par" % body)
    parts.append("}")
    return ("\r\n".join(parts) + "\r\n").encode("cp1252")


# -------------------------------------------------------------------- output

def write_all(res_dir):
    art = os.path.join(res_dir, "art")
    os.makedirs(art, exist_ok=True)
    rc = ["// Installer artwork. Generated by tools/make_artwork.py; edit that script, not this file.",
          "", "128 ICON \"art/app.ico\"", ""]
    for pid, img in render_pages().items():
        name = "page%d.gif" % pid
        with open(os.path.join(art, name), "wb") as f:
            f.write(gif_bytes(to_palette(img)))
        rc.append("%d IMAGE \"art/%s\"" % (pid, name))
    rc.append("")
    for bid, img in sorted(all_buttons().items()):
        name = "btn%d.bmp" % bid
        with open(os.path.join(art, name), "wb") as f:
            f.write(bmp_bytes(button_face(img)))
        rc.append("%d BITMAP \"art/%s\"" % (bid, name))
    rc.append("")
    write_ico(os.path.join(art, "app.ico"))
    with open(os.path.join(art, "license.rtf"), "wb") as f:
        f.write(license_rtf())
    rc.append("178 RTF \"art/license.rtf\"")
    with open(os.path.join(res_dir, "artwork.rc"), "w", newline="\n") as f:
        f.write("\n".join(rc) + "\n")


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--res", default=os.path.join(here, "..", "res"),
                    help="resource folder to write art/ and artwork.rc into")
    args = ap.parse_args(argv)
    write_all(os.path.normpath(args.res))
    return 0


if __name__ == "__main__":
    sys.exit(main())
