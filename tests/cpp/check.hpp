// Counting checks for the kernel test programs: a failed check prints its
// place and condition (the first 50 of them) and the run goes on.
#pragma once

#include <cstdio>

namespace {

int failures = 0;
int checks = 0;

#define CHECK(cond)                                                                         \
    do {                                                                                    \
        ++checks;                                                                           \
        if (!(cond)) {                                                                      \
            ++failures;                                                                     \
            if (failures <= 50) std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                                   \
    } while (0)

#define CHECK_MSG(cond, ...)                                                \
    do {                                                                    \
        ++checks;                                                           \
        if (!(cond)) {                                                      \
            ++failures;                                                     \
            if (failures <= 50) {                                           \
                std::printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
                std::printf(__VA_ARGS__);                                   \
                std::printf("\n");                                          \
            }                                                               \
        }                                                                   \
    } while (0)

}  // namespace
