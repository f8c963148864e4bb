// `tavolin serve`: the heap the console would open, as web pages.
#pragma once
#include "cli/commands.h"

namespace web {

cli::Command serveCommand();

}  // namespace web
