#!/usr/bin/env python3
"""Deterministic test trees for the benchmarks.

  baum.py klein DIR FILES FOLDERS   small files of 1 to 32 KiB in FOLDERS folders up to 5 levels deep,
                                    about one in twenty names hidden
  baum.py winzig DIR FILES FOLDERS  the same shape with files of 1 to 48 bytes, which ext4 with inline_data
                                    keeps in their inodes: millions of files in little room
  baum.py gross DIR COUNT MIB       COUNT files of MIB MiB each
  baum.py aendern DIR N [LISTE]     rewrites every N-th file (in sorted order) with new content; LISTE
                                    receives their paths relative to DIR, one a line
  baum.py spaet DIR                 rewrites the last file that a backup's walk meets (depth first, a
                                    folder's own files before its subfolders, names in byte order)
"""
import os
import random
import sys


def ordnerbaum(rnd, wurzel, ordner):
    """FOLDERS folders up to 5 levels deep below `wurzel`, about one in twenty names hidden: each new one below a
    random existing folder that is less than 5 levels deep."""
    pfade = [wurzel]
    os.makedirs(wurzel, exist_ok=True)
    tiefe = {wurzel: 0}
    for i in range(ordner - 1):
        while True:
            eltern = rnd.choice(pfade)
            if tiefe[eltern] < 5:
                break
        name = ("." if rnd.random() < 0.05 else "") + "ordner%04d" % i
        p = os.path.join(eltern, name)
        os.makedirs(p, exist_ok=True)
        tiefe[p] = tiefe[eltern] + 1
        pfade.append(p)
    return pfade


def winzig(wurzel, dateien, ordner):
    rnd = random.Random(4712)
    pfade = ordnerbaum(rnd, wurzel, ordner)
    block = bytes(rnd.getrandbits(8) for _ in range(4096))
    for i in range(dateien):
        name = ("." if i % 20 == 7 else "") + "datei%07d" % i
        fd = os.open(os.path.join(pfade[i % len(pfade)], name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        start = (i * 37) % 4000
        os.write(fd, block[start:start + 1 + i % 48])
        os.close(fd)


def klein(wurzel, dateien, ordner):
    rnd = random.Random(4711)
    pfade = ordnerbaum(rnd, wurzel, ordner)
    block = bytes(rnd.getrandbits(8) for _ in range(32 * 1024))
    for i in range(dateien):
        p = pfade[i % len(pfade)]
        name = ("." if rnd.random() < 0.05 else "") + "datei%06d.dat" % i
        groesse = rnd.randint(1024, 32 * 1024)
        start = rnd.randint(0, 1024)
        with open(os.path.join(p, name), "wb") as f:
            f.write(block[start:] + block[:start] if groesse > len(block) - start else block[start:start + groesse])
            f.truncate(groesse)


def gross(wurzel, anzahl, mib):
    os.makedirs(wurzel, exist_ok=True)
    rnd = random.Random(815)
    block = bytes(rnd.getrandbits(8) for _ in range(1 << 20))
    for i in range(anzahl):
        with open(os.path.join(wurzel, "gross%d.bin" % i), "wb") as f:
            for k in range(mib):
                f.write(block[k % 251:] + block[:k % 251])


def aendern(wurzel, n, liste=None):
    alle = []
    for ordner, unter, dateien in os.walk(wurzel):
        unter.sort()
        for d in sorted(dateien):
            alle.append(os.path.join(ordner, d))
    alle.sort()
    zaehler = int.from_bytes(os.urandom(4), "little")
    geaendert = []
    for i in range(0, len(alle), n):
        with open(alle[i], "r+b") as f:
            f.write(zaehler.to_bytes(4, "little"))
            zaehler += 1
        geaendert.append(os.path.relpath(alle[i], wurzel))
    if liste:
        with open(liste, "w") as aus:
            aus.write("".join(p + "\n" for p in geaendert))


def letzte_datei(ordner):
    """The last file of the walk below `ordner`, or None."""
    dateien, unter = [], []
    with os.scandir(ordner) as eintraege:
        for e in eintraege:
            if e.is_dir(follow_symlinks=False):
                unter.append(e.name)
            elif e.is_file(follow_symlinks=False):
                dateien.append(e.name)
    for u in sorted(unter, key=os.fsencode, reverse=True):
        letzte = letzte_datei(os.path.join(ordner, u))
        if letzte:
            return letzte
    return os.path.join(ordner, max(dateien, key=os.fsencode)) if dateien else None


def spaet(wurzel):
    with open(letzte_datei(wurzel), "r+b") as f:
        f.write(os.urandom(4))


if __name__ == "__main__":
    art = sys.argv[1]
    if art == "klein":
        klein(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif art == "winzig":
        winzig(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif art == "gross":
        gross(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif art == "aendern":
        aendern(sys.argv[2], int(sys.argv[3]), sys.argv[4] if len(sys.argv) > 4 else None)
    elif art == "spaet":
        spaet(sys.argv[2])
    else:
        sys.exit("unknown kind: " + art)
