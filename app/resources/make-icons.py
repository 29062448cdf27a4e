#!/usr/bin/env python3
"""Draws the viewer's icons as PNG files (standard library only).

Run from this folder: python3 make-icons.py. The PNGs are checked in; run
again only after changing a drawing below. The drawings are shapes in the
icon's own units; the state icons are also rendered at four times their size
(NAME-x4.png), so that a zoomed list shows them sharp.
"""
import math
import struct
import zlib

SS = 4  # supersampling per axis


def write_png(path, w, h, pixels):
    raw = b"".join(b"\x00" + bytes(c for px in pixels[y * w:(y + 1) * w] for c in px) for y in range(h))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


class Canvas:
    """Shapes are tested per sub-sample; the last shape covering a sample wins."""

    def __init__(self, w, h, scale=1):
        # w and h in drawing units; each unit is `scale` pixels.
        self.scale = scale
        self.w, self.h = w * scale, h * scale
        self.samples = [[(0, 0, 0, 0)] * (self.w * SS) for _ in range(self.h * SS)]

    def fill(self, inside, colour):
        unit = SS * self.scale
        for sy in range(self.h * SS):
            y = (sy + 0.5) / unit
            row = self.samples[sy]
            for sx in range(self.w * SS):
                if inside((sx + 0.5) / unit, y):
                    row[sx] = colour

    def disc(self, cx, cy, r, colour):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour)

    def ring(self, cx, cy, r0, r1, colour, a0=0.0, a1=360.0):
        def inside(x, y):
            d = math.hypot(x - cx, y - cy)
            if not r0 <= d <= r1:
                return False
            a = math.degrees(math.atan2(cy - y, x - cx)) % 360
            return a0 <= a <= a1 if a0 <= a1 else (a >= a0 or a <= a1)
        self.fill(inside, colour)

    def rect(self, x0, y0, x1, y1, colour):
        self.fill(lambda x, y: x0 <= x <= x1 and y0 <= y <= y1, colour)

    def polygon(self, points, colour):
        def inside(x, y):
            hit = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit
        self.fill(inside, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        def inside(x, y):
            dx, dy = x1 - x0, y1 - y0
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
            return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width / 2
        self.fill(inside, colour)

    def save(self, path):
        out = []
        for y in range(self.h):
            for x in range(self.w):
                acc = [0.0, 0.0, 0.0, 0.0]
                for sy in range(SS):
                    for sx in range(SS):
                        r, g, b, a = self.samples[y * SS + sy][x * SS + sx]
                        acc[0] += r * a
                        acc[1] += g * a
                        acc[2] += b * a
                        acc[3] += a
                n = SS * SS
                a = acc[3] / n
                if a == 0:
                    out.append((0, 0, 0, 0))
                else:
                    out.append(tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(a)),))
        write_png(path, self.w, self.h, out)


BLACK = (0, 0, 0, 255)
WHITE = (255, 255, 255, 255)
GREEN = (40, 190, 60, 255)
DARK_GREEN = (0, 100, 20, 255)
RED = (220, 40, 40, 255)
DARK_RED = (120, 0, 0, 255)
YELLOW = (250, 210, 70, 255)
OCHRE = (170, 120, 20, 255)
BLUE = (40, 90, 170, 255)
NAVY = (20, 40, 90, 255)
GREY = (110, 110, 110, 255)


def both_sizes(draw, path):
    """The drawing at its own size and at four times it (NAME-x4.png)."""
    draw(1).save(path)
    draw(4).save(path.replace(".png", "-x4.png"))


def check(c, cx, cy, size, colour):
    # A tick: the state is "good" by its shape, whatever the hue.
    w = size * 0.22
    c.line(cx - size * 0.42, cy + size * 0.02, cx - size * 0.12, cy + size * 0.32, w, colour)
    c.line(cx - size * 0.12, cy + size * 0.32, cx + size * 0.42, cy - size * 0.30, w, colour)


def cross(c, cx, cy, size, colour):
    w = size * 0.22
    c.line(cx - size * 0.32, cy - size * 0.32, cx + size * 0.32, cy + size * 0.32, w, colour)
    c.line(cx - size * 0.32, cy + size * 0.32, cx + size * 0.32, cy - size * 0.32, w, colour)


def link(colour, dark, mark, path):
    def draw(scale):
        c = Canvas(16, 16, scale)
        c.disc(8, 8, 7.5, dark)
        c.disc(8, 8, 6.3, colour)
        mark(c, 8, 8, 9.0, WHITE)
        return c
    both_sizes(draw, path)


def link_unknown(path):
    both_sizes(lambda scale: draw_link_unknown(Canvas(16, 16, scale)), path)


