/* The walk feeds the pool's window in order; the main thread takes the
 * entries back in the same order once their files are hashed. */
#include "scan.h"

#include <errno.h>
#include <fnmatch.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <new>
#include <utility>

#include "file_hash.h"
#include "pool.h"
#include "tree_walk.h"

namespace {

const int kWaitMs = 100;

/* A file seen under more than one name is read once. */
struct LinkKey {
    uint64_t dev, ino;
    bool operator<(const LinkKey &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

struct Linked {
    Content content = CONTENT_UNKNOWN;
    int error = 0;
    uint8_t digest[TREE_DIGEST_MAX] = {0};
};

struct Pending {
    Entry entry;
    int fd = -1;
    LinkKey key{0, 0};
    bool linked = false;    /* more than one name: shares its reading */
    bool read_here = false; /* this name's job reads it */
    int64_t ctime_ns = 0;
};

struct Scan {
    const ScanOptions *options;
    ScanSink sink;
    void *context;
    Pool *pool = nullptr;
    std::deque<Pending> pending; /* one per job in the window, in order */
    std::map<LinkKey, Linked> linked;
    int status = 0;
};

bool excluded(const std::string &path, void *context)
{
    const ScanOptions *o = static_cast<const ScanOptions *>(context);
    for (const std::string &glob : o->excludes)
        if (fnmatch(glob.c_str(), path.c_str(), FNM_PATHNAME) == 0) return true;
    return false;
}

/* A regular file's extended attributes, into its entry (run by a worker,
 * before the file is read; a deque's elements stay where they are). */
void read_xattrs_later(int fd, void *context)
{
    Pending *p = static_cast<Pending *>(context);
    std::vector<std::pair<std::string, std::string>> xattrs;
    const int error = tree_walk_xattrs(fd, &xattrs);
    if (error != 0) {
        if (p->entry.error == 0) p->entry.error = error;
        return;
    }
    xattr_digest(xattrs, &p->entry);
}

/* Finishes the oldest job's entry and hands it on. */
void deliver(Scan *s, Job *job)
{
    Pending &p = s->pending.front();
    Entry &e = p.entry;
    if (p.read_here) {
        if (job->error != 0) {
            e.content = CONTENT_UNKNOWN;
            e.error = job->error;
        } else {
            const FileState &after = job->after;
            if (static_cast<uint64_t>(after.size) != e.size || after.mtime_ns != e.mtime_ns ||
                after.ctime_ns != p.ctime_ns) {
                e.content = CONTENT_UNKNOWN;
                e.error = TREE_CHANGED;
            } else {
                e.content = CONTENT_KNOWN;
                memcpy(e.digest, job->digest, TREE_DIGEST_MAX);
            }
        }
        if (p.linked) {
            Linked &l = s->linked[p.key];
            l.content = e.content;
            l.error = e.error;
            memcpy(l.digest, e.digest, TREE_DIGEST_MAX);
        }
    } else if (p.linked) {
        const Linked &l = s->linked[p.key];
        e.content = l.content;
        if (e.error == 0) e.error = l.error;
        memcpy(e.digest, l.digest, TREE_DIGEST_MAX);
    }
    /* A file read by a worker was closed by it. */
    if (p.fd >= 0 && !p.read_here) tree_walk_close(p.fd);
    if (s->status == 0) s->status = s->sink(e, s->context);
    s->pending.pop_front();
}

void drain_one(Scan *s)
{
    Job *head;
    while ((head = pool_head(s->pool, kWaitMs, true)) == nullptr) {
    }
    deliver(s, head);
    pool_pop(s->pool);
}

void entry_of(const tree_node &node, unsigned root, Entry *e)
{
    e->root = root;
    e->path = node.path;
    e->type = node.type;
    e->mode = node.mode;
    e->uid = node.uid;
    e->gid = node.gid;
    e->size = node.type == 'd' || node.type == 'f' || node.type == 'l' ? node.size : 0;
    e->nlink = node.nlink;
    e->rdev = node.rdev;
    e->mtime_ns = node.mtime_ns;
    e->target = node.target;
    xattr_digest(node.xattrs, e);
    if (node.error != 0) {
        e->error = node.error;
        e->content = CONTENT_UNKNOWN;
        if (node.mode == 0 && node.nlink == 0) e->type = '?';
    } else if (node.type == 'd' && node.list_error != 0) {
        e->error = node.list_error;
        e->content = CONTENT_UNKNOWN;
    } else if (node.type == 'd' && !node.entered) {
        e->content = CONTENT_OUTSIDE;
    } else if (node.xattr_error != 0) {
        e->error = node.xattr_error;
    }
}

} // namespace

void xattr_digest(const std::vector<std::pair<std::string, std::string>> &xattrs, Entry *entry)
{
    entry->has_xattrs = !xattrs.empty();
    entry->capabilities = false;
    if (xattrs.empty()) return;
    GOSTR3411_2012_CTX context;
    GOSTR3411_2012_256_Init(&context);
    for (const auto &x : xattrs) {
        if (x.first == "security.capability") entry->capabilities = true;
        uint8_t length[8];
        for (int i = 0; i < 8; i++)
            length[i] = static_cast<uint8_t>(static_cast<uint64_t>(x.second.size()) >> (8 * i));
        GOSTR3411_2012_Update(&context, reinterpret_cast<const uint8_t *>(x.first.c_str()),
                              static_cast<uint32_t>(x.first.size() + 1));
        GOSTR3411_2012_Update(&context, length, sizeof length);
        GOSTR3411_2012_Update(&context, reinterpret_cast<const uint8_t *>(x.second.data()),
                              static_cast<uint32_t>(x.second.size()));
    }
    GOSTR3411_2012_Final(&context, entry->xattrs);
}

int scan(const ScanOptions &options, ScanSink sink, void *context, std::string *error)
{
    Scan s;
    s.options = &options;
    s.sink = sink;
    s.context = context;
    const unsigned workers = std::max(1u, options.jobs);
    const unsigned capacity = std::min({1024u + 16 * workers, tree_walk_files_open_max()});
    s.pool = pool_start(workers, FILES_PER_WORKER, capacity);
    if (s.pool == nullptr) {
        *error = "cannot start the worker threads";
        return -ENOMEM;
    }
    int status = 0;
    tree_walk_options walk_options{};
    walk_options.one_file_system = options.one_file_system;
    walk_options.excluded = options.excludes.empty() ? nullptr : excluded;
    walk_options.context = const_cast<ScanOptions *>(&options);
    walk_options.file_xattrs_later = true;
    tree_node node;
    for (unsigned i = 0; i < options.roots.size() && status == 0 && s.status == 0; i++) {
        const std::string &root = options.roots[i];
        const std::string open_path = options.prefix.empty() ? root : options.prefix + root;
        tree_walk *walk;
        status = tree_walk_start(open_path.c_str(), root.c_str(), &walk_options, &walk);
        if (status != 0) break;
        int got = 0;
        while (s.status == 0 && (got = tree_walk_next(walk, &node)) == 1) {
            if (node.type == 'f' &&
                std::find(options.own.begin(), options.own.end(),
                          std::make_pair(node.dev, node.ino)) != options.own.end()) {
                if (node.fd >= 0) tree_walk_close(node.fd);
                continue;
            }
            Pending p;
            entry_of(node, i, &p.entry);
            Job job;
            job.kind = JOB_DONE;
            job.digest_size = options.digest_size;
            if (node.fd >= 0) {
                p.fd = node.fd;
                p.ctime_ns = node.ctime_ns;
                p.key = LinkKey{node.dev, node.ino};
                p.linked = node.nlink > 1;
                p.read_here = !p.linked || s.linked.count(p.key) == 0;
                if (p.linked && p.read_here) s.linked[p.key] = Linked();
                if (p.read_here) {
                    job.kind = JOB_FILE;
                    job.fd = node.fd;
                    job.size = static_cast<int64_t>(node.size);
                }
            }
            if (node.xattrs_later && job.kind != JOB_FILE) read_xattrs_later(node.fd, &p);
            while (pool_full(s.pool)) drain_one(&s);
            s.pending.push_back(std::move(p));
            if (node.xattrs_later && job.kind == JOB_FILE) {
                /* The worker reads them: the walk's thread has enough to do. */
                job.before_read = read_xattrs_later;
                job.context = &s.pending.back();
            }
            pool_push(s.pool, std::move(job));
        }
        if (got < 0) {
            status = got;
            *error = std::string(node.path.empty() ? root : node.path) +
                     ": a folder changed while the tree was walked (" + strerror(-got) + ")";
        }
        tree_walk_end(walk);
    }
    while (!pool_empty(s.pool)) drain_one(&s);
    pool_stop(s.pool);
    return status != 0 ? status : s.status;
}
