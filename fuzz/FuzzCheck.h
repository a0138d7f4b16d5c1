#pragma once

#include <cstdlib>

// A property the target checks: when it fails the fuzzer stops and keeps the input.
inline void Check(bool condition) {
    if (!condition)
        std::abort();
}
