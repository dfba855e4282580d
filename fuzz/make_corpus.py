#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.

    python3 fuzz/make_corpus.py build/default/tools/lcuc

Valid catalogues come from lcuc; the damaged ones are copies with header or
entry fields changed. The output is deterministic, so running this again
leaves the committed files as they are.
"""
import pathlib
import struct
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def write(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def compile_catalogue(lcuc, source):
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / "seed.txt"
        out = pathlib.Path(tmp) / "seed.lcu"
        src.write_text(source, encoding="utf-8")
        subprocess.run([lcuc, str(src), str(out)], check=True)
        return out.read_bytes()


def patch16(data, at, value):
    data[at : at + 2] = struct.pack(">H", value)


def patch32(data, at, value):
    data[at : at + 4] = struct.pack(">I", value)


def catalogues(lcuc):
    one = compile_catalogue(lcuc, "131234 Wert %1 zu gro\u00df\n")
    few = compile_catalogue(
        lcuc,
        "# a few texts\n"
        "1 eins\n"
        "2 \\sleading and trailing\\s\n"
        "3 Zeile\\nzwei\\t\\u20AC \\U0001F600\n"
        "131229 Failed to allocate %1 bytes (%2%%).\n"
        "2147483647 \u03c0\n",
    )
    many = compile_catalogue(lcuc, "".join(f"{n} {n % 10}\n" for n in range(1, 67)))
    empty = compile_catalogue(lcuc, "# nothing\n")
    write("catalogue", "one.lcu", one)
    write("catalogue", "few.lcu", few)
    write("catalogue", "twopages.lcu", many)
    write("catalogue", "empty.lcu", empty)

    # Loads, but the walk starts at entry 1, entry 2 has an odd key offset,
    # entry 3 a value running past the strings, and the count is too large.
    skewed = bytearray(few)
    patch16(skewed, 118, 1)
    patch32(skewed, 128 + 2 * 12, struct.unpack(">I", few[128 + 24 : 128 + 28])[0] + 1)
    patch16(skewed, 128 + 3 * 12 + 6, 0xFFFF)
    patch16(skewed, 96, 40)
    write("catalogue", "skewed.lcu", bytes(skewed))
    # Ends inside the string section.
    write("catalogue", "truncated.lcu", one[: len(one) - 7])
    # The page area disagrees with the page count (the header is enough).
    badpages = bytearray(one[:128])
    patch16(badpages, 98, 2)
    write("catalogue", "badpages.lcu", bytes(badpages))


def utf16le(s):
    return s.encode("utf-16-le")


def utf8_seeds():
    # Byte 0: capacity towards UTF-16, byte 1: towards UTF-8, then the text.
    write("utf8", "ascii", b"\x40\x40hello, world")
    write("utf8", "mixed", b"\x45\x82Gr\xc3\xbc\xc3\x9fe \xe2\x82\xac \xf0\x9f\x98\x80")
    write("utf8", "overlong", b"\x03\x40\xc0\x80\xe0\x81\x81\xf0\x80\x81\x81x\xf4\x90\x80\x80")
    write("utf8", "surrogates", b"\x81\x01\xed\xa0\xbd\xed\xb8\x80\xed\xb0\x80\xef\xbf\xbfz")
    write("utf8", "invalid", b"\x82\x03a\xffb\x80\xc3(\xe2\x82")
    write("utf8", "units", b"\x40\x81" + utf16le("a\u00e9\u20ac\U0001F600") + b"\x00\xdc\x3d\xd8\xfe\xff")


def compose_seeds():
    # Byte 0: capacity, byte 1: flags (1 Latin-1, 2 no list, 4 bad magic),
    # then template and arguments separated by zero units.
    write("compose", "simple", b"\x40\x01%2 of %1\x00a\x00bc")
    write("compose", "percents", b"\x85\x01100%% %x %0 %9 end%\x00x\x00y")
    write("compose", "nine", b"\xc0\x01" + b"%1%2%3%4%5%6%7%8%9" + b"".join(b"\x00" + bytes([48 + i]) for i in range(1, 10)))
    write("compose", "nolist", b"\x02\x03a%1b\x00arg")
    write(
        "compose",
        "digits",
        b"\x41\x00" + b"\x00\x00".join(utf16le(s) for s in ["%\u0662-%\u0968-%\uff13 %\u00b2", "a", "b", "c"]),
    )


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py LCUC")
    catalogues(sys.argv[1])
    utf8_seeds()
    compose_seeds()


if __name__ == "__main__":
    main()
