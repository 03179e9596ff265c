// Google Benchmark's console table, keeping each benchmark's median for the ratios
// that a benchmark program prints at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

/// @brief Keys are "<function>/threads:<n>", e.g. "BM_RunInference1080p/threads:1".
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                const std::string key =
                    run.run_name.function_name + "/threads:" + std::to_string(run.threads);
                medianMs[key] = run.GetAdjustedRealTime();
                const auto items = run.counters.find("items_per_second");
                if (items != run.counters.end()) {
                    itemsPerSecond[key] = items->second.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medianMs;        ///< real time in the benchmark's unit
    std::map<std::string, double> itemsPerSecond;  ///< where the benchmark counts items
};
