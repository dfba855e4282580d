#!/usr/bin/env python3
"""Writes the Unicode character tables of the localisation library.

Reads UnicodeData.txt and writes i18n/uni_tables_generated.cpp, which holds
the data declared in i18n/uni_tables.h:

  * case tables: per block of 256 units an optional pair of tables (upper,
    lower) covering first..last, from the simple mappings (fields 12 and 13);
  * the lower-case table for the supplementary characters of the covered
    high surrogates (U+D801: U+10400..U+107FF);
  * property words: per block of 256 units first..last and a default;
  * decimal digit values: per block of 128 units an optional table.

Usage: python3 tools/gen_unicode_tables.py [UnicodeData.txt] [-o OUTPUT]
"""

import argparse
import collections
import os
import sys

DEFAULT_DATA = "/usr/share/unicode/UnicodeData.txt"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUTPUT = os.path.join(REPO, "i18n", "uni_tables_generated.cpp")

BMP_END = 0x10000
CASE_SHIFT = 8
PROP_SHIFT = 8
DIGIT_SHIFT = 7
HIGH_SURROGATES = (0xD801,)
SURROGATES = range(0xD800, 0xE000)

# Mappings left out on purpose: the capital sharp s keeps its lower case and
# the small sharp s has no simple upper case.
NO_UPPER = {0x00DF}
NO_LOWER = {0x1E9E}

# Must agree with kPropDecimalDigit in i18n/uni_tables.h.
PROP_DECIMAL_DIGIT = 0x20000030

# An empty case or property range (first > last).
EMPTY_FIRST, EMPTY_LAST = 0x0001, 0x0000

Data = collections.namedtuple("Data", "category decimal upper lower")


def parse(path):
    """Returns the general category of every code point and the fields used."""
    category = ["Cn"] * 0x110000
    decimal, upper, lower = {}, {}, {}
    range_first = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) != 15:
                continue
            cp, name, cat = int(fields[0], 16), fields[1], fields[2]
            if range_first is not None and not name.endswith(", Last>"):
                sys.exit(f"range start U+{range_first:04X} without end")
            if name.endswith(", First>"):
                range_first = cp
                continue
            first = cp
            if name.endswith(", Last>"):
                if range_first is None:
                    sys.exit(f"range end without start at U+{cp:04X}")
                first, range_first = range_first, None
            for c in range(first, cp + 1):
                category[c] = cat
            if fields[6]:
                decimal[cp] = int(fields[6])
            if fields[12]:
                upper[cp] = int(fields[12], 16)
            if fields[13]:
                lower[cp] = int(fields[13], 16)
    return Data(category, decimal, upper, lower)


def simple_mapping(mapping, excluded):
    """Drops the exclusions and mappings between the BMP and the other planes."""
    return {
        cp: m
        for cp, m in mapping.items()
        if cp not in excluded
        and cp not in SURROGATES
        and (cp < BMP_END) == (m < BMP_END)
        and cp != m
    }


def hex_rows(values, width, per_line):
    items = [f"0x{v:0{width}X}" for v in values]
    return [", ".join(items[i : i + per_line]) + "," for i in range(0, len(items), per_line)]


def array(ctype, name, values, width, per_line):
    lines = [f"constexpr {ctype} {name}[] = {{"]
    lines += ["    " + row for row in hex_rows(values, width, per_line)]
    return lines + ["};"]


def signed_array(name, values):
    lines = [f"constexpr int8_t {name}[] = {{"]
    for i in range(0, len(values), 16):
        lines.append("    " + ", ".join(f"{v:2d}" for v in values[i : i + 16]) + ",")
    return lines + ["};"]


def pointer_table(decl, entries):
    lines = [f"constinit {decl} = {{"]
    for i in range(0, len(entries), 8):
        lines.append("    " + ", ".join(e or "nullptr" for e in entries[i : i + 8]) + ",")
    return lines + ["};", ""]


class Output:
    def __init__(self):
        self.private = []  # lines of the anonymous namespace
        self.public = []  # lines of the tables named in the header
        self.bytes = collections.Counter()

    def add(self, lines, kind, size):
        self.private += lines + [""]
        self.bytes[kind] += size


def case_range(block, mapping, name, out):
    units = [cp for cp in range(block << CASE_SHIFT, (block + 1) << CASE_SHIFT) if cp in mapping]
    if not units:
        return f"{{0x{EMPTY_FIRST:04X}, 0x{EMPTY_LAST:04X}, nullptr}}"
    first, last = units[0], units[-1]
    values = [mapping.get(cp, cp) for cp in range(first, last + 1)]
    out.add(array("char16_t", name, values, 4, 12), "case", 2 * len(values))
    return f"{{0x{first:04X}, 0x{last:04X}, {name}}}"


def case_tables(data, out):
    upper = simple_mapping(data.upper, NO_UPPER)
    lower = simple_mapping(data.lower, NO_LOWER)
    blocks = {cp >> CASE_SHIFT for cp in upper.keys() | lower.keys() if cp < BMP_END}
    entries = []
    for block in range(BMP_END >> CASE_SHIFT):
        if block not in blocks:
            entries.append(None)
            continue
        up = case_range(block, upper, f"kUpper{block:02X}", out)
        low = case_range(block, lower, f"kLower{block:02X}", out)
        out.add([f"constexpr CaseBlock kCase{block:02X} = {{{up}, {low}}};"], "case", 32)
        entries.append(f"&kCase{block:02X}")
    out.public += pointer_table("const CaseBlock *const kCaseBlocks[kCaseBlockCount]", entries)
    out.bytes["case"] += 8 * len(entries)
    return lower


