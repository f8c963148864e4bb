#include "tests/cli/random_dump.h"

#include <algorithm>
#include <map>

#include "heapkit/hprof_writer.h"
#include "tests/common/testkit.h"

namespace clitest {

using hproftest::kInt;
using hproftest::kRef;

std::string randomDump(std::mt19937& rng) {
  hproftest::HprofWriter w(8);
  constexpr uint64_t kObject = 0x100, kClass = 0x108, kThread = 0x110, kObjects = 0x118,
                     kArrays = 0x120, kInts = 0x128, kFirstClass = 0x200, kFirstObject = 0x10000;
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  w.defineClass(kObject, 0, "java/lang/Object", {});
  w.defineClass(kClass, kObject, "java/lang/Class", {});
  w.defineClass(kThread, kObject, "java/lang/Thread",
                {{"name", kRef}, {"eetop", hproftest::kLong}});
  w.defineClass(kObjects, kObject, "[Ljava/lang/Object;", {});
  w.defineClass(kArrays, kObject, "[[Ljava/lang/Object;", {});
  w.defineClass(kInts, kObject, "[I", {});
  const char* names[] = {"a", "b", "next", "value"};
  const uint32_t classes = 3 + below(5), objects = 40 + below(160);
  std::vector<uint64_t> ids(objects);
  std::vector<char> kinds(objects);
  for (uint32_t i = 0; i < objects; ++i) {
    ids[i] = kFirstObject + 8 * i;
    const uint32_t r = below(20);
    kinds[i] = r < 11 ? 'I' : r < 16 ? 'A' : r < 18 ? 'B' : 'P';  // B: an array of arrays
  }
  auto anyId = [&]() -> uint64_t { return below(8) == 0 ? 0 : ids[below(objects)]; };
  std::vector<std::vector<hproftest::Field>> fields(classes);
  for (uint32_t c = 0; c < classes; ++c) {
    const uint64_t super = c > 0 && below(2) ? kFirstClass + 8 * below(c) : kObject;
    std::vector<std::string> own;  // in no particular order
    for (uint32_t f = below(4); f-- > 0;)
      if (const char* n = names[below(4)]; std::find(own.begin(), own.end(), n) == own.end())
        own.push_back(n);
    for (const std::string& n : own) fields[c].push_back({n, kRef});
    if (below(2)) fields[c].push_back({"count", kInt});
    std::vector<hproftest::Static> statics;
    for (uint32_t f = below(3); f-- > 0;)
      statics.push_back({"s" + std::to_string(f), kRef, anyId()});
    statics.push_back({"n", kInt, 0});  // a test may give it a handle's value
    w.defineClass(kFirstClass + 8 * c, super, "hw/K" + std::to_string(c), fields[c], statics);
    if (below(2)) w.rootStickyClass(kFirstClass + 8 * c);
  }
  // Repeats come from a small pool, so an array often holds one object at several indices.
  std::vector<uint64_t> pool;
  for (int i = 0; i < 6; ++i) pool.push_back(ids[below(objects)]);
  for (uint32_t i = 0; i < objects && pool.size() < 8; ++i)  // and a primitive array or two
    if (kinds[i] == 'P' && below(2)) pool.push_back(ids[i]);
  for (uint32_t i = 0; i < objects; ++i) {
    if (kinds[i] == 'I') {
      std::map<std::string, uint64_t> values;
      for (const char* n : names) values[n] = below(3) ? anyId() : pool[below(pool.size())];
      w.instance(ids[i], kFirstClass + 8 * below(classes), values);
    } else if (kinds[i] == 'A' || kinds[i] == 'B') {
      std::vector<uint64_t> elements(below(12) == 0 ? 500 + below(3000) : below(10));
      for (uint64_t& e : elements) {
        if (kinds[i] == 'B') {
          const uint64_t candidate = ids[below(objects)];
          const char k = kinds[(candidate - kFirstObject) / 8];
          e = k == 'A' || k == 'B' || k == 'P' ? candidate : 0;
        } else {
          e = below(2) ? pool[below(pool.size())] : anyId();
        }
      }
      w.objectArray(ids[i], kinds[i] == 'B' ? kArrays : kObjects, elements);
    } else {
      w.primitiveArray(ids[i], kInt, std::vector<uint64_t>(below(4), 7));
    }
  }
  for (int r = below(4); r-- > 0;) w.rootJniGlobal(ids[below(objects)]);
  const uint64_t thread = kFirstObject + 8 * objects;
  w.instance(thread, kThread, {{"eetop", 0x7f0012345678ull}});
  w.rootThreadObject(thread, 1, 2);
  for (uint32_t d = below(4); d-- > 0;) w.rootJavaFrame(ids[below(objects)], 1, below(2));
  w.flushSegment();
  const uint32_t threadSerial = w.loadClass(kThread, "java/lang/Thread");
  w.trace(1, 0, {});
  w.trace(2, 1, {w.frame("run", threadSerial), w.frame("main", threadSerial)});
  return w.finish();
}

cli::GlobalOptions optionsFor(const std::string& dump) {
  cli::GlobalOptions o;
  o.heap = dump;
  o.lib = testkit::libraryDir();
  return o;
}

}  // namespace clitest
