// A main() for the benchmark programs that, after the usual report, prints
// the ratios between benchmarks measured in the same run:
//
//   ratio CachedSend/VirtualCall: 1.58 (3.9 ns / 2.5 ns; target at most 2.00: met)
//
// Each ratio divides the CPU time per iteration of one benchmark by another's
// (the median when the run has repetitions), or per item when a benchmark
// sets the counter "items_per_iteration" (several operations in each
// iteration). A ratio whose benchmarks did not both run (filtered out) is
// reported as not measured.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace benchsummary {

struct Ratio {
  std::string label;
  std::string numerator;    // full benchmark names, as the report prints them
  std::string denominator;  // (without the "_median" suffix)
  double atMost = 0;        // the target; 0 for none
};

// Forwards everything to the display reporter and keeps the CPU time per
// iteration of each benchmark, preferring the median of repetitions.
class RecordingReporter : public benchmark::BenchmarkReporter {
 public:
  explicit RecordingReporter(benchmark::BenchmarkReporter* display) : display_(display) {}

  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      double perIteration = run.cpu_accumulated_time / static_cast<double>(run.iterations);
      if (auto items = run.counters.find("items_per_iteration"); items != run.counters.end() && items->second > 0) {
        perIteration /= items->second;
      }
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") median_[name] = perIteration;
      } else {
        single_[name] = perIteration;
      }
    }
    display_->ReportRuns(runs);
  }

  void Finalize() override { display_->Finalize(); }

  // Seconds of CPU time per iteration (or per item).
  std::optional<double> secondsPerIteration(const std::string& name) const {
    if (auto it = median_.find(name); it != median_.end()) return it->second;
    if (auto it = single_.find(name); it != single_.end()) return it->second;
    return std::nullopt;
  }

 private:
  benchmark::BenchmarkReporter* display_;
  std::map<std::string, double> median_;
  std::map<std::string, double> single_;
};

inline std::string nanoseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
  return text;
}

inline void printRatios(const RecordingReporter& recorded, const std::vector<Ratio>& ratios) {
  std::printf("\n");
  for (const Ratio& r : ratios) {
    auto top = recorded.secondsPerIteration(r.numerator);
    auto bottom = recorded.secondsPerIteration(r.denominator);
    if (!top || !bottom || *bottom <= 0) {
      std::printf("ratio %s: not measured in this run\n", r.label.c_str());
      continue;
    }
    double value = *top / *bottom;
    std::string times = nanoseconds(*top) + " / " + nanoseconds(*bottom);
    if (r.atMost > 0) {
      std::printf("ratio %s: %.2f (%s; target at most %.2f: %s)\n", r.label.c_str(), value, times.c_str(), r.atMost,
                  value <= r.atMost ? "met" : "MISSED");
    } else {
      std::printf("ratio %s: %.2f (%s)\n", r.label.c_str(), value, times.c_str());
    }
  }
  std::fflush(stdout);
}

// The whole of main(): runs the registered benchmarks, then prints `ratios`.
inline int runAndSummarize(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::unique_ptr<benchmark::BenchmarkReporter> display(benchmark::CreateDefaultDisplayReporter());
  RecordingReporter recorder(display.get());
  benchmark::RunSpecifiedBenchmarks(&recorder);
  printRatios(recorder, ratios);
  benchmark::Shutdown();
  return 0;
}

}  // namespace benchsummary
