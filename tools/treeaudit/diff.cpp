/* The comparison and its report. */
#include "diff.h"

#include <string.h>
#include <time.h>

#include <algorithm>

#include "names.h"
#include "tree_walk.h"

struct Frame {
    unsigned root;
    std::string path;
    std::vector<std::string> fixed;       /* changes nothing inside explains */
    std::vector<std::string> explainable; /* mtime, size, links */
    Entry old_entry, new_entry;
    bool explained = false; /* an entry inside it came or went */
};

namespace {

const char *const kCategory[] = {"added", "removed", "moved",  "content",
                                 "meta",  "type",    "target", "unreadable"};
const unsigned kBit[] = {AUDIT_ADDED, AUDIT_REMOVED, AUDIT_MOVED, AUDIT_CONTENT,
                         AUDIT_META,  AUDIT_META,    AUDIT_META,  AUDIT_UNREADABLE};

const char kNotRecorded[] = "not read when the baseline was recorded";

/* One line of the report in the making. */
struct Line {
    Line(Category c, const Entry *e) : category(c), entry(e) {}
    Category category;
    const Entry *entry; /* the new side's, or the old for removed */
    const Entry *from = nullptr;
    std::string detail;               /* text after the path */
    std::vector<std::string> changed; /* attribute names, for meta */
    std::string old_json, new_json;   /* their values, as JSON members */
    std::string reason;               /* for unreadable */
    bool stealthy = false;            /* content with size and mtime kept */
};

int compare_keys(unsigned ra, const std::string &a, unsigned rb, const std::string &b)
{
    if (ra != rb) return ra < rb ? -1 : 1;
    return tree_path_compare(a, b);
}

bool inside(unsigned root, const std::string &path, unsigned folder_root, const std::string &folder)
{
    return root == folder_root && !folder.empty() && tree_path_inside(path, folder);
}

std::string parent_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::vector<std::string> marks_of(const Entry &e)
{
    std::vector<std::string> marks;
    if (e.type != 'd' && e.type != 'l' && (e.mode & 04000) != 0) marks.emplace_back("setuid");
    if (e.type != 'd' && e.type != 'l' && (e.mode & 02000) != 0) marks.emplace_back("setgid");
    if (e.capabilities) marks.emplace_back("capabilities");
    if (e.type != 'l' && (e.mode & 0002) != 0) marks.emplace_back("writable by all");
    return marks;
}

const char *type_name(char type)
{
    switch (type) {
    case 'f':
        return "regular file";
    case 'd':
        return "folder";
    case 'l':
        return "symbolic link";
    case 'p':
        return "FIFO";
    case 's':
        return "socket";
    case 'c':
        return "character device";
    case 'b':
        return "block device";
    default:
        return "unknown";
    }
}

std::string time_text(int64_t ns)
{
    const int64_t sec = ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
    const long frac = static_cast<long>(ns - sec * 1000000000);
    const time_t t = static_cast<time_t>(sec);
    struct tm tm;
    char text[64];
    if (gmtime_r(&t, &tm) == nullptr) return std::to_string(ns) + "ns";
    char head[40];
    strftime(head, sizeof head, "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(text, sizeof text, "%s.%09ldZ", head, frac);
    return text;
}

/* JSON ---------------------------------------------------------------- */

/* "key":"text", and "key_hex":"..." when text is not valid UTF-8 (its bad
 * bytes then read U+FFFD). */
void json_name(std::string *out, const char *key, const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    bool valid = true;
    std::string s = "\"";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        unsigned int code_point;
        const size_t n = utf8_char(p + i, text.size() - i, &code_point);
        if (n == 0) {
            s += "\xef\xbf\xbd";
            valid = false;
            i++;
            continue;
        }
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            s += "\\u00";
            s += hex[c >> 4];
            s += hex[c & 15];
        } else {
            s.append(text, i, n);
        }
        i += n;
    }
    s += '"';
    *out += std::string(out->size() > 1 ? "," : "") + "\"" + key + "\":" + s;
    if (!valid) {
        *out += std::string(",\"") + key + "_hex\":\"";
        for (char ch : text) {
            const unsigned char c = static_cast<unsigned char>(ch);
            *out += hex[c >> 4];
            *out += hex[c & 15];
        }
        *out += '"';
    }
}

