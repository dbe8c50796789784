/*
 * bench_hash: throughput figures for the hash engine and for hashcheck.
 *
 *   bench_hash [--engine-mib N] [--file-mib N] [--rounds N] [--dir PATH]
 *              [--peer NAME=COMMAND]... [--no-file]
 *
 * 1. The engine on in-memory data, on each of its paths (the table path, and
 *    the vector path where the processor has GFNI and AVX-512), in one thread:
 *    MB/s (10^6 bytes a second) for 256- and 512-bit digests, the data hashed
 *    as one message (GOSTR3411_2012_Update) and as two and four messages side
 *    by side (GOSTR3411_2012_UpdateMulti), all alternating, median of the
 *    rounds; with the processor's name and whether it has GFNI and AVX-512.
 *    Then the same on 8 KiB pieces already in the cache, as one message and
 *    as two, alternating, for twelve quarter-seconds: the medians within the
 *    quietest quarter-second and of all samples. Hashing two messages side
 *    by side keeps the core's busy units full, so it loses more than one
 *    message does to anything else that runs on the same core (on a virtual
 *    machine, another guest's processor, in spells of about a second): the
 *    quietest quarter-second gives the speeds with the core to itself.
 * 2. hashcheck on one cached file of --file-mib MiB, whole-process wall time,
 *    twice: with the engine's default path ("hashcheck", GOST_R3411_2012_IMPL
 *    unset) and with GOST_R3411_2012_IMPL=table ("hashcheck-table"); beside
 *    each peer: a command that prints the file's 256-bit digest as 64 hex
 *    digits somewhere in its standard output when the file's path is appended
 *    to it. Without --peer, "rhash --gost12-256" is the peer when it is on
 *    PATH. Every round runs every program once, the order rotating from round
 *    to round; a warm-up pass first reads the file into the cache and checks
 *    that all programs print the same digest.
 *
 * Each program's wall time and CPU time (user + system, from wait4) are
 * reported; on a machine shared with other work the CPU time is the steadier.
 *
 * On Linux every round runs on one processor: the benchmark pins itself (and
 * so every program it starts) to the next usable processor in turn. A
 * program's time and its peer's in one round then come from the same core,
 * whose speed on a virtual machine depends on what else the host runs on it;
 * with more than one processor the ratios are also given per processor.
 * The ratios printed for a peer are the medians over rounds of (peer's time /
 * hashcheck's time): how many times as fast as that peer hashcheck is.
 *
 * A measuring tool, not a test: it prints figures and judges nothing but the
 * digests' agreement.
 */
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sched.h>
#endif
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gost_r3411_2012.h"
#include "gost_r3411_2012_paths.h"

#ifndef HASHCHECK_BIN
#error "HASHCHECK_BIN must name the built hashcheck"
#endif

namespace {

struct Peer {
    std::string name;
    std::vector<std::string> argv;   /* the file's path is appended */
    const char *engine_path;         /* GOST_R3411_2012_IMPL for it; nullptr: unset */
    std::vector<double> seconds;     /* wall time */
    std::vector<double> cpu_seconds; /* user + system time of the process */
};

/* The processors this process may run on; empty where that is not known. */
std::vector<int> usable_cpus()
{
    std::vector<int> cpus;
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int i = 0; i < CPU_SETSIZE; i++) {
            if (CPU_ISSET(i, &set)) {
                cpus.push_back(i);
            }
        }
    }
#endif
    return cpus;
}

/* Pins this process, and the programs it starts from now on, to the processor
 * round r falls on; returns that processor, or -1 when nothing was pinned. */
int pin_round(const std::vector<int> &cpus, int r)
{
    if (cpus.empty()) {
        return -1;
    }
    const int cpu = cpus[(size_t)r % cpus.size()];
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        return -1;
    }
