#!/usr/bin/env python3
"""Generates the benchmark's application and its releases, the same bytes for the same seed.

  genapp.py base DIR            about 200 MB: one 80 MB binary, 20 libraries, a few hundred assets
  genapp.py change DIR KIND     changes DIR in place: KIND a (5 small files), b (the big binary
                                rebuilt with a small change), c (10 % of the files)

A changed file is written under a new name and renamed over the old one, so that a tree made with
cp -al from the previous release keeps the previous files intact.
"""
import os
import random
import sys

BLOCK = 4096


def corpus(rng):
    syllables = ["ka", "to", "re", "mi", "su", "lon", "var", "qe", "di", "zen", "po", "ul", "the", "an", "ex"]
    words = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))) for _ in range(3000)]
    lines = []
    size = 0
    while size < 4 << 20:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
        lines.append(line)
        size += len(line)
    return "".join(lines).encode()


def content(rng, text, size, kind):
    """kind: 'text' (compresses well), 'media' (does not), 'bin' (about half and half)."""
    if kind == "media":
        return rng.randbytes(size)
    out = bytearray()
    while len(out) < size:
        if kind == "bin" and rng.random() < 0.5:
            out += rng.randbytes(BLOCK)
        else:
            start = rng.randrange(len(text) - BLOCK)
            out += text[start:start + BLOCK]
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def base(root, rng, text):
    write(os.path.join(root, "bin/app"), content(rng, text, 80 << 20, "bin"))
    os.chmod(os.path.join(root, "bin/app"), 0o755)
    for i in range(20):
        write(os.path.join(root, "lib/lib%02d.so" % i), content(rng, text, rng.randint(2 << 20, 5 << 20), "bin"))
    for i in range(250):
        write(os.path.join(root, "share/img/%03d.png" % i), content(rng, text, rng.randint(20 << 10, 300 << 10), "media"))
    for i in range(200):
        folder = "share/qml/page%02d" % (i % 12)
        write(os.path.join(root, folder, "item%03d.qml" % i), content(rng, text, rng.randint(2 << 10, 60 << 10), "text"))


def files_of(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


def edit(path, rng, text, spots, insert):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for _ in range(spots):
        at = rng.randrange(max(1, len(data) - 64))
        data[at:at + 16] = rng.randbytes(16)
    for _ in range(insert):
        at = rng.randrange(len(data))
        start = rng.randrange(len(text) - 600)
        data[at:at] = text[start:start + rng.randint(100, 600)]
    mode = os.stat(path).st_mode
    write(path, bytes(data))
    os.chmod(path, mode & 0o7777)


def change(root, kind, rng, text):
    files = files_of(root)
    if kind == "a":
        small = [f for f in files if f.endswith(".qml")]
        for f in rng.sample(small, 5):
            edit(os.path.join(root, f), rng, text, 2, 1)
    elif kind == "b":
        # A rebuild moves code: a few insertions shift what follows, and scattered addresses change.
        edit(os.path.join(root, "bin/app"), rng, text, 40, 3)
    elif kind == "c":
        others = [f for f in files if f != "bin/app"]
        for f in rng.sample(others, len(files) // 10):
            edit(os.path.join(root, f), rng, text, 4, 2)
    else:
        sys.exit("unknown change " + kind)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    seed = 20261208
    text = corpus(random.Random(seed))
    if sys.argv[1] == "base":
        base(sys.argv[2], random.Random(seed + 1), text)
    elif sys.argv[1] == "change" and len(sys.argv) == 4:
        change(sys.argv[2], sys.argv[3], random.Random(seed + ord(sys.argv[3])), text)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