std::string json_number(uint64_t v)
{
    const std::string digits = std::to_string(v);
    return v > (uint64_t{1} << 53) ? "\"" + digits + "\"" : digits;
}

std::string json_signed(int64_t v)
{
    const std::string digits = std::to_string(v);
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return magnitude > (uint64_t{1} << 53) ? "\"" + digits + "\"" : digits;
}

std::string json_list(const std::vector<std::string> &items)
{
    std::string s = "[";
    for (size_t i = 0; i < items.size(); i++) s += (i ? ",\"" : "\"") + items[i] + "\"";
    return s + "]";
}

/* The report ---------------------------------------------------------- */

void emit(Diff *d, const Line &l)
{
    d->status |= kBit[l.category];
    d->counts[l.category]++;
    const Entry &e = *l.entry;
    const std::vector<std::string> marks = l.category == REMOVED || l.category == UNREADABLE
                                               ? std::vector<std::string>()
                                               : marks_of(e);
    if (d->json) {
        std::string s = "{";
        s += std::string("\"category\":\"") + kCategory[l.category] + "\"";
        json_name(&s, "path", e.path);
        if (l.from != nullptr) json_name(&s, "from", l.from->path);
        if (l.category == META || !l.changed.empty()) s += ",\"changed\":" + json_list(l.changed);
        if (!l.old_json.empty()) s += ",\"old\":{" + l.old_json + "}";
        if (!l.new_json.empty()) s += ",\"new\":{" + l.new_json + "}";
        if (l.category == CONTENT)
            s += std::string(",\"size_and_mtime_kept\":") + (l.stealthy ? "true" : "false");
        if (l.category == UNREADABLE) json_name(&s, "reason", l.reason);
        if (!marks.empty()) s += ",\"marks\":" + json_list(marks);
        s += "}\n";
        fputs(s.c_str(), d->out);
        return;
    }
    std::string s = kCategory[l.category];
    s += ' ';
    if (l.from != nullptr) s += quote_name(l.from->path) + " -> ";
    s += quote_name(e.path);
    if (l.category == UNREADABLE) s += ": " + l.reason;
    s += l.detail;
    if (!marks.empty()) {
        s += " [";
        for (size_t i = 0; i < marks.size(); i++) s += (i ? ", " : "") + marks[i];
        s += "]";
    }
    s += '\n';
    fputs(s.c_str(), d->out);
}

void emit_simple(Diff *d, Category c, const Entry &e)
{
    Line l{c, &e};
    emit(d, l);
}

void emit_unreadable(Diff *d, const Entry &e, const std::string &reason)
{
    Line l{UNREADABLE, &e};
    l.reason = reason;
    emit(d, l);
}

/* Attribute changes between two entries of one type, into a line. */
void add_change(Line *l, const char *name, const std::string &old_text, const std::string &new_text,
                const std::string &old_json, const std::string &new_json)
{
    l->changed.emplace_back(name);
    l->detail += (l->detail.empty() ? " (" : ", ") + std::string(name);
    if (!old_text.empty()) l->detail += " " + old_text + " -> " + new_text;
    l->old_json += std::string(l->old_json.empty() ? "" : ",") + "\"" + name + "\":" + old_json;
    l->new_json += std::string(l->new_json.empty() ? "" : ",") + "\"" + name + "\":" + new_json;
}

