/* The window between the main thread and the workers. */
#include <gtest/gtest.h>

#include "file_hash.h"
#include "pool.h"
#include "run_process.h"

namespace {

Job *wait_head(Pool *pool)
{
    Job *job;
    while ((job = pool_head(pool, 100, false)) == nullptr) {
    }
    return job;
}

/* Jobs that need no worker, printed before any worker looked at them, must
 * not leave the workers' look behind the window: a reused slot would then be
 * taken twice, hashing a file twice and finishing a later job early. */
TEST(Pool, JobsNeedingNoWorkerNeverMakeAWorkerTakeAJobTwice)
{
    const std::string dir = make_temp_dir("pool");
    write_file(dir + "/f", std::string(100, 'f'));
    write_file(dir + "/g", std::string(10, 'g'));
    Pool *pool = pool_start(1, 1, 4);
    ASSERT_NE(pool, nullptr);
    auto hash = [&](const char *name) {
        Job file;
        file.name = dir + name;
        pool_push(pool, file);
        EXPECT_EQ(wait_head(pool)->error, 0) << name;
        pool_pop(pool);
    };
    /* Once the worker waits with nothing left, jobs it never sees fill the
     * window and leave it. */
    hash("/g");
    Job done;
    done.kind = JOB_DONE;
    for (int i = 0; i < 4; i++) pool_push(pool, done);
    for (int i = 0; i < 4; i++) {
        wait_head(pool);
        pool_pop(pool);
    }
    hash("/f");
    hash("/g");
    EXPECT_EQ(pool_bytes(pool), 120u);
    pool_stop(pool);
    remove_tree(dir);
}

/* Idle workers are woken for a few files at once: a lone file, fewer than
 * that, must still be hashed once the main thread waits for it, not only
 * when the wait times out. */
TEST(Pool, ALoneFileIsHashedWithoutWaitingOut)
{
    const std::string dir = make_temp_dir("pool");
    write_file(dir + "/f", "f");
    Pool *pool = pool_start(2, 2, 16);
    ASSERT_NE(pool, nullptr);
    for (int round = 0; round < 3; round++) {
        Job file;
        file.name = dir + "/f";
        pool_push(pool, file);
        const Job *head = pool_head(pool, 10000, false);
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(head->error, 0);
        pool_pop(pool);
    }
    pool_stop(pool);
    remove_tree(dir);
}

} // namespace
