// The memory report against the plain model on many seeded random heaps. Their array fields
// hold object arrays, primitive arrays, class objects, plain objects and junk, shared between
// instances of several classes, so the charge rules meet every kind of value.
#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "tests/common/heap_model.h"
#include "tests/common/random_heap.h"
#include "tests/common/testkit.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 150;
#else
constexpr uint32_t kHeaps = 600;
#endif

using Row = std::tuple<std::string, int32_t, int64_t>;  // class name, instances, bytes

int64_t elementBytes(uint32_t typeCode) {
  switch (typeCode) {
    case 0:
    case 2:
    case 6:
    case 10:
      return 4;
    case 4:
    case 8:
      return 1;
    case 5:
    case 9:
      return 2;
    case 7:
    case 11:
      return 8;
    default:
      return 0;
  }
}

std::vector<Row> modelUsage(const heapmodel::Heap& m, const std::string& prefix) {
  std::map<uint32_t, std::pair<int32_t, int64_t>> perClass;
  std::set<uint32_t> charged;
  for (uint32_t h = m.first(); h < m.end(); h += 8) {
    if (!m.object(h)) continue;
    uint32_t c = m.classOf(h);
    if (c == 0 || c == m.classClass()) continue;
    if (m.name(c).compare(0, prefix.size(), prefix) != 0) continue;
    int64_t size = m.instanceSize(c);
    for (uint32_t k : m.chain(c))
      for (const heapmodel::Field& f : m.fields(k)) {
        uint32_t v = f.isStatic || f.signature != '[' ? 0 : m.instanceValue(h, f);
        if (!m.live(v) || !charged.insert(v).second) continue;
        int64_t each = elementBytes(m.typeCode(v));
        size += 16 + (each ? int64_t(m.length(v)) * each : 0);
      }
    perClass[c].first++;
    perClass[c].second += size;
  }
  std::vector<Row> rows;
  for (const auto& [c, totals] : perClass)
    rows.emplace_back(m.name(c), totals.first, totals.second);
  return rows;
}

// More bytes first, then more instances, then by name.
auto usageKey(const simvm::UsageRecord& r) {
  return std::make_tuple(-r.bytes, -r.count, r.className);
}

// Also the usage of the heap alone (the console's), against the model of the heap before the call.
TEST(UsageDifferential, memory_report_agrees_with_the_model_on_random_heaps) {
  const char* prefixes[] = {"",           "t/", "t/C1", "java/lang/", "java/lang/String",
                            "java.lang.", "zzz"};
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  size_t rowsSeen = 0;
  for (uint32_t seed = 1; seed <= kHeaps; seed++) {
    config.high = seed % 5 == 0 && simvm::Vm::highPlacementAvailable();
    testkit::Heap heap(config);
    std::mt19937 rng(seed);
    pathtest::buildRandomHeap(heap.vm, rng, {});
    std::string prefix = prefixes[seed % std::size(prefixes)];
    {
      // The usage of the heap alone: the call's own objects taken out again.
      const heapmodel::Heap before(heap.vm);
      std::vector<Row> aloneRows, wantRows = modelUsage(before, prefix);
      for (const simvm::UsageRecord& r : heap.call.heapUsage(prefix).records)
        aloneRows.emplace_back(r.className, r.count, r.bytes);
      std::sort(aloneRows.begin(), aloneRows.end());
      std::sort(wantRows.begin(), wantRows.end());
      ASSERT_EQ(aloneRows, wantRows)
          << "heap alone, seed " << seed << " prefix \"" << prefix << "\"";
    }
    simvm::UsageReport got = heap.call.usage(prefix);
    heapmodel::Heap model(heap.vm);  // after the call: its stream and prefix string count too

    std::vector<Row> gotRows, wantRows = modelUsage(model, prefix);
    for (const simvm::UsageRecord& r : got.records)
      gotRows.emplace_back(r.className, r.count, r.bytes);
    std::sort(gotRows.begin(), gotRows.end());
    std::sort(wantRows.begin(), wantRows.end());
    ASSERT_EQ(gotRows, wantRows) << "seed " << seed << " prefix \"" << prefix << "\"";
    for (size_t i = 1; i < got.records.size(); i++)
      ASSERT_LE(usageKey(got.records[i - 1]), usageKey(got.records[i])) << "seed " << seed;
    rowsSeen += got.records.size();
  }
  EXPECT_GT(rowsSeen, kHeaps);
}

// More classes than the walk keeps plans for by class word (1024), counted and not counted,
// their instances made in a shuffled order and sharing some arrays: classes meet in a plan's
// slot, and each must still be charged its own size and arrays.
TEST(UsageDifferential, thousands_of_classes_are_charged_their_own_arrays) {
  simvm::VmConfig config;
  config.slots = 16384;
  config.arenaBytes = 8u << 20;
  testkit::Heap heap(config);
  std::mt19937 rng(5);
  std::vector<uint32_t> made;
  for (uint32_t i = 0; i < 2500; i++) {
    simvm::ClassDecl decl;
    decl.name = (i % 2 ? "t/A" : "t/B") + std::to_string(i);
    for (uint32_t k = 0; k < i % 4; k++) decl.fields.push_back({"n" + std::to_string(k), "I"});
    decl.fields.push_back({"data", "[I"});
    const uint32_t cls = heap.vm.defineClass(decl);
    for (uint32_t k = 1 + i % 3; k > 0; k--) made.push_back(cls);
  }
  std::shuffle(made.begin(), made.end(), rng);
  uint32_t shared = 0;
  for (uint32_t cls : made) {
    const uint32_t obj = heap.vm.newObject(cls);
    if (shared == 0 || rng() % 4 != 0) shared = heap.vm.newArray(10, rng() % 9);  // int[]
    heap.vm.setField(obj, "data", shared);
  }
  for (const char* prefix : {"t/A", "t/"}) {
    simvm::UsageReport got = heap.call.usage(prefix);
    heapmodel::Heap model(heap.vm);
    std::vector<Row> gotRows, wantRows = modelUsage(model, prefix);
    for (const simvm::UsageRecord& r : got.records)
      gotRows.emplace_back(r.className, r.count, r.bytes);
    std::sort(gotRows.begin(), gotRows.end());
    std::sort(wantRows.begin(), wantRows.end());
    EXPECT_GT(gotRows.size(), 1000u);
    ASSERT_EQ(gotRows, wantRows) << "prefix \"" << prefix << "\"";
  }
}

}  // namespace
