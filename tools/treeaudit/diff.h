/* Comparing a recorded tree with a new walk (or a second database) as both
 * stream by in the walk's order, and reporting each difference on one line. */
#ifndef TREEAUDIT_DIFF_H
#define TREEAUDIT_DIFF_H

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "database.h"
#include "entry.h"

/* The exit status bits of an audit. */
enum {
    AUDIT_ADDED = 1,
    AUDIT_REMOVED = 2,
    AUDIT_CONTENT = 4,
    AUDIT_META = 8, /* meta, type, target */
    AUDIT_MOVED = 16,
    AUDIT_UNREADABLE = 32,
};

enum Category { ADDED, REMOVED, MOVED, CONTENT, META, TYPE, TARGET, UNREADABLE, CATEGORIES };

struct Frame; /* a folder whose own changes wait for its contents */

struct Diff {
    FILE *out = stdout;
    bool json = false;
    bool summary = false;
    DbReader *old = nullptr; /* the recorded side, pulled as the new side comes */
    std::vector<std::string> roots;
    unsigned status = 0;
    unsigned long counts[CATEGORIES] = {0};
    int read_status = 0; /* the old side's failure, once it failed */
    /* internal */
    Entry pending_old;
    bool have_old = false;
    bool old_done = false;
    std::string skip_old, skip_new; /* folders whose contents one side lacks */
    unsigned skip_old_root = 0, skip_new_root = 0;
    std::vector<Frame> *frames = nullptr;
    std::map<std::string, std::vector<Entry>> gone, came; /* candidates for "moved" */
};

void diff_begin(Diff *d, DbReader *old);
/* The next entry of the new side. Returns 0, or the old side's read status. */
int diff_new(Diff *d, const Entry &entry);
/* After the last entry of the new side: the rest, then moves, then the
 * summary. Returns 0 or the old side's read status. */
int diff_end(Diff *d);

/* The line of an entry that could not be read, for init's report. */
void report_unreadable(Diff *d, const Entry &entry);

#endif