#endif
    return cpu;
}

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* A fixed pseudo-random byte stream (xorshift64), so runs hash the same data. */
void fill_pseudo_random(uint8_t *p, size_t n, uint64_t *state)
{
    uint64_t x = *state;
    for (size_t i = 0; i < n; i++) {
        if (i % 8 == 0) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        p[i] = (uint8_t)(x >> (8 * (i % 8)));
    }
    *state = x;
}

std::vector<std::string> split_words(const std::string &s)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') {
            i++;
        }
        size_t j = i;
        while (j < s.size() && s[j] != ' ') {
            j++;
        }
        if (j > i) {
            words.push_back(s.substr(i, j - i));
        }
        i = j;
    }
    return words;
}

bool on_path(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        const std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0) {
            return true;
        }
        if (colon == std::string::npos) {
            return false;
        }
        start = colon + 1;
    }
}

/* Runs p's command with standard output captured (standard error passes through);
 * returns the wall time from before the fork to after the wait, and stores the
 * child's CPU time in *cpu, or returns a negative value when the program could
 * not run or did not exit with status 0. */
double run_timed(const Peer &p, std::string *out, double *cpu)
{
    const std::vector<std::string> &argv = p.argv;
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        if (p.engine_path != nullptr) {
            setenv("GOST_R3411_2012_IMPL", p.engine_path, 1);
        } else {
            unsetenv("GOST_R3411_2012_IMPL");
        }
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    out->clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got > 0) {
            out->append(chunk, (size_t)got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double elapsed = now_seconds() - start;
    *cpu = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec * 1e-6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec * 1e-6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return elapsed;
}

/* The first run of 64 lower-case hex digits in text, or "". */
std::string find_digest(const std::string &text)
{
    size_t run = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        run = hex ? run + 1 : 0;
        if (run == 64 && (i + 1 == text.size() || !isxdigit((unsigned char)text[i + 1]))) {
            return text.substr(i + 1 - 64, 64);
        }
    }
    return "";
}

double cpu_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* The value of the first /proc/cpuinfo line that begins with field, or
 * "unknown". */
std::string cpuinfo_field(const char *field)
{
    std::string value = "unknown";
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (f == nullptr) {
        return value;
    }
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, field, strlen(field)) == 0) {
            const char *colon = strchr(line, ':');
            if (colon != nullptr) {
                value = colon + 1;
                value.erase(0, value.find_first_not_of(" \t"));
                value.erase(value.find_last_not_of(" \t\n") + 1);
            }
            break;
        }
    }
    fclose(f);
    return value;
}

/* The processor's maker, family and model, as "AuthenticAMD 26/2", printed
 * beside every figure: the engine picks its vector body by the maker, and
 * figures copied elsewhere keep the processor they came from. */
const std::string &processor_tag()
{
    static const std::string tag = cpuinfo_field("vendor_id") + " " + cpuinfo_field("cpu family") +
                                   "/" + cpuinfo_field("model\t");
    return tag;
}

/* Wall and CPU seconds of the rounds, for one path, one count of contexts
 * and one digest length. */
struct EngineTimes {
    std::vector<double> wall, cpu;
};

const int kEngineCounts[] = {1, 2, 4};
const char *const kEnginePaths[] = {"table", "vector", "vector-lean"};
const int kPathCount = 3;
const char kNoVectorLine[] = "  vector        skipped: this processor lacks GFNI/AVX-512\n";

/* Hashes data on the path in use as count messages (data cut into count
 * equal slices) fed together in 1 MiB pieces: count 1 through
 * GOSTR3411_2012_Update, more through GOSTR3411_2012_UpdateMulti. */
