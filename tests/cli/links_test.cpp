// How the row above holds each row of a path: the console reads an object array's elements from
// the VM's memory instead of asking for all of its references. The labels must be those the
// library's reference records give (the references of the holder, else the referrers of the
// object held), the same links in the same order, duplicates included: checked for every link of
// many paths and for many holder/held pairs, on random dumps and on dumps a JDK wrote.
//
//   K.static ──► K2 ──a──► Object[] ──[3], [5]──► K0 ──a, a (shadowed)──► int[]
//   <root:JNI-global> ──► Object[][] ──[0]──► Object[] ──[1]──► int[] (no record names it)
//   thread ──local in run()──► K1
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "cli/links.h"
#include "cli/session.h"
#include "heapkit/hprof_writer.h"
#include "tests/cli/random_dump.h"
#include "tests/common/testkit.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;
using cli::Link;

// The labels as the library's records give them, written from what the records mean.
std::vector<Link> linksFromRecords(cli::Session& s, uint32_t holder, uint32_t next, bool root) {
  const char holderKind = cli::kindOf(s.vm(), holder);
  auto fits = [&](const Link& l) {
    if (root) return l.via == (holderKind == 'C' ? Link::Via::Static : Link::Via::Local);
    return l.via != Link::Via::Local;
  };
  std::vector<Link> links;
  for (const simvm::Record& r : s.caller().references(holder).records)
    if (r.handle == next)
      if (auto l = cli::linkFromDetail(r.detail, holderKind == 'C'); l && fits(*l))
        links.push_back(*l);
  if (!links.empty()) return links;
  for (const simvm::Record& r : s.caller().referrers(next).records)
    if (r.handle == holder)
      if (auto l = cli::linkFromDetail(r.detail, r.kind == 'C'); l && fits(*l)) links.push_back(*l);
  return links;
}

std::string shown(const std::vector<Link>& links) {
  std::string out;
  for (const Link& l : links) out += (out.empty() ? "" : ", ") + cli::linkText(l);
  return "{" + out + "}";
}

bool same(const std::vector<Link>& a, const std::vector<Link>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].via != b[i].via || a[i].name != b[i].name || a[i].index != b[i].index) return false;
  return true;
}

// What the comparisons met, so a generator that drifts cannot make them vacuous.
struct Seen {
  size_t pairs = 0, elementLinks = 0, fieldLinks = 0, staticLinks = 0, localLinks = 0;
  size_t duplicates = 0, arrayFallbacks = 0, fieldFallbacks = 0, empty = 0, pathLinks = 0;
};

void compare(cli::Session& s, cli::LinkReader& reader, uint32_t holder, uint32_t next, bool root,
             const std::string& where, Seen& seen) {
  std::vector<Link> want, got;
  {
    const auto scope = s.callScope();
    want = linksFromRecords(s, holder, next, root);
  }
  {
    const auto scope = s.callScope();
    got = cli::linksBetween(s, holder, next, root);
  }
  ASSERT_TRUE(same(got, want)) << where << ": " << testkit::hex(holder) << " holds "
                               << testkit::hex(next) << (root ? " as a root" : "") << " through "
                               << shown(got) << ", records say " << shown(want);
  {
    // A reader kept for the whole heap, as a path keeps one for its chain: what it learnt of
    // each class for earlier pairs must not change its answer.
    const auto scope = s.callScope();
    got =
        reader.between(holder, cli::kindOf(s.vm(), holder), next, cli::kindOf(s.vm(), next), root);
  }
  ASSERT_TRUE(same(got, want)) << where << ": a kept reader says " << testkit::hex(holder)
                               << " holds " << testkit::hex(next) << " through " << shown(got)
                               << ", records say " << shown(want);
  ++seen.pairs;
  if (want.empty()) ++seen.empty;
  if (want.size() > 1) ++seen.duplicates;
  const char holderKind = cli::kindOf(s.vm(), holder), nextKind = cli::kindOf(s.vm(), next);
  // What the references do not name, so the referrers must: a primitive array, or an array of
  // arrays held by a field.
  const bool unnamed =
      nextKind == 'P' || (nextKind == 'A' && cli::reportedClassName(s.vm(), next)[0] == '[');
  if (holderKind == 'A' && !want.empty() && nextKind == 'P') ++seen.arrayFallbacks;
  if (holderKind != 'A' && !want.empty() && unnamed) ++seen.fieldFallbacks;
  for (const Link& l : want) {
    if (l.via == Link::Via::Element) ++seen.elementLinks;
    if (l.via == Link::Via::Field) ++seen.fieldLinks;
    if (l.via == Link::Via::Static) ++seen.staticLinks;
    if (l.via == Link::Via::Local) ++seen.localLinks;
  }
}

