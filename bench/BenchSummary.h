#pragma once

// One line per measured path for the table that scripts/bench prints after every benchmark:
// the path, our figure, the baseline's figure from the same run, their ratio and the goal.
// `ratio` is ours over the baseline (a time: lower is better; a rate: higher is better).
#include <cstdio>
#include <string>

inline void benchSummary(const std::string &path, double ours, double baseline, const char *unit,
                         double ratio, const char *goal = "") {
    std::printf("@summary\t%s\t%.4g %s\t%.4g %s\t%.3f\t%s\n", path.c_str(), ours, unit, baseline, unit, ratio,
                goal);
    std::fflush(stdout);
}
