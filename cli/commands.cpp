#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "cli/dominator_commands.h"
#include "cli/format.h"
#include "cli/query_commands.h"

namespace cli {

namespace {

std::vector<Command>& commandTable() {
  static std::vector<Command> table = {
      {
          .name = "classes",
          .synopsis = "classes [PREFIX] [--superclasses] [--by-count] [--retained] [--limit N]",
          .summary = "census: live instances and object arrays of each class",
          .details =
              R"(Counts, for every class whose name begins with PREFIX (slash or dot form; empty: all),
its live instances (kind C) and the live object arrays whose element class it is
(kind A). The handle is the class's own handle. With --heap, "dump bytes" gives the bytes
the dump holds for them (fields or elements, no object headers).
  --superclasses  also count every object once for each class above its own
  --by-count      largest count first (default: by class name)
  --retained      add each class's retained size: the bytes its instances retain,
                  an instance held below another of its class counted once (see
                  retained)
--raw writes the report stream: the record count, NUL, then one NUL-terminated
record per class: "C <handle> <class> <count>".
)",
          .flags = {"--superclasses", "--by-count", "--retained"},
          .minArgs = 0,
          .maxArgs = 1,
          .takesLimit = true,
          .run = runClasses,
      },
      {
          .name = "instances",
          .synopsis = "instances CLASS [--subclasses] [--arrays] [--skip N] [--limit N]",
          .summary = "every instance of one class",
          .details =
              R"(Lists the live instances of CLASS in handle order, or with --arrays the object arrays
whose element class is CLASS, each with its retained size (what freeing it would give
back; "-" when no root reaches it: see dominators).
  --subclasses  include instances of its subclasses (then sorted by class name)
  --arrays      list object arrays instead of instances
  --skip N      leave out the first N rows (with --limit, one page of a long list);
                rows keep their numbers and the total is still given
X[][] lists the arrays of arrays (object arrays of X[]); for primitive arrays, which
the queries do not list, it says how many the heap holds.
--raw writes the report stream; records are "I <handle> <class>" (C for class
objects, A for arrays).
)",
          .flags = {"--subclasses", "--arrays"},
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .takesSkip = true,
          .handleArgument = true,
          .run = runInstances,
      },
      {
          .name = "class-info",
          .synopsis = "class-info CLASS",
          .summary = "a class described: fields, size, methods, interfaces",
          .details =
              R"(Describes a class: its descriptor address, second name (the source file), the number
of fields it declares, its instance size, method and interface counts, and whether it
is abstract. --raw writes the library's text: "CLASS <name> <descriptor> <second name>
<fields> <size> <methods> <interfaces> <abstract>" and a newline.
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .handleArgument = true,
          .run = runClassInfo,
      },
      {
          .name = "info",
          .synopsis = "info HANDLE",
          .summary = "an object or object array described",
          .details =
              R"(Describes an object (its class, body address and what its toString returns) or an
object array (element class, body address, length). With --heap it also shows the
object's id in the dump. --raw writes the library's text: "OBJECT <handle> <class>
<body> <toString>" or "ARRAY <handle> <class> <body> <length>" and a newline.
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .handleArgument = true,
          .run = runInfo,
      },
      {
          .name = "refs",
          .synopsis = "refs HANDLE [--skip N] [--limit N]",
          .summary = "what one object refers to",
          .details =
              R"(Lists the objects HANDLE refers to and how: through a field, a static field (when
HANDLE is a class), an element index (when it is an object array, in index order), or
a local variable of one of its frames (when it is a thread other than the caller).
Null references, primitive arrays and arrays of arrays held in fields are left out.
  --skip N  leave out the first N rows (with --limit, one page of a long list)
--raw writes the report stream: "<kind> <handle> <class> <field|method()|index>".
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .takesSkip = true,
          .handleArgument = true,
          .run = runReferences,
      },
      {
          .name = "referrers",
          .synopsis = "referrers HANDLE [--grouped] [--skip N] [--limit N]",
          .summary = "what refers to one object",
          .details =
              R"(Lists the classes (through static fields), objects (through fields), object arrays
(through elements) and threads (through local variables) that refer to HANDLE, one
row per field, element or stack slot. The calling thread's own stack is not scanned.
  --grouped  rows alike but for the holder object (and an element's index) as one
             row with their count and the first holder as an example, most first
  --skip N   leave out the first N rows (with --limit, one page of a long list)
--raw writes the report stream: "<kind> <holder> <class> <field|method()|index>".
)",
          .flags = {"--grouped"},
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .takesSkip = true,
          .handleArgument = true,
          .run = runReferrers,
      },
      {
          .name = "path",
          .synopsis = "path HANDLE [--max-nodes N] [--limit N]",
          .summary = "why an object is alive: a chain from a root",
          .details =
              R"(Searches backwards from HANDLE, level by level, for a root: a class holding the chain
in a static field, or a thread (other than the caller) holding it in a local variable.
Prints the chain from the root down, each row saying how the row above holds it, with
its retained size (see dominators).
References to java.lang.ref.Reference objects (weak, soft, phantom) are not followed.
For what the search does not take (a primitive array, a Reference object or an array of
them, a class), the answer is what holds it: the path to a holder and the holder's link, or
for a class its GC root in a dump, its class loader or itself; a line says how.
  --max-nodes N  give up after N nodes (default: as many as the heap has objects)
  --limit N      show the first N rows of the chain
Exit status 1 when no path is found; with --json no path is an answer ({"handle": ...,
"noPath": "..."}, status 0). --raw writes the handles of the chain, root first,
one signed decimal per line, or the library's message ("Search Failed", "Exceeded
maximum nodes") and a newline.
)",
          .flags = {},
          .takesMaxNodes = true,
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .handleArgument = true,
          .run = runPath,
      },
      {
          .name = "usage",
          .synopsis = "usage [PREFIX] [--limit N]",
          .summary = "memory held by the instances of each class",
          .details =
              R"(For every class whose name begins with PREFIX: the number of live instances and the
bytes they take, each charged its instance size plus the arrays its fields refer to
(each array charged once, to the first instance met). Largest first.
--raw writes the report stream: the count, NUL, then "<class> <instances> <bytes>"
records, each ending in NUL.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 1,
          .takesLimit = true,
          .run = runUsage,
      },
      {
          .name = "dominators",
          .synopsis = "dominators [--skip N] [--limit N]",
          .summary = "the objects whose freeing would give back the most",
          .details =
              R"(Lists the objects with the largest retained sizes (20 unless --limit says otherwise).
An object's retained size is its own (shallow) size plus that of every object it
dominates: every object all of whose paths from the roots pass through it, so that
freeing it would free them too. The roots are those of path: every class (through
its static fields) and every thread other than the caller (through its locals and
fields). A Reference object's referent is not followed: weak, soft and phantom
references keep nothing alive. Shallow sizes are the bodies as the heap lays them
out: an object's fields, an array's elements, a class's 96-byte descriptor. Computed
on first use (with progress on a terminal for large heaps) and kept for the session.
  --skip N  leave out the first N rows (with --limit, one page of a long list);
            rows keep their numbers and the total is still given
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .takesLimit = true,
          .takesSkip = true,
          .defaultLimit = kDefaultDominatorRows,
          .run = runDominators,
          .noRawForm = "reads the heap, not the library: it has no --raw form",
      },
      {
          .name = "retained",
          .synopsis = "retained HANDLE|CLASS [--limit N]",
          .summary = "what freeing an object, or every instance of a class, would give back",
          .details =
              R"(For a HANDLE: its retained size and shallow size, and the objects it immediately
dominates (those it alone keeps alive, each with what it retains), largest first.
For a CLASS name: the sum of the retained sizes of its instances, each instance held
below another instance of the class counted once, inside that one; and those top-level
instances, largest first. A handle no root reaches retains nothing. See dominators.
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .handleArgument = true,
          .run = runRetained,
          .noRawForm = "reads the heap, not the library: it has no --raw form",
      },
      {
          .name = "missing",
          .synopsis = "missing [--limit N]",
          .summary = "references to objects missing from the dump",
          .details =
              R"(Lists each reference of a loaded dump to an id the dump does not contain: the referrer's
dump id and class, the field (or array index, static, or root kind) and the missing id.
Loading makes such references null. A JDK dump has some: see the README.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .takesLimit = true,
          .run = runMissing,
          .noRawForm = "reads the dump, not the library: it has no --raw form",
      },
      {
          .name = "threads",
          .synopsis = "threads [--limit N]",
          .summary = "every thread, and per frame the objects its locals hold",
          .details =
              R"(Lists the thread objects (instances of java.lang.Thread and its subclasses) with their
names and their frames in stack order, innermost first: each frame's method and the
objects its local variables hold. A thread without a stack (never started, or ended) is
marked "not running". The calling thread's frames are never scanned. The rows ($1, $2,
...) are the threads.
  --limit N  show the first N threads
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .takesLimit = true,
          .run = runThreads,
          .noRawForm = "joins several queries: it has no --raw form (see refs --raw)",
      },
      {
          .name = "fields",
          .synopsis = "fields HANDLE [--limit N]",
          .summary = "an object's field values as the VM holds them",
          .details =
              R"(Shows the fields of an object, its topmost class's first, as the VM holds them:
primitives as numbers, strings as their text, references as handle and class, and
arrays with their length and first elements. For a class, its static fields; for an
array, its length and first elements. It tells apart instances whose toString cannot
(in a dump no Java code runs). With --heap: the fields the dump declares, with its exact
values (longs and doubles whole, statics included), each row saying where the VM's copy
differs.
  --limit N  show N elements of each array (default 8)
)",
          .flags = {},
          .minArgs = 1,
          .maxArgs = 1,
          .takesLimit = true,
          .handleArgument = true,
          .run = runFields,
          .noRawForm = "reads the VM, not the library: it has no --raw form",
      },
      {
          .name = "demo",
          .synopsis = "demo",
          .summary = "a guided tour of all eight queries on the demo heap",
          .details =
              R"(Runs each query on the built-in demo heap, with a line of explanation before each,
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
          .details =
              R"(Reads commands line by line (with line editing and history on a terminal). The rows
of the last result can be named $1, $2, ... wherever a handle or class is expected,
so that census -> instances -> referrers -> path needs no copying of numbers; results
without rows, and descriptions, leave the rows alone. --raw and --json may be given
anywhere on a line. '#' begins a comment. Tab completes commands, options and class
names; Ctrl-C cancels the line or the output of a running command. In a script, errors
say 'line N:' and the exit status is 1 if any command failed.
'help' lists the commands; 'quit' or 'exit' (or end of input) leaves, 'exit N' with
status N.
)",
          .flags = {},
          .minArgs = 0,
          .maxArgs = 0,
          .run = runShell,
      },
  };
  return table;
}

}  // namespace

