// The referrers query against the plain model on many seeded random heaps: class hierarchies,
// threads (the calling one among them) with frames holding junk, object arrays and arrays of
// arrays, freed slots, handles above 2 GB.
#include <gmock/gmock.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <tuple>

#include "tests/common/heap_model.h"
#include "tests/common/random_heap.h"
#include "tests/references/refs_fixture.h"

namespace refs {
namespace {

using heapmodel::Entry;

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 150;  // every read is slower under the sanitizers
#else
constexpr uint32_t kHeaps = 600;
#endif
constexpr int kCallsPerHeap = 3;

std::vector<Entry> modelReferrers(const heapmodel::Heap& m, uint32_t target) {
  std::vector<Entry> out;
  Entry e;
  for (uint32_t h = m.first(); h < m.end(); h += 8) {
    if (m.classObject(h)) {
      for (const heapmodel::Field& f : m.fields(h))
        if (f.isStatic && m.reference(f) && f.value == target && m.entry(h, &e))
          out.push_back({e.kind, h, e.className, f.name});
    } else if (m.object(h)) {
      for (uint32_t c : m.chain(m.classOf(h)))
        for (const heapmodel::Field& f : m.fields(c))
          if (!f.isStatic && m.reference(f) && m.instanceValue(h, f) == target && m.entry(h, &e))
            out.push_back({e.kind, h, e.className, f.name});
      if (m.thread(h))
        m.stackSlots(h, [&](uint32_t v, const std::string& method) {
          if (v == target && m.entry(v, &e))
            out.push_back({'I', h, m.name(m.classOf(h)), method + "()"});
        });
    } else if (m.objectArray(h)) {
      for (uint32_t i = 0; i < m.length(h); i++)
        if (m.element(h, i) == target && m.entry(h, &e))
          out.push_back({e.kind, h, e.className, std::to_string(i)});
    }
  }
  return out;
}

// The referrer order: named details first, by name without "()"; indices by value; then class
// name, then kind.
auto referrerKey(const simvm::Record& r) {
  bool index = !r.detail.empty() && std::all_of(r.detail.begin(), r.detail.end(), ::isdigit);
  std::string name = r.detail;
  if (name.size() >= 2 && name.compare(name.size() - 2, 2, "()") == 0) name.resize(name.size() - 2);
  return std::make_tuple(index, index ? std::string() : name, index ? std::stoll(r.detail) : 0,
                         r.className, static_cast<signed char>(r.kind));
}

// The report the library must give: the model's entries in the referrer order, entries equal in
// it kept in the order they were found (handle-space order), on every platform.
std::vector<std::string> expectedLines(const std::vector<Entry>& entries) {
  std::vector<simvm::Record> records;
  for (const Entry& e : entries) records.push_back({e.kind, e.handle, e.className, e.detail});
  std::stable_sort(records.begin(), records.end(),
                   [](const simvm::Record& a, const simvm::Record& b) {
                     return referrerKey(a) < referrerKey(b);
                   });
  std::vector<std::string> out;
  for (const simvm::Record& r : records)
    out.push_back(line(r.kind, r.handle, r.className, r.detail));
  return out;
}

std::string whereFailed(uint32_t seed, int call, uint32_t h) {
  return "seed " + std::to_string(seed) + " call " + std::to_string(call) + " target " +
         testkit::hex(h);
}

TEST(ReferencesDifferential, referrers_agree_with_the_model_on_random_heaps) {
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  size_t referrersSeen = 0, stackRecordsSeen = 0, tiesSeen = 0;
  for (uint32_t seed = 1; seed <= kHeaps; seed++) {
    config.high = seed % 5 == 0 && simvm::Vm::highPlacementAvailable();
    testkit::Heap heap(config);
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(heap.vm, rng, {});
    for (int call = 0; call < kCallsPerHeap; call++) {
      uint32_t target = pathtest::pickTarget(made, rng);
      simvm::Report got = heap.call.referrers(target);
      heapmodel::Heap model(heap.vm);  // after the call: the heap holds its stream too
      ASSERT_EQ(lines(got), expectedLines(modelReferrers(model, target)))
          << whereFailed(seed, call, target);
      referrersSeen += got.records.size();
      for (size_t i = 1; i < got.records.size(); i++)
        tiesSeen += referrerKey(got.records[i - 1]) == referrerKey(got.records[i]);
      for (const simvm::Record& r : got.records)
        stackRecordsSeen += r.detail.find("()") != std::string::npos;
    }
  }
  // The heaps must give the query something to find, stack slots included.
  EXPECT_GT(referrersSeen, kHeaps);
  EXPECT_GT(stackRecordsSeen, kHeaps / 10);
  EXPECT_GT(tiesSeen, kHeaps / 10);  // records equal in the order, whose own order is checked
}

// More classes than the walk keeps field plans for by class word (1024), with objects made in
// a shuffled order: classes meet in a plan's slot, and the one that found it taken must still
// have its own fields read, the others' never.
TEST(ReferencesDifferential, thousands_of_classes_keep_their_own_fields) {
  simvm::VmConfig config;
  config.slots = 16384;
  config.arenaBytes = 8u << 20;
  testkit::Heap heap(config);
  std::mt19937 rng(11);
  const uint32_t target = heap.vm.newObject(heap.vm.defineClass({"t/Target"}));
  std::vector<uint32_t> made;
  for (uint32_t i = 0; i < 2500; i++) {
    simvm::ClassDecl decl;
    decl.name = "t/C" + std::to_string(i);
    // Each class its own number of fields before the one that holds a reference.
    for (uint32_t k = 0; k <= i % 4; k++) decl.fields.push_back({"n" + std::to_string(k), "I"});
    decl.fields.push_back({"ref", "Ljava/lang/Object;"});
    const uint32_t cls = heap.vm.defineClass(decl);
    for (uint32_t k = 1 + i % 3; k > 0; k--) made.push_back(cls);
  }
  std::shuffle(made.begin(), made.end(), rng);
  for (uint32_t cls : made) {
    const uint32_t obj = heap.vm.newObject(cls);
    if (rng() % 2) heap.vm.setField(obj, "ref", target);
    if (rng() % 3 == 0) heap.vm.setField(obj, "n0", target);  // not a reference: never reported
  }
  simvm::Report got = heap.call.referrers(target);
  heapmodel::Heap model(heap.vm);
  EXPECT_GT(got.records.size(), 1000u);
  ASSERT_EQ(lines(got), expectedLines(modelReferrers(model, target)));
}

}  // namespace
}  // namespace refs
