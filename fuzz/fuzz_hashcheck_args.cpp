/* hashcheck's argument scan over any argument vector: it stays inside argv,
 * and its verdict agrees with the pairs rule stated another way: every
 * argument in an odd position before the verdict is exactly "-file", the path
 * is the argument after the last of them, and a reported argument is in option
 * position and is not "-file".
 *
 * Input: the arguments, separated by NUL bytes. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "arguments.h"

static void check(bool ok)
{
    if (!ok) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args = {"hashcheck"};
    std::string current;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += (char)data[i];
        }
    }
    if (size > 0) args.push_back(current);
    if (args.size() > 64) return 0;

    /* Separate allocations, so reading past an argument or past argv shows. */
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(strdup(a.c_str()));
    const int argc = (int)argv.size();
    argv.push_back(NULL);

    char **av = argv.data();
    const char *path = NULL;
    const int unknown = scan_arguments(argc, av, &path);

    const int end = unknown != 0 ? unknown : argc;
    check(unknown == 0 || (unknown >= 1 && unknown < argc && unknown % 2 == 1));
    if (unknown != 0) check(strcmp(av[unknown], "-file") != 0);
    int last_pair = -1;
    for (int i = 1; i < end; i += 2) {
        check(strcmp(av[i], "-file") == 0);
        if (i + 1 < argc) last_pair = i + 1;
    }
    check(last_pair < 0 ? path == NULL : path == av[last_pair]);

    for (char *a : argv) free(a);
    return 0;
}
