#!/usr/bin/env python3
"""Plots a tavelkorn profile table (RESULT_tavelkorn.xls) as an SVG line chart.

usage: tools/profile_svg.py PROFILE.xls [OUT.svg]   (default: PROFILE.svg)

The table holds one line per column: the 1-based column number, a tab, and
the stretched value. Python 3 standard library only.
"""
import math
import sys

WIDTH, HEIGHT = 800, 300
LEFT, RIGHT, TOP, BOTTOM = 60, 20, 30, 45


def read_profile(path):
    points = []
    with open(path, newline="") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            fields = line.split("\t")
            if len(fields) != 2:
                raise ValueError(f"{path}:{number}: expected 'column<TAB>value', got {line!r}")
            points.append((int(fields[0]), float(fields[1])))
    if not points:
        raise ValueError(f"{path}: no profile lines")
    return points


def nice_step(span, count=5):
    """A round tick step (1, 2 or 5 times a power of ten) giving about count ticks."""
    raw = span / count if span > 0 else 1
    power = 10 ** math.floor(math.log10(raw))
    return next(m * power for m in (1, 2, 5, 10) if m * power >= raw)


def svg(points, title):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    x0, x1 = min(xs), max(xs)
    y1 = max(max(ys), 1.0)
    if x1 == x0:
        x1 = x0 + 1
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def px(x):
        return LEFT + (x - x0) / (x1 - x0) * plot_w

    def py(y):
        return TOP + plot_h - y / y1 * plot_h

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>',
           f'<text x="{WIDTH / 2}" y="18" text-anchor="middle">{title}</text>']
    step = nice_step(y1)
    y = 0.0
    while y <= y1 + 1e-9:
        out.append(f'<line x1="{LEFT}" x2="{WIDTH - RIGHT}" y1="{py(y):.1f}" y2="{py(y):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{LEFT - 6}" y="{py(y) + 4:.1f}" text-anchor="end">{y:g}</text>')
        y += step
    step = nice_step(x1 - x0, 8)
    x = math.ceil(x0 / step) * step
    while x <= x1:
        out.append(f'<text x="{px(x):.1f}" y="{HEIGHT - BOTTOM + 16}" text-anchor="middle">{x:g}</text>')
        x += step
    out.append(f'<text x="{LEFT + plot_w / 2}" y="{HEIGHT - 8}" text-anchor="middle">column</text>')
    out.append(f'<rect x="{LEFT}" y="{TOP}" width="{plot_w}" height="{plot_h}" fill="none" stroke="black"/>')
    path = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in points)
    out.append(f'<polyline points="{path}" fill="none" stroke="#1f5fa8" stroke-width="1"/>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    source = argv[1]
    target = argv[2] if len(argv) == 3 else source.rsplit(".", 1)[0] + ".svg"
    try:
        points = read_profile(source)
    except (OSError, ValueError) as e:
        print(f"profile_svg: {e}", file=sys.stderr)
        return 1
    with open(target, "w") as f:
        f.write(svg(points, f"Profile of {source.rsplit('/', 1)[-1]}"))
    print(target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
