#include "safe_read.h"

FILE *safe_read_open(const char *path, char *why, size_t why_size)
{
    if (why != nullptr && why_size > 0) why[0] = '\0';
    return fopen(path, "rb");
}
