/* The floors of bench/run: small programs that make only the system calls they are named after, on the same
 * trees as the tools they are compared with, so that a ratio says how far a tool is from what the kernel
 * needs for the job at the least.
 *
 *   boden stat QUELLE [-j N]            walk: every folder listed once (getdents64), one fstatat per entry
 *   boden xattr QUELLE [-j N]           the same, and two attribute reads per regular file (the archive
 *                                       record and user.DOSATTRIB, with getxattrat where the kernel has it)
 *   boden tabelle QUELLE [-j N]         one fstatat per entry, and one attribute read per folder: a table
 *                                       with one row per file (see tabelle-anlegen)
 *   boden tabelle-anlegen QUELLE [--weg]
 *                                       writes that table on every folder (24 bytes per file), or with
 *                                       --weg removes it again; untimed
 *   boden kopie ZIEL QUELLE ORDNER DATEIEN
 *                                       no scan: makes every folder named in the file ORDNER below ZIEL
 *                                       (paths relative to QUELLE, parents first), copies every file named
 *                                       in DATEIEN there (open, copy_file_range, close), then one syncfs
 *   boden scan-kopie ZIEL QUELLE STEMPEL [-j N] [--tabelle] [--markieren]
 *                                       walk as `xattr`, but one record read per file (or, with --tabelle,
 *                                       one table read per folder), every folder made below ZIEL with
 *                                       mkdirat on its held parent, every file whose ctime is later than
 *                                       STEMPEL's modification time copied, then one syncfs; with
 *                                       --markieren, once that is durable, a second walk of QUELLE that
 *                                       writes a record of 32 bytes (VERMERK) on every file it copied: the
 *                                       least a backup that marks each file it saved must do
 *   boden vermerk-weg QUELLE            removes those records again; untimed
 *
 * -j N walks with N threads that take folders from one shared stack. Exit status 0, or 1 with a message on
 * the first failing call. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif

#ifndef SYS_setxattrat
#define SYS_setxattrat 463
#endif

#define TABELLE "user.tresor-bench.tabelle"
#define VERMERK "user.tresor-bench.vermerk"

enum art { STAT, XATTR, TABELLE_LESEN, SCAN_KOPIE, MARKIEREN, VERMERK_WEG };

static enum art art;
static int mitTabelle;
static int markieren;
static int tabelleWeg;
static struct timespec stempel;
static int ohneXattrat;

static void fehler(const char *was, const char *name) {
    fprintf(stderr, "boden: %s %s: %s\n", was, name, strerror(errno));
    exit(1);
}

/* One attribute of an entry of a held folder; a missing one is no failure. */
static void lies(int ordner, const char *name, const char *attribut) {
    char puffer[256];
    if (!ohneXattrat) {
        struct {
            uint64_t wert;
            uint32_t groesse, schalter;
        } a = {(uintptr_t)puffer, sizeof puffer, 0};
        if (syscall(SYS_getxattrat, ordner, name, AT_SYMLINK_NOFOLLOW, attribut, &a, sizeof a) >= 0 ||
            errno != ENOSYS)
            return;
        ohneXattrat = 1;
    }
    char pfad[64 + NAME_MAX];
    snprintf(pfad, sizeof pfad, "/proc/self/fd/%d/%s", ordner, name);
    (void)lgetxattr(pfad, attribut, puffer, sizeof puffer);
}

/* The record of a file of a held folder, written (or removed with `weg`) by name. */
static int ohneSetxattrat;
static void markiere(int ordner, const char *name, int weg) {
    static const char wert[32] = "tresor-bench 0123456789abcdef";
    if (!weg && !ohneSetxattrat) {
        struct {
            uint64_t wert;
            uint32_t groesse, schalter;
        } a = {(uintptr_t)wert, sizeof wert, 0};
        if (syscall(SYS_setxattrat, ordner, name, AT_SYMLINK_NOFOLLOW, VERMERK, &a, sizeof a) == 0)
            return;
        if (errno != ENOSYS)
            fehler("setxattrat", name);
        ohneSetxattrat = 1;
    }
    char pfad[64 + NAME_MAX];
    snprintf(pfad, sizeof pfad, "/proc/self/fd/%d/%s", ordner, name);
    if (weg ? lremovexattr(pfad, VERMERK) != 0 && errno != ENODATA : lsetxattr(pfad, VERMERK, wert, sizeof wert, 0) != 0)
        fehler(weg ? "lremovexattr" : "lsetxattr", name);
}

static int spaeter(const struct stat *st) {
    return st->st_ctim.tv_sec > stempel.tv_sec ||
           (st->st_ctim.tv_sec == stempel.tv_sec && st->st_ctim.tv_nsec > stempel.tv_nsec);
}

