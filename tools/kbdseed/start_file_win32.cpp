/* The start file on Windows. The path is walked a component at a time: each
 * component is opened with FILE_FLAG_OPEN_REPARSE_POINT, so a junction or
 * symbolic link is seen rather than followed, and each folder stays open
 * without FILE_SHARE_DELETE while the walk goes on below it, so that nobody
 * can rename or delete it and the names looked up later lead through the
 * same folders. A link is followed by hand, and only when its owner is the
 * caller, Administrators or SYSTEM: every user may make junctions under the
 * all-users profile. Access lists, owner and group are set on open handles. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "file_access.h"
#include "start_file.h"

namespace {

const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;
const int MAX_LINK_HOPS = 31;
const int MAX_DEPTH = MAX_PATH / 2 + 1; /* components of a path that fits MAX_PATH */
const int MAX_TEMP_TRIES = 100;
/* Rights on a folder that let their holder add, remove or rename what is in
 * it, or give themselves those rights. */
const DWORD FOLDER_WRITE_RIGHTS = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const DWORD TAG_MOUNT_POINT = 0xA0000003u; /* a junction */
const DWORD TAG_SYMLINK = 0xA000000Cu;

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

void say(char *why, size_t why_size, const char *format, ...)
{
    if (why_size == 0) return;
    va_list args;
    va_start(args, format);
    vsnprintf(why, why_size, format, args);
    va_end(args);
}

uint16_t load16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t load32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

/* Whom the caller trusts with its files: itself (its user and the owner it
 * gives new objects), Administrators and SYSTEM. */
struct trusted_sids {
    unsigned char user[SECURITY_MAX_SID_SIZE];
    unsigned char default_owner[SECURITY_MAX_SID_SIZE];
    unsigned char admins[SECURITY_MAX_SID_SIZE];
    unsigned char system[SECURITY_MAX_SID_SIZE];
    unsigned char creator_owner[SECURITY_MAX_SID_SIZE];
};

bool load_trusted(trusted_sids *t)
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return false;
    union {
        TOKEN_USER user;
        TOKEN_OWNER owner;
        unsigned char bytes[256];
    } info;
    DWORD needed = 0;
    bool ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &needed) != 0 &&
              CopySid(sizeof t->user, t->user, info.user.User.Sid) != 0 &&
              GetTokenInformation(token, TokenOwner, &info, sizeof info, &needed) != 0 &&
              CopySid(sizeof t->default_owner, t->default_owner, info.owner.Owner) != 0;
    CloseHandle(token);
    DWORD size = sizeof t->admins;
    ok = ok && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, t->admins, &size) != 0;
    size = sizeof t->system;
    ok = ok && CreateWellKnownSid(WinLocalSystemSid, nullptr, t->system, &size) != 0;
    size = sizeof t->creator_owner;
    ok = ok && CreateWellKnownSid(WinCreatorOwnerSid, nullptr, t->creator_owner, &size) != 0;
    return ok;
}

bool trusted_owner(const trusted_sids &t, PSID sid)
{
    return sid != nullptr && (EqualSid(sid, const_cast<unsigned char *>(t.user)) != 0 ||
                              EqualSid(sid, const_cast<unsigned char *>(t.default_owner)) != 0 ||
                              EqualSid(sid, const_cast<unsigned char *>(t.admins)) != 0 ||
                              EqualSid(sid, const_cast<unsigned char *>(t.system)) != 0);
}

/* Whether an allowing entry of the folder's list gives the write rights to
 * anyone but its owner, the caller, Administrators and SYSTEM (CREATOR OWNER
 * stands for whoever owns what is made in it). No list at all lets everyone
 * in. */
bool writable_by_others(const trusted_sids &t, PSID owner, PACL dacl)
{
    if (dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *ace = nullptr;
        if (GetAce(dacl, i, &ace) == 0) return true;
        const ACE_HEADER *header = static_cast<const ACE_HEADER *>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            continue;
        }
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        ACCESS_ALLOWED_ACE *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        if ((allowed->Mask & FOLDER_WRITE_RIGHTS) == 0) continue;
        PSID sid = &allowed->SidStart;
        if ((owner != nullptr && EqualSid(sid, owner) != 0) || trusted_owner(t, sid) ||
            EqualSid(sid, const_cast<unsigned char *>(t.creator_owner)) != 0) {
            continue;
        }
        return true;
    }
    return false;
}

