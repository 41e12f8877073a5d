#!/usr/bin/env python3
"""Generates engine/storage/zan_collation.inc: the weight and case tables of the "ANSI" sort
order and of the engine's case mapping.

The character set is U+0000-U+00FF plus the extra characters of the Windows-1252 repertoire.
Every character gets up to two collation elements (primary, secondary, tertiary) and a
fourth-level weight:
  - primary: symbols and punctuation < digits < letters; 0 means "ignored at the first three
    levels" (hyphen, apostrophe, soft hyphen), those characters only count at the fourth level;
  - secondary: accents and other variants of a base character (0 = plain);
  - tertiary: case, 0 lowercase (or caseless), 1 uppercase;
  - fourth level: 0 for ordinary characters, the ignorable's weight otherwise.
Ligatures expand to two elements (ae, oe, ss) marked with a ligature secondary.

Usage: tools/gen_collation.py > engine/storage/zan_collation.inc
"""

import sys
import unicodedata

EXTRAS = [0x0152, 0x0153, 0x0160, 0x0161, 0x0178, 0x017D, 0x017E, 0x0192, 0x02C6, 0x02DC,
          0x2013, 0x2014, 0x2018, 0x2019, 0x201A, 0x201C, 0x201D, 0x201E, 0x2020, 0x2021,
          0x2022, 0x2026, 0x2030, 0x2039, 0x203A, 0x20AC, 0x2122]
ALL = list(range(256)) + EXTRAS

# Secondary weights.
ACUTE, GRAVE, CIRCUMFLEX, CARON, RING, DIAERESIS, TILDE, CEDILLA, STROKE, HOOK, LIGATURE, \
    ORDINAL, SUPERSCRIPT = range(1, 14)

# Fourth-level weights of the characters ignored at the first three levels.
IGNORABLE = {0x27: 1, 0x2D: 2, 0xAD: 3}

CONTROLS = list(range(0x00, 0x09)) + list(range(0x0E, 0x20)) + [0x7F] + list(range(0x80, 0xA0))
WHITESPACE = [0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0xA0]
PUNCTUATION = [ord(c) for c in "!\"#$%&()*,./:;?@[\\]^_`{|}~"] + [
    0xA1, 0xBF, 0x2018, 0x2019, 0x201A, 0x201C, 0x201D, 0x201E, 0x2039, 0x203A, 0xAB, 0xBB,
    0x2026, 0x2013, 0x2014, 0x2020, 0x2021, 0x2022, 0x2030, 0xB4, 0xA8, 0xAF, 0xB8, 0x02C6,
    0x02DC, 0xB7, 0xA6, 0xA7, 0xB6, 0xA9, 0xAE, 0x2122, 0xB0]
CURRENCY = [0xA2, 0xA3, 0xA4, 0xA5, 0x20AC]
MATH = [ord(c) for c in "+<=>"] + [0xB1, 0xD7, 0xF7, 0xAC, 0xB5, 0xBC, 0xBD, 0xBE]
SYMBOLS = CONTROLS + WHITESPACE + PUNCTUATION + CURRENCY + MATH

LETTERS = "abcdefghijklmnopqrstuvwxyz" + "\u00fe"

# Variants of base letters and digits: code point -> (base, secondary).
VARIANTS = {
    0xE0: ("a", GRAVE), 0xE1: ("a", ACUTE), 0xE2: ("a", CIRCUMFLEX), 0xE3: ("a", TILDE),
    0xE4: ("a", DIAERESIS), 0xE5: ("a", RING), 0xAA: ("a", ORDINAL),
    0xE7: ("c", CEDILLA), 0xF0: ("d", STROKE),
    0xE8: ("e", GRAVE), 0xE9: ("e", ACUTE), 0xEA: ("e", CIRCUMFLEX), 0xEB: ("e", DIAERESIS),
    0x0192: ("f", HOOK),
    0xEC: ("i", GRAVE), 0xED: ("i", ACUTE), 0xEE: ("i", CIRCUMFLEX), 0xEF: ("i", DIAERESIS),
    0xF1: ("n", TILDE),
    0xF2: ("o", GRAVE), 0xF3: ("o", ACUTE), 0xF4: ("o", CIRCUMFLEX), 0xF5: ("o", TILDE),
    0xF6: ("o", DIAERESIS), 0xF8: ("o", STROKE), 0xBA: ("o", ORDINAL),
    0x0161: ("s", CARON),
    0xF9: ("u", GRAVE), 0xFA: ("u", ACUTE), 0xFB: ("u", CIRCUMFLEX), 0xFC: ("u", DIAERESIS),
    0xFD: ("y", ACUTE), 0xFF: ("y", DIAERESIS), 0x017E: ("z", CARON),
    0xB9: ("1", SUPERSCRIPT), 0xB2: ("2", SUPERSCRIPT), 0xB3: ("3", SUPERSCRIPT),
}
EXPANSIONS = {0xE6: "ae", 0x0153: "oe", 0xDF: "ss"}

