#!/usr/bin/python3
"""Writes resources/fonts/morvane-latin-12.ttf and -13.ttf: the few Latin letters AR PL UMing's
strikes draw wrong at the window's sizes, one face for each pixel size.

AR PL UMing's 13 px strike draws "I" over the letter before it and leaves a hole after it,
so names read "ZI G" (at 12 px it sits a pixel left of its cell); its "%" reads as a "W"
("N%" as "NW") at both sizes, and at 13 px its "K" fills its cell to the edge, so that
"K线" runs together. These faces are listed before it for those letters. Their outlines sit
on pixel edges at their own size (100 units a pixel) so that, drawn without smoothing, the
strokes are whole pixels of the exact colour.
"""
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

PX = 100  # units a pixel


def cells(rows):
    """Rectangles of the filled cells of a picture given top row first, above the baseline."""
    pen = TTGlyphPen(None)
    top = len(rows)
    for r, row in enumerate(rows):
        for c, ch in enumerate(row):
            if ch != "#":
                continue
            x0, y0 = c * PX, (top - 1 - r) * PX
            pen.moveTo((x0, y0))
            pen.lineTo((x0, y0 + PX))
            pen.lineTo((x0 + PX, y0 + PX))
            pen.lineTo((x0 + PX, y0))
            pen.closePath()
    return pen.glyph()


def capital_i(width, stem, serif):
    """Ten rows from the cap height down to the baseline, the stem in column `stem` of a cell
    `width` wide, the serifs reaching `serif` columns either side of it."""
    bar = "." * (stem - serif) + "#" * (2 * serif + 1) + "." * (width - stem - serif - 1)
    mid = "." * stem + "#" + "." * (width - stem - 1)
    return [bar] + [mid] * 8 + [bar]


# Pixel size: the UMing cell there (half-width advance, rows above and below the baseline)
# the stem's column: the middle of the cell, and the serifs' reach. At 13 px the strike advances
# 7 pixels where the outlines advance 6.5, and Qt's paths round the difference apart, so a
# cell's I may land a pixel either way; the middle keeps both sides within a pixel of each
# other. There the neighbours stand 0 to 1 pixel apart, so the serifs reach 2 columns: with
# 1, the 7-pixel cell reads as a space beside A, F or P ("DYNA INFO").
SIZES = {12: (6, 11, 1, 2, 1), 13: (7, 11, 2, 3, 2)}


# Ten rows from the cap height down to the baseline; the last column of each cell stays
# empty, so that the letter after it never touches.
PERCENT = {
    12: [".#..#.",
         "#.#.#.",
         ".#.#..",
         "...#..",
         "..#...",
         "..#...",
         ".#....",
         ".#.#..",
         "#.#.#.",
         "#..#.."],
    # UMing's 13 px letters reach their cell's last column: the first stays empty too
    13: ["..#..#.",
         ".#.#.#.",
         "..#.#..",
         "....#..",
         "...#...",
         "...#...",
         "..#....",
         "..#.#..",
         ".#.#.#.",
         ".#..#.."],
}
CAPITAL_K_13 = ["###.##.",
                ".#..#..",
                ".#.#...",
                ".##....",
                ".##....",
                ".#.#...",
                ".#..#..",
                ".#..#..",
                ".#...#.",
                "###.##."]


def letters(size):
    width, above, below, stem, serif = SIZES[size]
    out = {"I": capital_i(width, stem, serif), "%": PERCENT[size]}
    if size == 13:
        out["K"] = CAPITAL_K_13
    return out


def build(path, size):
    width, above, below, stem, serif = SIZES[size]
    UNITS = size * PX
    ASCENT, DESCENT = above * PX, below * PX
    glyphs = letters(size)
    names = {"I": "I", "%": "percent", "K": "K"}
    fb = FontBuilder(UNITS, isTTF=True)
    order = [".notdef"] + [names[c] for c in glyphs]
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap({ord(c): names[c] for c in glyphs})
    empty = TTGlyphPen(None).glyph()
    fb.setupGlyf({".notdef": empty, **{names[c]: cells(rows) for c, rows in glyphs.items()}})
    metrics = {".notdef": (width * PX, 0)}
    for c, rows in glyphs.items():
        assert all(len(row) == width for row in rows), c
        metrics[names[c]] = (width * PX, min(row.index("#") for row in rows if "#" in row) * PX)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=-DESCENT)
    fb.setupNameTable({"familyName": "Morvane Latin %d" % size, "styleName": "Regular"})
    fb.setupOS2(sTypoAscender=ASCENT, sTypoDescender=-DESCENT, sTypoLineGap=0,
                usWinAscent=ASCENT, usWinDescent=DESCENT, sxHeight=7 * PX, sCapHeight=10 * PX)
    fb.setupPost()
    fb.save(path)


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else "resources/fonts"
    for px in SIZES:
        build("%s/morvane-latin-%d.ttf" % (folder, px), px)