std::string octal(uint32_t mode)
{
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

/* The attributes a folder's contents may explain are kept apart. */
void meta_changes(const Entry &o, const Entry &n, Line *fixed, Line *explainable)
{
    if (o.mode != n.mode)
        add_change(fixed, "mode", octal(o.mode), octal(n.mode), "\"" + octal(o.mode) + "\"",
                   "\"" + octal(n.mode) + "\"");
    if (o.uid != n.uid)
        add_change(fixed, "uid", std::to_string(o.uid), std::to_string(n.uid), json_number(o.uid),
                   json_number(n.uid));
    if (o.gid != n.gid)
        add_change(fixed, "gid", std::to_string(o.gid), std::to_string(n.gid), json_number(o.gid),
                   json_number(n.gid));
    if (o.rdev != n.rdev)
        add_change(fixed, "rdev", std::to_string(o.rdev), std::to_string(n.rdev),
                   json_number(o.rdev), json_number(n.rdev));
    if (o.has_xattrs != n.has_xattrs || o.capabilities != n.capabilities ||
        memcmp(o.xattrs, n.xattrs, XATTR_DIGEST_SIZE) != 0)
        add_change(fixed, "xattrs", "", "",
                   o.capabilities ? "\"with capabilities\""
                   : o.has_xattrs ? "true"
                                  : "false",
                   n.capabilities ? "\"with capabilities\""
                   : n.has_xattrs ? "true"
                                  : "false");
    Line *folder = n.type == 'd' ? explainable : fixed;
    /* A link made again with the same target changes its mtime alone. */
    if (o.mtime_ns != n.mtime_ns && !(n.type == 'l' && o.target != n.target))
        add_change(folder, "mtime", time_text(o.mtime_ns), time_text(n.mtime_ns),
                   json_signed(o.mtime_ns), json_signed(n.mtime_ns));
    if (n.type == 'd' && o.size != n.size)
        add_change(folder, "size", std::to_string(o.size), std::to_string(n.size),
                   json_number(o.size), json_number(n.size));
    if (o.nlink != n.nlink)
        add_change(folder, "links", std::to_string(o.nlink), std::to_string(n.nlink),
                   json_number(o.nlink), json_number(n.nlink));
}

void close_meta(Line *l)
{
    if (!l->detail.empty()) l->detail += ")";
}

void emit_frame(Diff *d, Frame &f)
{
    Line l{META, &f.new_entry};
    Line unused{META, &f.new_entry};
    meta_changes(f.old_entry, f.new_entry, &l, f.explained ? &unused : &l);
    if (l.changed.empty()) return;
    close_meta(&l);
    emit(d, l);
}

/* Ends the folders that do not hold root/path. */
void leave_folders(Diff *d, unsigned root, const std::string &path)
{
    std::vector<Frame> &frames = *d->frames;
    while (!frames.empty() && !inside(root, path, frames.back().root, frames.back().path)) {
        emit_frame(d, frames.back());
        frames.pop_back();
    }
}

/* An entry came or went inside the deepest folder, if it is its parent. */
void explain(Diff *d, unsigned root, const std::string &path)
{
    std::vector<Frame> &frames = *d->frames;
    if (!frames.empty() && frames.back().root == root && frames.back().path == parent_of(path))
        frames.back().explained = true;
}

bool candidate(const Entry &e)
{
    return e.type == 'f' && e.content == CONTENT_KNOWN && e.size > 0;
}

std::string digest_key(const Entry &e)
{
    return std::string(reinterpret_cast<const char *>(e.digest), TREE_DIGEST_MAX);
}

void removed(Diff *d, const Entry &o)
{
    if (inside(o.root, o.path, d->skip_old_root, d->skip_old)) return;
    leave_folders(d, o.root, o.path);
    explain(d, o.root, o.path);
    if (candidate(o)) {
        d->gone[digest_key(o)].push_back(o);
        return;
    }
    emit_simple(d, REMOVED, o);
}

void added(Diff *d, const Entry &n)
{
    if (inside(n.root, n.path, d->skip_new_root, d->skip_new)) return;
    explain(d, n.root, n.path);
    if (candidate(n) && n.error == 0) {
        d->came[digest_key(n)].push_back(n);
        return;
    }
    emit_simple(d, ADDED, n);
    if (n.error != 0) emit_unreadable(d, n, tree_error_text(n.error));
}

void skip_new_under(Diff *d, const Entry &n)
{
    d->skip_new = n.path;
    d->skip_new_root = n.root;
}

void skip_old_under(Diff *d, const Entry &n)
{
    d->skip_old = n.path;
    d->skip_old_root = n.root;
}

void pair(Diff *d, const Entry &o, const Entry &n)
{
    if (n.type == '?') {
        emit_unreadable(d, n, tree_error_text(n.error));
        skip_old_under(d, n);
        return;
    }
    if (o.type == '?') {
        emit_unreadable(d, n, kNotRecorded);
        skip_new_under(d, n);
        return;
    }
    if (o.type != n.type) {
        Line l{TYPE, &n};
        l.detail = std::string(" (") + type_name(o.type) + " -> " + type_name(n.type) + ")";
        l.old_json = std::string("\"type\":\"") + type_name(o.type) + "\"";
        l.new_json = std::string("\"type\":\"") + type_name(n.type) + "\"";
        emit(d, l);
        /* An entry replaced by another changes its folder as an added or
         * removed one does. */
        explain(d, n.root, n.path);
        if (n.error != 0) emit_unreadable(d, n, tree_error_text(n.error));
        return;
    }
    if (n.type == 'l' && o.target != n.target) {
        Line l{TARGET, &n};
        l.detail = " (" + quote_name(o.target) + " -> " + quote_name(n.target) + ")";
        json_name(&l.old_json, "target", o.target);
        json_name(&l.new_json, "target", n.target);
        emit(d, l);
        explain(d, n.root, n.path);
    }
    if (n.type == 'f') {
        if (n.content == CONTENT_UNKNOWN) {
            emit_unreadable(d, n, tree_error_text(n.error));
        } else if (o.content == CONTENT_UNKNOWN) {
            emit_unreadable(d, n, kNotRecorded);
        } else if (o.size != n.size || memcmp(o.digest, n.digest, TREE_DIGEST_MAX) != 0) {
            Line l{CONTENT, &n};
            l.stealthy = o.size == n.size && o.mtime_ns == n.mtime_ns;
            if (l.stealthy) l.detail = " (size and mtime unchanged)";
            emit(d, l);
            /* Most often a new file renamed over the old one. */
            explain(d, n.root, n.path);
        }
        /* Read whole, but not its attributes. */
        if (n.content != CONTENT_UNKNOWN && n.error != 0)
            emit_unreadable(d, n, tree_error_text(n.error));
    } else if (n.error != 0 && n.type != 'd') {
        emit_unreadable(d, n, tree_error_text(n.error));
    }
    Line fixed{META, &n};
    if (n.type == 'd') {
        if (n.content == CONTENT_UNKNOWN) {
            emit_unreadable(d, n, tree_error_text(n.error));
            skip_old_under(d, n);
        } else if (n.error != 0) {
            emit_unreadable(d, n, tree_error_text(n.error)); /* its attributes */
        } else if (o.content == CONTENT_UNKNOWN) {
            emit_unreadable(d, n, kNotRecorded);
            skip_new_under(d, n);
        }
        Line explainable{META, &n};
        meta_changes(o, n, &fixed, &explainable);
        /* Of a folder whose contents are not audited, those attributes
         * follow its contents, which may change as they will. */
        const bool outside = o.content == CONTENT_OUTSIDE || n.content == CONTENT_OUTSIDE;
        if (!explainable.changed.empty() && !outside) {
            /* Reported once its contents have shown what they explain. */
            Frame f;
            f.root = n.root;
            f.path = n.path;
            f.old_entry = o;
            f.new_entry = n;
            d->frames->push_back(f);
            return;
        }
    } else if (n.type == 'f' &&
               (o.size != n.size || memcmp(o.digest, n.digest, TREE_DIGEST_MAX) != 0) &&
               o.content == CONTENT_KNOWN && n.content == CONTENT_KNOWN) {
        /* A new content brings its own mtime: the content line tells it. */
        Entry kept = n;
        kept.mtime_ns = o.mtime_ns;
        meta_changes(o, kept, &fixed, &fixed);
    } else {
        meta_changes(o, n, &fixed, &fixed);
    }
    if (fixed.changed.empty()) return;
    close_meta(&fixed);
    emit(d, fixed);
}

/* The next old entry, into pending_old. */
int pull_old(Diff *d)
{
    if (d->have_old || d->old_done) return 0;
    const int got = db_read_entry(d->old, &d->pending_old);
    if (got < 0) {
        d->read_status = got;
        d->old_done = true;
        return got;
    }
    d->have_old = got == 1;
    d->old_done = got == 0;
    return 0;
}

/* Moves: a digest that exactly one gone and one new file share. */
void settle_candidates(Diff *d)
{
    std::vector<Line> lines;
    for (auto &g : d->gone) {
        auto c = d->came.find(g.first);
        if (g.second.size() == 1 && c != d->came.end() && c->second.size() == 1) {
            const Entry &o = g.second[0];
            const Entry &n = c->second[0];
            Line l{MOVED, &n};
            l.from = &o;
            /* A rename keeps the mtime: only what else changed is told. */
            Entry kept = n;
            kept.mtime_ns = o.mtime_ns;
            Line unused{META, &n};
            meta_changes(o, kept, &l, &unused);
            close_meta(&l);
            lines.push_back(l);
            continue;
        }
        for (const Entry &o : g.second) lines.push_back(Line{REMOVED, &o});
    }
    for (auto &c : d->came) {
        auto g = d->gone.find(c.first);
        if (g != d->gone.end() && g->second.size() == 1 && c.second.size() == 1) continue;
        for (const Entry &n : c.second) lines.push_back(Line{ADDED, &n});
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) {
        return compare_keys(a.entry->root, a.entry->path, b.entry->root, b.entry->path) < 0;
    });
    for (const Line &l : lines) emit(d, l);
}

} // namespace

