#!/usr/bin/env python3
"""Prints the table of a bench/run: medians per workload and tool, rates, peak memory and ratios."""
import statistics
import sys
from collections import OrderedDict

namen = {
    "voll": "full backup, small files",
    "nichts": "nothing to back up",
    "prozent": "1 % rewritten",
    "gross": "large files",
    "speicher": "peak memory",
}

daten = OrderedDict()
for zeile in open(sys.argv[1]):
    last, werkzeug, sek, rss, dateien, bytes_ = zeile.rstrip("\n").split("\t")
    daten.setdefault(last, OrderedDict()).setdefault(werkzeug, []).append(
        (float(sek), int(rss), int(dateien), int(bytes_)))

print("%-26s %-28s %9s %11s %9s %9s  %s" % ("workload", "tool", "median s", "files/s", "MB/s", "peak MiB",
                                             "ratio tresor-ix / tool"))
for last, werkzeuge in daten.items():
    median = {w: statistics.median(x[0] for x in l) for w, l in werkzeuge.items()}
    ref = median.get("tresor-ix")
    for w, l in werkzeuge.items():
        m = median[w]
        dateien, bytes_ = l[0][2], l[0][3]
        rss = max(x[1] for x in l) / 1024.0
        rate = "%11.0f" % (dateien / m) if m > 0 and dateien else "%11s" % "-"
        mbs = "%9.1f" % (bytes_ / m / 1e6) if m > 0 and bytes_ else "%9s" % "-"
        verh = "%.2f" % (ref / m) if ref is not None and w != "tresor-ix" and m > 0 else ""
        print("%-26s %-28s %9.3f %s %s %9.1f  %s" % (namen.get(last, last), w, m, rate, mbs, rss, verh))
