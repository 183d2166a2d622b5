#pragma once
// How a fuzz target reports a broken property: it names the property and
// aborts, which libFuzzer records as a crash and saves the input for.

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzPropertyBroken(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
    std::abort();
}

#define FUZZ_CHECK(property) ((property) ? static_cast<void>(0) : FuzzPropertyBroken(#property, __FILE__, __LINE__))
