#!/usr/bin/python3
"""Writes resources/fonts/morvane-latin-12.ttf and -13.ttf: the Latin capital I, one face
for each pixel size.

AR PL UMing's 13 px strike draws "I" over the letter before it and leaves a hole after it,
so names read "ZI G" (at 12 px it sits a pixel left of its cell); these faces are listed
before it for that one letter. Their outlines sit on pixel edges at their own size (100
units a pixel) so that, drawn without smoothing, the strokes are whole pixels of the exact
colour.
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


def build(path, size):
    width, above, below, stem, serif = SIZES[size]
    UNITS = size * PX
    ASCENT, DESCENT = above * PX, below * PX
    CAPITAL_I = capital_i(width, stem, serif)
    fb = FontBuilder(UNITS, isTTF=True)
    names = [".notdef", "I"]
    fb.setupGlyphOrder(names)
    fb.setupCharacterMap({ord("I"): "I"})
    empty = TTGlyphPen(None).glyph()
    fb.setupGlyf({".notdef": empty, "I": cells(CAPITAL_I)})
    left = min(row.index("#") for row in CAPITAL_I) * PX
    fb.setupHorizontalMetrics({".notdef": (width * PX, 0), "I": (width * PX, left)})
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