void time_engine(const std::vector<uint8_t> &data, int count, int digest_size, EngineTimes *times)
{
    const size_t slice = data.size() / (size_t)count;
    const size_t piece = 1 << 20;
    GOSTR3411_2012_CTX contexts[GOSTR3411_2012_MULTI_MAX];
    GOSTR3411_2012_CTX *each[GOSTR3411_2012_MULTI_MAX];
    const uint8_t *at[GOSTR3411_2012_MULTI_MAX];
    uint8_t digest[64];

    const double wall = now_seconds(), cpu = cpu_seconds();
    for (int i = 0; i < count; i++) {
        if (digest_size == 64) {
            GOSTR3411_2012_512_Init(&contexts[i]);
        } else {
            GOSTR3411_2012_256_Init(&contexts[i]);
        }
        each[i] = &contexts[i];
    }
    for (size_t done = 0; done < slice; done += piece) {
        const uint32_t n = (uint32_t)std::min(piece, slice - done);
        for (int i = 0; i < count; i++) {
            at[i] = data.data() + (size_t)i * slice + done;
        }
        if (count == 1) {
            GOSTR3411_2012_Update(each[0], at[0], n);
        } else {
            GOSTR3411_2012_UpdateMulti(each, at, n, (unsigned)count);
        }
    }
    for (int i = 0; i < count; i++) {
        GOSTR3411_2012_Final(&contexts[i], digest);
    }
    times->wall.push_back(now_seconds() - wall);
    times->cpu.push_back(cpu_seconds() - cpu);
}

void bench_engine(size_t mib, int rounds, const std::vector<int> &cpus)
{
    const size_t size = mib << 20;
    std::vector<uint8_t> data(size);
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    fill_pseudo_random(data.data(), size, &state);

    /* The process's own choice first, before the paths are switched. */
    const std::string own = GOSTR3411_2012_Implementation();
    const char *const *paths = kEnginePaths;
    const bool has_vector = gost_vector_available() != 0;
    const int ncounts = (int)(sizeof kEngineCounts / sizeof kEngineCounts[0]);
    EngineTimes times[kPathCount][3][2]; /* path, count, digest length */
    for (int r = 0; r < rounds; r++) {
        pin_round(cpus, r);
        for (int p = 0; p < (has_vector ? kPathCount : 1); p++) {
            gost_use_path(paths[p]);
            for (int c = 0; c < ncounts; c++) {
                for (int d = 0; d < 2; d++) {
                    time_engine(data, kEngineCounts[c], d == 0 ? 32 : 64, &times[p][c][d]);
                }
            }
        }
    }
    gost_use_path(own.c_str());

    const double bytes = (double)size;
    printf("engine, in memory: %zu MiB, %d alternating rounds, median, one thread; this "
           "process's path: %s\n",
           mib, rounds, own.c_str());
    printf("  processor: %s (maker family/model: %s); GFNI and AVX-512 (F, BW, VBMI): %s\n",
           cpuinfo_field("model name").c_str(), processor_tag().c_str(), has_vector ? "yes" : "no");
    printf("  the data hashed as 1, 2 or 4 messages side by side (Update, UpdateMulti), MB/s of "
           "all together\n");
    printf("  %-11s %8s   %-26s %-26s %-36s %s\n", "path", "messages", "256-bit MB/s (wall, cpu)",
           "512-bit MB/s (wall, cpu)", "cpu speed over 1 message (256, 512)", "processor");
    for (int p = 0; p < kPathCount; p++) {
        if (p > 0 && !has_vector) {
            fputs(kNoVectorLine, stdout);
            break;
        }
        for (int c = 0; c < ncounts; c++) {
            char cells[2][64];
            double speedup[2];
            for (int d = 0; d < 2; d++) {
                const EngineTimes &t = times[p][c][d];
                snprintf(cells[d], sizeof cells[d], "%8.1f %8.1f", bytes / median(t.wall) / 1e6,
                         bytes / median(t.cpu) / 1e6);
                speedup[d] = median(times[p][0][d].cpu) / median(t.cpu);
            }
            char speed[64];
            snprintf(speed, sizeof speed, "%.2fx, %.2fx", speedup[0], speedup[1]);
            printf("  %-11s %8d   %-26s %-26s %-36s %s\n", paths[p], kEngineCounts[c], cells[0],
                   cells[1], speed, processor_tag().c_str());
        }
    }
}

