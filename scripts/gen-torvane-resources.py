#!/usr/bin/python3
"""Draws Torvane's pictures: the main icon, the three tray animation frames and
the dialog's side picture. Run it from anywhere; it writes updater/ui/res/.

    /usr/bin/python3 scripts/gen-torvane-resources.py

Needs Debian's python3-pil and fonts-wqy-microhei.
"""
import os
import struct

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "updater", "ui", "res")
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

BLUE = (30, 110, 210, 255)
DARK = (16, 62, 140, 255)
WHITE = (255, 255, 255, 255)
ORANGE = (250, 160, 30, 255)


def badge(size, fill):
    """A rounded square, the common ground of every icon."""
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    r = max(2, size // 5)
    d.rounded_rectangle([0, 0, size - 1, size - 1], radius=r, fill=fill, outline=DARK)
    return img, d


def arrow(d, size, lift, colour):
    """An upward arrow; lift moves it up by a fraction of the icon."""
    s = size / 32.0
    dy = -lift * s
    head = [(16 * s, 5 * s + dy), (26 * s, 16 * s + dy), (6 * s, 16 * s + dy)]
    d.polygon(head, fill=colour)
    d.rectangle([12 * s, 15 * s + dy, 20 * s, 25 * s + dy], fill=colour)


def main_icon(size):
    img, d = badge(size, BLUE)
    arrow(d, size, 0, WHITE)
    s = size / 32.0
    d.rectangle([7 * s, 26 * s, 25 * s, 28 * s], fill=WHITE)
    return img


def frame_icon(size, index):
    """Frame index 0..2: the arrow climbs and a dot marks the step, so each
    frame differs in shape and in colour."""
    fills = [BLUE, (40, 150, 90, 255), (200, 90, 40, 255)]
    img, d = badge(size, fills[index])
    arrow(d, size, index * 3, WHITE)
    s = size / 32.0
    for i in range(3):
        cx = (10 + 6 * i) * s
        r = 2 * s
        colour = ORANGE if i == index else (255, 255, 255, 110)
        d.ellipse([cx - r, 27 * s - r, cx + r, 27 * s + r], fill=colour)
    return img


def dib_entry(img):
    """One icon image as a 32-bit DIB with its AND mask: every Windows version
    (and Wine) reads this form, unlike PNG-compressed entries."""
    w, h = img.size
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    px = img.load()
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
    stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray(stride)
        for x in range(w):
            if px[x, y][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(xor) + bytes(mask)


def save_icon(name, draw):
    images = [draw(32), draw(16)]
    entries = [dib_entry(i) for i in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, data in zip(images, entries):
        w, h = img.size
        out += struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    path = os.path.join(OUT, name)
    with open(path, "wb") as f:
        f.write(out + b"".join(entries))
    return path


def side_picture():
    """The picture left of the file list: 76 x 168 dialog units of a 9-point
    dialog font, about 114 x 252 pixels."""
    w, h = 114, 252
    img = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(img)
    for y in range(h):
        t = y / (h - 1)
        c = (int(20 + 40 * t), int(90 + 80 * t), int(200 - 30 * t))
        d.line([(0, y), (w, y)], fill=c)
    # Rising rings, for a sense of motion.
    for i in range(6):
        r = 14 + i * 9
        d.ellipse([w / 2 - r, 200 - r, w / 2 + r, 200 + r], outline=(255, 255, 255), width=1)
    big = ImageFont.truetype(FONT, 22)
    small = ImageFont.truetype(FONT, 14)
    d.text((w / 2, 40), "Mirelo", font=big, fill=WHITE, anchor="mm")
    d.text((w / 2, 72), "在线升级", font=small, fill=WHITE, anchor="mm")
    # The arrow from the icon, large.
    ah = Image.new("RGBA", (64, 64), (0, 0, 0, 0))
    arrow(ImageDraw.Draw(ah), 64, 0, WHITE)
    img.paste(ah, (w // 2 - 32, 120), ah)
    path = os.path.join(OUT, "side.bmp")
    img.save(path, format="BMP")
    return path


def main():
    os.makedirs(OUT, exist_ok=True)
    written = [save_icon("main.ico", main_icon)]
    for i in range(3):
        written.append(save_icon("tray%d.ico" % (i + 1), lambda s, i=i: frame_icon(s, i)))
    written.append(side_picture())
    for path in written:
        print(os.path.relpath(path, ROOT))


if __name__ == "__main__":
    main()
