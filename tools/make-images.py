#!/usr/bin/python3
"""Draws the three images the launcher embeds and checks them.

    tools/make-images.py [OUTPUT_DIR]      (default: resources/icons next to this script's parent)

Writes
  kandu-logo.png      256 x 256 RGBA, opaque: the maker's mark, used as the window icon
  nembrals_logo.png   1140 x 114 RGBA on transparent: emblem + "NEMBRAL", shown at 284 x 26
  rotating_logo.gif   41 x 41 GIF89a, 10 frames at 130 ms, loops for ever, index 0 transparent

Everything is drawn from geometry (no randomness, no timestamps, no metadata), so running it
again with the same Pillow gives the same bytes. Anti-aliasing is done by drawing a coverage
mask at a multiple of the final size and averaging it down with a box filter.

Needs Debian's python3-pil and fonts-dejavu-core (hence /usr/bin/python3, not whatever
python3 comes first on PATH).
"""

import math
import os
import struct
import sys
import zlib

from PIL import Image, ImageDraw, ImageFont

CYAN = (0x00, 0xFF, 0xF7)
WHITE = (0xFF, 0xFF, 0xFF)
PANEL = (0x09, 0x09, 0x09)   # the window panel the transparent images end up on

FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

LOGO_SIZE = 256
BANNER_SIZE = (1140, 114)
SPINNER_SIZE = 41
SPINNER_FRAMES = 10
SPINNER_FRAME_MS = 130


# ---------------------------------------------------------------------------------------------
# Geometry helpers (all in supersampled pixel coordinates)

def rotate(points, cx, cy, degrees):
    a = math.radians(degrees)
    c, s = math.cos(a), math.sin(a)
    return [(cx + (x - cx) * c - (y - cy) * s, cy + (x - cx) * s + (y - cy) * c) for x, y in points]


def ring_segment(cx, cy, r_outer, r_inner, start_deg, end_deg, steps=96):
    """Polygon of an annulus piece from start_deg to end_deg (clockwise on screen, 0 = 3 o'clock)."""
    outer, inner = [], []
    for i in range(steps + 1):
        a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        outer.append((cx + r_outer * math.cos(a), cy + r_outer * math.sin(a)))
        inner.append((cx + r_inner * math.cos(a), cy + r_inner * math.sin(a)))
    return outer + inner[::-1]


def hexagon(cx, cy, r, rotation_deg=-90.0):
    return [(cx + r * math.cos(math.radians(rotation_deg + 60 * i)),
             cy + r * math.sin(math.radians(rotation_deg + 60 * i))) for i in range(6)]


def new_mask(w, h):
    return Image.new("L", (w, h), 0)


def downsample(mask, size):
    return mask.resize(size, Image.BOX)


def coloured_layer(mask, colour):
    """Solid colour whose alpha is the coverage mask: no dark fringes on transparent ground."""
    layer = Image.new("RGBA", mask.size, colour + (255,))
    layer.putalpha(mask)
    return layer


# ---------------------------------------------------------------------------------------------
# The emblem shared by the banner and the spinner: a hexagon ring with an "N"-shaped bolt inside.

def draw_emblem(draw_ring, draw_bolt, cx, cy, r, ss_width, rotation=0.0):
    outer = hexagon(cx, cy, r)
    inner = hexagon(cx, cy, r - ss_width)
    draw_ring.polygon(rotate(outer, cx, cy, rotation), fill=255)
    draw_ring.polygon(rotate(inner, cx, cy, rotation), fill=0)
    # An "N": two uprights joined by a diagonal, as one closed outline.
    u = r * 0.52          # half height of the letter
    w = r * 0.42          # half width
    t = r * 0.19          # stroke thickness
    bolt = [
        (cx - w, cy + u), (cx - w, cy - u), (cx - w + t, cy - u),
        (cx + w - t, cy + u * 0.25), (cx + w - t, cy - u), (cx + w, cy - u),
        (cx + w, cy + u), (cx + w - t, cy + u),
        (cx - w + t, cy - u * 0.25), (cx - w + t, cy + u),
    ]
    draw_bolt.polygon(rotate(bolt, cx, cy, rotation), fill=255)