const std::vector<Command>& commands() { return commandTable(); }

void registerCommand(const Command& command) { commandTable().push_back(command); }

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

void printToolHelp(std::ostream& out) {
  out << "tavolin - browse a Java heap with libTavolin2\n"
         "\n"
         "usage: tavolin [--heap FILE] [--baseline FILE] [--lib DIR] [--high] [--raw|--json] "
         "COMMAND\n"
         "               [ARGS]\n"
         "       tavolin help COMMAND    (or: tavolin COMMAND --help)\n"
         "\n"
         "Without --heap the commands run on a built-in demo heap: a small web shop that leaks\n"
         "sessions. Try: tavolin demo\n"
         "\n"
         "commands:\n";
  for (const Command& c : commands()) out << "  " << c.synopsis << "\n      " << c.summary << '\n';
  out << "\n"
         "options:\n"
         "  --heap FILE  load an HPROF heap dump (.hprof or .hprof.gz) instead of the demo heap\n"
         "  --baseline FILE  an earlier dump of the same program: classes (and serve) show each\n"
         "               class's count and bytes in both heaps and the change\n"
         "  --lib DIR    the folder holding libTavolin2.so (default: ../lib beside the tavolin\n"
         "               program, then the build tree)\n"
         "  --raw        write what the library produced, byte for byte\n"
         "  --json       write one JSON array of records\n"
         "  --high       place the heap at or above 2 GB (decimal handles then print negative)\n"
         "  --limit N    (after a command that lists) show its first N rows; the total is still\n"
         "               given\n"
         "  --skip N     (after instances, refs, referrers, dominators) leave out the first N\n"
         "               rows: with --limit, one page of a long list\n"
         "  --version    print the version\n"
         "\n"
         "arguments:\n"
         "  HANDLE  123, -123 or 0x7b; @<id> (hex) for an object of a loaded dump;\n"
         "          $N for row N of the last result (in the shell); or a class name, for the\n"
         "          class itself (refs com.acme.shop.SessionCache lists its static references)\n"
         "  CLASS   a class name in slash or dot form (com/acme/shop/Session, "
         "com.acme.shop.Session,\n"
         "          int[]), a simple name only one class has (Session), or a HANDLE\n"
         "\n"
         "exit status: 0 done; 1 the query answered with a failure, or the command could not run;\n"
         "2 the command line is wrong; 3 a class, handle, dump id or row names nothing; 4 the\n"
         "question does not apply to what it names (class-info of an object).\n";
}

