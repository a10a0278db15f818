#!/usr/bin/env python3
"""Draws the page's images (img/*.png, img/status_connecting.gif) from simple
shapes, so the repository holds the art and the way to redraw it. Run it from
anywhere: python3 src/app/ui/web/make-images.py"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, 'img')
SS = 4  # supersampling per axis


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0, 0, 0, 0)] * w for _ in range(h)]

    def blend(self, x, y, colour, cover):
        if cover <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        r, g, b, a = colour
        a = a * cover
        dr, dg, db, da = self.px[y][x]
        oa = a + da * (1 - a)
        if oa <= 0:
            return
        mix = lambda s, d: (s * a + d * da * (1 - a)) / oa
        self.px[y][x] = (mix(r, dr), mix(g, dg), mix(b, db), oa)

    def fill(self, inside, colour):
        """Fills where inside(x, y) holds (pixel units, sampled SS x SS per pixel)."""
        for y in range(self.h):
            for x in range(self.w):
                n = 0
                for sy in range(SS):
                    for sx in range(SS):
                        if inside(x + (sx + .5) / SS, y + (sy + .5) / SS):
                            n += 1
                self.blend(x, y, colour, n / (SS * SS))

    def circle(self, cx, cy, r, colour):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour)

    def ring(self, cx, cy, r1, r2, colour, a0=0, a1=360):
        def inside(x, y):
            d = (x - cx) ** 2 + (y - cy) ** 2
            if not (r1 * r1 <= d <= r2 * r2):
                return False
            ang = math.degrees(math.atan2(y - cy, x - cx)) % 360
            return (a0 <= ang <= a1) if a0 <= a1 else (ang >= a0 or ang <= a1)
        self.fill(inside, colour)

    def rect(self, x0, y0, x1, y1, colour, radius=0):
        def inside(x, y):
            if not (x0 <= x <= x1 and y0 <= y <= y1):
                return False
            if radius <= 0:
                return True
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
        self.fill(inside, colour)

    def polygon(self, pts, colour):
        def inside(x, y):
            c = False
            j = len(pts) - 1
            for i in range(len(pts)):
                xi, yi = pts[i]
                xj, yj = pts[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    c = not c
                j = i
            return c
        self.fill(inside, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        def inside(x, y):
            dx, dy = x1 - x0, y1 - y0
            t = max(0, min(1, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
            px, py = x0 + t * dx, y0 + t * dy
            return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
        self.fill(inside, colour)

    def gradient_rows(self, top, bottom):
        for y in range(self.h):
            t = y / max(1, self.h - 1)
            c = tuple(top[i] * (1 - t) + bottom[i] * t for i in range(4))
            for x in range(self.w):
                self.px[y][x] = c

    def png(self, name):
        raw = b''
        for row in self.px:
            raw += b'\0' + b''.join(bytes((round(r * 255), round(g * 255), round(b * 255), round(a * 255)))
                                    for r, g, b, a in row)
        def chunk(kind, data):
            return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
        data = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', self.w, self.h, 8, 6, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
        with open(os.path.join(OUT, name), 'wb') as f:
            f.write(data)


def rgb(hex_colour, alpha=1.0):
    v = int(hex_colour.lstrip('#'), 16)
    return ((v >> 16) / 255, ((v >> 8) & 255) / 255, (v & 255) / 255, alpha)


WHITE = rgb('#ffffff')

# ---- status indicators (16 x 16) ---------------------------------------------------------------


def status_base(colour, edge):
    c = Canvas(16, 16)
    c.circle(8, 8, 7, rgb(edge))
    c.circle(8, 8, 6, rgb(colour))
    c.circle(6.5, 6, 2.5, rgb('#ffffff', .35))
    return c


c = status_base('#3fae49', '#23742b')          # archiving: green with a play arrow
c.polygon([(6.2, 4.6), (6.2, 11.4), (11.6, 8)], WHITE)
c.png('status_archiving.png')
c = status_base('#8a96a6', '#5d6877')          # stopped: grey with a square
c.rect(5.2, 5.2, 10.8, 10.8, WHITE, 0.6)
c.png('status_stopped.png')
c = status_base('#d9403a', '#98221e')          # failed: red with a cross
c.line(5.3, 5.3, 10.7, 10.7, 2, WHITE)
c.line(10.7, 5.3, 5.3, 10.7, 2, WHITE)
c.png('status_failed.png')
c = Canvas(16, 16)                             # not archivable: amber triangle with "!"
c.polygon([(8, 1), (15.3, 14.5), (0.7, 14.5)], rgb('#a8700c'))
c.polygon([(8, 2.8), (13.8, 13.5), (2.2, 13.5)], rgb('#f2b431'))
c.rect(7.1, 5.6, 8.9, 10, rgb('#3a2a05'), 0.5)
c.rect(7.1, 11, 8.9, 12.6, rgb('#3a2a05'), 0.5)
c.png('status_not_archivable.png')

# ---- usage bar fills, overwrite symbol ------------------------------------------------------------

for name, top, bottom in (('hdd_good.png', '#9be28f', '#3f9f3a'), ('hdd_bad.png', '#ffd27a', '#e08a12'),
                          ('hdd_error.png', '#c4ccd6', '#8c97a5')):
    c = Canvas(4, 12)
    c.gradient_rows(rgb(top), rgb(bottom))
    c.png(name)


def recycle(name, colour):
    c = Canvas(16, 16)
    c.ring(8, 8, 4.2, 6.6, rgb(colour), 200, 340)
    c.ring(8, 8, 4.2, 6.6, rgb(colour), 20, 160)
    c.polygon([(13.8, 9.6), (15.8, 5.2), (11.0, 6.0)], rgb(colour))
    c.polygon([(2.2, 6.4), (0.2, 10.8), (5.0, 10.0)], rgb(colour))
    return c


recycle('hdd_recycle_on.png', '#2f8fd8').png('hdd_recycle_on.png')
recycle('hdd_recycle_off.png', '#c3c9d1').png('hdd_recycle_off.png')

# ---- toolbar (24 x 24), enabled and disabled -----------------------------------------------------


def toolbar(name, draw):
    for suffix, grey in (('', False), ('_disabled', True)):
        c = Canvas(24, 24)
        draw(c, (lambda col, a=1.0: rgb('#b4bac2', a)) if grey else (lambda col, a=1.0: rgb(col, a)))
        c.png('toolbar_' + name + suffix + '.png')


def draw_wizard(c, col):
    c.rect(4, 3, 17, 21, col('#5b6f86'), 1.5)
    c.rect(5.5, 4.5, 15.5, 19.5, WHITE, 1)
    for y in (8, 11, 14):
        c.rect(7, y, 14, y + 1.2, col('#8fa2b8'))
    c.circle(17.5, 17.5, 5, col('#2e9a3e'))
    c.rect(16.7, 14.5, 18.3, 20.5, WHITE)
    c.rect(14.5, 16.7, 20.5, 18.3, WHITE)


def draw_start(c, col):
    c.circle(12, 12, 9.5, col('#2b8f37'))
    c.circle(12, 12, 8.3, col('#45b552'))
    c.polygon([(9.5, 7), (9.5, 17), (17.5, 12)], WHITE)


def draw_stop(c, col):
    c.circle(12, 12, 9.5, col('#a3302b'))
    c.circle(12, 12, 8.3, col('#d9453d'))
    c.rect(8, 8, 16, 16, WHITE, 1)


def draw_storage(c, col):
    for y in (4, 10, 16):
        c.rect(3, y, 21, y + 5, col('#4e6580'), 1.2)
        c.rect(4.2, y + 1.2, 19.8, y + 3.8, col('#7d95b2'), 0.8)
        c.circle(17.5, y + 2.5, 1, col('#7dff8a') if col('#000000') != rgb('#b4bac2') else col('#ffffff'))


def draw_log(c, col):
    c.rect(5, 2.5, 19, 21.5, col('#6b7b8e'), 1.5)
    c.rect(6.3, 3.8, 17.7, 20.2, WHITE, 1)
    for y in (6.5, 9.5, 12.5, 15.5):
        c.rect(8, y, 16, y + 1.2, col('#7f8ea1'))
    c.polygon([(17.7, 20.2), (17.7, 15.5), (13, 20.2)], col('#c4ced9'))


toolbar('wizard', draw_wizard)
toolbar('start', draw_start)
toolbar('stop', draw_stop)
toolbar('storage', draw_storage)
toolbar('log', draw_log)

# ---- message box icons (32 x 32) -----------------------------------------------------------------

c = Canvas(32, 32)
c.circle(16, 16, 14.5, rgb('#a82620'))
c.circle(16, 16, 13.2, rgb('#dc3b33'))
c.line(10.5, 10.5, 21.5, 21.5, 3.4, WHITE)
c.line(21.5, 10.5, 10.5, 21.5, 3.4, WHITE)
c.png('icon_error.png')
c = Canvas(32, 32)
c.polygon([(16, 1.5), (31, 29.5), (1, 29.5)], rgb('#a8700c'))
c.polygon([(16, 4.2), (28.6, 28), (3.4, 28)], rgb('#f5b833'))
c.rect(14.4, 11, 17.6, 21, rgb('#2f2204'), 1)
c.circle(16, 24.6, 1.9, rgb('#2f2204'))
c.png('icon_warning.png')
c = Canvas(32, 32)
c.circle(16, 16, 14.5, rgb('#1f5fa8'))
c.circle(16, 16, 13.2, rgb('#3a82d6'))
c.ring(16, 12.2, 3.4, 6.4, WHITE, 180, 60)
c.line(17.9, 16.5, 16, 18.5, 3, WHITE)
c.rect(14.5, 18, 17.5, 21, WHITE)
c.circle(16, 24.8, 1.9, WHITE)
c.png('icon_question.png')
c = Canvas(32, 32)
c.circle(16, 16, 14.5, rgb('#1f5fa8'))
c.circle(16, 16, 13.2, rgb('#3a82d6'))
c.circle(16, 9.2, 2.1, WHITE)
c.rect(14.3, 13, 17.7, 24.5, WHITE, 1)
c.png('icon_information.png')

# ---- connecting: an animated GIF of a turning arc (16 x 16) -------------------------------------

PALETTE = [(255, 255, 255), (46, 134, 214), (160, 196, 234), (220, 232, 246)]


def gif_frame(step):
    """Palette indices for frame `step`; index 0 is transparent."""
    frame = [[0] * 16 for _ in range(16)]
    for y in range(16):
        for x in range(16):
            dx, dy = x + .5 - 8, y + .5 - 8
            d = math.hypot(dx, dy)
            if 3.6 <= d <= 7.2:
                ang = (math.degrees(math.atan2(dy, dx)) - step * 45) % 360
                frame[y][x] = 1 if ang < 120 else 2 if ang < 220 else 3
    return frame


def lzw(indices, min_code=2):
    """GIF LZW with a clear code before every few codes, so codes stay min_code + 1 bits wide."""
    clear, end = 1 << min_code, (1 << min_code) + 1
    width = min_code + 1
    out, acc, nbits = bytearray(), 0, 0

    def emit(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 255)
            acc >>= 8
            nbits -= 8
    for i, v in enumerate(indices):
        if i % ((1 << width) - (1 << min_code) - 3) == 0:
            emit(clear)
        emit(v)
    emit(end)
    if nbits:
        out.append(acc & 255)
    return bytes(out)


def write_gif(name, frames, delay_cs):
    data = bytearray(b'GIF89a' + struct.pack('<HHBBB', 16, 16, 0xF1, 0, 0))
    for r, g, b in PALETTE:
        data += bytes((r, g, b))
    data += b'\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00'  # loop forever
    for frame in frames:
        data += b'\x21\xf9\x04' + bytes((0x09,)) + struct.pack('<H', delay_cs) + b'\x00\x00'
        data += b'\x2c' + struct.pack('<HHHHB', 0, 0, 16, 16, 0)
        data += b'\x02'
        body = lzw([v for row in frame for v in row])
        for i in range(0, len(body), 255):
            part = body[i:i + 255]
            data += bytes((len(part),)) + part
        data += b'\x00'
    data += b'\x3b'
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


write_gif('status_connecting.gif', [gif_frame(i) for i in range(8)], 10)
print('images written to', OUT)
