/* hashcheck's command line: "-file <path>" pairs, the last one counting. */
#ifndef HASHCHECK_ARGUMENTS_H
#define HASHCHECK_ARGUMENTS_H

/* Scans argv[1..argc-1] in pairs. Each exact "-file" takes the argument after
 * it as the path, whatever it looks like; a final "-file" with nothing after
 * it is ignored. Sets *path to the last path taken, or NULL when none was.
 * Returns 0 when every argument was consumed, otherwise the index of the first
 * argument in option position that is not exactly "-file" (scanning stops
 * there). */
int scan_arguments(int argc, char *const argv[], const char **path);

#endif