/* The security of what handle has open: owner, group and list as asked for;
 * LocalFree *descriptor afterwards. */
bool security_of(HANDLE handle, SECURITY_INFORMATION what, PSID *owner, PSID *group, PACL *dacl,
                 PSECURITY_DESCRIPTOR *descriptor)
{
    *descriptor = nullptr;
    return GetSecurityInfo(handle, SE_FILE_OBJECT, what, owner, group, dacl, nullptr, descriptor) ==
           ERROR_SUCCESS;
}

/* Which file a handle has open: its volume and its number there. */
struct file_id {
    DWORD volume;
    DWORD high;
    DWORD low;
};

bool id_of(HANDLE handle, file_id *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info) == 0) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->high = info.nFileIndexHigh;
    id->low = info.nFileIndexLow;
    return true;
}

bool is_file(HANDLE handle, const file_id &id)
{
    file_id other;
    return id_of(handle, &other) && other.volume == id.volume && other.high == id.high &&
           other.low == id.low;
}

bool same_file(HANDLE a, HANDLE b)
{
    file_id id;
    return id_of(b, &id) && is_file(a, id);
}

/* Where the link that handle has open leads, as a path for CreateFileA in
 * target; *relative tells that it is read from the link's own folder.
 * False when it is no junction or symbolic link, or leads somewhere that has
 * no such path (a volume by its GUID, a device). */
bool link_target(HANDLE handle, char *target, size_t size, bool *relative, bool *is_link)
{
    static unsigned char data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    DWORD got = 0;
    *is_link = false;
    if (DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got,
                        nullptr) == 0 ||
        got < 16) {
        return false;
    }
    const uint32_t tag = load32(data);
    size_t names = 0; /* where the names' characters start */
    if (tag == TAG_SYMLINK && got >= 20) {
        names = 20;
        *relative = (load32(data + 16) & 1u) != 0;
    } else if (tag == TAG_MOUNT_POINT) {
        names = 16;
        *relative = false;
    } else {
        return false;
    }
    *is_link = true;
    const size_t offset = names + load16(data + 8);
    const size_t length = load16(data + 10);
    if (offset + length > got || length % 2 != 0) return false;
    wchar_t wide[MAX_PATH];
    size_t n = length / 2;
    if (n >= MAX_PATH) return false;
    for (size_t i = 0; i < n; i++) {
        wide[i] = static_cast<wchar_t>(load16(data + offset + 2 * i));
    }
    wide[n] = L'\0';
    const wchar_t *name = wide;
    wchar_t unc[MAX_PATH + 1];
    if (!*relative) {
        /* "\??\C:\dir" or "\??\UNC\server\share\dir" */
        if (wcsncmp(name, L"\\??\\", 4) != 0) return false;
        name += 4;
        if (wcsncmp(name, L"UNC\\", 4) == 0) {
            unc[0] = L'\\';
            wcscpy(unc + 1, name + 3);
            name = unc;
        } else if (!(name[0] != L'\0' && name[1] == L':' && name[2] == L'\\')) {
            return false;
        }
    }
    BOOL lossy = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, target,
                                            static_cast<int>(size), nullptr, &lossy);
    return written > 0 && lossy == FALSE;
}

/* Length of the part of path that names where it starts: "C:\", "\\server\share\",
 * "\" (the current drive), "C:" (that drive's current folder) or nothing. */
size_t root_length(const char *path)
{
    if (is_separator(path[0]) && is_separator(path[1])) {
        size_t i = 2;
        for (int part = 0; part < 2; part++) {
            while (path[i] != '\0' && !is_separator(path[i])) i++;
            if (path[i] != '\0') i++;
        }
        return i;
    }
    if (path[0] != '\0' && path[1] == ':') return is_separator(path[2]) ? 3 : 2;
    return is_separator(path[0]) ? 1 : 0;
}

