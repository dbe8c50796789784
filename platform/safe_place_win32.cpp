/* Placing a file on Windows (safe_place.h). Each component is opened with
 * FILE_FLAG_OPEN_REPARSE_POINT, so a junction or symbolic link is seen rather
 * than followed, and each folder, from the one the path starts in, stays open
 * without FILE_SHARE_DELETE while the walk goes on below it. Those handles
 * still share writing, and FSCTL_SET_REPARSE_POINT asks for no more than
 * FILE_WRITE_ATTRIBUTES, which no sharing mode withholds: another user who may
 * write the last folder could turn it, while it is empty, into a junction. So
 * nothing after the walk goes by a name from the root: the temporary file is
 * made with NtCreateFile relative to the held folder's handle, and renamed
 * over the name with NtSetInformationFile (FileRenameInformation, whose
 * RootDirectory is that handle); an open relative to a handle starts at the
 * folder that the handle has open, whatever has become of its name. Access
 * lists, owner and group are set on open handles. */
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <new>

/* The system's status codes come from ntstatus.h, not their few copies in
 * windows.h. */
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>
#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include "file_access.h"
#include "safe_place.h"
#include "safe_place_system.h"

namespace {

const int MAX_LINK_HOPS = 31;
const int MAX_DEPTH = MAX_PATH / 2 + 1; /* components of a path that fits MAX_PATH */
/* What a walk that fails returns: a refusal has its line in why. */
const int WALK_FAILED = -1;
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
    HANDLE held[MAX_DEPTH + 1]; /* the start folder, then one per level */
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
        /* The folder the path starts in, held as any other: what is made
         * beside the final component is made relative to the last one. */
        char start[MAX_PATH];
        snprintf(start, sizeof start, "%.*s", static_cast<int>(pos), w->path);
        HANDLE first = open_to_look(pos == 0 ? "." : start, false);
        if (first == INVALID_HANDLE_VALUE) return WALK_FAILED;
        w->held[w->depth++] = first;
        for (;;) {
            while (is_separator(w->path[pos])) pos++;
            size_t end = pos;
            while (w->path[end] != '\0' && !is_separator(w->path[end])) end++;
            /* Nothing, or a name ending in a separator, is a folder. */
            if (end == pos || (w->path[end] != '\0' && w->path[end + 1] == '\0')) {
                return WALK_FAILED;
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
                if (!last || error != ERROR_FILE_NOT_FOUND) return WALK_FAILED;
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
                        return WALK_FAILED;
                    }
                    w->path[end] = saved;
                    /* A relative target from the root of the drive is not
                     * followed: it could only be guessed at. */
                    if (!trusted || !readable || (relative && is_separator(target[0]))) {
                        return WALK_FAILED;
                    }
                    /* The rest of the path now goes on from the link's target. */
                    char next[MAX_PATH * 2];
                    const int n =
                        relative ? snprintf(next, sizeof next, "%.*s%s%s", static_cast<int>(pos),
                                            w->path, target, w->path + end)
                                 : snprintf(next, sizeof next, "%s%s", target, w->path + end);
                    if (n < 0 || static_cast<size_t>(n) >= sizeof next ||
                        !drop_dots(next, w->path, sizeof w->path)) {
                        return WALK_FAILED;
                    }
                    break; /* walk the new path from its start */
                }
            }
            w->path[end] = saved;
            const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (last) {
                if (folder) {
                    CloseHandle(h);
                    return WALK_FAILED;
                }
                w->final = h;
                mark_final(w, pos);
                *kind = FINAL_FILE;
                return 0;
            }
            if (!folder || w->depth == MAX_DEPTH + 1) {
                CloseHandle(h);
                return WALK_FAILED;
            }
            w->held[w->depth++] = h;
            pos = end;
        }
    }
    release(w);
    return WALK_FAILED;
}

