/* A build without the vector path: the path exists in name only and never
 * runs, so that the engine chooses among its paths the same way in every
 * build. */
#include "gost_r3411_2012_paths.h"

int gost_vector_available(void)
{
    return 0;
}

int gost_vector_prefers_lean(void)
{
    return 0;
}

const gost_path gost_vector_path = {"vector", NULL, NULL, NULL};
const gost_path gost_vector_lean_path = {"vector-lean", NULL, NULL, NULL};
