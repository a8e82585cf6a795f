/*
 * The machinery the line-ending programs share: the argument check, a
 * temporary file made with mkstemp in the input's own directory, checked
 * writes, the input's permission bits, and an atomic rename over the input.
 * A symbolic link is followed: the file it leads to is converted in place
 * (its temporary file goes beside that file) and the link stays a link.
 * Each program supplies only its block conversion.  Header-only, so each
 * program still links against the C runtime alone.
 *
 * Exit status: 0 converted; 1 bad usage, FILE cannot be opened or is not
 * a regular file, or reading FILE failed; 2 the temporary file could not
 * be created, written or renamed.  On any failure FILE is left untouched,
 * the temporary file is removed and nothing is printed on stdout.
 */
#ifndef INPLACE_H
#define INPLACE_H

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define BLOCK (64 * 1024)

/* Name of the temporary file while it exists, for the signal handler. */
static char *volatile tmp_name;

static void on_signal(int sig)
{
    char *name = tmp_name;

    if (name)
        unlink(name);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void catch_signals(void)
{
    static const int sigs[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM };
    struct sigaction sa;
    size_t i;

    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    for (i = 0; i < sizeof sigs / sizeof sigs[0]; i++)
        sigaddset(&sa.sa_mask, sigs[i]);
    sa.sa_handler = on_signal;
    for (i = 0; i < sizeof sigs / sizeof sigs[0]; i++) {
        struct sigaction old;
        /* Leave signals ignored by our parent ignored. */
        if (sigaction(sigs[i], NULL, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sigs[i], &sa, NULL);
    }
    /* Past a file size limit, let write() fail with EFBIG instead. */
    signal(SIGXFSZ, SIG_IGN);
}

/* Create "<dir of path>/.<prog>-XXXXXX"; the name is left in *name. */
static int make_temp(const char *prog, const char *path, char **name)
{
    char tail[64];
    size_t taillen = (size_t)snprintf(tail, sizeof tail, "/.%s-XXXXXX", prog) + 1;
    const char *slash = strrchr(path, '/');
    size_t dirlen = slash ? (size_t)(slash - path) : 1;
    sigset_t block, old;
    char *buf;
    int fd;

    buf = malloc(dirlen + taillen);
    if (!buf)
        return -1;
    if (!slash)
        buf[0] = '.';
    else
        memcpy(buf, path, dirlen); /* dirlen 0: FILE is in "/" */
    memcpy(buf + dirlen, tail, taillen);

    /* No signal may come between creating the file and recording its name. */
    sigfillset(&block);
    sigprocmask(SIG_BLOCK, &block, &old);
    fd = mkstemp(buf);
    if (fd >= 0)
        tmp_name = buf;
    sigprocmask(SIG_SETMASK, &old, NULL);

    if (fd < 0) {
        int e = errno;
        free(buf);
        errno = e;
        return -1;
    }
    *name = buf;
    return fd;
}

static void drop_temp(FILE *out, int fd)
{
    if (out)
        fclose(out);
    else if (fd >= 0)
        close(fd);
    if (tmp_name) {
        char *name = tmp_name;
        unlink(name);
        tmp_name = NULL;
        free(name);
    }
}

/* Converts file in place, reporting under the name path (the argument as
 * given; file is where a link leads, or path itself). */
static int rewrite_file(const char *prog, const char *path, const char *file,
                        int (*convert)(FILE *in, FILE *out))
{
    struct stat st;
    FILE *in, *out;
    char *name = NULL;
    int fd, rc, e;

    in = fopen(file, "rb");
    if (!in) {
        fprintf(stderr, "%s: %s: %s\n", prog, path, strerror(errno));
        return 1;
    }
    if (fstat(fileno(in), &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", prog, path, strerror(errno));
        fclose(in);
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: %s: not a regular file\n", prog, path);
        fclose(in);
        return 1;
    }

    fd = make_temp(prog, file, &name);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot create temporary file for %s: %s\n",
                prog, path, strerror(errno));
        fclose(in);
        return 2;
    }
    out = fdopen(fd, "wb");
    if (!out) {
        e = errno;
        fprintf(stderr, "%s: %s: %s\n", prog, name, strerror(e));
        drop_temp(NULL, fd);
        fclose(in);
        return 2;
    }

    rc = convert(in, out);
    e = errno;
    fclose(in);
    if (rc == 1) {
        drop_temp(out, -1);
        fprintf(stderr, "%s: error reading %s: %s\n", prog, path, strerror(e));
        return 1;
    }
    if (rc == 0) {
        /* Keep the owner where we may; the mode must follow the chown,
         * which can clear set-id bits. */
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            /* not permitted: the file stays ours */
        }
        if (fflush(out) != 0 || fchmod(fd, st.st_mode & 07777) != 0
            || (fsync(fd) != 0 && errno != EINVAL))
            rc = 2;
        e = errno;
    }
    if (rc == 0) {
        rc = fclose(out) != 0 ? 2 : 0;
        out = NULL;
        e = errno;
    }
    if (rc == 0 && rename(name, file) != 0) {
        rc = 2;
        e = errno;
    }
    if (rc != 0) {
        drop_temp(out, -1);
        fprintf(stderr, "%s: cannot write %s: %s\n", prog, path, strerror(e));
        return 2;
    }
    tmp_name = NULL;
    free(name);

    printf("%s   %s\n", path, "  converted");
    return 0;
}

/* Runs one program: converts argv[1] in place with convert (which returns
 * 0, 1 on a read error, 2 on a write error) and reports as the programs do. */
static int rewrite_in_place(int argc, char **argv, const char *prog,
                            int (*convert)(FILE *in, FILE *out))
{
    struct stat st;
    char *target = NULL;
    int rc;

    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", prog);
        return 1;
    }
    catch_signals();
    /* Through a link the file it leads to is rewritten; the link stays. */
    if (lstat(argv[1], &st) == 0 && S_ISLNK(st.st_mode)) {
        target = realpath(argv[1], NULL);
        if (!target) {
            fprintf(stderr, "%s: %s: %s\n", prog, argv[1], strerror(errno));
            return 1;
        }
    }
    rc = rewrite_file(prog, argv[1], target ? target : argv[1], convert);
    free(target);
    return rc;
}

#endif