/* Checks the folder of the final component. *others_write tells whether
 * users other than its owner and the caller's side may write it. With
 * SAFE_PLACE_TRUSTED_FOLDER, such a folder, or one owned by another user, is
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
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const bool known =
        security_of(w.held[w.depth - 1], OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                    &owner, nullptr, &dacl, &sd);
    if (!known) {
        /* A folder whose list the caller may not read is taken as open to
         * others. */
        LocalFree(sd);
        *others_write = true;
        return (flags & SAFE_PLACE_TRUSTED_FOLDER) != 0 ? WALK_FAILED : 0;
    }
    *others_write = writable_by_others(t, owner, dacl);
    int status = 0;
    if ((flags & SAFE_PLACE_TRUSTED_FOLDER) != 0) {
        char *text = nullptr;
        if (!trusted_owner(t, owner)) {
            if (ConvertSidToStringSidA(owner, &text) != 0) {
                say(why, why_size, "ERROR: refusing %s: a folder owned by another user (%s)", name,
                    text);
                LocalFree(text);
            }
            status = WALK_FAILED;
        } else if (*others_write) {
            say(why, why_size,
                "ERROR: refusing %s: a folder that users other than its owner may write", name);
            status = WALK_FAILED;
        }
    }
    LocalFree(sd);
    return status;
}

} // namespace

/* What a place holds on Windows: the walk's folders and the final component,
 * or the name of a device. */
struct safe_place_system {
    walk w;
    bool device;
    char device_path[MAX_PATH];
    bool others_write; /* users other than the folder's owner and the caller's side may write it */
};

namespace {

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

/* The content: the caller's bytes, or what its producer writes to a stream
 * of its own on the same file. */
bool write_content(HANDLE file, const uint8_t *data, size_t count, const safe_place_file *f)
{
    if (f->produce == nullptr) return write_all(file, data, count);
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_WRONLY | _O_BINARY);
    FILE *out = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (out == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(copy);
        }
        return false;
    }
    const int status = f->produce(out, f->context);
    return fclose(out) == 0 && status == 0;
}

/* Runs finish on the written file: handle, or a second handle with the
 * rights to its list when handle lacks them. */
bool run_finish(HANDLE handle, bool has_dac, const safe_place_file *f)
{
    if (f->finish == nullptr) return true;
    HANDLE dac = has_dac ? handle
                         : ReOpenFile(handle, READ_CONTROL | WRITE_DAC,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (dac == INVALID_HANDLE_VALUE) return false;
    const safe_place_open open = {-1, dac};
    const bool ok = f->finish(&open, f->context) == 0;
    if (!has_dac) CloseHandle(dac);
    return ok;
}

/* Writes over the file that file (opened for writing) has open, and closes
 * it. A disk file is cut to the new length only once the new bytes are on the
 * disk: a full disk then fails the write while the file still holds a whole
 * content. A device keeps its access list. */
int write_in_place(HANDLE file, const uint8_t *data, size_t count, bool disk_file,
                   const safe_place_file *f, safe_place_result *result)
{
    result->open_failed = false;
    bool ok = write_content(file, data, count, f);
    if (disk_file) {
        ok = ok && FlushFileBuffers(file) != 0 && SetEndOfFile(file) != 0;
    }
    result->finished = ok && (!disk_file || run_finish(file, false, f));
    ok = CloseHandle(file) != 0 && ok;
    if (!ok) {
        result->finished = false;
        return -EIO;
    }
    return 0;
}

/* A device by its own name (NUL, CON, \\.\COM1): written as it is. Anything
 * on a disk named this way is refused. */
int write_device(const char *path, const uint8_t *data, size_t count, const safe_place_file *f,
                 safe_place_result *result)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -EACCES;
    if (GetFileType(file) == FILE_TYPE_DISK) {
        CloseHandle(file);
        return -EACCES;
    }
    return write_in_place(file, data, count, false, f, result);
}

/* name in the system's wide characters, as the A functions would take it. */
bool widen(const char *name, wchar_t *wide, size_t size)
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wide,
                               static_cast<int>(size)) > 0;
}

/* Opens name in folder, relative to the folder's handle and not following a
 * link at name; the status is the system's own. */
NTSTATUS open_in_folder(HANDLE folder, const wchar_t *name, ACCESS_MASK access, ULONG share,
                        ULONG disposition, ULONG options, HANDLE *file)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t *>(name);
    text.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    *file = INVALID_HANDLE_VALUE;
    const NTSTATUS status = NtCreateFile(file, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, share, disposition,
                                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                             FILE_OPEN_REPARSE_POINT | options,
                                         nullptr, 0);
    if (!NT_SUCCESS(status)) *file = INVALID_HANDLE_VALUE;
    return status;
}