/* Takes "." and ".." out of path as the system does, by the names alone,
 * keeping the root and the separators the user typed. False when the result
 * does not fit. */
bool drop_dots(const char *path, char *out, size_t size)
{
    const size_t root = root_length(path);
    if (root >= size) return false;
    memcpy(out, path, root);
    size_t n = root;
    size_t kept[MAX_DEPTH]; /* where each kept component starts in out */
    int depth = 0;
    size_t i = root;
    while (path[i] != '\0') {
        while (is_separator(path[i])) i++;
        const size_t start = i;
        while (path[i] != '\0' && !is_separator(path[i])) i++;
        const size_t len = i - start;
        if (len == 0) break;
        if (len == 1 && path[start] == '.') continue;
        const bool up = len == 2 && path[start] == '.' && path[start + 1] == '.';
        if (up && depth > 0 &&
            !(out[kept[depth - 1]] == '.' && out[kept[depth - 1] + 1] == '.' &&
              is_separator(out[kept[depth - 1] + 2]))) {
            n = kept[--depth];
            continue;
        }
        if (up && root > 0) continue; /* above the root is the root */
        if (depth == MAX_DEPTH || n + len + 1 >= size) return false;
        kept[depth++] = n;
        memcpy(out + n, path + start, len);
        n += len;
        /* The separator the user typed after it, if any. */
        if (path[i] != '\0') out[n++] = path[i];
    }
    /* A folder named with a separator at the end keeps it: it is no file. */
    out[n] = '\0';
    return true;
}

enum final_kind { FINAL_NOTHING, FINAL_FILE };

/* The path walked so far: the folders held open, and the file at its end. */
struct walk {
    char path[MAX_PATH];
    HANDLE held[MAX_DEPTH];
    int depth;
    size_t folder_end; /* length of the final component's folder in path */
    size_t name_start; /* where the final component starts */
    HANDLE final;      /* the final component, opened to look at it */
};

void release(walk *w)
{
    while (w->depth > 0) CloseHandle(w->held[--w->depth]);
    if (w->final != INVALID_HANDLE_VALUE) CloseHandle(w->final);
    w->final = INVALID_HANDLE_VALUE;
}

/* The final component starts at pos; its folder is what comes before the
 * separator in front of it, or the root itself. */
void mark_final(walk *w, size_t pos)
{
    w->name_start = pos;
    w->folder_end = pos > root_length(w->path) ? pos - 1 : pos;
}

/* Opens name itself, not what a link there leads to, to look at it; a
 * folder opened this way cannot be renamed or deleted while it is open. Its
 * security is read where the caller may (a folder may be passed through
 * without that). */
HANDLE open_to_look(const char *name, bool final)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (final ? FILE_SHARE_DELETE : 0);
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    HANDLE h = CreateFileA(name, READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        h = CreateFileA(name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr, OPEN_EXISTING,
                        flags, nullptr);
    }
    return h;
}

/* Walks w->path to its final component, following trusted links. Returns 0
 * with *kind set, or a status to return (the why line set). */
