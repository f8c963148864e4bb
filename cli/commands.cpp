#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "cli/query_commands.h"

namespace cli {

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {
          .name = "classes",
          .synopsis = "classes [PREFIX] [--superclasses] [--by-count]",
          .summary = "census: live instances and object arrays of each class",
          .details = R"(Counts, for every class whose name begins with PREFIX (slash or dot form; empty: all),
its live instances (kind C) and the live object arrays whose element class it is
(kind A). The handle is the class's own handle.
  --superclasses  also count every object once for each class above its own
  --by-count      largest count first (default: by class name)
--raw writes the report stream: the record count, NUL, then one NUL-terminated
record per class: "C <handle> <class> <count>".
)",
          .flags = {"--superclasses", "--by-count"},
          .minArgs = 0,
          .maxArgs = 1,
          .run = runClasses,
      },
      {
          .name = "instances",
          .synopsis = "instances CLASS [--subclasses] [--arrays]",
          .summary = "every instance of one class",
          .details = R"(Lists the live instances of CLASS in handle order, or with --arrays the object arrays
whose element class is CLASS.
  --subclasses  include instances of its subclasses (then sorted by class name)
  --arrays      list object arrays instead of instances
--raw writes the report stream; records are "I <handle> <class>" (C for class
objects, A for arrays).
)",
          .flags = {"--subclasses", "--arrays"},
          .minArgs = 1,
          .maxArgs = 1,
          .run = runInstances,
      },
      {
          .name = "class-info",
          .synopsis = "class-info CLASS",
          .summary = "one line describing a class",
          .details = R"(Describes a class: its descriptor address, second name (the source file), the number
of fields it declares, its instance size, method and interface counts, and whether it
is abstract. --raw writes the library's text: "CLASS <name> <descriptor> <second name>
<fields> <size> <methods> <interfaces> <abstract>" and a newline.
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .run = runClassInfo,
      },
      {
          .name = "info",
          .synopsis = "info HANDLE",
          .summary = "one line describing an object or object array",
          .details = R"(Describes an object (its class, body address and what its toString returns) or an
object array (element class, body address, length). With --heap it also shows the
object's id in the dump. --raw writes the library's text: "OBJECT <handle> <class>
<body> <toString>" or "ARRAY <handle> <class> <body> <length>" and a newline.
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .run = runInfo,
      },
      {
          .name = "refs",
          .synopsis = "refs HANDLE",
          .summary = "what one object refers to",
          .details = R"(Lists the objects HANDLE refers to and how: through a field, a static field (when
HANDLE is a class), an element index (when it is an object array, in index order), or
a local variable of one of its frames (when it is a thread other than the caller).
Null references, primitive arrays and arrays of arrays held in fields are left out.
--raw writes the report stream: "<kind> <handle> <class> <field|method()|index>".
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .run = runReferences,
      },
      {
          .name = "referrers",
          .synopsis = "referrers HANDLE",
          .summary = "what refers to one object",
          .details = R"(Lists the classes (through static fields), objects (through fields), object arrays
(through elements) and threads (through local variables) that refer to HANDLE, one
row per field, element or stack slot. The calling thread's own stack is not scanned.
--raw writes the report stream: "<kind> <holder> <class> <field|method()|index>".
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .run = runReferrers,
      },
      {
          .name = "path",
          .synopsis = "path HANDLE [--max-nodes N]",
          .summary = "why an object is alive: a chain from a root",
          .details = R"(Searches backwards from HANDLE, level by level, for a root: a class holding the chain
in a static field, or a thread (other than the caller) holding it in a local variable.
Prints the chain from the root down, each row saying how the row above holds it.
References to java.lang.ref.Reference objects (weak, soft, phantom) are not followed.
  --max-nodes N  give up after N nodes (default 100000)
Exit status 1 when no path is found. --raw writes the handles of the chain, root first,
one signed decimal per line, or the library's message ("Search Failed", "Exceeded
maximum nodes") and a newline.
)",
          .flags = {},
          .takesMaxNodes = true,
          .minArgs = 1,
          .maxArgs = 1,
          .run = runPath,
      },
      {
          .name = "usage",
          .synopsis = "usage [PREFIX]",
          .summary = "memory held by the instances of each class",
          .details = R"(For every class whose name begins with PREFIX: the number of live instances and the
bytes they take, each charged its instance size plus the arrays its fields refer to
(each array charged once, to the first instance met). Largest first.
--raw writes the report stream: the count, NUL, then "<class> <instances> <bytes>"
records, each ending in NUL.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 1,
          .run = runUsage,
      },
      {
          .name = "missing",
          .synopsis = "missing",
          .summary = "references to objects missing from the dump",
          .details = R"(Lists each reference of a loaded dump to an id the dump does not contain: the referrer's
dump id and class, the field (or array index, static, or root kind) and the missing id.
Loading makes such references null. A JDK dump has some: see the README.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .run = runMissing,
      },
      {
          .name = "demo",
          .synopsis = "demo",
          .summary = "a guided tour of all eight queries on the demo heap",
          .details = R"(Runs each query on the built-in demo heap, with a line of explanation before each,
and ends by showing why a leaked session is still alive.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .run = runDemo,
      },
      {
          .name = "shell",
          .synopsis = "shell",
          .summary = "the same commands, interactively",
          .details = R"(Reads commands line by line (with line editing and history on a terminal). The rows
of the last result can be named $1, $2, ... wherever a handle or class is expected,
so that census -> instances -> referrers -> path needs no copying of numbers.
'help' lists the commands; 'quit' or 'exit' (or end of input) leaves.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .run = runShell,
      },
  };
  return table;
}

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

