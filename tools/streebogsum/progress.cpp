/* The progress line. */
#include "progress.h"

#include <stdio.h>
#include <string.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

bool enabled_ = false;
Clock::time_point started_;
Clock::time_point last_;
size_t shown_ = 0; /* characters of the line on the terminal */

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

} // namespace

void progress_start(bool enabled)
{
    enabled_ = enabled;
    started_ = last_ = Clock::now();
}

void progress_update(uint64_t files_done, uint64_t files_total, uint64_t bytes_done)
{
    if (!enabled_) return;
    const double elapsed = seconds_since(started_);
    if (elapsed < 1.0 || seconds_since(last_) < 0.25) return;
    last_ = Clock::now();
    char total[32] = "";
    if (files_total != 0) snprintf(total, sizeof total, "/%llu", (unsigned long long)files_total);
    const double mb = static_cast<double>(bytes_done) / 1e6;
    char line[128];
    const int n = snprintf(line, sizeof line, "streebogsum: %llu%s files, %.0f MB, %.0f MB/s",
                           (unsigned long long)files_done, total, mb, mb / elapsed);
    if (n <= 0) return;
    const size_t len = strlen(line);
    /* Blanks over what a longer line before left. */
    fprintf(stderr, "\r%s%*s", line, shown_ > len ? static_cast<int>(shown_ - len) : 0, "");
    fflush(stderr);
    if (len > shown_) shown_ = len;
}

void progress_clear(void)
{
    if (shown_ == 0) return;
    fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
    fflush(stderr);
    shown_ = 0;
}
