#pragma once

// Console output as usual, and the time per iteration of every run kept for the ratio tables
// printed after the runs. Colours only on a terminal, so logs and pipes stay plain text.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

class BenchRatioReporter : public benchmark::ConsoleReporter {
public:
    enum class Measure { RealTime, CpuTime };

    explicit BenchRatioReporter(Measure measure = Measure::RealTime)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular), m_measure(measure) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_times[run.benchmark_name()].push_back(
                    m_measure == Measure::CpuTime ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime());
    }

    // The median over repetitions; 0 when the benchmark did not run.
    double time(const std::string &name) const {
        const auto it = m_times.find(name);
        if (it == m_times.end()) return 0;
        std::vector<double> times = it->second;
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    }

private:
    const Measure m_measure;
    std::map<std::string, std::vector<double>> m_times;
};
