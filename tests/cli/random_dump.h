// Random dumps for the console's differential tests: HPROF files shaped as a JDK writes them,
// for a Session to load.
#pragma once
#include <random>
#include <string>

#include "cli/args.h"

namespace clitest {

// A random dump: classes whose fields share a few names (so a subclass shadows its superclass's,
// and the dump gives both the same value), statics, objects, object arrays holding objects,
// arrays and primitive arrays with repeats, arrays of arrays, JNI globals, a thread whose frames
// hold objects. Every class has an int static "n", some an int field "count", for a test to give
// a handle's value.
std::string randomDump(std::mt19937& rng);

// The options that load `dump` with the library built beside the tests.
cli::GlobalOptions optionsFor(const std::string& dump);

}  // namespace clitest
