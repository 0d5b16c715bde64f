#include "sim/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace orvelsim {

namespace {

[[noreturn]] void systemError(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Closes its descriptor when it goes.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int f) : fd(f) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

void makePipe(Descriptor& read, Descriptor& write) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) systemError("cannot make a pipe");
  read.fd = fds[0];
  write.fd = fds[1];
}

}  // namespace

std::string selfExecutable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running program: " + ec.message());
  return path.string();
}

std::vector<std::string> childArguments(const std::vector<std::string>& arguments, const std::string& version) {
  // What chooses versions and shapes the output is the parent's.
  static const std::vector<std::string> withValue{"--os", "--html", "--color", "--only", "--hide"};
  static const std::vector<std::string> flags{"--json", "--wide", "--verbose"};
  std::vector<std::string> out;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (std::find(withValue.begin(), withValue.end(), a) != withValue.end()) {
      ++i;  // and its value
      continue;
    }
    bool joined = std::any_of(withValue.begin(), withValue.end(),
                              [&](const std::string& option) { return a.starts_with(option + "="); });
    if (joined || std::find(flags.begin(), flags.end(), a) != flags.end()) continue;
    out.push_back(a);
  }
  out.insert(out.end(), {"--os", version, "--json"});
  return out;
}

ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::string& version, const std::string& input,
                     const std::function<void(const std::string& line)>& onLine) {
  Descriptor stdinRead, stdinWrite, stdoutRead, stdoutWrite;
  makePipe(stdinRead, stdinWrite);
  makePipe(stdoutRead, stdoutWrite);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdinRead.fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stdoutWrite.fd, STDOUT_FILENO);

  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("ORVEL_SYSTEM_VERSION=") || entry.starts_with(std::string(kChildMarker) + "=")) continue;
    environment.emplace_back(entry);
  }
  environment.push_back("ORVEL_SYSTEM_VERSION=" + version);
  environment.push_back(std::string(kChildMarker) + "=1");

  std::vector<char*> argv{const_cast<char*>(executable.c_str())};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    errno = spawned;
    systemError("cannot start " + executable);
  }
  stdinRead.close();
  stdoutWrite.close();

  // The child may write before it has read everything; feed it from a
  // thread of its own so that neither side waits for the other.
  int feed = std::exchange(stdinWrite.fd, -1);
  std::thread feeder([fd = feed, &input] {
    // A child that exits early must not kill us with SIGPIPE.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    size_t written = 0;
    while (written < input.size()) {
      ssize_t n = ::write(fd, input.data() + written, input.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    ::close(fd);  // the end of the input
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  });

  // Whatever happens while the output is read (`onLine` may throw), the
  // child is ended and waited for and the feeder joined before this returns.
  try {
    std::string pending;
    char buffer[8192];
    for (;;) {
      ssize_t n = ::read(stdoutRead.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        onLine(pending.substr(start, nl - start));
      }
      pending.erase(0, start);
    }
    if (!pending.empty()) onLine(pending);
  } catch (...) {
    ::kill(pid, SIGKILL);  // its standard input closes with it, which ends the feeder
    stdoutRead.close();
    feeder.join();
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw;
  }
  feeder.join();

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) systemError("cannot wait for the run on system " + version);
  }
  ChildResult result;
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else {
    result.exitStatus = 1;
    result.problem = WIFSIGNALED(status) ? std::string("it was ended by signal ") + strsignal(WTERMSIG(status))
                                         : "it ended abnormally";
  }
  return result;
}

}  // namespace orvelsim
