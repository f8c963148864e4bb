#include "cli/fuzz/console_context.h"

namespace fuzzing {

cli::Context& consoleContext() {
  static cli::Context ctx{cli::GlobalOptions{}};
  return ctx;
}

}  // namespace fuzzing