# ---------------------------------------------------------------------------------------------
# kandu-logo.png

def make_logo():
    ss = 4
    n = LOGO_SIZE * ss
    img = Image.new("RGBA", (LOGO_SIZE, LOGO_SIZE), (0x12, 0x16, 0x1A, 255))

    frame = new_mask(n, n)
    d = ImageDraw.Draw(frame)
    d.rounded_rectangle((14 * ss, 14 * ss, n - 14 * ss - 1, n - 14 * ss - 1), radius=36 * ss, fill=255)
    d.rounded_rectangle((22 * ss, 22 * ss, n - 22 * ss - 1, n - 22 * ss - 1), radius=28 * ss, fill=0)

    k_bar = new_mask(n, n)
    k_arms = new_mask(n, n)
    db, da = ImageDraw.Draw(k_bar), ImageDraw.Draw(k_arms)
    top, bottom = 60 * ss, 196 * ss
    left, bar = 66 * ss, 38 * ss
    db.rectangle((left, top, left + bar, bottom), fill=255)
    mid = (top + bottom) / 2
    joint = left + bar
    # Upper arm: from the bar's middle up to the top right corner.
    da.polygon([(joint, mid - 6 * ss), (150 * ss, top), (194 * ss, top),
                (joint + 30 * ss, mid + 10 * ss), (joint, mid + 30 * ss)], fill=255)
    # Lower arm: a separate slab, leaving a small gap that makes the mark read as drawn, not typed.
    da.polygon([(joint + 34 * ss, mid + 14 * ss), (196 * ss, bottom), (152 * ss, bottom),
                (joint + 12 * ss, mid + 30 * ss)], fill=255)

    img.alpha_composite(coloured_layer(downsample(frame, img.size), (0x1F, 0x4D, 0x4F)))
    img.alpha_composite(coloured_layer(downsample(k_bar, img.size), WHITE))
    img.alpha_composite(coloured_layer(downsample(k_arms, img.size), CYAN))
    return img


# ---------------------------------------------------------------------------------------------
# nembrals_logo.png

def make_banner():
    ss = 4
    w, h = BANNER_SIZE
    W, H = w * ss, h * ss

    ring, bolt, letters = new_mask(W, H), new_mask(W, H), new_mask(W, H)
    r = 52 * ss
    draw_emblem(ImageDraw.Draw(ring), ImageDraw.Draw(bolt), 57 * ss, H / 2, r, 11 * ss)

    # Bold capitals nearly as tall as the image: after the scale-down to 26 px they stay
    # readable. Letters are placed one by one with some extra tracking.
    font = ImageFont.truetype(FONT_PATH, 108 * ss)
    text = "NEMBRAL"
    d = ImageDraw.Draw(letters)
    tracking = 34 * ss
    cap_top, cap_bottom = font.getbbox("N")[1], font.getbbox("N")[3]
    y = (H - (cap_bottom - cap_top)) / 2 - cap_top
    x = 136 * ss
    for ch in text:
        d.text((x, y), ch, font=font, fill=255)
        x += font.getlength(ch) + tracking
    if x - tracking > (w - 4) * ss:
        fail("banner lettering does not fit")

    img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    img.alpha_composite(coloured_layer(downsample(ring, img.size), CYAN))
    img.alpha_composite(coloured_layer(downsample(bolt, img.size), WHITE))
    img.alpha_composite(coloured_layer(downsample(letters, img.size), CYAN))
    return img


# ---------------------------------------------------------------------------------------------
# rotating_logo.gif
#
# GIF has one-bit transparency, so edge pixels cannot be partly see-through. They are blended
# against the panel colour the animation is shown on instead, and pixels covered less than a
# quarter are left transparent.

def spinner_palette():
    """Index 0: transparent (panel colour, in case a viewer ignores transparency).
    Then ramps panel->cyan, panel->white and cyan->white, 32 steps each."""
    colours = [PANEL]
    for a, b in ((PANEL, CYAN), (PANEL, WHITE), (CYAN, WHITE)):
        for i in range(1, 33):
            t = i / 32
            c = tuple(round(a[k] + (b[k] - a[k]) * t) for k in range(3))
            if c not in colours:
                colours.append(c)
    return colours


