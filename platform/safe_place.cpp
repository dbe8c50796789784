#include <stdio.h>
#include <string.h>

#include "safe_place.h"
#include "safe_place_system.h"

namespace {

const char TEMP_INFIX[] = ".tmp-";
const size_t TEMP_RANDOM = 6;

} // namespace

int safe_place_temp_name(char *temp, size_t size, const char *target, uint64_t bits)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char tail[TEMP_RANDOM + 1];
    for (size_t i = 0; i < TEMP_RANDOM; i++) {
        tail[i] = letters[bits % 62];
        bits /= 62;
    }
    tail[TEMP_RANDOM] = '\0';
    const int n = snprintf(temp, size, ".%s%s%s", target, TEMP_INFIX, tail);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

bool safe_place_is_temp_name(const char *name, const char *target)
{
    const size_t target_length = strlen(target);
    const size_t infix = sizeof TEMP_INFIX - 1;
    return name[0] == '.' && strncmp(name + 1, target, target_length) == 0 &&
           strncmp(name + 1 + target_length, TEMP_INFIX, infix) == 0 &&
           strlen(name + 1 + target_length + infix) == TEMP_RANDOM;
}
