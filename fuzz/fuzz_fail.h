// A fuzz target's check that failed: said with the target's name, then a
// crash, so that libFuzzer keeps the input that led to it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}
