// Running programs from the tests: orvel-sim as a user runs it, and other
// programs (a browser) the same way, each with its output in files of a
// scratch directory of this test process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/JsonTree.h"

extern char** environ;

namespace orvelsim {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<Json> records() const {
    std::vector<Json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) lines.push_back(Json::parse(line));
    }
    return lines;
  }
};

inline std::filesystem::path scratch() {
  static std::filesystem::path dir = [] {
    std::filesystem::path d =
        std::filesystem::temp_directory_path() / ("orvel-sim-tool-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::filesystem::path writeFile(const std::string& name, const std::string& content) {
  std::filesystem::path p = scratch() / name;
  std::ofstream(p) << content;
  return p;
}

// Runs `program` with `args`, `input` on its standard input, and the
// environment without ORVEL_ variables, plus `environment` ("NAME=value").
inline Result spawnProgram(const std::string& program, std::vector<std::string> args, const std::string& input = "",
                           const std::vector<std::string>& environment = {}) {
  static int runs = 0;
  std::string id = std::to_string(++runs);
  std::filesystem::path in = writeFile("in" + id, input), out = scratch() / ("out" + id),
                        err = scratch() / ("err" + id);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (!std::string_view(*e).starts_with("ORVEL_")) env.emplace_back(*e);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  Result r;
  if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// Runs orvel-sim with `args`, the system version `version` in force at load
// (none: the default), and `input` on its standard input.
inline Result sim(std::vector<std::string> args, const std::string& version = "", const std::string& input = "",
                  std::vector<std::string> environment = {}) {
  if (!version.empty()) environment.push_back("ORVEL_SYSTEM_VERSION=" + version);
  return spawnProgram(ORVEL_SIM_EXECUTABLE, std::move(args), input, environment);
}

// Headless Chromium's reading of `url`: the DOM once loaded, or with
// `screenshot` a picture of the page written there.
class Browser {
 public:
  static bool available() { return spawnProgram("chromium", {"--version"}).status == 0; }

  // Ended after a minute, should it not end by itself.
  static Result run(const std::string& url, std::vector<std::string> options) {
    static int profiles = 0;
    std::vector<std::string> args{
        "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--user-data-dir=" + (scratch() / ("chromium-" + std::to_string(++profiles))).string()};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    args.insert(args.begin(), {"60", "chromium"});
    return spawnProgram("timeout", args);
  }
  static std::string dom(const std::string& url, std::vector<std::string> options = {}) {
    options.push_back("--dump-dom");
    return run(url, options).out;
  }
};

#define SKIP_WITHOUT_CHROMIUM()                                                                     \
  if (!Browser::available())                                                                        \
  GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it): the page is not read " \
                  "in a browser here"

}  // namespace orvelsim
