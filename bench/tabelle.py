#!/usr/bin/env python3
"""Prints the table of a bench/run: medians per workload and tool, rates, peak memory, the ratios of
tresor-ix to every other tool of the same workload, whether each target is met, and the same medians once
more as one short Markdown table (a row per workload: tresor-ix, the peer tools and the floors, each with
tresor-ix's ratio to it)."""
import statistics
import sys
from collections import OrderedDict

namen = {
    "voll": "full backup, small files",
    "nichtserst": "nothing, first after backup",
    "nichts": "nothing to back up",
    "nichtskalt": "nothing to back up, cold",
    "prozent": "1 % rewritten",
    "spaet": "1 file rewritten late",
    "gross": "large files",
    "speicher": "peak memory",
}

# workload, tool, highest ratio tresor-ix / tool
ziele = [
    ("voll", "rsync -a+sync", 1.0),
    ("voll", "cp -a+sync", 1.2),
    ("nichts", "floor: find -newer", 1.5),
    ("nichts", "rsync -a", 0.5),
    ("nichtskalt", "floor: find -newer", 1.5),
    ("nichtskalt", "rsync -a", 0.5),
    ("prozent", "rsync -a+sync", 0.5),
    ("spaet", "rsync -a+sync", 0.5),
    ("gross", "cp+sync", 1.1),
]

daten = OrderedDict()
for zeile in open(sys.argv[1]):
    last, werkzeug, sek, rss, dateien, bytes_ = zeile.rstrip("\n").split("\t")
    daten.setdefault(last, OrderedDict()).setdefault(werkzeug, []).append(
        (float(sek), int(rss), int(dateien), int(bytes_)))

print("%-26s %-32s %4s %9s %10s %8s %9s  %s" % ("workload", "tool", "runs", "median s", "files/s", "MB/s",
                                                  "peak MiB", "tresor-ix / tool"))
medianwerte = {}
for last, werkzeuge in daten.items():
    median = {w: statistics.median(x[0] for x in l) for w, l in werkzeuge.items()}
    medianwerte[last] = median
    ref = median.get("tresor-ix")
    for w, l in werkzeuge.items():
        m = median[w]
        dateien, bytes_ = l[0][2], l[0][3]
        rss = max(x[1] for x in l) / 1024.0
        rate = "%10.0f" % (dateien / m) if m > 0 and dateien else "%10s" % "-"
        mbs = "%8.1f" % (bytes_ / m / 1e6) if m > 0 and bytes_ else "%8s" % "-"
        verh = "%.2f" % (ref / m) if ref is not None and w != "tresor-ix" and m > 0 else ""
        print("%-26s %-32s %4d %9.3f %s %s %9.1f  %s" % (namen.get(last, last), w, len(l), m, rate, mbs, rss, verh))

print()
print("targets (medians of this run):")
for last, werkzeug, grenze in ziele:
    m = medianwerte.get(last, {})
    if "tresor-ix" not in m or werkzeug not in m or m[werkzeug] <= 0:
        continue
    v = m["tresor-ix"] / m[werkzeug]
    print("  %-26s tresor-ix / %-24s %5.2f  (at most %.1f)  %s" % (
        namen[last], werkzeug, v, grenze, "met" if v <= grenze else "NOT met"))
speicher = [(w, max(x[1] for x in l) / 1024.0) for w, l in daten.get("speicher", {}).items()]
if len(speicher) == 2:
    (w1, s1), (w2, s2) = speicher
    print("  %-26s %s: %.1f MiB, %s: %.1f MiB  (under 64 MiB, not growing)  %s" % (
        namen["speicher"], w1, s1, w2, s2, "met" if max(s1, s2) < 64 and s2 <= s1 * 1.1 else "NOT met"))

print()
print("| workload | tresor-ix | peer tools | floors |")
print("|---|---|---|---|")
for last, median in medianwerte.items():
    ref = median.get("tresor-ix")
    if ref is None:
        continue

    def zelle(w):
        m = median[w]
        name = w[len("floor: "):] if w.startswith("floor: ") else w
        return "%s %.3f s (%.2fx)" % (name, m, ref / m) if m > 0 else "%s %.3f s" % (name, m)

    andere = [w for w in median if w != "tresor-ix"]
    peers = "; ".join(zelle(w) for w in andere if not w.startswith("floor: "))
    boeden = "; ".join(zelle(w) for w in andere if w.startswith("floor: "))
    print("| %s | %.3f s | %s | %s |" % (namen.get(last, last), ref, peers, boeden))
