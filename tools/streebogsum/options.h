/* streebogsum's command line. */
#ifndef STREEBOGSUM_OPTIONS_H
#define STREEBOGSUM_OPTIONS_H

#include <string>
#include <vector>

struct Options {
    bool check = false;
    bool binary = false;   /* -b: the '*' marker */
    bool mode_set = false; /* -b or -t given */
    bool tag = false;
    bool zero = false;
    bool ignore_missing = false;
    bool quiet = false;
    bool status = false;
    bool strict = false;
    bool warn = false;
    int digest_size = 32; /* bytes: -l 256 or 512 */
    unsigned jobs = 0;    /* 0: one per online processor */
    std::vector<std::string> files;
};

enum { OPTIONS_RUN = -1 };

/* The name the program's messages begin with. */
extern const char kProgram[];

/* Reads argv the way GNU getopt_long does (options and operands in any
 * order, "--" ends the options, unique prefixes of long names, clustered short
 * options). Prints --help or --version, or an error with the hint to --help,
 * and returns the exit status then; OPTIONS_RUN when the program is to run. */
int parse_options(int argc, char **argv, Options *options);

#endif
