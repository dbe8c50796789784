/* The lines of a checksum list that streebogsum -c reads. */
#ifndef STREEBOGSUM_LIST_LINE_H
#define STREEBOGSUM_LIST_LINE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "job.h"

enum ListLineKind {
    LIST_LINE_IGNORED,  /* empty, blanks only, or a "#" comment */
    LIST_LINE_IMPROPER, /* not a checksum line */
    LIST_LINE_ENTRY     /* a file and its digest */
};

struct ListEntry {
    std::string name;
    uint8_t digest[DIGEST_MAX];
    int digest_size; /* bytes: 32 or 64 */
};

/* Reads one line (without its line feed; it may hold NUL bytes, which make it
 * improper). Accepted, after leading blanks and one trailing carriage return:
 *   DIGEST  NAME, DIGEST *NAME                  (64 or 128 hex digits, either case)
 *   DIGEST NAME                                 (one blank or tab: see gnu_style)
 *   GOST12-256 (NAME) = DIGEST, and GOST12-512  (also without the blanks:
 *                                                "GOST12-256(NAME)= DIGEST")
 *   GOSTHASH from file NAME = DIGEST            (split at the last " = ")
 * A line starting with a backslash has its name escaped ("\\", "\n", "\r").
 * The name "-" (standard input) is improper in a list that is itself read
 * from standard input.
 * *gnu_style belongs to the list and starts at -1: the first line of the
 * first two forms sets it to 0, after which "DIGEST NAME" is improper; the
 * first of the third form sets it to 1, after which "DIGEST  NAME" names
 * " NAME" (lists of tools that write one blank). */
ListLineKind parse_list_line(const char *line, size_t length, bool list_is_stdin, int *gnu_style,
                             ListEntry *entry);

#endif
