// A console reporter that keeps, for each benchmark, the least real time of its repetitions, for a
// program's own summary after the table (its Finalize). The least time, not the median: on a shared
// machine interference only ever adds time, so the fastest repetition is the one nearest the code's own.
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

class krv_fastest_run_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      auto [it, fresh] = fastest_.try_emplace(run.run_name.function_name, run.GetAdjustedRealTime());
      if (!fresh) it->second = std::min(it->second, run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

 protected:
  // The fastest repetition of the benchmark `name` (its function name), in its time unit; 0 when it did
  // not run.
  double fastest(const std::string& name) const {
    const auto it = fastest_.find(name);
    return it == fastest_.end() ? 0 : it->second;
  }
  const std::map<std::string, double>& fastest_runs() const { return fastest_; }

 private:
  std::map<std::string, double> fastest_;  // function name -> least real time of its repetitions
};