/* One piece as count messages (1 or 2) from fresh contexts: seconds a message. */
double time_piece(const uint8_t *data, size_t piece, int count)
{
    GOSTR3411_2012_CTX contexts[2];
    GOSTR3411_2012_CTX *each[2] = {&contexts[0], &contexts[1]};
    const uint8_t *at[2] = {data, data + piece};
    for (int i = 0; i < count; i++) {
        GOSTR3411_2012_256_Init(&contexts[i]);
    }
    const double start = now_seconds();
    if (count == 1) {
        GOSTR3411_2012_Update(each[0], at[0], (uint32_t)piece);
    } else {
        GOSTR3411_2012_UpdateMulti(each, at, (uint32_t)piece, 2);
    }
    return (now_seconds() - start) / count;
}

/* One and two messages on pieces in the cache, alternating, for windows of
 * window_seconds. What else runs on the same physical core comes and goes in
 * spells of about a second and slows two messages far more than one, so each
 * window's medians are kept apart: the quietest window (where two messages
 * ran fastest) gives the speeds with the core to itself, measured side by
 * side; the medians of all samples sit beside them. */
void bench_engine_pieces(double window_seconds, int windows)
{
    const size_t piece = 8192;
    std::vector<uint8_t> data(2 * piece);
    uint64_t state = 0x2545f4914f6cdd1dULL;
    fill_pseudo_random(data.data(), data.size(), &state);

    const std::string own = GOSTR3411_2012_Implementation();
    const char *const *paths = kEnginePaths;
    const bool has_vector = gost_vector_available() != 0;
    printf("engine, in the cache: %zu KiB a message, 1 and 2 messages alternating for %d windows "
           "of %.2f s, one thread, 256-bit\n",
           piece / 1024, windows, window_seconds);
    printf("  %-11s %8s   %-26s %-36s %s\n", "path", "messages", "MB/s (quietest, all)",
           "speed over 1 message (quietest, all)", "processor");
    for (int p = 0; p < (has_vector ? kPathCount : 1); p++) {
        gost_use_path(paths[p]);
        std::vector<double> all[2]; /* seconds a message took, by count */
        double quiet[2] = {0, 0};
        for (int w = 0; w < windows; w++) {
            std::vector<double> in_window[2];
            const double end = now_seconds() + window_seconds;
            while (now_seconds() < end) {
                for (int count = 1; count <= 2; count++) {
                    const double t = time_piece(data.data(), piece, count);
                    in_window[count - 1].push_back(t);
                    all[count - 1].push_back(t);
                }
            }
            const double two = median(in_window[1]);
            if (w == 0 || two < quiet[1]) {
                quiet[0] = median(in_window[0]);
                quiet[1] = two;
            }
        }
        const double overall[2] = {median(all[0]), median(all[1])};
        for (int c = 0; c < 2; c++) {
            char cell[64];
            snprintf(cell, sizeof cell, "%8.1f %8.1f", (double)piece / quiet[c] / 1e6,
                     (double)piece / overall[c] / 1e6);
            char speed[64];
            snprintf(speed, sizeof speed, "%.2fx, %.2fx", quiet[0] / quiet[c],
                     overall[0] / overall[c]);
            printf("  %-11s %8d   %-26s %-36s %s\n", paths[p], c + 1, cell, speed,
                   processor_tag().c_str());
        }
    }
    if (!has_vector) {
        fputs(kNoVectorLine, stdout);
    }
    gost_use_path(own.c_str());
}

