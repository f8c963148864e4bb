// Running the console on Linux: posix_spawn with its standard streams on files or a pipe, and
// a pseudo-terminal for what a person at a keyboard does.
#include "tests/cli/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <cstdio>
#include <fstream>
#include <sstream>

extern char** environ;

namespace clitest {
namespace {

std::string tempPath(const char* what) {
  static int counter = 0;
  return "/tmp/tavolin-cli-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) +
         "-" + what;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `program` with argv `argvText` (argv[0] included).
Outcome spawn(const std::string& program, std::vector<std::string> argvText,
              const std::string& input) {
  const std::string in = tempPath("in"), out = tempPath("out"), err = tempPath("err");
  std::ofstream(in, std::ios::binary) << input;

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  Outcome run;
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&files);
  run.out = slurp(out);
  run.err = slurp(err);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

}  // namespace

Outcome console(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv{TAVOLIN_CONSOLE};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(TAVOLIN_CONSOLE, argv, input);
}

Outcome consoleInterrupted(const std::vector<std::string>& args, const std::string& before,
                           const std::string& shown, const std::string& after) {
  const std::string out = tempPath("out"), err = tempPath("err");
  int input[2];
  if (pipe(input) != 0) return {};
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, input[0], 0);
  posix_spawn_file_actions_addclose(&files, input[1]);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> argvText{TAVOLIN_CONSOLE};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  Outcome run;
  pid_t pid = 0;
  const bool started =
      posix_spawn(&pid, TAVOLIN_CONSOLE, &files, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  close(input[0]);
  if (started) {
    auto send = [&](const std::string& text) {
      if (write(input[1], text.data(), text.size()) != ssize_t(text.size())) return;
    };
    send(before);
    for (int waited = 0; waited < 1000 && slurp(out).find(shown) == std::string::npos; ++waited)
      usleep(10000);  // up to 10 s for the first output
    usleep(50000);    // and for the shell to wait at its next read
    kill(pid, SIGINT);
    usleep(50000);
    send(after);
    close(input[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    close(input[1]);
  }
  run.out = slurp(out);
  run.err = slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

Terminal::Terminal(const std::vector<std::string>& args) {
  std::vector<std::string> argvText{TAVOLIN_CONSOLE};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
  if (pid_ == 0) {
    setenv("HOME", "/nonexistent", 1);  // no history file read or written
    execv(TAVOLIN_CONSOLE, argv.data());
    _exit(127);
  }
}

Terminal::~Terminal() {
  if (pid_ > 0) wait();
  if (fd_ >= 0) close(fd_);
}

void Terminal::type(const std::string& keys) {
  if (write(fd_, keys.data(), keys.size()) != ssize_t(keys.size())) return;
}

std::string Terminal::readUntil(const std::string& text) {
  // Up to 30 s: the console may start slowly while other test programs keep the cores busy.
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  return seen;
}

int Terminal::wait() {
  int status = 0;
  if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Outcome shellCommand(const std::string& command) {
  std::string dir = TAVOLIN_CONSOLE;
  dir.resize(dir.rfind('/'));
  return spawn("/bin/sh", {"sh", "-c", "PATH='" + dir + "':$PATH; { " + command + "; } 2>&1"}, "");
}

}  // namespace clitest