/* Makes a new file beside name in folder, under a name drawn from the
 * system's random source, opened for writing, for its access list and for
 * its rename (DELETE). Its changes of name go to the disk at once
 * (FILE_WRITE_THROUGH), as MOVEFILE_WRITE_THROUGH would have them. */
HANDLE create_temp(HANDLE folder, const char *name)
{
    for (int i = 0; i < SAFE_PLACE_TEMP_TRIES; i++) {
        uint64_t bits = 0;
        char temp[SAFE_PLACE_NAME_SIZE + 16];
        wchar_t wide[SAFE_PLACE_NAME_SIZE + 16];
        if (RtlGenRandom(&bits, sizeof bits) == FALSE ||
            safe_place_temp_name(temp, sizeof temp, name, bits) < 0 ||
            !widen(temp, wide, sizeof wide / sizeof wide[0])) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE file = INVALID_HANDLE_VALUE;
        const NTSTATUS status =
            open_in_folder(folder, wide, GENERIC_WRITE | READ_CONTROL | WRITE_DAC | DELETE, 0,
                           FILE_CREATE, FILE_WRITE_THROUGH, &file);
        if (status != STATUS_OBJECT_NAME_COLLISION) return file;
    }
    return INVALID_HANDLE_VALUE;
}

/* Removes the new file that file has open, through the handle. */
void discard(HANDLE file)
{
    FILE_DISPOSITION_INFO gone;
    gone.DeleteFile = TRUE;
    (void)SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(file);
}

/* Renames the file that file has open to name in folder, over what lies
 * there: through the folder's handle, never a path. */