namespace {

// The tool's options a command takes, as its usage line shows them: demo runs only on the
// built-in heap and only as a table, a command with no --raw form shows --json alone, missing
// needs a dump; a command that parses its own options (serve) shows them all in its synopsis.
std::string usagePrefix(const Command& cmd, bool inShell) {
  const std::string modes = cmd.noRawForm ? "[--json] " : "[--raw|--json] ";
  if (inShell) return cmd.run == runDemo || cmd.run == runMissing ? "" : modes;
  if (cmd.ownOptions) return "tavolin ";
  if (cmd.run == runDemo) return "tavolin [--high] ";
  if (cmd.run == runMissing) return "tavolin --heap FILE " + modes;
  return "tavolin [--heap FILE] " + modes;
}

}  // namespace

void printShellHelp(std::ostream& out) {
  out << "commands (the rows of a list are $1, $2, ... for the commands after it):\n";
  for (const Command& c : commands())
    if (c.run != runShell && !c.ownOptions)
      out << "  " << c.synopsis << "\n      " << c.summary << '\n';
  out << "  help [COMMAND]\n      this list, or one command described\n"
         "  quit [STATUS], exit [STATUS]\n      leave the shell (with STATUS, 0 to 255, as its "
         "exit "
         "status)\n"
         "\n"
         "--raw or --json on a line writes that line's answer as the library's bytes or as JSON.\n";
}

