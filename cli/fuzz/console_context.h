// The console's context on the demo heap, made once per process for the fuzzing entries: the
// commands give back what they allocate in the VM, so the heap stays as it was built.
#pragma once
#include "cli/commands.h"

namespace fuzzing {

cli::Context& consoleContext();

}  // namespace fuzzing