def supplementary_tables(lower, out):
    rows = []
    for high in HIGH_SURROGATES:
        base = 0x10000 + ((high - 0xD800) << 10)
        lows = [cp - base + 0xDC00 for cp in range(base, base + 0x400) if cp in lower]
        if not lows:
            sys.exit(f"no lower-case mappings below U+{high:04X}")
        first, last = lows[0], lows[-1]
        cps = range(base + first - 0xDC00, base + last - 0xDC00 + 1)
        values = [lower.get(cp, cp) for cp in cps]
        name = f"kLowerPairs{high:04X}"
        out.add(array("char32_t", name, values, 5, 8), "supplementary", 4 * len(values))
        rows.append(f"    {{0x{high:04X}, 0x{first:04X}, 0x{last:04X}, {name}}},")
    out.public += [
        "constinit const SupplementaryCaseTable kSupplementaryLower[] = {",
        *rows,
        "};",
        "",
        "constinit const std::size_t kSupplementaryLowerCount =",
        "    std::size(kSupplementaryLower);",
        "",
    ]
    out.bytes["supplementary"] += 16 * len(rows) + 8


def property_word(data, cp):
    return PROP_DECIMAL_DIGIT if data.category[cp] == "Nd" else 0


def property_tables(data, out):
    entries = []
    for block in range(BMP_END >> PROP_SHIFT):
        base = block << PROP_SHIFT
        words = [property_word(data, cp) for cp in range(base, base + (1 << PROP_SHIFT))]
        fallback = collections.Counter(words).most_common(1)[0][0]
        other = [base + i for i, w in enumerate(words) if w != fallback]
        if not other and fallback == 0:
            entries.append(None)
            continue
        name = f"kProps{block:02X}"
        first, last, table = EMPTY_FIRST, EMPTY_LAST, "nullptr"
        if other:
            first, last, table = other[0], other[-1], name + "Words"
            values = words[first - base : last - base + 1]
            out.add(array("uint32_t", table, values, 8, 6), "property", 4 * len(values))
        row = f"0x{first:04X}, 0x{last:04X}, 0x{fallback:08X}, {table}"
        out.add([f"constexpr PropertyTable {name} = {{{row}}};"], "property", 16)
        entries.append(f"&{name}")
    decl = "const PropertyTable *const kPropertyBlocks[kPropertyBlockCount]"
    out.public += pointer_table(decl, entries)
    out.bytes["property"] += 8 * len(entries)


def digit_tables(data, out):
    entries = []
    for block in range(BMP_END >> DIGIT_SHIFT):
        cps = range(block << DIGIT_SHIFT, (block + 1) << DIGIT_SHIFT)
        values = [data.decimal[cp] if data.category[cp] == "Nd" else -1 for cp in cps]
        if all(v < 0 for v in values):
            entries.append(None)
            continue
        name = f"kDigits{block:03X}"
        out.add(signed_array(name, values), "digit", len(values))
        entries.append(name)
    out.public += pointer_table("const int8_t *const kDigitBlocks[kDigitBlockCount]", entries)
    out.bytes["digit"] += 8 * len(entries)


def check(data):
    for cp, cat in enumerate(data.category):
        if cat == "Nd" and not 0 <= data.decimal.get(cp, -1) <= 9:
            sys.exit(f"U+{cp:04X} is Nd without a decimal digit value")


def unicode_version(path):
    """The version named in the first line of Blocks.txt beside the data, if any."""
    try:
        with open(os.path.join(os.path.dirname(path), "Blocks.txt"), encoding="utf-8") as f:
            head = f.readline().strip()
    except OSError:
        return "unknown"
    if not head.startswith("# Blocks-"):
        return "unknown"
    return head.removeprefix("# Blocks-").removesuffix(".txt")


def render(data_path, out):
    head = [
        "// Generated by tools/gen_unicode_tables.py from UnicodeData.txt",
        f"// (Unicode {unicode_version(data_path)}); do not edit. Regenerate with",
        "//   python3 tools/gen_unicode_tables.py [path/to/UnicodeData.txt]",
        "// clang-format off",
        '#include "uni_tables.h"',
        "",
        "#include <iterator>",
        "",
        "namespace i18n::uni {",
        "",
        f"static_assert(kPropDecimalDigit == 0x{PROP_DECIMAL_DIGIT:08X}u);",
        "",
        "namespace {",
        "",
    ]
    tail = ["}  // namespace", "", *out.public, "}  // namespace i18n::uni", ""]
    return "\n".join(head + out.private + tail)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", nargs="?", default=DEFAULT_DATA, help="UnicodeData.txt")
    parser.add_argument("-o", "--output", default=DEFAULT_OUTPUT, help="the C++ file to write")
    args = parser.parse_args()
    data = parse(args.data)
    check(data)
    out = Output()
    lower = case_tables(data, out)
    supplementary_tables(lower, out)
    property_tables(data, out)
    digit_tables(data, out)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(render(args.data, out))
    sizes = ", ".join(f"{kind} {size}" for kind, size in out.bytes.items())
    print(f"wrote {args.output}: {sizes} bytes (total {sum(out.bytes.values())})")


if __name__ == "__main__":
    main()