def draw_link_unknown(c):
    # Neither up nor down: a grey disc with a question mark (shape, not hue).
    c.disc(8, 8, 7.5, (60, 60, 60, 255))
    c.disc(8, 8, 6.3, (170, 170, 170, 255))
    c.ring(8, 6.2, 1.6, 3.0, WHITE, 300, 180)
    c.line(8.6, 8.4, 8.0, 9.8, 1.5, WHITE)
    c.disc(8, 12.2, 1.0, WHITE)
    return c


def bar(c, cx, cy, size, colour):
    # A bar: "off", told apart from the tick by its shape.
    c.rect(cx - size * 0.36, cy - size * 0.11, cx + size * 0.36, cy + size * 0.11, colour)


def event_disc(colour, mark, path):
    def draw(scale):
        c = Canvas(32, 32, scale)
        c.disc(16, 16, 11, BLACK)
        c.disc(16, 16, 9.5, colour)
        mark(c, 16, 16, 13.0, WHITE)
        return c
    both_sizes(draw, path)


def main():
    link(GREEN, DARK_GREEN, check, "link-up.png")
    link(RED, DARK_RED, cross, "link-down.png")
    link_unknown("link-unknown.png")

    # The application: a dark monitor with a lit tally lamp and a trace.
    c = Canvas(32, 32)
    c.rect(2, 4, 30, 24, NAVY)
    c.rect(4, 6, 28, 22, (15, 25, 45, 255))
    c.line(5, 17, 10, 17, 1.6, GREEN)
    c.line(10, 17, 13, 10, 1.6, GREEN)
    c.line(13, 10, 17, 20, 1.6, GREEN)
    c.line(17, 20, 20, 14, 1.6, GREEN)
    c.line(20, 14, 27, 14, 1.6, GREEN)
    c.disc(25, 9, 2.3, RED)
    c.rect(13, 24, 19, 27, GREY)
    c.rect(9, 27, 23, 29, GREY)
    c.save("app.png")

    # A playlist: a page of rows, the running one marked.
    c = Canvas(32, 32)
    c.polygon([(6, 2), (21, 2), (27, 8), (27, 30), (6, 30)], GREY)
    c.polygon([(7, 3), (20.5, 3), (26, 8.5), (26, 29), (7, 29)], WHITE)
    for i, y in enumerate((11, 15, 19, 23)):
        c.rect(12, y, 23, y + 1.4, RED if i == 1 else BLUE)
        c.disc(9.5, y + 0.7, 1.3, GREEN if i == 1 else GREY)
    c.save("playlist.png")

    # Toolbar buttons, 16 by 15.
    c = Canvas(16, 15)  # open: a folder
    c.polygon([(1, 3), (6, 3), (7, 5), (14, 5), (14, 13), (1, 13)], OCHRE)
    c.polygon([(3, 7), (15.5, 7), (13.5, 13), (1, 13)], YELLOW)
    c.save("open.png")

    c = Canvas(16, 15)  # refresh: a circular arrow
    c.ring(8, 7.5, 4.0, 6.0, GREEN, 60, 330)
    c.polygon([(9.5, 0.5), (14.5, 2.5), (10.5, 6.5)], GREEN)
    c.save("refresh.png")

    c = Canvas(16, 15)  # trigger off: the red disc, struck through
    c.disc(8, 7.5, 6.5, BLACK)
    c.disc(8, 7.5, 5.2, RED)
    c.line(3.5, 12, 12.5, 3, 2.0, WHITE)
    c.save("trigger-off.png")

    c = Canvas(16, 15)  # trigger on: the green disc with an arrow
    c.disc(8, 7.5, 6.5, BLACK)
    c.disc(8, 7.5, 5.2, GREEN)
    c.polygon([(6, 4), (11.5, 7.5), (6, 11)], WHITE)
    c.save("trigger-on.png")

    c = Canvas(16, 15)  # change server: a server box and an arrow into it
    c.rect(7, 1, 15, 14, NAVY)
    c.rect(8, 2, 14, 4.5, BLUE)
    c.rect(8, 6, 14, 8.5, BLUE)
    c.disc(12.5, 11.5, 1.0, GREEN)
    c.line(0.5, 7.5, 5, 7.5, 1.8, BLACK)
    c.polygon([(4, 4.5), (7, 7.5), (4, 10.5)], BLACK)
    c.save("server-change.png")

    # Event list images, 32 by 32, scaled to 24 by 24 by the list.
    both_sizes(lambda scale: Canvas(32, 32, scale), "event-blank.png")

    def sent(scale):
        c = Canvas(32, 32, scale)
        c.rect(5, 13, 18, 19, BLACK)
        c.polygon([(17, 7), (28, 16), (17, 25)], BLACK)
        return c
    both_sizes(sent, "event-sent.png")
    event_disc(GREEN, check, "event-active.png")
    event_disc(RED, bar, "event-idle.png")


if __name__ == "__main__":
    main()
