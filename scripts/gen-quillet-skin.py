#!/usr/bin/python3
"""Draws Quillet's skin pictures and program icon into helper/res/.

    /usr/bin/python3 scripts/gen-quillet-skin.py [output-folder]

frame.png (600 x 450, transparent body), six 24 x 20 caption buttons (refresh,
minimise, close; normal and highlighted) and quillet.ico (128, 48, 32 and 16
pixels, 32 bits per pixel). The outputs are committed; run this again only
to change the look. Needs PIL (python3-pil) and fonts-wqy-microhei.
"""
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

WIDTH, HEIGHT = 600, 450
EDGE = (0, 55, 118)
STRIP_TOP = (122, 182, 240)      # caption gradient, light at the top ...
STRIP_BOTTOM = (22, 88, 170)     # ... darker towards the bottom
TITLE = "Mirelo推荐"
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
DPI = (96, 96)  # GDI+ draws at natural size only when the picture says screen DPI


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def draw_icon(size):
    """The program icon: a blue rounded square with a white play mark."""
    scale = 4
    big = size * scale
    img = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    pad = big // 16
    for y in range(pad, big - pad):
        t = (y - pad) / max(1, big - 2 * pad - 1)
        d.line([(pad, y), (big - pad - 1, y)], fill=lerp((90, 170, 250), (10, 70, 160), t) + (255,))
    mask = Image.new("L", (big, big), 0)
    ImageDraw.Draw(mask).rounded_rectangle([pad, pad, big - pad - 1, big - pad - 1], radius=big // 5, fill=255)
    img.putalpha(mask)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([pad, pad, big - pad - 1, big - pad - 1], radius=big // 5, outline=EDGE + (255,),
                        width=max(scale, big // 32))
    c = big / 2
    r = big * 0.28
    d.polygon([(c - r * 0.6, c - r), (c - r * 0.6, c + r), (c + r, c)], fill=(255, 255, 255, 255))
    return img.resize((size, size), Image.LANCZOS)


def write_ico(path, images):
    """An icon group file whose images are 32-bit DIBs (colour plus AND mask)."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for img in images:
        w, h = img.size
        header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        pixels = bytearray()
        for y in reversed(range(h)):
            for x in range(w):
                r, g, b, a = img.getpixel((x, y))
                pixels += bytes((b, g, r, a))
        row = ((w + 31) // 32) * 4
        mask = bytearray()
        for y in reversed(range(h)):
            bits = bytearray(row)
            for x in range(w):
                if img.getpixel((x, y))[3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        blob = header + bytes(pixels) + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)))
        f.write(b"".join(entries))
        f.write(b"".join(blobs))


def draw_frame(icon16):
    img = Image.new("RGBA", (WIDTH, HEIGHT), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    for y in range(1, 26):
        d.line([(2, y), (WIDTH - 3, y)], fill=lerp(STRIP_TOP, STRIP_BOTTOM, (y - 1) / 24) + (255,))
    d.line([(2, 26), (WIDTH - 3, 26)], fill=(0, 0, 0, 255))
    d.rectangle([1, 1, WIDTH - 2, HEIGHT - 2], outline=(0, 0, 0, 255))
    d.rectangle([0, 0, WIDTH - 1, HEIGHT - 1], outline=EDGE + (255,))
    img.alpha_composite(icon16, (6, 5))
    font = ImageFont.truetype(FONT, 13)
    d.text((28, 13), TITLE, font=font, fill=(0, 30, 70, 255), anchor="lm")
    d.text((27, 12), TITLE, font=font, fill=(255, 255, 255, 255), anchor="lm")
    # The body stays fully transparent: the hosted browser shows through it.
    body = Image.new("RGBA", (WIDTH - 4, HEIGHT - 2 - 27), (0, 0, 0, 0))
    img.paste(body, (2, 27))
    return img


def glyph_close(d):
    for width, colour in ((4, (0, 0, 0)), (2, (255, 255, 255))):
        d.line([(8, 6), (15, 13)], fill=colour, width=width)
        d.line([(8, 13), (15, 6)], fill=colour, width=width)


def glyph_minimise(d):
    d.rectangle([7, 11, 16, 15], fill=(0, 0, 0))
    d.rectangle([8, 12, 15, 14], fill=(255, 255, 255))


def arrow(d, x, down):
    # A 5-pixel wide shaft with a 9-pixel head, outlined.
    if down:
        shaft, head = [(x - 1, 5), (x + 1, 10)], [(x - 4, 10), (x + 4, 10), (x, 14)]
    else:
        shaft, head = [(x - 1, 9), (x + 1, 14)], [(x - 4, 9), (x + 4, 9), (x, 5)]
    d.rectangle([shaft[0][0] - 1, shaft[0][1] - 1, shaft[1][0] + 1, shaft[1][1] + 1], fill=(0, 0, 0))
    d.polygon(head, fill=(255, 255, 255), outline=(0, 0, 0))
    d.rectangle(shaft, fill=(255, 255, 255))


def glyph_refresh(d):
    arrow(d, 8, down=True)
    arrow(d, 15, down=False)


def draw_button(glyph, lit):
    img = Image.new("RGB", (24, 20))
    d = ImageDraw.Draw(img)
    top, mid, bottom = ((170, 215, 255), (70, 150, 235), (40, 120, 215)) if lit else \
                       ((120, 180, 240), (30, 100, 190), (10, 70, 160))
    for y in range(20):
        # Glass: a bright upper half, a step at the middle, a darker lower half.
        colour = lerp(top, mid, y / 9) if y < 10 else lerp(mid, bottom, (y - 10) / 9)
        d.line([(0, y), (23, y)], fill=colour)
    d.rectangle([0, 0, 23, 19], outline=EDGE)
    d.line([(1, 1), (22, 1)], fill=lerp(top, (255, 255, 255), 0.5))
    glyph(d)
    return img


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "helper", "res")
    os.makedirs(out, exist_ok=True)
    icons = [draw_icon(s) for s in (128, 48, 32, 16)]
    write_ico(os.path.join(out, "quillet.ico"), icons)
    draw_frame(icons[-1]).save(os.path.join(out, "frame.png"), dpi=DPI, optimize=True)
    for name, glyph in (("close", glyph_close), ("minimise", glyph_minimise), ("refresh", glyph_refresh)):
        draw_button(glyph, False).save(os.path.join(out, f"{name}.png"), dpi=DPI, optimize=True)
        draw_button(glyph, True).save(os.path.join(out, f"{name}-lit.png"), dpi=DPI, optimize=True)


if __name__ == "__main__":
    main()
