/*
 * tocrlf - rewrite a text file in place with CR LF line ends.
 *
 * Usage: tocrlf FILE
 *
 * A CR is written before every LF, whatever precedes it, so a file that
 * already has CR LF ends gets CR CR LF.  Every other byte is copied as is.
 *
 * See inplace.h for how the file is replaced and the exit statuses.
 */
#define _XOPEN_SOURCE 700

#include "inplace.h"

/* Copy in to out, writing CR LF for every LF.  Returns 0, 1 on a read
 * error, 2 on a write error. */
static int convert(FILE *in, FILE *out)
{
    static char ibuf[BLOCK];
    static char obuf[2 * BLOCK];
    size_t n;

    while ((n = fread(ibuf, 1, sizeof ibuf, in)) > 0) {
        const char *p = ibuf, *end = ibuf + n;
        char *o = obuf;
        const char *lf;

        while ((lf = memchr(p, '\n', (size_t)(end - p))) != NULL) {
            size_t len = (size_t)(lf - p);
            memcpy(o, p, len);
            o += len;
            *o++ = '\r';
            *o++ = '\n';
            p = lf + 1;
        }
        memcpy(o, p, (size_t)(end - p));
        o += end - p;

        if (fwrite(obuf, 1, (size_t)(o - obuf), out) != (size_t)(o - obuf))
            return 2;
    }
    return ferror(in) ? 1 : 0;
}

int main(int argc, char **argv)
{
    return rewrite_in_place(argc, argv, "tocrlf", convert);
}