void printToolHelp(std::ostream& out) {
  out << "tavolin - browse a Java heap with libTavolin2\n"
         "\n"
         "usage: tavolin [--heap FILE] [--lib DIR] [--raw|--json] COMMAND [ARGS]\n"
         "       tavolin help COMMAND    (or: tavolin COMMAND --help)\n"
         "\n"
         "Without --heap the commands run on a built-in demo heap: a small web shop that leaks\n"
         "sessions. Try: tavolin demo\n"
         "\n"
         "commands:\n";
  size_t w = 0;
  for (const Command& c : commands()) w = std::max(w, std::string(c.synopsis).size());
  for (const Command& c : commands())
    out << "  " << c.synopsis << std::string(w - std::string(c.synopsis).size() + 2, ' ')
        << c.summary << '\n';
  out << "\n"
         "options:\n"
         "  --heap FILE  load an HPROF heap dump (.hprof or .hprof.gz) instead of the demo heap\n"
         "  --lib DIR    the folder holding libTavolin2.so (default: the build tree, then ../lib\n"
         "               beside the tavolin program)\n"
         "  --raw        write what the library produced, byte for byte\n"
         "  --json       write one JSON array of records\n"
         "  --high       place the heap at or above 2 GB (decimal handles then print negative)\n"
         "  --version    print the version\n"
         "\n"
         "arguments:\n"
         "  HANDLE  123, -123 or 0x7b; @<id> (hex) for an object of a loaded dump;\n"
         "          $N for row N of the last result (in the shell); or a class name, for the\n"
         "          class itself (refs com.acme.shop.SessionCache lists its static references)\n"
         "  CLASS   a class name in slash or dot form (com/acme/shop/Session, "
         "com.acme.shop.Session,\n"
         "          int[]), or a HANDLE\n"
         "\n"
         "exit status: 0 done; 1 the query answered with a failure, or the command could not run;\n"
         "2 the command line is wrong.\n";
}

void printCommandHelp(std::ostream& out, const Command& cmd) {
  out << "usage: tavolin [--heap FILE] [--raw|--json] " << cmd.synopsis << "\n\n"
      << static_cast<char>(std::toupper(static_cast<unsigned char>(cmd.summary[0])))
      << (cmd.summary + 1) << ".\n\n"
      << cmd.details;
}

void reportError(const std::string& what) {
  std::cout.flush();
  std::fprintf(stderr, "tavolin: error: %s\n", what.c_str());
}

namespace {

constexpr std::string_view kMaxNodesOption = "--max-nodes";

// The value of "--max-nodes=N" or of the word after "--max-nodes"; i moves past what it took.
std::string maxNodesValue(const std::vector<std::string>& words, size_t& i) {
  const std::string& w = words[i];
  if (w.size() > kMaxNodesOption.size()) {
    const std::string value = w.substr(kMaxNodesOption.size() + 1);  // after the '='
    if (value.empty()) throw UsageError("--max-nodes needs a number");
    return value;
  }
  if (i + 1 >= words.size()) throw UsageError("--max-nodes needs a number");
  return words[++i];
}

bool isMaxNodesOption(const std::string& w) {
  return w.compare(0, kMaxNodesOption.size(), kMaxNodesOption) == 0 &&
         (w.size() == kMaxNodesOption.size() || w[kMaxNodesOption.size()] == '=');
}

Invocation parseInvocation(const Command& cmd, const std::vector<std::string>& words,
                           OutputMode mode) {
  Invocation inv;
  inv.output = mode;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (!isOptionWord(w)) {
      inv.args.push_back(w);
    } else if (w == "--help" || w == "-h") {
      inv.help = true;
    } else if (w == "--raw") {
      inv.output = OutputMode::Raw;
    } else if (w == "--json") {
      inv.output = OutputMode::Json;
    } else if (cmd.takesMaxNodes && isMaxNodesOption(w)) {
      inv.maxNodes = maxNodesValue(words, i);
    } else if (std::find_if(cmd.flags.begin(), cmd.flags.end(),
                            [&](const char* f) { return w == f; }) != cmd.flags.end()) {
      inv.flags.insert(w);
    } else {
      throw UsageError("unknown option '" + w + "' for " + cmd.name + " (see tavolin help " +
                       cmd.name + ")");
    }
  }
  if (inv.help) return inv;
  if (inv.args.size() < cmd.minArgs || inv.args.size() > cmd.maxArgs)
    throw UsageError(std::string(inv.args.size() < cmd.minArgs ? "too few" : "too many") +
                     " arguments: usage: tavolin " + cmd.synopsis);
  return inv;
}

}  // namespace

int runWords(Context& ctx, const std::vector<std::string>& words, OutputMode mode,
             std::ostream& out) {
  if (words.empty()) throw UsageError("no command given (see tavolin --help)");
  if (words[0] == "help") {
    if (words.size() == 1) {
      printToolHelp(out);
      return 0;
    }
    if (words.size() > 2) throw UsageError("usage: tavolin help [COMMAND]");
    const Command* cmd = findCommand(words[1]);
    if (!cmd) throw UsageError("unknown command '" + words[1] + "' (see tavolin --help)");
    printCommandHelp(out, *cmd);
    return 0;
  }
  const Command* cmd = findCommand(words[0]);
  if (!cmd) throw UsageError("unknown command '" + words[0] + "' (see tavolin --help)");
  const Invocation inv = parseInvocation(*cmd, words, mode);
  if (inv.help) {
    printCommandHelp(out, *cmd);
    return 0;
  }
  if (cmd->run == runShell) return cmd->run(ctx, inv, out);
  // What the command allocates in the VM for its calls is given back after it, so that long
  // sessions do not fill the handle table or the arena.
  simvm::VmScope scope(ctx.session().vm());
  return cmd->run(ctx, inv, out);
}

}  // namespace cli
