// SPDX-License-Identifier: MIT
// CI's performance gate in the benches: each check is said with its figure, and any breach
// fails the run. The bounds are far from the targets, so only gross regressions fail.
#pragma once

#include <cstdio>

class PerfGate {
public:
    void check(bool ok, const char *what, double value)
    {
        std::printf("gate %s: %s (%g)\n", ok ? "ok" : "FAILED", what, value);
        std::fflush(stdout);
        failures_ += ok ? 0 : 1;
    }
    int exitCode() const { return failures_ == 0 ? 0 : 1; }

private:
    int failures_ = 0;
};