void printCommandHelp(std::ostream& out, const Command& cmd, bool inShell) {
  out << "usage: " << usagePrefix(cmd, inShell) << cmd.synopsis << "\n\n"
      << static_cast<char>(std::toupper(static_cast<unsigned char>(cmd.summary[0])))
      << (cmd.summary + 1) << ".\n\n"
      << cmd.details;
}

void reportError(const std::string& what) {
  std::cout.flush();
  std::fprintf(stderr, "tavolin: error: %s\n", what.c_str());
}

void reportFailure(const Context& ctx, const std::string& what, std::ostream& out) {
  if (ctx.output == OutputMode::Json) out << jsonErrorRecord(what);
  reportError(what);
}

namespace {

constexpr std::string_view kMaxNodesOption = "--max-nodes";
constexpr std::string_view kLimitOption = "--limit";
constexpr std::string_view kSkipOption = "--skip";

bool isValueOption(const std::string& w, std::string_view name) {
  return w.compare(0, name.size(), name) == 0 && (w.size() == name.size() || w[name.size()] == '=');
}

// The value of "--name=V" or of the word after "--name"; i moves past what it took.
std::string optionValue(const std::vector<std::string>& words, size_t& i, std::string_view name) {
  const std::string& w = words[i];
  std::string value;
  if (w.size() > name.size())
    value = w.substr(name.size() + 1);  // after the '='
  else if (i + 1 < words.size())
    value = words[++i];
  if (value.empty()) throw UsageError(std::string(name) + " needs a number");
  return value;
}

// How errors point to help: the tool's words outside the shell, the shell's own inside it.
std::string helpHint(bool inShell, const std::string& command = "") {
  if (command.empty()) return inShell ? "(see help)" : "(see tavolin --help)";
  return (inShell ? "(see help " : "(see tavolin help ") + command + ")";
}

Invocation parseInvocation(const Command& cmd, const std::vector<std::string>& words,
                           OutputMode mode, bool inShell) {
  Invocation inv;
  inv.output = mode;
  bool outputGiven = false;
  auto setOutput = [&](OutputMode m) {
    if (outputGiven && inv.output != m) throw UsageError("give one of --raw and --json, not both");
    outputGiven = true;
    inv.output = m;
  };
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (cmd.ownOptions && w != "--help" && w != "-h") {
      inv.args.push_back(w);
    } else if (!isOptionWord(w)) {
      inv.args.push_back(w);
    } else if (w == "--help" || w == "-h") {
      inv.help = true;
    } else if (w == "--raw") {
      setOutput(OutputMode::Raw);
    } else if (w == "--json") {
      setOutput(OutputMode::Json);
    } else if (cmd.takesMaxNodes && isValueOption(w, kMaxNodesOption)) {
      inv.maxNodes = optionValue(words, i, kMaxNodesOption);
    } else if (cmd.takesLimit && isValueOption(w, kLimitOption)) {
      const std::string value = optionValue(words, i, kLimitOption);
      const std::optional<int32_t> n = parseCount(value);
      if (!n) throw UsageError("--limit needs a whole number of rows, not " + quoteInput(value));
      inv.limit = static_cast<size_t>(*n);
    } else if (cmd.takesSkip && isValueOption(w, kSkipOption)) {
      const std::string value = optionValue(words, i, kSkipOption);
      const std::optional<int32_t> n = parseCount(value);
      if (!n) throw UsageError("--skip needs a whole number of rows, not " + quoteInput(value));
      inv.skip = static_cast<size_t>(*n);
    } else if (std::find_if(cmd.flags.begin(), cmd.flags.end(),
                            [&](const char* f) { return w == f; }) != cmd.flags.end()) {
      inv.flags.insert(w);
    } else {
      throw UsageError("unknown option " + quoteInput(w) + " for " + cmd.name + " " +
                       helpHint(inShell, cmd.name));
    }
  }
  if (inv.help) return inv;
  if (inv.args.size() < cmd.minArgs || inv.args.size() > cmd.maxArgs)
    throw UsageError(std::string(inv.args.size() < cmd.minArgs ? "too few" : "too many") +
                     " arguments: usage: " + (inShell ? "" : "tavolin ") + cmd.synopsis);
  if (inv.output == OutputMode::Raw && cmd.noRawForm)
    throw UsageError(std::string(cmd.name) + " " + cmd.noRawForm);
  if (inv.limit && inv.output == OutputMode::Raw)
    throw UsageError("--limit shortens tables and JSON; --raw writes all the library wrote");
  if (inv.skip && inv.output == OutputMode::Raw)
    throw UsageError("--skip shortens tables and JSON; --raw writes all the library wrote");
  return inv;
}