static void kopiere(int quellordner, int zielordner, const char *name, off_t groesse) {
    int q = openat(quellordner, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (q < 0)
        fehler("open", name);
    int z = openat(zielordner, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (z < 0)
        fehler("open", name);
    for (off_t von = 0; von < groesse;) {
        ssize_t n = copy_file_range(q, NULL, z, NULL, (size_t)(groesse - von), 0);
        if (n < 0)
            fehler("copy_file_range", name);
        if (n == 0)
            break;
        von += n;
    }
    close(q);
    close(z);
}

/* The shared stack of folders still to walk: a folder's descriptor and that of its mirror. */
struct eintrag {
    int ordner, ziel;
};
static struct eintrag *stapel;
static size_t stapelHoehe, stapelPlatz;
static size_t offen; /* folders on the stack or being walked */
static pthread_mutex_t sperre = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wecker = PTHREAD_COND_INITIALIZER;

static void lege(int ordner, int ziel) {
    pthread_mutex_lock(&sperre);
    if (stapelHoehe == stapelPlatz) {
        stapelPlatz = stapelPlatz ? 2 * stapelPlatz : 1024;
        stapel = realloc(stapel, stapelPlatz * sizeof *stapel);
    }
    stapel[stapelHoehe++] = (struct eintrag){ordner, ziel};
    ++offen;
    pthread_cond_signal(&wecker);
    pthread_mutex_unlock(&sperre);
}

static void gehe(struct eintrag e) {
    char puffer[32768];
    if (art == TABELLE_LESEN || (art == SCAN_KOPIE && mitTabelle)) {
        static __thread char *tabelle;
        if (!tabelle)
            tabelle = malloc(1 << 16);
        (void)fgetxattr(e.ordner, TABELLE, tabelle, 1 << 16);
    }
    for (;;) {
        long n = syscall(SYS_getdents64, e.ordner, puffer, sizeof puffer);
        if (n < 0)
            fehler("getdents64", "");
        if (n == 0)
            break;
        for (long i = 0; i < n;) {
            struct dirent64 *d = (struct dirent64 *)(puffer + i);
            i += d->d_reclen;
            const char *name = d->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            struct stat st;
            if (fstatat(e.ordner, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                fehler("fstatat", name);
            if (S_ISDIR(st.st_mode)) {
                int unter = openat(e.ordner, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (unter < 0)
                    fehler("open", name);
                int zielUnter = -1;
                if (art == SCAN_KOPIE) {
                    if (mkdirat(e.ziel, name, 0700) != 0)
                        fehler("mkdirat", name);
                    zielUnter = openat(e.ziel, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    if (zielUnter < 0)
                        fehler("open", name);
                }
                lege(unter, zielUnter);
            } else if (S_ISREG(st.st_mode)) {
                if (art == XATTR) {
                    lies(e.ordner, name, "user.tresor-ix.archiv");
                    lies(e.ordner, name, "user.DOSATTRIB");
                } else if (art == SCAN_KOPIE) {
                    if (!mitTabelle)
                        lies(e.ordner, name, "user.tresor-ix.archiv");
                    if (spaeter(&st))
                        kopiere(e.ordner, e.ziel, name, st.st_size);
                } else if ((art == MARKIEREN && spaeter(&st)) || art == VERMERK_WEG) {
                    markiere(e.ordner, name, art == VERMERK_WEG);
                }
            }
        }
    }
    close(e.ordner);
    if (e.ziel >= 0)
        close(e.ziel);
}

static void *arbeiter(void *unbenutzt) {
    (void)unbenutzt;
    for (;;) {
        pthread_mutex_lock(&sperre);
        while (stapelHoehe == 0 && offen != 0)
            pthread_cond_wait(&wecker, &sperre);
        if (stapelHoehe == 0) {
            pthread_mutex_unlock(&sperre);
            return NULL;
        }
        struct eintrag e = stapel[--stapelHoehe];
        pthread_mutex_unlock(&sperre);
        gehe(e);
        pthread_mutex_lock(&sperre);
        if (--offen == 0)
            pthread_cond_broadcast(&wecker);
        pthread_mutex_unlock(&sperre);
    }
}

static void laufe(int quelle, int ziel, int faeden) {
    lege(quelle, ziel);
    pthread_t t[64];
    if (faeden < 1 || faeden > 64)
        faeden = 1;
    for (int i = 1; i < faeden; ++i)
        pthread_create(&t[i], NULL, arbeiter, NULL);
    arbeiter(NULL);
    for (int i = 1; i < faeden; ++i)
        pthread_join(t[i], NULL);
}

static int oeffne(const char *pfad) {
    int fd = open(pfad, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fehler("open", pfad);
    return fd;
}

/* The table of one folder and, below it, of every folder: one row of 24 bytes per regular file. */
static void tabelleAnlegen(int ordner) {
    DIR *d = fdopendir(ordner);
    if (!d)
        fehler("fdopendir", "");
    size_t zeilen = 0;
    struct dirent *e;
    while ((e = readdir(d))) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            fehler("fstatat", e->d_name);
        if (S_ISDIR(st.st_mode))
            tabelleAnlegen(openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        else if (S_ISREG(st.st_mode))
            ++zeilen;
    }
    if (tabelleWeg) {
        if (fremovexattr(dirfd(d), TABELLE) != 0 && errno != ENODATA)
            fehler("fremovexattr", TABELLE);
        closedir(d);
        return;
    }
    char *wert = calloc(zeilen ? zeilen : 1, 24);
    for (size_t i = 0; i < zeilen * 24; ++i)
        wert[i] = (char)(i * 131);
    if (fsetxattr(dirfd(d), TABELLE, wert, zeilen * 24, 0) != 0)
        fehler("fsetxattr", TABELLE);
    free(wert);
    closedir(d);
}

/* The lines of a list file, one path each. */
static char **zeilen(const char *datei, size_t *anzahl) {
    FILE *f = fopen(datei, "r");
    if (!f)
        fehler("open", datei);
    char **liste = NULL;
    size_t n = 0, platz = 0;
    char *zeile = NULL;
    size_t laenge = 0;
    ssize_t l;
    while ((l = getline(&zeile, &laenge, f)) > 0) {
        if (zeile[l - 1] == '\n')
            zeile[--l] = 0;
        if (l == 0)
            continue;
        if (n == platz)
            liste = realloc(liste, (platz = platz ? 2 * platz : 1024) * sizeof *liste);
        liste[n++] = strdup(zeile);
    }
    free(zeile);
    fclose(f);
    *anzahl = n;
    return liste;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: see the opening comment of bench/boden.c\n");
        return 2;
    }
    /* Every folder on the stack holds a descriptor. */
    struct rlimit grenze;
    if (getrlimit(RLIMIT_NOFILE, &grenze) == 0) {
        grenze.rlim_cur = grenze.rlim_max;
        setrlimit(RLIMIT_NOFILE, &grenze);
    }
    int faeden = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-j") == 0 && i + 1 < argc)
            faeden = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--tabelle") == 0)
            mitTabelle = 1;
        if (strcmp(argv[i], "--weg") == 0)
            tabelleWeg = 1;
        if (strcmp(argv[i], "--markieren") == 0)
            markieren = 1;
    }
    const char *was = argv[1];
    if (strcmp(was, "stat") == 0 || strcmp(was, "xattr") == 0 || strcmp(was, "tabelle") == 0) {
        art = was[0] == 's' ? STAT : was[0] == 'x' ? XATTR : TABELLE_LESEN;
        laufe(oeffne(argv[2]), -1, faeden);
    } else if (strcmp(was, "tabelle-anlegen") == 0) {
        tabelleAnlegen(oeffne(argv[2]));
    } else if (strcmp(was, "kopie") == 0 && argc >= 6) {
        int ziel = oeffne(argv[2]), quelle = oeffne(argv[3]);
        size_t n;
        char **ordner = zeilen(argv[4], &n);
        for (size_t i = 0; i < n; ++i)
            if (mkdirat(ziel, ordner[i], 0700) != 0)
                fehler("mkdirat", ordner[i]);
        char **dateien = zeilen(argv[5], &n);
        for (size_t i = 0; i < n; ++i) {
            struct stat st;
            if (fstatat(quelle, dateien[i], &st, AT_SYMLINK_NOFOLLOW) != 0)
                fehler("fstatat", dateien[i]);
            kopiere(quelle, ziel, dateien[i], st.st_size);
        }
        if (syncfs(ziel) != 0)
            fehler("syncfs", argv[2]);
    } else if (strcmp(was, "scan-kopie") == 0 && argc >= 5) {
        art = SCAN_KOPIE;
        struct stat st;
        if (stat(argv[4], &st) != 0)
            fehler("stat", argv[4]);
        stempel = st.st_mtim;
        int ziel = oeffne(argv[2]);
        laufe(oeffne(argv[3]), dup(ziel), faeden);
        if (syncfs(ziel) != 0)
            fehler("syncfs", argv[2]);
        if (markieren) {
            art = MARKIEREN;
            laufe(oeffne(argv[3]), -1, faeden);
        }
    } else if (strcmp(was, "vermerk-weg") == 0) {
        art = VERMERK_WEG;
        laufe(oeffne(argv[2]), -1, faeden);
    } else {
        fprintf(stderr, "boden: unknown kind or missing arguments: %s\n", was);
        return 2;
    }
    return 0;
}
