// Running the console on Windows: CreateProcess with its standard streams on files. The
// console sits beside the test program (one folder holds every program of the build).
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "simvm/platform.h"
#include "tests/cli/console.h"

namespace clitest {
namespace {

std::string tempPath(const char* what) {
  static int counter = 0;
  char dir[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  return std::string(dir, n < sizeof dir ? n : 0) + "tavolin-cli-test-" +
         std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + "-" + what;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One argument as the C runtime's parser reads it back: quoted, with backslashes before a
// quote doubled.
std::string quoted(const std::string& arg) {
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      slashes++;
      continue;
    }
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}

HANDLE openInherited(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Outcome console(const std::vector<std::string>& args, const std::string& input) {
  const std::string in = tempPath("in"), out = tempPath("out"), err = tempPath("err");
  std::ofstream(in, std::ios::binary) << input;
  const std::string program = simvm::platform::exeDir() + "\\tavolin.exe";
  std::string line = quoted(program);
  for (const std::string& a : args) line += " " + quoted(a);

  Outcome run;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = openInherited(in, false);
  si.hStdOutput = openInherited(out, true);
  si.hStdError = openInherited(err, true);
  PROCESS_INFORMATION pi{};
  if (CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                     &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    run.status = static_cast<int>(code & 0xFF);  // as a POSIX exit status reads it
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  run.out = slurp(out);
  run.err = slurp(err);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

}  // namespace clitest
