#include "safe_read.h"

#include <errno.h>

#include "safe_place.h"

FILE *safe_read_open(const char *path, char *why, size_t why_size)
{
    struct safe_place place;
    int status = safe_place_resolve(path, 0, &place, why, why_size);
    FILE *file = nullptr;
    if (status == 0) {
        status = safe_place_open_read(&place, &file, why, why_size);
        safe_place_release(&place);
    }
    if (status != 0) errno = -status;
    return file;
}
