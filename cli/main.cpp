// tavolin: a console that plays the Java caller's part for libTavolin2 on a stand-in VM.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "cli/args.h"
#include "cli/commands.h"
#if defined(TAVOLIN_HAVE_WEB)
#include "web/serve.h"
#endif

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#ifndef TAVOLIN_VERSION
#define TAVOLIN_VERSION "unknown"
#endif

namespace {

// Standard output could not take everything (a full disk, a closed pipe): the command failed.
// `reason` is the system's word for the failure when the last write gave one; a write that
// failed earlier, while the command ran, has had its errno overwritten since.
bool outputLost(std::string& reason) {
  errno = 0;
  std::cout.flush();
  if (errno != 0) reason = std::strerror(errno);
  errno = 0;
  const bool flushFailed = std::fflush(stdout) != 0;
  if (flushFailed && errno != 0) reason = std::strerror(errno);
  return !std::cout || flushFailed || std::ferror(stdout);
}

int finish(int status) {
  std::string reason;
  if (!outputLost(reason)) return status;
  cli::reportError("cannot write the output: " +
                   (reason.empty() ? std::string("standard output refused it (a full disk or "
                                                 "device, or a reader that went away)")
                                   : reason));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<cli::Context> ctx;
#if defined(TAVOLIN_HAVE_WEB)
  cli::registerCommand(web::serveCommand());
#endif
#if defined(_WIN32)
  // --raw writes the library's bytes as they came: no "\n" turned into "\r\n" on the way.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  try {
    const cli::GlobalOptions options =
        cli::parseGlobalOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.version) {
      std::cout << "tavolin " TAVOLIN_VERSION "\n";
      return finish(0);
    }
    if (options.help && options.words.empty()) {
      cli::printToolHelp(std::cout);
      return finish(0);
    }
    if (options.words.empty()) {
      cli::printToolHelp(std::cerr);
      return 2;
    }
    ctx.emplace(options);
    std::vector<std::string> words = options.words;
    if (options.help) words.insert(words.begin(), "help");  // tavolin --help COMMAND
    return finish(cli::runWords(*ctx, words, options.output, std::cout));
  } catch (const cli::UsageError& e) {
    if (ctx)
      cli::reportFailure(*ctx, e.what(), std::cout);
    else
      cli::reportError(e.what());
    return 2;
  } catch (const cli::CliError& e) {
    if (ctx)
      cli::reportFailure(*ctx, e.what(), std::cout);
    else
      cli::reportError(e.what());
    return finish(cli::exitStatusOf(e));
  } catch (const std::exception& e) {
    if (ctx)
      cli::reportFailure(*ctx, e.what(), std::cout);
    else
      cli::reportError(e.what());
    return 1;
  } catch (...) {
    cli::reportError("unexpected failure");
    return 1;
  }
}