// Every handle in use, by kind letter.
std::vector<uint32_t> liveHandles(cli::Session& s) {
  std::vector<uint32_t> out;
  const uint32_t end = s.vm().tableFirst() + 8 * s.vm().slotsUsed();
  for (uint32_t h = s.vm().tableFirst(); h < end; h += 8)
    if (cli::kindOf(s.vm(), h)) out.push_back(h);
  return out;
}

// Compares the links of the paths to up to `targets` objects, and those between up to `holders`
// holders and what they hold (each element of an array, primitive arrays included, each object
// their records name) or do not hold.
void compareOnHeap(cli::Session& s, std::mt19937& rng, size_t targets, size_t holders,
                   const std::string& where, Seen& seen) {
  const std::vector<uint32_t> live = liveHandles(s);
  ASSERT_FALSE(live.empty());
  cli::LinkReader reader(s);
  auto pick = [&] { return live[rng() % live.size()]; };
  std::vector<uint32_t>
      unnamed;  // what only the referrers name: primitive arrays, arrays of arrays
  for (uint32_t h : live)
    if (const char k = cli::kindOf(s.vm(), h);
        k == 'P' || (k == 'A' && cli::reportedClassName(s.vm(), h)[0] == '['))
      unnamed.push_back(h);
  for (size_t t = 0; t < targets; ++t) {
    const uint32_t target = pick();
    simvm::PathResult p;
    {
      const auto scope = s.callScope();
      p = s.caller().path(target, INT32_MAX);
    }
    for (size_t i = 1; i < p.handles.size(); ++i) {
      compare(s, reader, p.handles[i - 1], p.handles[i], i == 1,
              where + ", path to " + testkit::hex(target), seen);
      ++seen.pathLinks;
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  // What holds a primitive array or an array of arrays, as the referrers say.
  for (size_t k = 0; k < holders / 3 && !unnamed.empty(); ++k) {
    const uint32_t held = unnamed[rng() % unnamed.size()];
    std::vector<uint32_t> holdersOf;
    {
      const auto scope = s.callScope();
      for (const simvm::Record& r : s.caller().referrers(held).records)
        holdersOf.push_back(r.handle);
    }
    for (size_t i = 0; i < holdersOf.size() && i < 4; ++i) {
      compare(s, reader, holdersOf[i], held, false, where, seen);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  // Threads, which hold through their frames as roots and through their fields inside a path.
  const std::vector<uint32_t> threads = s.vm().threads();
  for (size_t k = 0; k < threads.size() && k < 6; ++k) {
    std::vector<uint32_t> held;
    {
      const auto scope = s.callScope();
      for (const simvm::Record& r : s.caller().references(threads[k]).records)
        held.push_back(r.handle);
    }
    for (uint32_t next : held)
      for (bool root : {true, false}) {
        compare(s, reader, threads[k], next, root, where, seen);
        if (::testing::Test::HasFatalFailure()) return;
      }
  }
  for (size_t k = 0; k < holders; ++k) {
    const uint32_t holder = pick();
    std::vector<uint32_t> held{pick()};  // most likely held by nothing
    if (cli::kindOf(s.vm(), holder) == 'A') {
      const uint32_t n = std::min<uint32_t>(s.vm().arrayLength(holder), 64);
      for (uint32_t i = 0; i < n; ++i) held.push_back(s.vm().getElement(holder, i));
    } else {
      const auto scope = s.callScope();
      for (const simvm::Record& r : s.caller().references(holder).records) held.push_back(r.handle);
      for (int i = 0; i < 4 && !unnamed.empty(); ++i)
        held.push_back(unnamed[rng() % unnamed.size()]);
      try {  // the value of an int a test gave a handle's value (plantLookalikes)
        held.push_back(cli::kindOf(s.vm(), holder) == 'C' ? s.vm().getStatic(holder, "n")
                                                          : s.vm().getField(holder, "count"));
      } catch (const simvm::VmError&) {
      }
    }
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    for (uint32_t next : held) {
      if (next == 0) continue;
      compare(s, reader, holder, next, rng() % 3 == 0, where, seen);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Gives int fields and statics the values of live handles: no link, since no reference holds.
void plantLookalikes(cli::Session& s, std::mt19937& rng) {
  const std::vector<uint32_t> live = liveHandles(s);
  for (uint32_t h : live) {
    if (rng() % 2) continue;
    try {
      if (cli::kindOf(s.vm(), h) == 'C' && s.vm().className(h).rfind("hw/K", 0) == 0)
        s.vm().setStatic(h, "n", live[rng() % live.size()]);
      else if (cli::kindOf(s.vm(), h) == 'I')
        s.vm().setField(h, "count", live[rng() % live.size()]);
    } catch (const simvm::VmError&) {  // a class without the field
    }
  }
}

TEST(ConsoleLinks, labels_equal_those_of_the_reference_records_on_random_dumps) {
  const std::string path =
      (fs::temp_directory_path() / ("tavolin_links_" + std::to_string(getpid()) + ".hprof"))
          .string();
  Seen seen;
  const uint32_t heaps = testkit::kSanitized ? 10 : 25;
  for (uint32_t seed = 1; seed <= heaps; ++seed) {
    std::mt19937 rng(seed);
    hproftest::HprofWriter::save(path, randomDump(rng));
    cli::Session s(optionsFor(path));
    plantLookalikes(s, rng);
    compareOnHeap(s, rng, 40, 30, "seed " + std::to_string(seed), seen);
    if (HasFatalFailure()) break;
  }
  fs::remove(path);
  std::printf(
      "%zu pairs: %zu path links; links by element %zu, field %zu, static %zu, local %zu; "
      "%zu held more than one way, %zu primitive arrays held by arrays, %zu primitive arrays or "
      "arrays of arrays held by fields, %zu not held\n",
      seen.pairs, seen.pathLinks, seen.elementLinks, seen.fieldLinks, seen.staticLinks,
      seen.localLinks, seen.duplicates, seen.arrayFallbacks, seen.fieldFallbacks, seen.empty);
  // Every kind of link, repeats, the element scan's fallback to the referrers (an array holding
  // a primitive array), and pairs with no link at all were met.
  EXPECT_GT(seen.pathLinks, 200u);
  EXPECT_GT(seen.elementLinks, 100u);
  EXPECT_GT(seen.fieldLinks, 100u);
  EXPECT_GT(seen.staticLinks, 10u);
  EXPECT_GT(seen.localLinks, 0u);
  EXPECT_GT(seen.duplicates, 20u);
  EXPECT_GT(seen.arrayFallbacks, 5u);
  EXPECT_GT(seen.fieldFallbacks, 5u);
  EXPECT_GT(seen.empty, 50u);
}

// Dumps a JDK wrote: those the JVM dump tests take of tests/hprof/java/HeapScene.java, once they
// have run (in the folder they keep them in), and any named in TAVOLIN_LINK_DUMPS (separated by
// ':'), for the large dumps the speed of `path` is measured on.
TEST(ConsoleLinks, labels_equal_those_of_the_reference_records_on_jdk_dumps) {
  std::vector<std::string> dumps;
  if (const char* named = std::getenv("TAVOLIN_LINK_DUMPS")) {
    std::stringstream list(named);
    for (std::string d; std::getline(list, d, ':');)
      if (!d.empty()) dumps.push_back(d);
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(TAVOLIN_JVM_DUMPS, ec))
    for (const char* file : {"scene.hprof", "jdk25/scene.hprof"})
      if (entry.path().filename().string().rfind("hprof_jvm_", 0) == 0 &&
          fs::exists(entry.path() / file))
        dumps.push_back((entry.path() / file).string());
  if (dumps.empty())
    GTEST_SKIP() << "no JDK dump yet in " TAVOLIN_JVM_DUMPS " (the JVM dump tests take them)";
  for (const std::string& dump : dumps) {
    cli::Session s(optionsFor(dump));
    std::mt19937 rng(7);
    Seen seen;
    compareOnHeap(s, rng, 60, 20, dump, seen);
    if (HasFatalFailure()) return;
    EXPECT_GT(seen.elementLinks, 0u) << dump;
    EXPECT_GT(seen.fieldLinks, 0u) << dump;
    EXPECT_GT(seen.localLinks, 0u) << dump;
    EXPECT_GT(seen.fieldFallbacks, 0u) << dump;
    std::printf(
        "%s: %zu pairs, %zu path links; links by element %zu, field %zu, static %zu, "
        "local %zu; %zu primitive arrays or arrays of arrays held by fields\n",
        dump.c_str(), seen.pairs, seen.pathLinks, seen.elementLinks, seen.fieldLinks,
        seen.staticLinks, seen.localLinks, seen.fieldFallbacks);
  }
}

}  // namespace
}  // namespace clitest