/* Writes mib MiB of pseudo-random bytes to a new file in dir; returns its path. */
std::string make_data_file(const std::string &dir, size_t mib)
{
    std::string path = dir + "/bench_hash.XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) {
        perror("bench_hash: mkstemp");
        exit(2);
    }
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t state = 0x0123456789abcdefULL;
    for (size_t i = 0; i < mib; i++) {
        fill_pseudo_random(chunk.data(), chunk.size(), &state);
        if (write(fd, chunk.data(), chunk.size()) != (ssize_t)chunk.size()) {
            perror("bench_hash: write");
            close(fd);
            unlink(path.c_str());
            exit(2);
        }
    }
    close(fd);
    return path;
}

int bench_file(const std::string &dir, size_t mib, int rounds, std::vector<Peer> peers,
               const std::vector<int> &cpus)
{
    const std::string path = make_data_file(dir, mib);
    const double bytes = (double)(mib << 20);

    /* hashcheck with the engine's default path (which the environment does
     * not choose: it is unset for it) and with the table path. */
    const std::string default_path = !gost_vector_available()     ? "table"
                                     : gost_vector_prefers_lean() ? "vector-lean"
                                                                  : "vector";
    const size_t ours = 2;
    peers.insert(peers.begin(),
                 {Peer{"hashcheck", {HASHCHECK_BIN, "-file"}, nullptr, {}, {}},
                  Peer{"hashcheck-table", {HASHCHECK_BIN, "-file"}, "table", {}, {}}});
    for (Peer &p : peers) {
        p.argv.push_back(path);
    }

    int rc = 0;
    std::string out, reference;
    double cpu = 0;
    for (Peer &p : peers) {
        if (run_timed(p, &out, &cpu) < 0) {
            fprintf(stderr, "bench_hash: %s failed to run\n", p.name.c_str());
            rc = 1;
        }
        const std::string digest = find_digest(out);
        if (reference.empty()) {
            reference = digest;
        } else if (digest != reference) {
            fprintf(stderr, "bench_hash: %s printed digest '%s', hashcheck '%s'\n", p.name.c_str(),
                    digest.c_str(), reference.c_str());
            rc = 1;
        }
    }
    std::vector<int> round_cpu;
    for (int r = 0; rc == 0 && r < rounds; r++) {
        round_cpu.push_back(pin_round(cpus, r));
        for (size_t k = 0; k < peers.size(); k++) {
            Peer &p = peers[(k + (size_t)r) % peers.size()];
            const double s = run_timed(p, &out, &cpu);
            if (s < 0) {
                fprintf(stderr, "bench_hash: %s failed\n", p.name.c_str());
                rc = 1;
                break;
            }
            p.seconds.push_back(s);
            p.cpu_seconds.push_back(cpu);
        }
    }
    unlink(path.c_str());
    if (rc != 0) {
        return rc;
    }

    printf("file: %zu MiB cached, %d alternating rounds, whole-process times, median\n", mib,
           rounds);
    printf("  digest %s\n", reference.c_str());
    printf("  hashcheck: GOST_R3411_2012_IMPL unset, so the %s path; hashcheck-table: "
           "GOST_R3411_2012_IMPL=table\n",
           default_path.c_str());
    printf("  %-16s %8s %9s %8s %9s  %s\n", "program", "wall s", "wall MB/s", "cpu s", "cpu MB/s",
           "processor");
    for (const Peer &p : peers) {
        const double t = median(p.seconds), c = median(p.cpu_seconds);
        printf("  %-16s %8.3f %9.1f %8.3f %9.1f  %s\n", p.name.c_str(), t, bytes / t / 1e6, c,
               bytes / c / 1e6, processor_tag().c_str());
    }
    /* ratio(p, o, rounds): median over the rounds of p's time / o's time. */
    auto ratio = [](const std::vector<double> &p, const std::vector<double> &o,
                    const std::vector<size_t> &on) {
        std::vector<double> r;
        r.reserve(on.size());
        for (const size_t i : on) {
            r.push_back(p[i] / o[i]);
        }
        return median(r);
    };
    std::vector<size_t> all;
    for (size_t i = 0; i < peers[0].seconds.size(); i++) {
        all.push_back(i);
    }
    printf("  speed of hashcheck / peer (median of per-round ratios: wall, cpu)\n");
    printf("  %-16s", "peer");
    for (size_t o = 0; o < ours; o++) {
        printf(o + 1 < ours ? " %-22s" : " %s", peers[o].name.c_str());
    }
    printf("\n");
    for (size_t k = ours; k < peers.size(); k++) {
        printf("  %-16s", peers[k].name.c_str());
        for (size_t o = 0; o < ours; o++) {
            char cell[64];
            snprintf(cell, sizeof cell, "%.2fx, %.2fx",
                     ratio(peers[k].seconds, peers[o].seconds, all),
                     ratio(peers[k].cpu_seconds, peers[o].cpu_seconds, all));
            printf(o + 1 < ours ? " %-22s" : " %s", cell);
        }
        printf("\n");
    }
    if (cpus.size() > 1) {
        printf("  per processor (rounds on it; wall MB/s; speed over each peer, wall)\n");
        for (const int processor : cpus) {
            std::vector<size_t> on;
            for (size_t i = 0; i < round_cpu.size(); i++) {
                if (round_cpu[i] == processor) {
                    on.push_back(i);
                }
            }
            if (on.empty()) {
                continue;
            }
            for (size_t o = 0; o < ours; o++) {
                std::vector<double> wall;
                wall.reserve(on.size());
                for (const size_t i : on) {
                    wall.push_back(peers[o].seconds[i]);
                }
                printf("  cpu %-3d %2zu rounds %-16s %7.1f MB/s", processor, on.size(),
                       peers[o].name.c_str(), bytes / median(wall) / 1e6);
                for (size_t k = ours; k < peers.size(); k++) {
                    printf("   %s %.2fx", peers[k].name.c_str(),
                           ratio(peers[k].seconds, peers[o].seconds, on));
                }
                printf("\n");
            }
        }
    }
    return 0;
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: bench_hash [--engine-mib N] [--file-mib N] [--rounds N] [--dir PATH]\n"
                    "                  [--peer NAME=COMMAND]... [--no-file]\n");
    exit(2);
}

