// Running the JDK's tools from tests and benchmarks: finding them, running a command to its
// end, and a Java program in the background that says when it is ready.
#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace hproftest {

inline std::string findTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// Runs a command to the end; its standard output and error, and whether it exited 0.
inline std::pair<bool, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return {false, "cannot run " + command};
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return {pclose(p) == 0, out};
}

// A Java program running in the background; killed (it is ours, by its pid) when this goes away.
struct JavaProcess {
  pid_t pid = -1;
  int out = -1;
  ~JavaProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  // Starts java with the arguments, its standard output piped to us.
  bool start(const std::string& java, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(java.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      execv(java.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    return pid > 0;
  }
  // Waits for the line the program prints when its heap is in place.
  bool waitReady(int seconds) {
    std::string seen;
    pollfd p{out, POLLIN, 0};
    while (seen.find("ready\n") == std::string::npos) {
      if (poll(&p, 1, seconds * 1000) <= 0) return false;
      char buf[256];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
};

}  // namespace hproftest