def nearest(palette, rgb, cache):
    hit = cache.get(rgb)
    if hit is None:
        hit = min(range(1, len(palette)),
                  key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))
        cache[rgb] = hit
    return hit


def make_spinner_frames():
    ss = 8
    n = SPINNER_SIZE * ss
    c = n / 2
    palette = spinner_palette()
    flat = [v for rgb in palette for v in rgb]
    cache = {}
    frames = []
    for f in range(SPINNER_FRAMES):
        rot = 36.0 * f
        ring, bolt = new_mask(n, n), new_mask(n, n)
        dr, db = ImageDraw.Draw(ring), ImageDraw.Draw(bolt)
        # Outer track: an open ring, 280 degrees long, so the turning is easy to see.
        dr.polygon(ring_segment(c, c, 18.6 * ss, 15.4 * ss, rot - 90, rot + 190), fill=255)
        # A bright head at the leading end of the track.
        a = math.radians(rot + 190)
        hx, hy = c + 17.0 * ss * math.cos(a), c + 17.0 * ss * math.sin(a)
        db.ellipse((hx - 2.8 * ss, hy - 2.8 * ss, hx + 2.8 * ss, hy + 2.8 * ss), fill=255)
        # The emblem in the middle turns with the track.
        draw_emblem(dr, db, c, c, 12.0 * ss, 2.6 * ss, rotation=rot)

        ring_s = downsample(ring, (SPINNER_SIZE, SPINNER_SIZE)).tobytes()
        bolt_s = downsample(bolt, (SPINNER_SIZE, SPINNER_SIZE)).tobytes()
        out = bytearray(SPINNER_SIZE * SPINNER_SIZE)
        for i, (rc, bc) in enumerate(zip(ring_s, bolt_s)):
            cover = max(rc, bc)
            if cover < 64:
                continue                       # index 0: transparent
            # Colour of the covered part (white over cyan), then blended over the panel.
            wb = bc / 255
            fg = tuple(CYAN[k] + (WHITE[k] - CYAN[k]) * (wb if rc else 1.0) for k in range(3))
            t = cover / 255
            rgb = tuple(round(PANEL[k] + (fg[k] - PANEL[k]) * t) for k in range(3))
            out[i] = nearest(palette, rgb, cache)
        frame = Image.frombytes("P", (SPINNER_SIZE, SPINNER_SIZE), bytes(out))
        frame.putpalette(flat)
        frame.info["transparency"] = 0
        frames.append(frame)
    return frames


def save_spinner(frames, path):
    frames[0].save(
        path, format="GIF", save_all=True, append_images=frames[1:],
        duration=SPINNER_FRAME_MS, loop=0, transparency=0, background=0,
        disposal=2,          # clear each frame to transparent before the next: no smearing
        optimize=False,      # keep the palette as built, so index 0 stays the transparent one
    )


# ---------------------------------------------------------------------------------------------
# Checks, made on the written bytes rather than on what Pillow says it wrote.

def fail(msg):
    sys.exit("make-images: " + msg)


def check_png(path, size, opaque):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        fail(f"{path}: not a PNG")
    width, height, depth, colour_type = struct.unpack(">IIBB", data[16:26])
    if (width, height) != size or depth != 8 or colour_type != 6:
        fail(f"{path}: {width}x{height} depth {depth} type {colour_type}, want {size} 8-bit RGBA")
    # No text/time chunks: they would make the bytes depend on when the script ran.
    pos = 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind in (b"tIME", b"tEXt", b"zTXt", b"iTXt"):
            fail(f"{path}: unexpected {kind.decode()} chunk")
        pos += 12 + length
    im = Image.open(path)
    im.load()
    lo, hi = im.getchannel("A").getextrema()
    if opaque and lo != 255:
        fail(f"{path}: not opaque (min alpha {lo})")
    if not opaque:
        if im.getpixel((0, 0))[3] != 0 or im.getpixel((size[0] - 1, size[1] - 1))[3] != 0:
            fail(f"{path}: corners should be transparent")
        if hi != 255:
            fail(f"{path}: nothing fully drawn")
    return im


