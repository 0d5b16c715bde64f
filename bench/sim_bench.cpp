// orvel-sim on a long scenario, as a user runs it: a separate process that
// reads a scenario of 100,000 pushes (the test suite's short run,
// ORVEL_BENCH_QUICK, makes 1,000) and writes its records as JSON Lines.
// Each iteration is one whole run; the counters are the records it wrote,
// records per second of wall time and of the child's own processor time
// (the machines we share run other work beside), and the child's peak
// resident memory.
//
// The scenario: the sample host launched (its token is the first event) and
// sent to the background, then pushes of a visible payload that also asks
// for background work (the application woken each time), the user clearing
// what is shown every 100 pushes, and an expectation every 1,000.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

int pushCount() { return std::getenv("ORVEL_BENCH_QUICK") ? 1000 : 100000; }

std::filesystem::path writeScenario(int pushes) {
  auto path = std::filesystem::temp_directory_path() / ("orvel-sim-bench-" + std::to_string(::getpid()) + ".json");
  std::ofstream out(path);
  out << R"({"steps": [{"launch": {}}, {"expect": {"events": 1}}, {"state": "background"})";
  for (int i = 1; i <= pushes; ++i) {
    out << R"(, {"push": {"aps": {"alert": {"title": "Order )" << i
        << R"(", "body": "Your parcel is on its way"}, "badge": 1, "content-available": 1}, "order": )" << i << "}}";
    if (i % 100 == 0) out << R"(, {"clearNoticeBar": null})";
    if (i % 1000 == 0) out << R"(, {"expect": {"events": 1000, "faults": 0}})";
  }
  out << "]}\n";
  return path;
}

struct ChildRun {
  int status = -1;
  long long records = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  double peakMiB = 0;
};

// Runs orvel-sim with `arguments`, counting the lines it writes.
ChildRun runSim(const std::vector<std::string>& arguments) {
  ChildRun run;
#ifdef ORVEL_SIM_EXECUTABLE
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<char*> argv{const_cast<char*>(ORVEL_SIM_EXECUTABLE)};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, ORVEL_SIM_EXECUTABLE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return run;
  }
  char buffer[1 << 16];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) continue;  // interrupted
    for (ssize_t i = 0; i < n; ++i) run.records += buffer[i] == '\n';
  }
  ::close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;  // reported in KiB
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
#else
  (void)arguments;
#endif
  return run;
}

void BM_SimRunPushes(benchmark::State& state) {
  const int pushes = pushCount();
  const std::filesystem::path scenario = writeScenario(pushes);
  ChildRun last;
  for (auto _ : state) {
    last = runSim({"run", scenario.string(), "--json"});
    if (last.status != 0) {
      state.SkipWithError("orvel-sim did not run the scenario green");
      break;
    }
  }
  std::filesystem::remove(scenario);
  state.counters["pushes"] = pushes;
  state.counters["records"] = static_cast<double>(last.records);
  state.counters["records_per_second"] = last.seconds > 0 ? static_cast<double>(last.records) / last.seconds : 0;
  state.counters["records_per_cpu_second"] =
      last.cpuSeconds > 0 ? static_cast<double>(last.records) / last.cpuSeconds : 0;
  state.counters["peak_rss_mib"] = last.peakMiB;
}
BENCHMARK(BM_SimRunPushes)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