# Case pairs (lower -> upper). The sharp s and y with diaeresis keep their form when upper-cased.
UPPER = {}
for c in range(ord("a"), ord("z") + 1):
    UPPER[c] = c - 32
for c in range(0xE0, 0xFF):
    if c not in (0xF7, 0xDF):
        UPPER[c] = c - 32
UPPER.update({0x0153: 0x0152, 0x0161: 0x0160, 0x017E: 0x017D})
LOWER = {u: l for l, u in UPPER.items()}
LOWER[0x0178] = 0xFF


def build():
    primary = {}
    weight = 1
    for cp in SYMBOLS:
        assert cp not in primary, hex(cp)
        primary[cp] = weight
        weight += 1
    base = {}
    for d in "0123456789":
        base[d] = weight
        primary[ord(d)] = weight
        weight += 1
    for letter in LETTERS:
        base[letter] = weight
        primary[ord(letter)] = weight
        weight += 1

    entries = {}
    for cp in ALL:
        lower = LOWER.get(cp, cp)
        case = 1 if cp in LOWER and cp != lower else 0
        if cp in IGNORABLE:
            entries[cp] = ([], IGNORABLE[cp])
        elif lower in EXPANSIONS:
            entries[cp] = ([(base[ch], LIGATURE, case) for ch in EXPANSIONS[lower]], 0)
        elif lower in VARIANTS:
            b, sec = VARIANTS[lower]
            entries[cp] = ([(base[b], sec, case)], 0)
        elif lower in primary:
            entries[cp] = ([(primary[lower], 0, case)], 0)
        else:
            raise SystemExit("no weight for U+%04X" % cp)
    # Distinct characters must never collate equal in case-sensitive mode.
    keys = {}
    for cp, key in entries.items():
        k = (tuple(key[0]), key[1])
        assert k not in keys, "U+%04X collides with U+%04X" % (cp, keys[k])
        keys[k] = cp
    assert weight < 0x10000
    return entries


def name(cp):
    try:
        return unicodedata.name(chr(cp))
    except ValueError:
        return "control"


def main():
    entries = build()
    out = sys.stdout
    out.write("// Generated by tools/gen_collation.py; do not edit.\n")
    out.write("// Collation elements and case pairs of U+0000-U+00FF (index = code point) and of\n")
    out.write("// the extra characters listed in ZanCollExtraCodePoints (index = 256 + position).\n")
    out.write("// Entry: primaries, secondaries, tertiaries of up to two elements, fourth level.\n\n")
    out.write("static constexpr int ZanCollExtraCount = %d;\n" % len(EXTRAS))
    out.write("static constexpr uint16_t ZanCollExtraCodePoints[ZanCollExtraCount] = {\n")
    for i in range(0, len(EXTRAS), 9):
        out.write("    " + ", ".join("0x%04X" % c for c in EXTRAS[i:i + 9]) + ",\n")
    out.write("};\n\n")
    out.write("static constexpr TZanCollEntry ZanCollTable[256 + ZanCollExtraCount] = {\n")
    for cp in ALL:
        elems, fourth = entries[cp]
        p = [e[0] for e in elems] + [0] * (2 - len(elems))
        s = [e[1] for e in elems] + [0] * (2 - len(elems))
        t = [e[2] for e in elems] + [0] * (2 - len(elems))
        upper = UPPER.get(cp, cp)
        lower = LOWER.get(cp, cp)
        out.write("    {{%d, %d}, {%d, %d}, {%d, %d}, %d, 0x%04X, 0x%04X}, // U+%04X %s\n" %
                  (p[0], p[1], s[0], s[1], t[0], t[1], fourth, upper, lower, cp, name(cp)))
    out.write("};\n")


if __name__ == "__main__":
    main()