// The checks that need no heap, made before one is loaded: a usage error should not wait for
// a dump of several gigabytes.
void checkBeforeLoading(const Context& ctx, const Command& cmd, const Invocation& inv) {
  if (cmd.handleArgument && !inv.args.empty()) {
    if (inv.args[0].empty()) throw UsageError("a class name or handle is empty");
    checkHandleSyntax(inv.args[0], ctx.inShell, !ctx.options().heap.empty());
  }
  if (!inv.maxNodes.empty() && !parseCount(inv.maxNodes))
    throw UsageError("--max-nodes needs a whole number from 0 to 2147483647, not " +
                     quoteInput(inv.maxNodes));
  if (cmd.run == runDemo && inv.output != OutputMode::Table)
    throw UsageError("demo is written for people: drop --raw and --json");
  if (cmd.run == runDemo && !ctx.options().heap.empty())
    throw UsageError("demo tours the built-in heap: run it without --heap");
}

int printHelpOf(const std::string& name, bool inShell, std::ostream& out) {
  if (name == "help") {
    out << "usage: " << (inShell ? "" : "tavolin ")
        << "help [COMMAND]\n\nLists the commands, or describes one.\n";
    return 0;
  }
  if (name == "quit" || name == "exit") {
    out << "usage: " << name
        << " [STATUS]    (in the shell)\n\nLeaves the shell, with STATUS "
           "(0 to 255) as its exit status; without it, 1 if a command failed, else 0. The end "
           "of the\ninput leaves the same way.\n";
    return 0;
  }
  const Command* cmd = findCommand(name);
  if (!cmd) throw UsageError("unknown command " + quoteInput(name) + " " + helpHint(inShell));
  printCommandHelp(out, *cmd, inShell);
  return 0;
}

}  // namespace