int walk_path(walk *w, const trusted_sids &t, final_kind *kind, char *why, size_t why_size)
{
    for (int hop = 0; hop <= MAX_LINK_HOPS; hop++) {
        release(w);
        size_t pos = root_length(w->path);
        for (;;) {
            while (is_separator(w->path[pos])) pos++;
            size_t end = pos;
            while (w->path[end] != '\0' && !is_separator(w->path[end])) end++;
            /* Nothing, or a name ending in a separator, is a folder. */
            if (end == pos || (w->path[end] != '\0' && w->path[end + 1] == '\0')) {
                return START_FILE_OPEN_FAILED;
            }
            const bool last = w->path[end] == '\0';
            const char saved = w->path[end];
            w->path[end] = '\0';
            HANDLE h = open_to_look(w->path, last);
            const DWORD error = GetLastError();
            BY_HANDLE_FILE_INFORMATION info;
            const bool seen = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
            if (!seen) {
                w->path[end] = saved;
                if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
                if (!last || error != ERROR_FILE_NOT_FOUND) return START_FILE_OPEN_FAILED;
                mark_final(w, pos);
                *kind = FINAL_NOTHING;
                return 0;
            }
            if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                char target[MAX_PATH];
                bool relative = false;
                bool is_link = false;
                const bool readable = link_target(h, target, sizeof target, &relative, &is_link);
                if (is_link) {
                    PSID owner = nullptr;
                    PSECURITY_DESCRIPTOR sd = nullptr;
                    const bool known =
                        security_of(h, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, &sd);
                    const bool trusted = known && trusted_owner(t, owner);
                    LocalFree(sd);
                    CloseHandle(h);
                    if (known && !trusted) {
                        say(why, why_size, "ERROR: refusing %s: a link that another user owns",
                            w->path);
                        w->path[end] = saved;
                        return START_FILE_OPEN_FAILED;
                    }
                    w->path[end] = saved;
                    /* A relative target from the root of the drive is not
                     * followed: it could only be guessed at. */
                    if (!trusted || !readable || (relative && is_separator(target[0]))) {
                        return START_FILE_OPEN_FAILED;
                    }
                    /* The rest of the path now goes on from the link's target. */
                    char next[MAX_PATH * 2];
                    const int n =
                        relative ? snprintf(next, sizeof next, "%.*s%s%s", static_cast<int>(pos),
                                            w->path, target, w->path + end)
                                 : snprintf(next, sizeof next, "%s%s", target, w->path + end);
                    if (n < 0 || static_cast<size_t>(n) >= sizeof next ||
                        !drop_dots(next, w->path, sizeof w->path)) {
                        return START_FILE_OPEN_FAILED;
                    }
                    break; /* walk the new path from its start */
                }
            }
            w->path[end] = saved;
            const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (last) {
                if (folder) {
                    CloseHandle(h);
                    return START_FILE_OPEN_FAILED;
                }
                w->final = h;
                mark_final(w, pos);
                *kind = FINAL_FILE;
                return 0;
            }
            if (!folder || w->depth == MAX_DEPTH) {
                CloseHandle(h);
                return START_FILE_OPEN_FAILED;
            }
            w->held[w->depth++] = h;
            pos = end;
        }
    }
    release(w);
    return START_FILE_OPEN_FAILED;
}

/* Checks the folder of the final component. *others_write tells whether
 * users other than its owner and the caller's side may write it. With
 * START_FILE_TRUSTED_FOLDER, such a folder, or one owned by another user, is
 * refused. */