NTSTATUS rename_into(HANDLE file, HANDLE folder, const char *name)
{
    union {
        FILE_RENAME_INFORMATION info;
        unsigned char
            bytes[sizeof(FILE_RENAME_INFORMATION) + SAFE_PLACE_NAME_SIZE * sizeof(wchar_t)];
    } rename;
    wchar_t wide[SAFE_PLACE_NAME_SIZE];
    if (!widen(name, wide, SAFE_PLACE_NAME_SIZE)) return STATUS_OBJECT_NAME_INVALID;
    const size_t length = wcslen(wide) * sizeof(wchar_t);
    rename.info.ReplaceIfExists = TRUE;
    rename.info.RootDirectory = folder;
    rename.info.FileNameLength = static_cast<ULONG>(length);
    memcpy(rename.info.FileName, wide, length);
    IO_STATUS_BLOCK io;
    return NtSetInformationFile(
        file, &io, &rename.info,
        static_cast<ULONG>(offsetof(FILE_RENAME_INFORMATION, FileName) + length),
        FileRenameInformation);
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

/* Gives the new file the old file's owner and group as far as the caller may
 * set them (another user's SID takes the restore privilege, which
 * Administrators hold), and its audit list as it was. */
void give_security(HANDLE file, const old_security &o, bool keep_owner)
{
    if (keep_owner && o.known) {
        const bool restore = set_privilege(SE_RESTORE_NAME, true);
        HANDLE owned = ReOpenFile(file, READ_CONTROL | WRITE_OWNER,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  FILE_FLAG_BACKUP_SEMANTICS);
        PSID owner = nullptr;
        PSID group = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (owned != INVALID_HANDLE_VALUE &&
            security_of(owned, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &owner,
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
                (void)SetSecurityInfo(owned, SE_FILE_OBJECT, what,
                                      const_cast<unsigned char *>(o.owner),
                                      const_cast<unsigned char *>(o.group), nullptr, nullptr);
            }
        }
        LocalFree(sd);
        if (owned != INVALID_HANDLE_VALUE) CloseHandle(owned);
        if (restore) set_privilege(SE_RESTORE_NAME, false);
    }
    if (o.audit == nullptr) return;
    HANDLE audit = ReOpenFile(file, ACCESS_SYSTEM_SECURITY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (audit == INVALID_HANDLE_VALUE) return;
    (void)SetKernelObjectSecurity(audit, SACL_SECURITY_INFORMATION, o.audit);
    CloseHandle(audit);
}

/* The old file's attributes that a replacement keeps, as ReplaceFile keeps
 * them, on the new file. */
bool give_attributes(HANDLE file, DWORD attributes)
{
    attributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (attributes == 0) return true;
    FILE_BASIC_INFO basic;
    ZeroMemory(&basic, sizeof basic); /* times of zero stay as they are */
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

/* The final component, open for writing: the very file the walk looked at. */
HANDLE open_to_write(const walk &w)
{
    return ReOpenFile(w.final, GENERIC_WRITE | READ_CONTROL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
}

/* Another name of a file may have been linked there by whoever may write the
 * folder, to a file of ours that they may not read or write. */
int check_hard_links(const safe_place *place, DWORD links, char *why, size_t why_size)
{
    if (links <= 1 || !place->system->others_write) return 0;
    say(why, why_size,
        "ERROR: refusing %s: a file with %lu hard links in a folder other users may write",
        place->shown, static_cast<unsigned long>(links));
    return -EACCES;
}

int replace_file(safe_place *place, const uint8_t *data, size_t count, const safe_place_file *f,
                 old_security *o, safe_place_result *result, char *why, size_t why_size)
{
    walk *w = &place->system->w;
    HANDLE old = INVALID_HANDLE_VALUE;
    file_id old_id = {0, 0, 0};
    DWORD attributes = 0;
    if (place->exists) {
        if (place->kind != SAFE_PLACE_FILE) return -EACCES;
        /* Only a file the caller may write is replaced. */
        old = open_to_write(*w);
        if (old == INVALID_HANDLE_VALUE) return -EACCES;
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(old, &info) == 0) {
            CloseHandle(old);
            return -EACCES;
        }
        old_id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
        attributes = info.dwFileAttributes;
        /* A new file under this name would leave the other names with the
         * old content. */
        const int refused = check_hard_links(place, info.nNumberOfLinks, why, why_size);
        if (refused != 0) {
            CloseHandle(old);
            return refused;
        }
        if (info.nNumberOfLinks > 1) return write_in_place(old, data, count, true, f, result);
        read_security(old, o);
    }

    HANDLE folder = w->held[w->depth - 1];
    HANDLE file = create_temp(folder, place->name);
    if (file == INVALID_HANDLE_VALUE) {
        /* The folder is closed to us, but the file may be open to all. */
        return old != INVALID_HANDLE_VALUE ? write_in_place(old, data, count, true, f, result)
                                           : -EACCES;
    }
    result->open_failed = false;
    bool ok = write_content(file, data, count, f) && give_attributes(file, attributes);
    result->finished = ok && run_finish(file, true, f);
    if (ok) give_security(file, *o, f->keep_owner);
    ok = ok && FlushFileBuffers(file) != 0;
    if (!ok) {
        if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
        discard(file);
        result->finished = false;
        return -EIO;
    }
    /* Nothing of ours may hold the old file open while it is replaced. */
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
    if (w->final != INVALID_HANDLE_VALUE) CloseHandle(w->final);
    w->final = INVALID_HANDLE_VALUE;
    const NTSTATUS renamed = rename_into(file, folder, place->name);
    if (NT_SUCCESS(renamed)) {
        CloseHandle(file);
        return 0;
    }
    discard(file);
    result->finished = false;
    /* A folder that lets us write files but not remove them: the old file,
     * if it is still the one we opened, is written where it is. */
    if (renamed == STATUS_ACCESS_DENIED && old != INVALID_HANDLE_VALUE) {
        wchar_t wide[SAFE_PLACE_NAME_SIZE];
        HANDLE again = INVALID_HANDLE_VALUE;
        if (widen(place->name, wide, SAFE_PLACE_NAME_SIZE) &&
            NT_SUCCESS(open_in_folder(folder, wide, GENERIC_WRITE | READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_OPEN, 0, &again))) {
            if (is_file(again, old_id)) return write_in_place(again, data, count, true, f, result);
            CloseHandle(again);
        }
    }
    return -EIO;
}

enum safe_place_kind kind_of(HANDLE final)
{
    return GetFileType(final) == FILE_TYPE_DISK ? SAFE_PLACE_FILE : SAFE_PLACE_DEVICE;
}

} // namespace

int safe_place_resolve(const char *path, unsigned flags, struct safe_place *place, char *why,
                       size_t why_size)
{
    if (why_size > 0) why[0] = '\0';
    place->system = nullptr;
    place->exists = false;
    place->kind = SAFE_PLACE_NOTHING;
    if ((flags & SAFE_PLACE_MAKE_FOLDERS) != 0) return -ENOSYS;
    if (path == nullptr || *path == '\0') return -ENOENT;
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return -ENAMETOOLONG;
    safe_place_system *system = new (std::nothrow) safe_place_system;
    if (system == nullptr) return -ENOMEM;
    system->w.depth = 0;
    system->w.final = INVALID_HANDLE_VALUE;
    system->others_write = true;
    /* NUL, CON and the like become \\.\NUL: devices, not files. */
    system->device = strncmp(full, "\\\\.\\", 4) == 0 || strncmp(full, "\\\\?\\", 4) == 0;
    if (system->device) {
        snprintf(system->device_path, sizeof system->device_path, "%s", path);
        snprintf(place->name, sizeof place->name, "%s", path);
        snprintf(place->shown, sizeof place->shown, "%s", path);
        place->exists = true;
        place->kind = SAFE_PLACE_DEVICE;
        place->system = system;
        return 0;
    }
    trusted_sids t;
    walk &w = system->w;
    final_kind kind = FINAL_NOTHING;
    int status = load_trusted(&t) && drop_dots(path, w.path, sizeof w.path) ? 0 : -EACCES;
    if (status == 0) status = walk_path(&w, t, &kind, why, why_size);
    if (status == 0) status = check_folder(w, t, flags, &system->others_write, why, why_size);
    if (status == 0 && strlen(w.path + w.name_start) >= sizeof place->name) status = -ENAMETOOLONG;
    if (status != 0) {
        release(&w);
        delete system;
        /* A refusal says why; anything else was not found or not open to us. */
        return status == WALK_FAILED ? (why_size > 0 && why[0] != '\0' ? -EACCES : -ENOENT)
                                     : status;
    }
    snprintf(place->name, sizeof place->name, "%s", w.path + w.name_start);
    snprintf(place->shown, sizeof place->shown, "%s", w.path);
    place->exists = kind == FINAL_FILE;
    if (place->exists) place->kind = kind_of(w.final);
    place->system = system;
    return 0;
}

void safe_place_release(struct safe_place *place)
{
    if (place->system == nullptr) return;
    release(&place->system->w);
    delete place->system;
    place->system = nullptr;
}

int safe_place_check(const struct safe_place *place, char *why, size_t why_size)
{
    if (why_size > 0) why[0] = '\0';
    if (!place->exists || place->kind != SAFE_PLACE_FILE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(place->system->w.final, &info) == 0) return -EACCES;
    return check_hard_links(place, info.nNumberOfLinks, why, why_size);
}

int safe_place_open_read(const struct safe_place *place, FILE **file, char *why, size_t why_size)
{
    *file = nullptr;
    if (!place->exists) return -ENOENT;
    if (place->kind != SAFE_PLACE_FILE) {
        say(why, why_size, "ERROR: refusing %s: not a regular file", place->shown);
        return -EACCES;
    }
    const int refused = safe_place_check(place, why, why_size);
    if (refused != 0) return refused;
    HANDLE h = ReOpenFile(place->system->w.final, GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (h == INVALID_HANDLE_VALUE) return -EACCES;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return -EMFILE;
    }
    *file = _fdopen(fd, "rb");
    if (*file == nullptr) {
        _close(fd);
        return -ENOMEM;
    }
    return 0;
}

int safe_place_write(struct safe_place *place, const void *data, size_t size,
                     const struct safe_place_file *file, struct safe_place_result *result,
                     char *why, size_t why_size)
{
    if (why_size > 0) why[0] = '\0';
    result->open_failed = true;
    result->finished = false;
    result->sync_error = 0;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (place->system->device) {
        return write_device(place->system->device_path, bytes, size, file, result);
    }
    old_security o;
    o.known = false;
    o.audit_privilege = false;
    o.audit = nullptr;
    const int status = replace_file(place, bytes, size, file, &o, result, why, why_size);
    release_security(&o);
    return status;
}
