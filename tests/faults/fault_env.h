/* Runs a built program with the fault injector preloaded (fault_inject.cpp). */
#ifndef TESTS_FAULTS_FAULT_ENV_H
#define TESTS_FAULTS_FAULT_ENV_H

#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "run_process.h"

/* Adds the injector and its settings to o. The programs of a sanitizer build
 * carry their runtime as a shared library, which insists on coming first
 * among the loaded libraries; it is told the injector may precede it. */
inline void add_faults(ProcessOptions &o,
                       const std::vector<std::pair<std::string, std::string>> &settings)
{
    o.set_env.push_back({"LD_PRELOAD", FAULT_LIB});
#ifdef QV_SANITIZE
    const char *asan = getenv("ASAN_OPTIONS");
    o.set_env.push_back(
        {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"});
#endif
    o.set_env.insert(o.set_env.end(), settings.begin(), settings.end());
}

#endif
