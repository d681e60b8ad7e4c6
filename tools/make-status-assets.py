#!/usr/bin/env python3
"""Makes the status page's built-in logo (a GIF) and alarm sound (a WAV) and writes them
as byte arrays to src/reports/status_logo_data.h and status_alarm_data.h. Both are drawn
and synthesised here, from nothing but this script: run it again after changing the
drawing or the tone.

    tools/make-status-assets.py [OUTPUT_DIRECTORY]
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 250, 120

# Palette: index 0 is the page's white, so the logo sits on the page without a frame.
PALETTE = [
    (255, 255, 255),  # 0 background
    (38, 50, 56),     # 1 dark slate: housing and letters
    (144, 238, 144),  # 2 lightgreen, the page's green
    (255, 215, 0),    # 3 yellow
    (229, 57, 53),    # 4 red
    (120, 144, 156),  # 5 grey: subtitle
    (69, 90, 100),    # 6 housing edge
    (255, 255, 255),  # 7 highlight
]

# A 5 x 7 letter set of our own, only the letters the logo uses.
GLYPHS = {
    'S': [".###.", "#...#", "#....", ".###.", "....#", "#...#", ".###."],
    'e': [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    'n': [".....", ".....", "####.", "#...#", "#...#", "#...#", "#...#"],
    't': [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    'r': [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    'l': [".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    'T': ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    'A': [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    'U': ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    ' ': ["....."] * 7,
}


def draw():
    px = [[0] * WIDTH for _ in range(HEIGHT)]

    def rounded_rect(x0, y0, x1, y1, r, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                cx = min(max(x, x0 + r), x1 - 1 - r)
                cy = min(max(y, y0 + r), y1 - 1 - r)
                if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                    px[y][x] = colour

    def disc(cx, cy, r, colour):
        for y in range(cy - r, cy + r + 1):
            for x in range(cx - r, cx + r + 1):
                if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                    px[y][x] = colour

    def text(s, x, y, scale, colour):
        for ch in s:
            for row, bits in enumerate(GLYPHS[ch]):
                for col, bit in enumerate(bits):
                    if bit == '#':
                        for dy in range(scale):
                            for dx in range(scale):
                                px[y + row * scale + dy][x + col * scale + dx] = colour
            x += 6 * scale

    # The status light: a housing with red, yellow and green lights, as in the tree.
    rounded_rect(8, 8, 52, 112, 12, 6)
    rounded_rect(10, 10, 50, 110, 10, 1)
    for cy, colour in ((31, 4), (60, 3), (89, 2)):
        disc(30, cy, 12, colour)
        disc(26, cy - 4, 3, 7)
    text("Sentrel", 66, 26, 4, 1)
    text("STATUS", 68, 72, 3, 5)
    return px


def lzw(pixels, min_code_size):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    table = {(i,): i for i in range(clear)}
    next_code, size = end + 1, min_code_size + 1
    out, acc, nbits = bytearray(), 0, 0

    def emit(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xff)
            acc >>= 8
            nbits -= 8

    emit(clear)
    w = (pixels[0],)
    for p in pixels[1:]:
        wp = w + (p,)
        if wp in table:
            w = wp
            continue
        emit(table[w])
        if next_code < 4096:
            table[wp] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear)
            table = {(i,): i for i in range(clear)}
            next_code, size = end + 1, min_code_size + 1
        w = (p,)
    emit(table[w])
    emit(end)
    if nbits:
        out.append(acc & 0xff)
    return bytes(out)


def gif(px):
    flat = [v for row in px for v in row]
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", WIDTH, HEIGHT, 0xF2, 0, 0)  # global table of 8 colours
    for r, g, b in PALETTE:
        data += bytes((r, g, b))
    data += b"\x2c" + struct.pack("<HHHHB", 0, 0, WIDTH, HEIGHT, 0)
    data.append(3)  # minimum code size for 8 colours
    body = lzw(flat, 3)
    for i in range(0, len(body), 255):
        chunk = body[i:i + 255]
        data.append(len(chunk))
        data += chunk
    data += b"\x00\x3b"
    return bytes(data)


def wav():
    # Two tones taking turns, four times, 8 kHz 8-bit mono: short and loud enough to be
    # heard, small enough to cost nothing. Each note fades in and out, so nothing clicks.
    rate, note = 8000, 0.18
    samples = bytearray()
    for i in range(8):
        freq = 988 if i % 2 == 0 else 740
        n = int(rate * note)
        for k in range(n):
            t = k / rate
            fade = min(1.0, k / 80, (n - k) / 80)
            v = 0.6 * fade * math.sin(2 * math.pi * freq * t)
            samples.append(int(128 + 127 * v))
    header = b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8)
    header += b"data" + struct.pack("<I", len(samples))
    return header + bytes(samples)


def array(name, data):
    lines = [f"inline constexpr unsigned char {name}[] = {{"]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join(f"0x{b:02x}" for b in data[i:i + 16]) + ",")
    lines.append("};")
    return "\n".join(lines)


def write_header(path, what, name, data):
    with open(path, "w") as f:
        f.write("// Made by tools/make-status-assets.py; do not edit by hand.\n")
        f.write(f"// The status page's {what}.\n")
        f.write("#pragma once\n\nnamespace sentrel::status_assets {\n\n")
        f.write(array(name, data) + "\n\n")
        f.write("}  // namespace sentrel::status_assets\n")


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src/reports")
    logo, sound = gif(draw()), wav()
    write_header(os.path.join(out, "status_logo_data.h"), "logo (GIF, 250 x 120)", "kLogoGif", logo)
    write_header(os.path.join(out, "status_alarm_data.h"),
                 "alarm sound (WAV, 8 kHz 8-bit mono)", "kAlarmWav", sound)
    print(f"{out}: logo {len(logo)} bytes, sound {len(sound)} bytes")


if __name__ == "__main__":
    main()
