/* Command-line parsing with GNU getopt_long's behaviour and messages, written
 * out so that every system gives the same words. */
#include "options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef STREEBOGSUM_VERSION
#define STREEBOGSUM_VERSION "0"
#endif

const char kProgram[] = "streebogsum";

namespace {

enum OptionId {
    OPT_BINARY,
    OPT_CHECK,
    OPT_JOBS,
    OPT_LENGTH,
    OPT_TAG,
    OPT_TEXT,
    OPT_ZERO,
    OPT_IGNORE_MISSING,
    OPT_QUIET,
    OPT_STATUS,
    OPT_STRICT,
    OPT_WARN,
    OPT_HELP,
    OPT_VERSION
};

struct LongOption {
    const char *name;
    bool has_arg;
    OptionId id;
};

/* The order of the possibilities named for an ambiguous prefix. */
const LongOption kLong[] = {
    {"binary", false, OPT_BINARY}, {"check", false, OPT_CHECK},
    {"jobs", true, OPT_JOBS},      {"length", true, OPT_LENGTH},
    {"quiet", false, OPT_QUIET},   {"status", false, OPT_STATUS},
    {"text", false, OPT_TEXT},     {"warn", false, OPT_WARN},
    {"strict", false, OPT_STRICT}, {"tag", false, OPT_TAG},
    {"zero", false, OPT_ZERO},     {"ignore-missing", false, OPT_IGNORE_MISSING},
    {"help", false, OPT_HELP},     {"version", false, OPT_VERSION},
};

struct ShortOption {
    char letter;
    bool has_arg;
    OptionId id;
};

const ShortOption kShort[] = {
    {'b', false, OPT_BINARY}, {'c', false, OPT_CHECK}, {'j', true, OPT_JOBS},
    {'l', true, OPT_LENGTH},  {'t', false, OPT_TEXT},  {'w', false, OPT_WARN},
    {'z', false, OPT_ZERO},
};

int usage_error(void)
{
    fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return 1;
}

int print_help(void)
{
    printf("Usage: %s [OPTION]... [FILE]...\n"
           "Print or check GOST R 34.11-2012 (256- or 512-bit) checksums.\n"
           "\n"
           "With no FILE, or when FILE is -, read standard input.\n"
           "  -b, --binary          read in binary mode\n"
           "  -c, --check           read checksums from the FILEs and check them\n"
           "  -j, --jobs=N          hash with N threads (default: one per online processor)\n"
           "  -l, --length=BITS     digest length in bits, 256 (default) or 512;\n"
           "                          when checking, each line's length counts\n"
           "      --tag             create a BSD-style checksum\n"
           "  -t, --text            read in text mode (default)\n"
           "  -z, --zero            end each output line with NUL, not newline,\n"
           "                          and disable file name escaping\n"
           "\n"
           "The following five options are useful only when verifying checksums:\n"
           "      --ignore-missing  don't fail or report status for missing files\n"
           "      --quiet           don't print OK for each successfully verified file\n"
           "      --status          don't output anything, status code shows success\n"
           "      --strict          exit non-zero for improperly formatted checksum lines\n"
           "  -w, --warn            warn about improperly formatted checksum lines\n"
           "\n"
           "      --help        display this help and exit\n"
           "      --version     output version information and exit\n"
           "\n"
           "The sums are computed as GOST R 34.11-2012 (RFC 6986) describes.\n"
           "When checking, the input should be a former output of this program, or of\n"
           "hashcheck: lines \"DIGEST  NAME\", \"GOST12-256 (NAME) = DIGEST\" (or\n"
           "GOST12-512) and \"GOSTHASH from file NAME = DIGEST\"; a line's digest length\n"
           "tells which hash checks it.\n"
           "The default mode is to print a line with: checksum, a space,\n"
           "a character indicating input mode ('*' for binary, ' ' for text\n"
           "or where binary is insignificant), and name for each FILE.\n"
           "\n"
           "Note: There is no difference between binary mode and text mode.\n"
           "\n"
           "Full documentation: streebogsum(1)\n",
           kProgram);
    return 0;
}

int print_version(void)
{
    printf("%s (Quorvant GOST toolkit) %s\n"
           "Copyright (c) 2026, the Quorvant GOST toolkit authors.\n"
           "License BSD-2-Clause: the BSD 2-Clause License "
           "<https://opensource.org/license/bsd-2-clause>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n",
           kProgram, STREEBOGSUM_VERSION);
    return 0;
}

/* A decimal number in [1, limit], nothing else. */
bool parse_count(const char *text, unsigned long limit, unsigned long *value)
{
    unsigned long v = 0;
    if (text == nullptr || *text == '\0') return false;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > limit) return false;
    }
    *value = v;
    return v >= 1;
}

