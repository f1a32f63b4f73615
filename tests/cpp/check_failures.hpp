// What a check found wrong: each failure is counted, the first ten are
// printed, and main returns non-zero when there were any.
#pragma once

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void fail(const std::string& what) {
    if (++failures <= 10) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

}  // namespace
