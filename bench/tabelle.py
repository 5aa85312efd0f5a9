#!/usr/bin/env python3
"""Prints the table of a bench/run: medians per workload and tool, rates, peak memory, the ratios of
tresor-ix to every other tool of the same workload (the median of the per-round ratios: the n-th run of a
tool in a workload belongs to round n), whether each target is met, and the same medians once more as one
short Markdown table (a row per workload: tresor-ix, the peer tools and the floors, each with tresor-ix's
ratio to it)."""
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
    "wiederherstellen": "restore newest, small files",
    "wiederherstellenecht": "restore newest, real tree",
    "speicher": "peak memory",
}

# workload, tool, highest ratio tresor-ix / tool, and the workload of that tool where it is another one
# (the first run with nothing to back up against the later ones, tresor-ix against itself)
ziele = [
    ("voll", "rsync -a+sync", 1.0, None),
    ("voll", "cp -a+sync", 1.2, None),
    ("nichts", "floor: find -newer", 1.0, None),
    ("nichts", "rsync -a", 0.5, None),
    ("nichtskalt", "floor: find -newer", 1.0, None),
    ("nichtskalt", "rsync -a", 0.5, None),
    ("nichtserst", "tresor-ix", 1.1, "nichts"),
    ("prozent", "rsync -a+sync", 0.5, None),
    ("spaet", "rsync -a+sync", 0.5, None),
    ("gross", "cp+sync", 1.1, None),
    ("wiederherstellen", "cp -a", 1.0, None),
    ("wiederherstellenecht", "cp -a", 1.0, None),
    ("wiederherstellen", "cp -a+sync", 1.0, None),
    ("wiederherstellenecht", "cp -a+sync", 1.0, None),
]

daten = OrderedDict()
for zeile in open(sys.argv[1]):
    last, werkzeug, sek, rss, dateien, bytes_ = zeile.rstrip("\n").split("\t")[:6]
    daten.setdefault(last, OrderedDict()).setdefault(werkzeug, []).append(
        (float(sek), int(rss), int(dateien), int(bytes_)))



def quoten(a, b):
    """The per-round ratios of two lists of runs (as many rounds as both have)."""
    return [x[0] / y[0] for x, y in zip(a, b) if y[0] > 0]


print("%-28s %-34s %4s %9s %10s %8s %9s  %s" % ("workload", "tool", "runs", "median s", "files/s", "MB/s",
                                                  "peak MiB", "tresor-ix / tool"))
medianwerte = {}
verhaeltnisse = {}
for last, werkzeuge in daten.items():
    median = {w: statistics.median(x[0] for x in l) for w, l in werkzeuge.items()}
    medianwerte[last] = median
    ref = werkzeuge.get("tresor-ix")
    for w, l in werkzeuge.items():
        m = median[w]
        dateien, bytes_ = l[0][2], l[0][3]
        rss = max(x[1] for x in l) / 1024.0
        rate = "%10.0f" % (dateien / m) if m > 0 and dateien else "%10s" % "-"
        mbs = "%8.1f" % (bytes_ / m / 1e6) if m > 0 and bytes_ else "%8s" % "-"
        verh = ""
        if ref is not None and w != "tresor-ix" and quoten(ref, l):
            verhaeltnisse[(last, w)] = statistics.median(quoten(ref, l))
            verh = "%.2f" % verhaeltnisse[(last, w)]
        print("%-28s %-34s %4d %9.3f %s %s %9.1f  %s" % (namen.get(last, last), w, len(l), m, rate, mbs, rss, verh))

print()
print("targets (medians of the per-round ratios of this run):")
for last, werkzeug, grenze, bezug in ziele:
    t, p = daten.get(last, {}).get("tresor-ix"), daten.get(bezug or last, {}).get(werkzeug)
    q = quoten(t, p) if t and p else []
    if not q:
        continue
    v = statistics.median(q)
    gegen = "%s (%s)" % (werkzeug, namen[bezug]) if bezug else werkzeug
    print("  %-28s tresor-ix / %-34s %5.2f  (at most %.1f)  %-7s  rounds: %s" % (
        namen[last], gegen, v, grenze, "met" if v <= grenze else "NOT met", " ".join("%.2f" % x for x in q)))
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
        return "%s %.3f s (%.2fx)" % (name, m, verhaeltnisse[(last, w)]) if (last, w) in verhaeltnisse else (
            "%s %.3f s" % (name, m))

    andere = [w for w in median if w != "tresor-ix"]
    peers = "; ".join(zelle(w) for w in andere if not w.startswith("floor: "))
    boeden = "; ".join(zelle(w) for w in andere if w.startswith("floor: "))
    print("| %s | %.3f s | %s | %s |" % (namen.get(last, last), ref, peers, boeden))