/* Applies one option; returns OPTIONS_RUN or an exit status. */
int apply(OptionId id, const char *arg, Options *o)
{
    unsigned long value = 0;
    switch (id) {
    case OPT_BINARY:
        o->binary = o->mode_set = true;
        break;
    case OPT_TEXT:
        o->binary = false;
        o->mode_set = true;
        break;
    case OPT_CHECK:
        o->check = true;
        break;
    case OPT_TAG:
        o->tag = true;
        break;
    case OPT_ZERO:
        o->zero = true;
        break;
    case OPT_IGNORE_MISSING:
        o->ignore_missing = true;
        break;
    case OPT_QUIET:
        o->quiet = true;
        o->status = false;
        o->warn = false;
        break;
    case OPT_STATUS:
        o->status = true;
        o->quiet = false;
        o->warn = false;
        break;
    case OPT_WARN:
        o->warn = true;
        o->status = false;
        o->quiet = false;
        break;
    case OPT_STRICT:
        o->strict = true;
        break;
    case OPT_JOBS:
        if (!parse_count(arg, 1024, &value)) {
            fprintf(stderr, "%s: invalid number of jobs: '%s' (1 to 1024)\n", kProgram, arg);
            return usage_error();
        }
        o->jobs = static_cast<unsigned>(value);
        break;
    case OPT_LENGTH:
        if (!parse_count(arg, 512, &value) || (value != 256 && value != 512)) {
            fprintf(stderr, "%s: invalid length: '%s' (256 or 512)\n", kProgram, arg);
            return usage_error();
        }
        o->digest_size = static_cast<int>(value / 8);
        break;
    case OPT_HELP:
        return print_help();
    case OPT_VERSION:
        return print_version();
    }
    return OPTIONS_RUN;
}

/* "--NAME" or "--NAME=VALUE" at argv[*i]. */
int long_option(int argc, char **argv, int *i, Options *o)
{
    const char *word = argv[*i] + 2;
    const char *eq = strchr(word, '=');
    const size_t len = eq != nullptr ? static_cast<size_t>(eq - word) : strlen(word);
    const LongOption *found = nullptr;
    int matches = 0;
    for (const LongOption &opt : kLong) {
        if (strncmp(opt.name, word, len) != 0) continue;
        if (strlen(opt.name) == len) {
            found = &opt;
            matches = 1;
            break;
        }
        if (found == nullptr) found = &opt;
        matches++;
    }
    if (matches == 0) {
        fprintf(stderr, "%s: unrecognized option '%s'\n", kProgram, argv[*i]);
        return usage_error();
    }
    if (matches > 1) {
        fprintf(stderr, "%s: option '%.*s' is ambiguous; possibilities:", kProgram,
                static_cast<int>(len + 2), argv[*i]);
        for (const LongOption &opt : kLong)
            if (strncmp(opt.name, word, len) == 0) fprintf(stderr, " '--%s'", opt.name);
        fprintf(stderr, "\n");
        return usage_error();
    }
    const char *arg = nullptr;
    if (found->has_arg) {
        if (eq != nullptr) {
            arg = eq + 1;
        } else if (*i + 1 < argc) {
            arg = argv[++*i];
        } else {
            fprintf(stderr, "%s: option '--%s' requires an argument\n", kProgram, found->name);
            return usage_error();
        }
    } else if (eq != nullptr) {
        fprintf(stderr, "%s: option '--%s' doesn't allow an argument\n", kProgram, found->name);
        return usage_error();
    }
    return apply(found->id, arg, o);
}

/* A cluster of short options at argv[*i]. */
int short_options(int argc, char **argv, int *i, Options *o)
{
    for (const char *p = argv[*i] + 1; *p != '\0'; p++) {
        const ShortOption *found = nullptr;
        for (const ShortOption &opt : kShort)
            if (opt.letter == *p) found = &opt;
        if (found == nullptr) {
            fprintf(stderr, "%s: invalid option -- '%c'\n", kProgram, *p);
            return usage_error();
        }
        const char *arg = nullptr;
        if (found->has_arg) {
            if (p[1] != '\0') {
                arg = p + 1;
            } else if (*i + 1 < argc) {
                arg = argv[++*i];
            } else {
                fprintf(stderr, "%s: option requires an argument -- '%c'\n", kProgram, *p);
                return usage_error();
            }
        }
        const int result = apply(found->id, arg, o);
        if (result != OPTIONS_RUN) return result;
        if (arg != nullptr) break;
    }
    return OPTIONS_RUN;
}

int refuse(const char *text)
{
    fprintf(stderr, "%s: %s\n", kProgram, text);
    return usage_error();
}

} // namespace

int parse_options(int argc, char **argv, Options *options)
{
    const bool in_order = getenv("POSIXLY_CORRECT") != nullptr;
    bool operands_only = false;
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (operands_only || word[0] != '-' || word[1] == '\0') {
            options->files.emplace_back(word);
            if (in_order) operands_only = true;
            continue;
        }
        if (strcmp(word, "--") == 0) {
            operands_only = true;
            continue;
        }
        const int result = word[1] == '-' ? long_option(argc, argv, &i, options)
                                          : short_options(argc, argv, &i, options);
        if (result != OPTIONS_RUN) return result;
    }

    const Options &o = *options;
    if (o.zero && o.check)
        return refuse("the --zero option is not supported when verifying checksums");
    if (o.tag && o.check) return refuse("the --tag option is meaningless when verifying checksums");
    if (o.mode_set && o.check)
        return refuse("the --binary and --text options are meaningless when verifying checksums");
    if (!o.check) {
        if (o.ignore_missing)
            return refuse(
                "the --ignore-missing option is meaningful only when verifying checksums");
        if (o.status)
            return refuse("the --status option is meaningful only when verifying checksums");
        if (o.warn) return refuse("the --warn option is meaningful only when verifying checksums");
        if (o.quiet)
            return refuse("the --quiet option is meaningful only when verifying checksums");
        if (o.strict)
            return refuse("the --strict option is meaningful only when verifying checksums");
    }
    if (options->files.empty()) options->files.emplace_back("-");
    return OPTIONS_RUN;
}
