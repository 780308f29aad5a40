// A console reporter that also prints ratios between the rows of one run: rows are named
// "operation/document/implementation", and each row of another implementation is set against the
// row of `subject` with the same operation and document. A row's time is the median of its
// repetitions' CPU times (the "median" aggregate when only aggregates are reported), so the ratios
// come from the same run and the same load.
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class krv_ratio_reporter : public benchmark::ConsoleReporter {
 public:
  explicit krv_ratio_reporter(std::string subject) : subject_(std::move(subject)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration) times_[name].push_back(run.GetAdjustedCPUTime());
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians_[name] = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nratios of %s (CPU time, medians):\n", subject_.c_str());
    const std::map<std::string, double> rows = row_times();
    for (const auto& [name, time] : rows) {
      const size_t slash = name.rfind('/');
      if (slash == std::string::npos || name.compare(slash + 1, std::string::npos, subject_) == 0) continue;
      const auto subject = rows.find(name.substr(0, slash + 1) + subject_);
      if (subject == rows.end()) continue;
      std::printf("  %-40s %8.2fx\n", (name.substr(0, slash) + " against " + name.substr(slash + 1)).c_str(),
                  subject->second / time);
    }
  }

 private:
  std::map<std::string, double> row_times() const {
    std::map<std::string, double> rows = medians_;
    for (auto [name, times] : times_) {
      std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2), times.end());
      rows.try_emplace(name, times[times.size() / 2]);
    }
    return rows;
  }

  std::string subject_;
  std::map<std::string, std::vector<double>> times_;  // each row's repetitions
  std::map<std::string, double> medians_;             // each row's median aggregate, when reported
};