size_t parse_count(const char *s)
{
    char *end = nullptr;
    const unsigned long v = strtoul(s, &end, 10);
    if (*s == '\0' || *end != '\0' || v == 0 || v > 4095) {
        usage();
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    size_t engine_mib = 64, file_mib = 256;
    int rounds = 5;
    bool file = true;
    const char *tmp = getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    std::vector<Peer> peers;

    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--engine-mib" && has_value) {
            engine_mib = parse_count(argv[++i]);
        } else if (a == "--file-mib" && has_value) {
            file_mib = parse_count(argv[++i]);
        } else if (a == "--rounds" && has_value) {
            rounds = (int)parse_count(argv[++i]);
        } else if (a == "--dir" && has_value) {
            dir = argv[++i];
        } else if (a == "--peer" && has_value) {
            const std::string peer_arg = argv[++i];
            const size_t eq = peer_arg.find('=');
            if (eq == std::string::npos || eq == 0) {
                usage();
            }
            Peer p{peer_arg.substr(0, eq), split_words(peer_arg.substr(eq + 1)), nullptr, {}, {}};
            if (p.argv.empty()) {
                usage();
            }
            peers.push_back(p);
        } else if (a == "--no-file") {
            file = false;
        } else {
            usage();
        }
    }
    if (engine_mib > 4095) {
        usage();
    }
    if (peers.empty() && on_path("rhash")) {
        peers.push_back(Peer{"rhash", {"rhash", "--gost12-256"}, nullptr, {}, {}});
    }

    const std::vector<int> cpus = usable_cpus();
    bench_engine(engine_mib, rounds, cpus);
    bench_engine_pieces(0.25, 12);
    fflush(stdout);
    return file ? bench_file(dir, file_mib, rounds, peers, cpus) : 0;
}
