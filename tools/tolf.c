/*
 * tolf - rewrite a text file in place with LF line ends.
 *
 * Usage: tolf FILE
 *
 * Every CR and every Ctrl-Z (byte 26) is dropped wherever it stands; every
 * other byte is copied as is.
 *
 * See inplace.h for how the file is replaced and the exit statuses.
 */
#define _XOPEN_SOURCE 700

#include "inplace.h"

/* Copy in to out without CR and Ctrl-Z.  Returns 0, 1 on a read error,
 * 2 on a write error. */
static int convert(FILE *in, FILE *out)
{
    static unsigned char ibuf[BLOCK];
    static unsigned char obuf[BLOCK];
    size_t n, i, k;

    while ((n = fread(ibuf, 1, sizeof ibuf, in)) > 0) {
        k = 0;
        if (!memchr(ibuf, 26, n)) {
            /* The usual block: only CRs to drop, found with memchr. */
            const unsigned char *p = ibuf, *end = ibuf + n, *cr;
            while ((cr = memchr(p, '\r', (size_t)(end - p))) != NULL) {
                memcpy(obuf + k, p, (size_t)(cr - p));
                k += (size_t)(cr - p);
                p = cr + 1;
            }
            memcpy(obuf + k, p, (size_t)(end - p));
            k += (size_t)(end - p);
        } else {
            for (i = 0; i < n; i++) {
                unsigned char c = ibuf[i];
                obuf[k] = c;
                k += c != '\r' && c != 26;
            }
        }
        if (k > 0 && fwrite(obuf, 1, k, out) != k)
            return 2;
    }
    return ferror(in) ? 1 : 0;
}

int main(int argc, char **argv)
{
    return rewrite_in_place(argc, argv, "tolf", convert);
}