def check_gif(path):
    data = open(path, "rb").read()
    if data[:6] != b"GIF89a":
        fail(f"{path}: header {data[:6]!r}, want GIF89a")
    w, h, packed, bg = struct.unpack("<HHBB", data[6:12])
    if (w, h) != (SPINNER_SIZE, SPINNER_SIZE):
        fail(f"{path}: canvas {w}x{h}")
    pos = 13
    if packed & 0x80:
        pos += 3 * (2 << (packed & 7))
    loops, controls, images = None, [], 0

    def skip_sub_blocks(p):
        while data[p]:
            p += data[p] + 1
        return p + 1

    while True:
        tag = data[pos]
        if tag == 0x3B:
            break
        if tag == 0x21:
            label = data[pos + 1]
            if label == 0xF9:
                flags, delay, trans = struct.unpack("<BHB", data[pos + 3:pos + 7])
                controls.append((flags, delay, trans))
            elif label == 0xFF and data[pos + 3:pos + 14] == b"NETSCAPE2.0":
                loops = struct.unpack("<H", data[pos + 16:pos + 18])[0]
            pos = skip_sub_blocks(pos + 2)
        elif tag == 0x2C:
            images += 1
            left, top, iw, ih, ipacked = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            if left + iw > w or top + ih > h:
                fail(f"{path}: frame {images} outside the canvas")
            pos += 10
            if ipacked & 0x80:
                pos += 3 * (2 << (ipacked & 7))
            pos = skip_sub_blocks(pos + 1)  # LZW minimum code size, then data
        else:
            fail(f"{path}: unexpected block 0x{tag:02x} at {pos}")

    if images != SPINNER_FRAMES or len(controls) != SPINNER_FRAMES:
        fail(f"{path}: {images} frames / {len(controls)} control blocks, want {SPINNER_FRAMES}")
    if loops != 0:
        fail(f"{path}: loop count {loops}, want 0 (for ever)")
    for i, (flags, delay, trans) in enumerate(controls):
        if delay != SPINNER_FRAME_MS // 10:
            fail(f"{path}: frame {i} delay {delay}/100 s")
        if not flags & 1 or trans != 0:
            fail(f"{path}: frame {i} has no transparent index 0")
        if (flags >> 2) & 7 != 2:
            fail(f"{path}: frame {i} disposal {(flags >> 2) & 7}, want 2 (restore background)")
    if bg != 0:
        fail(f"{path}: background index {bg}, want the transparent index 0")

    # Decode every composed frame and check it is different and has a transparent ground.
    im = Image.open(path)
    seen = set()
    for i in range(SPINNER_FRAMES):
        im.seek(i)
        rgba = im.convert("RGBA")
        if rgba.getpixel((0, 0))[3] != 0 or rgba.getpixel((20, 20))[3] != 255:
            fail(f"{path}: frame {i}: corner not transparent or centre not drawn")
        seen.add(zlib.crc32(rgba.tobytes()))
    if len(seen) != SPINNER_FRAMES:
        fail(f"{path}: frames repeat")
    return images


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, os.pardir, "resources", "icons")
    out_dir = os.path.normpath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    if not os.path.exists(FONT_PATH):
        fail(f"{FONT_PATH} missing (Debian package fonts-dejavu-core)")

    logo = os.path.join(out_dir, "kandu-logo.png")
    banner = os.path.join(out_dir, "nembrals_logo.png")
    spinner = os.path.join(out_dir, "rotating_logo.gif")

    make_logo().save(logo, format="PNG", optimize=False, compress_level=9)
    make_banner().save(banner, format="PNG", optimize=False, compress_level=9)
    save_spinner(make_spinner_frames(), spinner)

    check_png(logo, (LOGO_SIZE, LOGO_SIZE), opaque=True)
    check_png(banner, BANNER_SIZE, opaque=False)
    check_gif(spinner)
    for p in (logo, banner, spinner):
        print(f"{os.path.relpath(p)}: {os.path.getsize(p)} bytes, crc32 {zlib.crc32(open(p, 'rb').read()):08x}")


if __name__ == "__main__":
    main()
