/*
 * streebogsum [OPTION]... [FILE]...: prints or checks GOST R 34.11-2012
 * checksums, with the command line, output lines, messages and exit statuses
 * of sha256sum. Files are hashed by a pool of threads; lines come out in the
 * order of the arguments or of the list.
 */
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "file_hash.h"
#include "file_input.h"
#include "list_line.h"
#include "names.h"
#include "options.h"
#include "pool.h"
#include "progress.h"

namespace {

const int kWaitMs = 100;

/* What one checksum list brought. */
struct ListCounts {
    unsigned long improper = 0, proper = 0, read_failed = 0, mismatched = 0, verified = 0;
};

struct Run {
    Options options;
    Pool *pool = nullptr;
    uint8_t *stdin_buffer = nullptr;
    uint8_t *list_buffer = nullptr; /* a list's own: a "-" line reads stdin_buffer */
    uint64_t files_done = 0, files_total = 0;
    bool total_known = false; /* when checking: once the last list is read */
    ListCounts counts;
    std::string list_label; /* the list's name as messages show it */
    int status = 0;
    bool stdin_used = false; /* standard input was read */
};

const char *algorithm(int digest_size)
{
    return digest_size == 64 ? "GOST12-512" : "GOST12-256";
}

void message(const std::string &text)
{
    progress_clear();
    fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

void put_hex(const uint8_t *digest, int size)
{
    static const char hex[] = "0123456789abcdef";
    char text[2 * DIGEST_MAX];
    for (int i = 0; i < size; i++) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    fwrite(text, 1, 2 * static_cast<size_t>(size), stdout);
}

void emit_sum(Run *run, const Job &job)
{
    const Options &o = run->options;
    if (job.error != 0) {
        message(quote_name(job.name) + ": " + strerror(job.error));
        run->status = 1;
        return;
    }
    progress_clear();
    std::string name = job.name;
    if (!o.zero && escape_name(job.name, true, &name)) fputc('\\', stdout);
    if (o.tag) {
        fprintf(stdout, "%s (", algorithm(job.digest_size));
        fwrite(name.data(), 1, name.size(), stdout);
        fputs(") = ", stdout);
        put_hex(job.digest, job.digest_size);
    } else {
        put_hex(job.digest, job.digest_size);
        fputc(' ', stdout);
        fputc(o.binary ? '*' : ' ', stdout);
        fwrite(name.data(), 1, name.size(), stdout);
    }
    fputc(o.zero ? '\0' : '\n', stdout);
}

void put_result(const Job &job, const char *result)
{
    progress_clear();
    std::string name;
    if (escape_name(job.name, false, &name)) fputc('\\', stdout);
    fwrite(name.data(), 1, name.size(), stdout);
    fprintf(stdout, ": %s\n", result);
}

void emit_check(Run *run, const Job &job)
{
    const Options &o = run->options;
    ListCounts &c = run->counts;
    if (job.kind == JOB_IMPROPER) {
        c.improper++;
        if (o.warn) {
            message(run->list_label + ": " + std::to_string(job.line) + ": improperly formatted " +
                    algorithm(o.digest_size) + " checksum line");
        }
        return;
    }
    if (job.error != 0) {
        if (o.ignore_missing && job.error == ENOENT) return;
        message(quote_name(job.name) + ": " + strerror(job.error));
        c.read_failed++;
        if (!o.status) put_result(job, "FAILED open or read");
        return;
    }
    c.verified++;
    if (memcmp(job.digest, job.expected, static_cast<size_t>(job.digest_size)) != 0) {
        c.mismatched++;
        if (!o.status) put_result(job, "FAILED");
    } else if (!o.status && !o.quiet) {
        put_result(job, "OK");
    }
}

void emit(Run *run, const Job &job)
{
    if (job.kind != JOB_IMPROPER) run->files_done++;
    if (run->options.check) {
        emit_check(run, job);
    } else {
        emit_sum(run, job);
    }
}

void show_progress(Run *run)
{
    progress_update(run->files_done, run->total_known ? run->files_total : 0,
                    pool_bytes(run->pool));
}

/* Prints every job in the window, in order. */
void drain(Run *run)
{
    while (!pool_empty(run->pool)) {
        Job *job = pool_head(run->pool, kWaitMs, false);
        if (job != nullptr) {
            emit(run, *job);
            pool_pop(run->pool);
        }
        /* After every line too (a run of many small files seldom waits long
         * enough for the head to time out), but never after the last. */
        if (!pool_empty(run->pool)) show_progress(run);
    }
}

void submit(Run *run, Job &job)
{
    if (job.kind == JOB_STDIN) {
        /* Standard input is read here, in its turn: after every line
         * before it is out, so that two "-" never read at once. */
        drain(run);
        run->stdin_used = true;
        hash_stream(input_stdin(), &job, run->stdin_buffer, run->pool);
        emit(run, job);
        return;
    }
    while (pool_full(run->pool)) {
        Job *head = pool_head(run->pool, kWaitMs, true);
        if (head != nullptr) {
            emit(run, *head);
            pool_pop(run->pool);
        }
        show_progress(run);
    }
    pool_push(run->pool, job);
}

/* Reads lines of any length (NUL bytes included) from a descriptor. */
struct LineReader {
    int fd;
    uint8_t *buffer;
    size_t have = 0, pos = 0;
    bool at_end = false;
};

/* 1 with a line in *line (its line feed removed), 0 at the end, or -errno.
 * A line too long for the memory at hand ends the list, as sha256sum's does. */
int read_line(LineReader *r, std::string *line)
try {
    line->clear();
    for (;;) {
        if (r->pos == r->have) {
            if (r->at_end) return line->empty() ? 0 : 1;
            const long got = input_read(r->fd, r->buffer, READ_SIZE);
            if (got < 0) return static_cast<int>(got);
            if (got == 0) {
                r->at_end = true;
                continue;
            }
            r->have = static_cast<size_t>(got);
            r->pos = 0;
        }
        const auto *start = r->buffer + r->pos;
        const auto *end = static_cast<const uint8_t *>(memchr(start, '\n', r->have - r->pos));
        if (end != nullptr) {
            line->append(reinterpret_cast<const char *>(start), static_cast<size_t>(end - start));
            r->pos += static_cast<size_t>(end - start) + 1;
            return 1;
        }
        line->append(reinterpret_cast<const char *>(start), r->have - r->pos);
        r->pos = r->have;
    }
} catch (const std::bad_alloc &) {
    std::string().swap(*line);
    r->at_end = true;
    r->pos = r->have;
    return 0;
}

void check_list(Run *run, const std::string &list, bool last)
{
    const Options &o = run->options;
    const bool from_stdin = list == "-";
    run->list_label = from_stdin ? quote_name("standard input") : quote_name(list);
    run->counts = ListCounts();
    if (from_stdin) run->stdin_used = true;
    const int fd = from_stdin ? input_stdin() : input_open(list.c_str());
    if (fd < 0) {
        message(run->list_label + ": " + strerror(-fd));
        run->status = 1;
        return;
    }
    LineReader reader{fd, run->list_buffer};
    std::string line;
    unsigned long number = 0;
    int gnu_style = -1;
    int got;
    while ((got = read_line(&reader, &line)) > 0) {
        number++;
        Job job;
        ListEntry entry;
        switch (parse_list_line(line.data(), line.size(), from_stdin, &gnu_style, &entry)) {
        case LIST_LINE_IGNORED:
            continue;
        case LIST_LINE_IMPROPER:
            job.kind = JOB_IMPROPER;
            job.line = number;
            break;
        case LIST_LINE_ENTRY:
            run->counts.proper++;
            run->files_total++;
            job.kind = entry.name == "-" ? JOB_STDIN : JOB_FILE;
            job.name = entry.name;
            job.digest_size = entry.digest_size;
            memcpy(job.expected, entry.digest, sizeof job.expected);
            break;
        }
        submit(run, job);
    }
    run->total_known = last;
    drain(run);
    if (!from_stdin) input_close(fd);
    if (got < 0) {
        message(run->list_label + ": read error");
        run->status = 1;
        return;
    }

    const ListCounts &c = run->counts;
    if (c.proper == 0) {
        message(run->list_label + ": no properly formatted checksum lines found");
        run->status = 1;
        return;
    }
    if (!o.status) {
        if (c.improper != 0)
            message("WARNING: " + std::to_string(c.improper) +
                    (c.improper == 1 ? " line is" : " lines are") + " improperly formatted");
        if (c.read_failed != 0)
            message("WARNING: " + std::to_string(c.read_failed) +
                    (c.read_failed == 1 ? " listed file" : " listed files") + " could not be read");
        if (c.mismatched != 0)
            message("WARNING: " + std::to_string(c.mismatched) +
                    (c.mismatched == 1 ? " computed checksum" : " computed checksums") +
                    " did NOT match");
    }
    if (o.ignore_missing && c.verified == 0) {
        if (!o.status) message(run->list_label + ": no file was verified");
        run->status = 1;
    }
    if (c.read_failed != 0 || c.mismatched != 0 || (o.strict && c.improper != 0)) run->status = 1;
}

/* How many files a worker hashes at a time: STREEBOGSUM_FILES_PER_WORKER, a
 * benchmarking aid, when it says 1 to FILES_PER_WORKER_MAX. */
unsigned files_per_worker(void)
{
    const char *value = getenv("STREEBOGSUM_FILES_PER_WORKER");
    if (value != nullptr && value[0] >= '1' && value[0] <= '0' + FILES_PER_WORKER_MAX &&
        value[1] == '\0')
        return static_cast<unsigned>(value[0] - '0');
    return FILES_PER_WORKER;
}

/* Standard output's last flush, and the status that a failed write leaves. */
int close_output(int status)
{
    const bool closed = stdout_is_closed();
    if (fflush(stdout) == 0 && !ferror(stdout) && !closed) return status;
    progress_clear();
    if (closed) {
        fprintf(stderr, "%s: write error: %s\n", kProgram, strerror(EBADF));
    } else {
        fprintf(stderr, "%s: write error\n", kProgram);
    }
    return 1;
}

int run_main(int argc, char **argv)
{
    names_init_locale(setlocale(LC_ALL, "") != nullptr);
    Run run;
    const int parsed = parse_options(argc, argv, &run.options);
    if (parsed != OPTIONS_RUN) return close_output(parsed);
    const Options &o = run.options;
    output_binary();

    unsigned jobs = o.jobs;
    if (jobs == 0) {
        jobs = std::thread::hardware_concurrency();
        if (jobs == 0) jobs = 1;
    }
    /* Room for every worker's files and for the lines behind a large file:
     * while one worker hashes it, its other files come from the jobs behind
     * it in the window, and once those run out it goes on alone, at one
     * file's speed; a window of 1024 leaves almost no bytes to that
     * (docs/benchmark.md). A job is a name and two digests: the window holds
     * a few hundred KiB. */
    run.stdin_buffer = static_cast<uint8_t *>(malloc(READ_SIZE));
    run.list_buffer = static_cast<uint8_t *>(malloc(READ_SIZE));
    run.pool = pool_start(jobs, files_per_worker(), 1024 + 16 * jobs);
    if (run.pool == nullptr || run.stdin_buffer == nullptr || run.list_buffer == nullptr) {
        message("memory exhausted");
        if (run.pool != nullptr) pool_stop(run.pool);
        return 1;
    }
    progress_start(stderr_is_terminal() && !o.status && !(o.check && o.quiet));

    if (o.check) {
        for (size_t i = 0; i < o.files.size(); i++)
            check_list(&run, o.files[i], i + 1 == o.files.size());
    } else {
        run.files_total = o.files.size();
        run.total_known = true;
        for (const std::string &name : o.files) {
            Job job;
            job.kind = name == "-" ? JOB_STDIN : JOB_FILE;
            job.name = name;
            job.digest_size = o.digest_size;
            submit(&run, job);
        }
        drain(&run);
    }
    progress_clear();
    pool_stop(run.pool);
    free(run.stdin_buffer);
    free(run.list_buffer);
    int status = close_output(run.status);
    /* Standard input that was read must close cleanly, as a write must. */
    if (run.stdin_used && stdin_is_closed()) {
        message(std::string("standard input: ") + strerror(EBADF));
        status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run_main(argc, argv);
    } catch (const std::bad_alloc &) {
        /* Workers may still run: nothing is torn down behind them. */
        message("memory exhausted");
        fflush(nullptr);
        _Exit(1);
    }
}