int runWords(Context& ctx, std::vector<std::string> words, OutputMode mode, std::ostream& out) {
  ctx.output = mode;
  // In the shell the tool's output options may come first on a line, as on the command line.
  bool modeGiven = false;
  while (ctx.inShell && !words.empty() && (words[0] == "--json" || words[0] == "--raw")) {
    const OutputMode m = words[0] == "--json" ? OutputMode::Json : OutputMode::Raw;
    if (modeGiven && m != mode) throw UsageError("give one of --raw and --json, not both");
    modeGiven = true;
    ctx.output = mode = m;
    words.erase(words.begin());
  }
  if (words.empty()) throw UsageError("no command given " + helpHint(ctx.inShell));
  if (words[0] == "help") {
    if (words.size() == 1) {
      if (ctx.inShell)
        printShellHelp(out);
      else
        printToolHelp(out);
      return 0;
    }
    if (words.size() > 2)
      throw UsageError("usage: " + std::string(ctx.inShell ? "" : "tavolin ") + "help [COMMAND]");
    return printHelpOf(words[1], ctx.inShell, out);
  }
  const Command* cmd = findCommand(words[0]);
  if (!cmd)
    throw UsageError("unknown command " + quoteInput(words[0]) + " " + helpHint(ctx.inShell));
  // A command that opens its own heap (serve) is a program of its own, not a shell line.
  if (ctx.inShell && cmd->ownOptions)
    throw UsageError("'" + std::string(cmd->name) + "' is not a shell command: run tavolin " +
                     cmd->name + " on its own " + helpHint(true));
  const Invocation inv = parseInvocation(*cmd, words, mode, ctx.inShell);
  ctx.output = inv.output;
  if (inv.help) {
    printCommandHelp(out, *cmd, ctx.inShell);
    return 0;
  }
  checkBeforeLoading(ctx, *cmd, inv);
  // The shell and serve open the session themselves.
  if (cmd->run == runShell || cmd->ownOptions) return cmd->run(ctx, inv, out);
  // What the command allocates in the VM for its calls is given back after it, so that long
  // sessions do not fill the handle table or the arena.
  const auto scope = ctx.session().callScope();
  return cmd->run(ctx, inv, out);
}

}  // namespace cli
