// tavolin: a console that plays the Java caller's part for libTavolin2 on a stand-in VM.
#include <cstdio>
#include <exception>
#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"

#ifndef TAVOLIN_VERSION
#define TAVOLIN_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  try {
    const cli::GlobalOptions options =
        cli::parseGlobalOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.version) {
      std::cout << "tavolin " TAVOLIN_VERSION "\n";
      return 0;
    }
    if (options.help) {
      cli::printToolHelp(std::cout);
      return 0;
    }
    if (options.words.empty()) {
      cli::printToolHelp(std::cerr);
      return 2;
    }
    cli::Context ctx(options);
    const int status = cli::runWords(ctx, options.words, options.output, std::cout);
    std::cout.flush();
    return status;
  } catch (const cli::UsageError& e) {
    cli::reportError(e.what());
    return 2;
  } catch (const std::exception& e) {
    cli::reportError(e.what());
    return 1;
  } catch (...) {
    cli::reportError("unexpected failure");
    return 1;
  }
}
