#!/usr/bin/env python3
"""Runs one command and appends one line to a results file:

  messen.py RESULTS WORKLOAD TOOL FILES BYTES COMMAND...

The line holds workload, tool, wall time in seconds (monotonic clock, from just before the start to the
end of the command), peak memory in KiB (the largest resident set of the command and of every process it
waited for, as GNU time reports it: started from this Python process directly, the command would inherit
the interpreter's resident set in that figure), files, bytes, the processor time in seconds (user and
system, of the command and every process it waited for) and of it the user time alone, separated by tabs. The command's output goes to
/dev/null; a command that fails stops the measurement with its exit status, so that a failure is never
measured as a time.
"""
import os
import sys
import time


def main():
    ergebnisse, last, werkzeug, dateien, bytes_ = sys.argv[1:6]
    befehl = sys.argv[6:]
    leer = os.open(os.devnull, os.O_RDWR)
    fehlerdatei = os.path.join(os.path.dirname(os.path.abspath(ergebnisse)), "messen.stderr")
    fehler = os.open(fehlerdatei, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    aktionen = [(os.POSIX_SPAWN_DUP2, leer, 0), (os.POSIX_SPAWN_DUP2, leer, 1), (os.POSIX_SPAWN_DUP2, fehler, 2)]
    speicherdatei = os.path.join(os.path.dirname(os.path.abspath(ergebnisse)), "messen.speicher")
    aufruf = ["/usr/bin/time", "-f", "%M %U %S", "-o", speicherdatei] + befehl
    start = time.perf_counter()
    pid = os.posix_spawn(aufruf[0], aufruf, os.environ, file_actions=aktionen)
    _, status, _ = os.wait4(pid, 0)
    sekunden = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.stderr.write("%s %s failed with exit status %d: %s\n" % (last, werkzeug, code, " ".join(befehl)))
        sys.stderr.write(open(fehlerdatei, errors="replace").read()[-2000:])
        sys.exit(1)
    with open(ergebnisse, "a") as aus:
        # GNU time's last line; lines before it tell of a signal or exit status.
        spitze, nutzer, system = open(speicherdatei).read().splitlines()[-1].split()
        aus.write("%s\t%s\t%.6f\t%d\t%s\t%s\t%.2f\t%.2f\n" % (last, werkzeug, sekunden, int(spitze), dateien,
                                                          bytes_, float(nutzer) + float(system), float(nutzer)))


if __name__ == "__main__":
    main()
