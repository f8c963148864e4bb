// `demo`: a guided tour of the eight queries (referrers twice: through fields and through a
// thread's frame) on the built-in heap, ending with why a leaked
// session is still alive.
#include <cstdio>

#include "cli/commands.h"
#include "cli/format.h"
#include "cli/links.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

struct Step {
  std::string why;  // one line of explanation
  std::vector<std::string> words;
};

std::vector<Step> tourSteps(const DemoHeap& demo) {
  const std::string leaked = hexHandle(demo.leakedSession);
  return {
      {"The census: live objects of each com/acme class, most numerous first. Twelve sessions "
       "for a shop with two customers online is suspicious.",
       {"classes", "com/acme/", "--by-count"}},
      {"Memory per class, counting the arrays each instance owns: sessions hold most of it.",
       {"usage", "com/acme/"}},
      {"What the class looks like: fields it declares, instance size, methods, interfaces, "
       "abstract.",
       {"class-info", "com.acme.shop.Session"}},
      {"Every session in the heap, in handle order.", {"instances", "com/acme/shop/Session"}},
      {"One of them, described by its own toString: it expired long ago.", {"info", leaked}},
      {"What it refers to (fields holding primitive arrays, like its 32 KB buffer, are not "
       "listed).",
       {"refs", leaked}},
      {"Who refers to it: one entry of a hash table.", {"referrers", leaked}},
      {"Running methods hold objects too: the thumbnail the request handler is working on is "
       "held by a local of its process() method, besides a weak reference.",
       {"referrers", hexHandle(demo.heldThumbnail)}},
      {"And why it is still alive: the chain from a root down to it.", {"path", leaked}},
  };
}

// The tour's last word, taken from the path the library found.
std::string verdict(Session& s, const DemoHeap& demo) {
  const simvm::PathResult p = s.caller().path(demo.leakedSession, defaultMaxNodes(s.vm()));
  if (p.array == 0 || p.handles.size() < 2) return "The library found no path: " + p.message + ".";
  const uint32_t root = p.handles[0];
  std::string how;
  for (const Link& l : linksBetween(s, root, p.handles[1], true)) how = l.name;
  if (kindOf(s.vm(), root) != 'C' || how.empty())
    return "The session is held from " + hexHandle(root) + ".";
  return "Session " + hexHandle(demo.leakedSession) + " expired, yet the static field " +
         s.vm().className(root) + "." + how + " still reaches it through " +
         std::to_string(p.handles.size() - 2) +
         " objects: the cache never drops expired sessions, and each keeps its 32 KB buffer alive.";
}

}  // namespace

int runDemo(Context& ctx, const Invocation& inv, std::ostream& out) {
  if (inv.output != OutputMode::Table)
    throw UsageError("demo is written for people: drop --raw and --json");
  Session& s = ctx.session();
  if (!s.demo())
    throw CliError("demo tours the built-in heap: run it without --heap", CliError::DoesNotApply);
  const DemoHeap demo = *s.demo();
  const std::vector<Step> steps = tourSteps(demo);
  out << "A tour of libTavolin2 on the demo heap: a web shop whose session cache leaks.\n";
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    std::string line = ctx.options().high ? "tavolin --high" : "tavolin";
    for (const std::string& w : step.words) line += " " + w;
    out << "\n[" << i + 1 << "/" << steps.size() << "] " << wrap(step.why, 90) << "\n$ " << line
        << "\n";
    try {
      runWords(ctx, step.words, OutputMode::Table, out);
    } catch (const CliError& e) {
      out << "(" << e.what() << ")\n";
    }
  }
  if (s.library().stub("findPathToRoot0")) out << "\n" << wrap(verdict(s, demo), 90) << "\n";
  return 0;
}

}  // namespace cli