int check_folder(const walk &w, const trusted_sids &t, unsigned flags, bool *others_write,
                 char *why, size_t why_size)
{
    char name[MAX_PATH];
    if (w.folder_end == 0) {
        snprintf(name, sizeof name, ".");
    } else {
        snprintf(name, sizeof name, "%.*s", static_cast<int>(w.folder_end), w.path);
    }
    /* The folder held open, or else the root or the current folder. */
    HANDLE folder = w.depth > 0 ? w.held[w.depth - 1] : open_to_look(name, false);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const bool known = folder != INVALID_HANDLE_VALUE &&
                       security_of(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, &sd);
    if (w.depth == 0 && folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    if (!known) {
        /* A folder whose list the caller may not read is taken as open to
         * others. */
        LocalFree(sd);
        *others_write = true;
        return (flags & START_FILE_TRUSTED_FOLDER) != 0 ? START_FILE_OPEN_FAILED : 0;
    }
    *others_write = writable_by_others(t, owner, dacl);
    int status = 0;
    if ((flags & START_FILE_TRUSTED_FOLDER) != 0) {
        char *text = nullptr;
        if (!trusted_owner(t, owner)) {
            if (ConvertSidToStringSidA(owner, &text) != 0) {
                say(why, why_size, "ERROR: refusing %s: a folder owned by another user (%s)", name,
                    text);
                LocalFree(text);
            }
            status = START_FILE_OPEN_FAILED;
        } else if (*others_write) {
            say(why, why_size,
                "ERROR: refusing %s: a folder that users other than its owner may write", name);
            status = START_FILE_OPEN_FAILED;
        }
    }
    LocalFree(sd);
    return status;
}

bool write_all(HANDLE file, const uint8_t *data, size_t count)
{
    while (count > 0) {
        const DWORD chunk = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        count -= written;
    }
    return true;
}

bool set_access(HANDLE file)
{
    HANDLE dac = ReOpenFile(file, READ_CONTROL | WRITE_DAC,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (dac == INVALID_HANDLE_VALUE) return false;
    const bool ok = file_access_grant_everyone_handle(dac, START_FILE_ACCESS) == 0;
    CloseHandle(dac);
    return ok;
}

/* Writes over the file that file (opened for writing) has open, and closes
 * it. A disk file is cut to the new length only once the new bytes are on the
 * disk: a full disk then fails the write while the file still holds a whole
 * seed. A device keeps its access list. */
enum start_file_status write_in_place(HANDLE file, const uint8_t *data, size_t count,
                                      bool disk_file, bool *access_set)
{
    bool ok = write_all(file, data, count);
    if (disk_file) {
        ok = ok && FlushFileBuffers(file) != 0 && SetEndOfFile(file) != 0;
    }
    *access_set = ok && (!disk_file || set_access(file));
    ok = CloseHandle(file) != 0 && ok;
    if (!ok) {
        *access_set = false;
        return START_FILE_WRITE_FAILED;
    }
    return START_FILE_WRITTEN;
}

/* A device by its own name (NUL, CON, \\.\COM1): written as it is. Anything
 * on a disk named this way is refused. */
enum start_file_status write_device(const char *path, const uint8_t *data, size_t count,
                                    bool *access_set)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return START_FILE_OPEN_FAILED;
    if (GetFileType(file) == FILE_TYPE_DISK) {
        CloseHandle(file);
        return START_FILE_OPEN_FAILED;
    }
    return write_in_place(file, data, count, false, access_set);
}

/* Makes a new file beside the final component, opened for writing and for
 * its access list. */
HANDLE create_temp(const walk &w, char *temp, size_t size)
{
    const DWORD seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    for (int i = 0; i < MAX_TEMP_TRIES; i++) {
        const int n = snprintf(temp, size, "%.*skbdseed-%08lx.tmp", static_cast<int>(w.name_start),
                               w.path, static_cast<unsigned long>(seed + static_cast<DWORD>(i)));
        if (n < 0 || static_cast<size_t>(n) >= size) return INVALID_HANDLE_VALUE;
        HANDLE file =
            CreateFileA(temp, GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

/* Turns a privilege of the caller's on or off; false when it has none. */
bool set_privilege(const char *name, bool on)
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == 0) {
        return false;
    }
    TOKEN_PRIVILEGES p;
    p.PrivilegeCount = 1;
    p.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    const bool ok = LookupPrivilegeValueA(nullptr, name, &p.Privileges[0].Luid) != 0 &&
                    AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr) != 0 &&
                    GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

/* What the replaced file's security keeps for the new one: owner, group and
 * audit list. */
struct old_security {
    unsigned char owner[SECURITY_MAX_SID_SIZE];
    unsigned char group[SECURITY_MAX_SID_SIZE];
    bool known;
    bool audit_privilege;
    PSECURITY_DESCRIPTOR audit; /* LocalFree it; nullptr when unread */
};

void read_security(HANDLE file, old_security *o)
{
    PSID owner = nullptr;
    PSID group = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    o->known = security_of(file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &owner,
                           &group, nullptr, &sd) &&
               owner != nullptr && group != nullptr &&
               CopySid(sizeof o->owner, o->owner, owner) != 0 &&
               CopySid(sizeof o->group, o->group, group) != 0;
    LocalFree(sd);
    /* Only a holder of the security privilege (Administrators) may read or
     * set an audit list; for anyone else the new file has the one it
     * inherits from the folder. */
    o->audit_privilege = set_privilege(SE_SECURITY_NAME, true);
    if (!o->audit_privilege) return;
    HANDLE audit = ReOpenFile(file, ACCESS_SYSTEM_SECURITY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (audit == INVALID_HANDLE_VALUE) return;
    PACL sacl = nullptr;
    if (GetSecurityInfo(audit, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        &sacl, &o->audit) != ERROR_SUCCESS) {
        o->audit = nullptr;
    }
    CloseHandle(audit);
}

void release_security(old_security *o)
{
    if (o->audit != nullptr) LocalFree(o->audit);
    o->audit = nullptr;
    if (o->audit_privilege) set_privilege(SE_SECURITY_NAME, false);
    o->audit_privilege = false;
}

/* The old file's audit list, as it was, on the new file. */
void carry_audit(HANDLE file, const old_security &o)
{
    if (o.audit == nullptr) return;
    HANDLE audit = ReOpenFile(file, ACCESS_SYSTEM_SECURITY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (audit == INVALID_HANDLE_VALUE) return;
    (void)SetKernelObjectSecurity(audit, SACL_SECURITY_INFORMATION, o.audit);
    CloseHandle(audit);
}

/* Gives the new file at the final name, once it is checked to be the one
 * this run made (temp_id), the access list, and the old file's owner, group
 * and audit list as far as the caller may set them: another user's SID takes
 * the restore privilege, which Administrators hold. The list that the
 * replacement carried over from the old file is replaced, as for any
 * written file. */
bool finish_replaced(const char *name, const file_id &temp_id, const old_security &o)
{
    const bool restore = o.known && set_privilege(SE_RESTORE_NAME, true);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    HANDLE file = CreateFileA(name, READ_CONTROL | WRITE_DAC | WRITE_OWNER, share, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        file = CreateFileA(name, READ_CONTROL | WRITE_DAC, share, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }
    bool ok = file != INVALID_HANDLE_VALUE && is_file(file, temp_id) &&
              file_access_grant_everyone_handle(file, START_FILE_ACCESS) == 0;
    if (ok && o.known) {
        PSID owner = nullptr;
        PSID group = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (security_of(file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &owner,
                        &group, nullptr, &sd)) {
            SECURITY_INFORMATION what = 0;
            if (EqualSid(owner, const_cast<unsigned char *>(o.owner)) == 0) {
                what |= OWNER_SECURITY_INFORMATION;
            }
            if (EqualSid(group, const_cast<unsigned char *>(o.group)) == 0) {
                what |= GROUP_SECURITY_INFORMATION;
            }
            /* Where the caller may not, the file stays the caller's. */
            if (what != 0) {
                (void)SetSecurityInfo(file, SE_FILE_OBJECT, what,
                                      const_cast<unsigned char *>(o.owner),
                                      const_cast<unsigned char *>(o.group), nullptr, nullptr);
            }
        }
        LocalFree(sd);
    }
    if (ok) carry_audit(file, o);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (restore) set_privilege(SE_RESTORE_NAME, false);
    return ok;
}

/* Opens the existing final component for writing, and checks that it is
 * still the file that the walk looked at. */
HANDLE open_to_write(const walk &w)
{
    HANDLE file = CreateFileA(w.path, GENERIC_WRITE | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE && !same_file(file, w.final)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

enum start_file_status replace_file(walk *w, final_kind kind, const uint8_t *data, size_t count,
                                    bool others_write, old_security *o, bool *access_set, char *why,
                                    size_t why_size)
{
    HANDLE old = INVALID_HANDLE_VALUE;
    if (kind == FINAL_FILE) {
        if (GetFileType(w->final) != FILE_TYPE_DISK) {
            return START_FILE_OPEN_FAILED;
        }
        /* Only a file the caller may write is replaced. */
        old = open_to_write(*w);
        if (old == INVALID_HANDLE_VALUE) return START_FILE_OPEN_FAILED;
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(old, &info) == 0) {
            CloseHandle(old);
            return START_FILE_OPEN_FAILED;
        }
        /* A new file under this name would leave the other names with the
         * old seed; where other users may write, one of them may have made
         * those names to read it. */
        if (info.nNumberOfLinks > 1) {
            if (others_write) {
                CloseHandle(old);
                say(why, why_size,
                    "ERROR: refusing %s: a file with %lu hard links in a folder other users may "
                    "write",
                    w->path, static_cast<unsigned long>(info.nNumberOfLinks));
                return START_FILE_OPEN_FAILED;
            }
            return write_in_place(old, data, count, true, access_set);
        }
        read_security(old, o);
    }

    char temp[MAX_PATH];
    HANDLE file = create_temp(*w, temp, sizeof temp);
    if (file == INVALID_HANDLE_VALUE) {
        /* The folder is closed to us, but the file may be open to all. */
        return old != INVALID_HANDLE_VALUE ? write_in_place(old, data, count, true, access_set)
                                           : START_FILE_OPEN_FAILED;
    }
    bool ok = write_all(file, data, count) && FlushFileBuffers(file) != 0;
    const bool access = ok && file_access_grant_everyone_handle(file, START_FILE_ACCESS) == 0;
    file_id id;
    ok = ok && id_of(file, &id);
    ok = CloseHandle(file) != 0 && ok;
    if (!ok) {
        if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
        DeleteFileA(temp);
        return START_FILE_WRITE_FAILED;
    }
    if (old == INVALID_HANDLE_VALUE) {
        if (MoveFileExA(temp, w->path, MOVEFILE_WRITE_THROUGH) == 0) {
            DeleteFileA(temp);
            return START_FILE_WRITE_FAILED;
        }
        *access_set = access;
        return START_FILE_WRITTEN;
    }
    /* The replacement keeps the old file's attributes and what else the
     * system carries over; full names, which every system takes. */
    CloseHandle(old);
    char full_name[MAX_PATH];
    char full_temp[MAX_PATH];
    const DWORD a = GetFullPathNameA(w->path, sizeof full_name, full_name, nullptr);
    const DWORD b = GetFullPathNameA(temp, sizeof full_temp, full_temp, nullptr);
    bool replaced = a > 0 && a < sizeof full_name && b > 0 && b < sizeof full_temp &&
                    ReplaceFileA(full_name, full_temp, nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                                 nullptr) != 0;
    const DWORD error = replaced ? ERROR_SUCCESS : GetLastError();
    if (!replaced && error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        /* The old file is gone and the new one still has its own name. */
        replaced = MoveFileExA(temp, w->path, MOVEFILE_WRITE_THROUGH) != 0;
        if (!replaced) {
            return START_FILE_WRITE_FAILED; /* the new file is the only copy: it stays */
        }
    }
    if (!replaced) {
        DeleteFileA(temp);
        /* A folder that lets us write files but not remove them. */
        if (error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
            old = open_to_write(*w);
            if (old != INVALID_HANDLE_VALUE) {
                return write_in_place(old, data, count, true, access_set);
            }
        }
        return START_FILE_WRITE_FAILED;
    }
    *access_set = finish_replaced(w->path, id, *o);
    return START_FILE_WRITTEN;
}

} // namespace

bool start_file_exists(const char *path, unsigned flags)
{
    (void)flags;
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

enum start_file_status start_file_replace(const char *path, const uint8_t *data, size_t count,
                                          unsigned flags, bool *access_set, char *why,
                                          size_t why_size)
{
    *access_set = false;
    if (why_size > 0) why[0] = '\0';
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return START_FILE_OPEN_FAILED;
    /* NUL, CON and the like become \\.\NUL: devices, not files. */
    if (strncmp(full, "\\\\.\\", 4) == 0 || strncmp(full, "\\\\?\\", 4) == 0) {
        return write_device(path, data, count, access_set);
    }
    trusted_sids t;
    if (!load_trusted(&t)) return START_FILE_OPEN_FAILED;

    walk w;
    w.depth = 0;
    w.final = INVALID_HANDLE_VALUE;
    if (!drop_dots(path, w.path, sizeof w.path)) return START_FILE_OPEN_FAILED;
    final_kind kind = FINAL_NOTHING;
    int status = walk_path(&w, t, &kind, why, why_size);
    bool others_write = true;
    if (status == 0) status = check_folder(w, t, flags, &others_write, why, why_size);
    enum start_file_status result = static_cast<enum start_file_status>(status);
    if (status == 0) {
        old_security o;
        o.known = false;
        o.audit_privilege = false;
        o.audit = nullptr;
        result = replace_file(&w, kind, data, count, others_write, &o, access_set, why, why_size);
        release_security(&o);
    }
    release(&w);
    return result;
}