void diff_begin(Diff *d, DbReader *old)
{
    d->old = old;
    d->frames = new std::vector<Frame>();
}

int diff_new(Diff *d, const Entry &n)
{
    for (;;) {
        if (pull_old(d) != 0) return d->read_status;
        if (!d->have_old) break;
        const Entry &o = d->pending_old;
        const int order = compare_keys(o.root, o.path, n.root, n.path);
        if (order > 0) break;
        if (order == 0) {
            leave_folders(d, n.root, n.path);
            d->have_old = false;
            if (inside(n.root, n.path, d->skip_new_root, d->skip_new)) return 0;
            if (inside(o.root, o.path, d->skip_old_root, d->skip_old)) {
                added(d, n);
                return 0;
            }
            const Entry old_entry = o;
            pair(d, old_entry, n);
            return 0;
        }
        removed(d, o);
        d->have_old = false;
    }
    leave_folders(d, n.root, n.path);
    added(d, n);
    return 0;
}

int diff_end(Diff *d)
{
    for (;;) {
        if (pull_old(d) != 0) break;
        if (!d->have_old) break;
        removed(d, d->pending_old);
        d->have_old = false;
    }
    leave_folders(d, ~0u, std::string());
    delete d->frames;
    d->frames = nullptr;
    if (d->read_status != 0) return d->read_status;
    settle_candidates(d);
    if (d->summary) {
        if (d->json) {
            std::string s = "{\"category\":\"summary\"";
            for (int c = 0; c < CATEGORIES; c++)
                s += std::string(",\"") + kCategory[c] + "\":" + std::to_string(d->counts[c]);
            fprintf(d->out, "%s}\n", s.c_str());
        } else {
            std::string s = "summary:";
            for (int c = 0; c < CATEGORIES; c++)
                s +=
                    std::string(c ? ", " : " ") + kCategory[c] + " " + std::to_string(d->counts[c]);
            fprintf(d->out, "%s\n", s.c_str());
        }
    }
    return 0;
}

void report_unreadable(Diff *d, const Entry &entry)
{
    emit_unreadable(d, entry, tree_error_text(entry.error));
}
