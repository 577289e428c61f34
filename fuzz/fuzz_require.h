// The fuzz targets' check: a broken invariant prints where it broke and traps.
#pragma once

#include <cstdio>

namespace km::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    __builtin_trap();
}

}  // namespace km::fuzz

#define REQUIRE(condition)                                                   \
    do {                                                                     \
        if (!(condition)) ::km::fuzz::Fail(__FILE__, __LINE__, #condition); \
    } while (0)
