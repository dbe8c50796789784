/* The progress line on a terminal: one line on standard error that updates
 * itself while a run lasts more than about a second, and is cleared before
 * anything else is written and at the end. */
#ifndef STREEBOGSUM_PROGRESS_H
#define STREEBOGSUM_PROGRESS_H

#include <stdint.h>

/* enabled: standard error is a terminal and the user wants to see output. */
void progress_start(bool enabled);

/* Shows files_done (of files_total, when that is not 0) and bytes_done, with
 * the rate since the start; at most a few times a second, and only once the
 * run has lasted a second. */
void progress_update(uint64_t files_done, uint64_t files_total, uint64_t bytes_done);

/* Removes the line if it is shown. */
void progress_clear(void);

#endif
