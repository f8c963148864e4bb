#include "heapkit/app_heap.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

namespace heapkit {
namespace {

constexpr uint32_t kMaxDepth = 6;
constexpr uint32_t kThreads = 8;
constexpr uint32_t kWeakEvery = 20000;  // one weak reference per this many bulk slots
constexpr uint32_t kMaxPrimitiveLength = 64;
constexpr uint32_t kMaxObjectArrayLength = 16;
constexpr uint32_t kNear = 64;         // a nearby link lands within this many slots
constexpr double kMiddleShare = 0.02;  // of the plain objects, for middleClass

// Two thirds of the packages start with "app/", so that a prefix matches some classes only.
const char* const kPackages[] = {"app/model/", "app/service/", "app/web/",
                                 "app/util/",  "lib/json/",    "lib/db/"};
const char* const kPrimitiveArrays[] = {"[I", "[B", "[C", "[J"};
const int32_t kPrimitiveTypes[] = {simvm::kInt, simvm::kByte, simvm::kChar, simvm::kLong};

struct AppClass {
  uint32_t handle = 0;
  int parent = -1;  // index in the class list, -1 for a top class
  uint32_t depth = 1;
  uint32_t sizeBound = 8;                 // bytes an instance body can take at most
  std::vector<std::string> objectFields;  // "L" instance fields, inherited ones included
  std::vector<std::string> arrayFields;   // "[I"-like instance fields
  std::vector<std::string> statics;       // static reference fields declared here
  std::vector<uint32_t> objectOffsets, arrayOffsets;
  simvm::ClassDecl decl;  // its superclass filled in when defined
};

enum Kind : uint8_t { kPlain, kObjectArray, kPrimitive, kWeak };

struct Planned {
  Kind kind;
  uint16_t type;    // class index for kPlain, element class index for kObjectArray, type slot
  uint32_t length;  // of an array
};

struct Builder {
  const AppHeapShape& shape;
  std::mt19937 rng;
  std::vector<AppClass> classes;
  std::vector<Planned> plan;
  std::vector<uint32_t> handles;      // of the bulk, in plan order
  std::vector<uint8_t> reserved;      // chain members: no random link lands on them
  std::vector<uint32_t> primitiveAt;  // plan indices of primitive arrays, ascending
  int fieldCounter = 0;

  explicit Builder(const AppHeapShape& s) : shape(s), rng(s.seed) {}

  uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  void planClasses() {
    for (uint32_t i = 0; i < shape.classes; i++) {
      AppClass c;
      std::vector<int> parents;
      for (size_t k = 0; k < classes.size(); k++)
        if (classes[k].depth < kMaxDepth) parents.push_back(static_cast<int>(k));
      if (!parents.empty() && chance(0.75)) {
        c.parent = parents[below(static_cast<uint32_t>(parents.size()))];
        const AppClass& p = classes[static_cast<size_t>(c.parent)];
        c.depth = p.depth + 1;
        c.sizeBound = p.sizeBound;
        c.objectFields = p.objectFields;
        c.arrayFields = p.arrayFields;
      }
      classes.push_back(c);
      classes.back().decl = declare(i);  // the superclass's fields are known by now
    }
  }

  simvm::ClassDecl declare(uint32_t i) {
    AppClass& c = classes[i];
    simvm::ClassDecl decl;
    const char* package =
        c.parent >= 0 && chance(0.8) ? nullptr : kPackages[below(std::size(kPackages))];
    if (!package) {  // mostly beside the superclass
      const std::string& parentName = classes[static_cast<size_t>(c.parent)].decl.name;
      decl.name = parentName.substr(0, parentName.rfind('/') + 1);
    } else {
      decl.name = package;
    }
    decl.name += "C" + std::to_string(i);
    for (uint32_t f = 0, n = 2 + below(7); f < n; f++) {
      std::string name = "f" + std::to_string(fieldCounter++);
      uint32_t roll = below(100);
      std::string signature;
      if (roll < 40) {
        signature = "Ljava/lang/Object;";
        c.objectFields.push_back(name);
      } else if (roll < 50) {
        signature = kPrimitiveArrays[below(std::size(kPrimitiveArrays))];
        c.arrayFields.push_back(name);
      } else {
        static const char* const kPrimitives[] = {"I", "J", "Z", "D", "I"};
        signature = kPrimitives[below(std::size(kPrimitives))];
      }
      decl.fields.push_back({name, signature});
      c.sizeBound += 8;
    }
    if (chance(0.25)) {
      std::string name = "s" + std::to_string(fieldCounter++);
      decl.fields.push_back({name, "Ljava/lang/Object;", true, 0});
      c.statics.push_back(name);
    }
    return decl;
  }

  void planBulk() {
    // Zipf-like popularity: the class of rank r (a shuffled order) has weight 1 / r.
    std::vector<uint32_t> rank(classes.size());
    for (uint32_t i = 0; i < rank.size(); i++) rank[i] = i + 1;
    std::shuffle(rank.begin(), rank.end(), rng);
    std::vector<double> weights;
    for (uint32_t r : rank) weights.push_back(1.0 / r);
    std::discrete_distribution<uint32_t> popular(weights.begin(), weights.end());

    plan.reserve(shape.slots);
    for (uint32_t i = 0; i < shape.slots; i++) {
      uint32_t roll = below(100);
      if (i % kWeakEvery == kWeakEvery / 2) {
        plan.push_back({kWeak, 0, 0});
      } else if (roll < 70) {
        plan.push_back({kPlain, static_cast<uint16_t>(popular(rng)), 0});
      } else if (roll < 90) {
        plan.push_back(
            {kObjectArray, static_cast<uint16_t>(popular(rng)), below(kMaxObjectArrayLength + 1)});
      } else {
        plan.push_back({kPrimitive, static_cast<uint16_t>(below(std::size(kPrimitiveTypes))),
                        below(kMaxPrimitiveLength + 1)});
        primitiveAt.push_back(i);
      }
    }
  }

  uint64_t arenaBound() const {
    uint64_t bytes = 64u << 20;  // classes, names, threads, frames, strings made by queries
    for (const Planned& p : plan) {
      switch (p.kind) {
        case kPlain:
          bytes += classes[p.type].sizeBound + 8;
          break;
        case kWeak:
          bytes += 64;
          break;
        case kObjectArray:
          bytes += 4 * (p.length + 1) + 8;
          break;
        case kPrimitive:
          bytes += 8 * p.length + 8;
          break;
      }
    }
    return bytes;
  }

  // A plain object or object array near plan index i (now and then anywhere), or 0.
  uint32_t linkFrom(uint32_t i) {
    const uint32_t n = static_cast<uint32_t>(plan.size());
    for (int attempt = 0; attempt < 4; attempt++) {
      uint32_t j;
      if (chance(0.9)) {
        uint32_t d = 1 + below(kNear);
        j = chance(0.5) ? i + d : i - d;  // wraps past either end to an invalid index
      } else {
        j = below(n);
      }
      if (j < n && !reserved[j] && plan[j].kind != kPrimitive) return handles[j];
    }
    return 0;
  }

  uint32_t primitiveNear(uint32_t i) {
    if (primitiveAt.empty()) return 0;
    uint32_t want = i + below(2 * kNear);
    want = want > kNear ? want - kNear : 0;
    auto at = std::lower_bound(primitiveAt.begin(), primitiveAt.end(), want);
    if (at == primitiveAt.end()) --at;
    return handles[*at];
  }
};

// The classes, in plan order, with the offsets of their planned fields; then app/Registry,
// the report stream, the message array and the threads.
void defineClasses(Builder& b, AppHeap& heap) {
  simvm::Vm& vm = *heap.vm;
  for (uint32_t i = 0; i < b.classes.size(); i++) {
    AppClass& c = b.classes[i];
    simvm::ClassDecl decl = c.decl;
    if (c.parent >= 0) decl.super = b.classes[static_cast<size_t>(c.parent)].handle;
    c.handle = vm.defineClass(decl);
    for (const std::string& f : c.objectFields)
      c.objectOffsets.push_back(vm.fieldOffset(c.handle, f));
    for (const std::string& f : c.arrayFields)
      c.arrayOffsets.push_back(vm.fieldOffset(c.handle, f));
    heap.classes.push_back(c.handle);
  }
  simvm::ClassDecl registry;
  registry.name = "app/Registry";
  registry.fields = {{"root", "Ljava/lang/Object;", true, 0}};
  heap.registry = vm.defineClass(registry);
  heap.stream = vm.newOutputStream();
  heap.messageOut = vm.newObjectArray(vm.stringClass(), 1);
  for (uint32_t t = 0; t < kThreads; t++)
    heap.threads.push_back(vm.newThread("worker-" + std::to_string(t)));
}

// The bulk, bodies in handle order: nothing else is allocated until it is made.
void makeBulk(Builder& b, AppHeap& heap) {
  simvm::Vm& vm = *heap.vm;
  const uint32_t weak = vm.weakReferenceClass();
  b.handles.reserve(b.plan.size());
  for (const Planned& p : b.plan) {
    switch (p.kind) {
      case kPlain:
        b.handles.push_back(vm.newObject(b.classes[p.type].handle));
        break;
      case kWeak:
        b.handles.push_back(vm.newObject(weak));
        break;
      case kObjectArray:
        b.handles.push_back(vm.newObjectArray(b.classes[p.type].handle, p.length));
        break;
      case kPrimitive:
        b.handles.push_back(vm.newArray(kPrimitiveTypes[p.type], p.length));
        break;
    }
  }
  heap.bulkSlots = static_cast<uint32_t>(b.handles.size());
}

// The chain's members, in chain order: plain objects with an object field, picked at random
// and reserved, so that no random link lands on them.
std::vector<uint32_t> pickChain(Builder& b) {
  b.reserved.assign(b.plan.size(), 0);
  std::vector<uint32_t> linkable;
  for (uint32_t i = 0; i < b.plan.size(); i++)
    if (b.plan[i].kind == kPlain && !b.classes[b.plan[i].type].objectOffsets.empty())
      linkable.push_back(i);
  std::shuffle(linkable.begin(), linkable.end(), b.rng);
  linkable.resize(std::min<size_t>(linkable.size(), b.shape.chainLength));
  for (uint32_t i : linkable) b.reserved[i] = 1;
  return linkable;
}

// The bulk's random links: fields, elements and referents.
void linkBulk(Builder& b, AppHeap& heap) {
  simvm::Vm& vm = *heap.vm;
  const uint32_t referent = vm.fieldOffset(vm.weakReferenceClass(), "referent");
  auto link = [&](uint32_t at, uint32_t value) {
    vm.write32(at, value);
    if (value) heap.references++;
  };
  for (uint32_t i = 0; i < b.plan.size(); i++) {
    const Planned& p = b.plan[i];
    const uint32_t body = vm.bodyOf(b.handles[i]);
    if (p.kind == kPlain) {
      const AppClass& c = b.classes[p.type];
      for (uint32_t off : c.objectOffsets)
        if (b.chance(0.6)) link(body + off, b.linkFrom(i));
      for (uint32_t off : c.arrayOffsets)
        if (b.chance(0.7)) link(body + off, b.primitiveNear(i));
    } else if (p.kind == kObjectArray) {
      for (uint32_t e = 0; e < p.length; e++)
        if (b.chance(0.7)) link(body + 4 * e, b.linkFrom(i));
    } else if (p.kind == kWeak) {
      link(body + referent, b.linkFrom(i));
    }
  }
}

// Each member refers to the next through its first object field; app/Registry holds the head.
void plantChain(Builder& b, AppHeap& heap, const std::vector<uint32_t>& members) {
  simvm::Vm& vm = *heap.vm;
  for (size_t k = 0; k < members.size(); k++) {
    const uint32_t h = b.handles[members[k]];
    const uint32_t next = k + 1 < members.size() ? b.handles[members[k + 1]] : 0;
    vm.write32(vm.bodyOf(h) + b.classes[b.plan[members[k]].type].objectOffsets[0], next);
    heap.chain.push_back(h);
  }
  if (!heap.chain.empty()) vm.setStatic(heap.registry, "root", heap.chain[0]);
}

// The classes' statics, the sample object and array, and the threads' frames (the first
// thread's innermost holding the sample object).
void holdRoots(Builder& b, AppHeap& heap) {
  simvm::Vm& vm = *heap.vm;
  const uint32_t n = static_cast<uint32_t>(b.plan.size());
  for (const AppClass& c : b.classes)
    for (const std::string& s : c.statics)
      if (b.chance(0.7)) vm.setStatic(c.handle, s, b.linkFrom(b.below(n)));

  for (uint32_t i = 0; i < n && !heap.sampleObject; i++)
    if (b.plan[i].kind == kPlain && !b.reserved[i] && i > n / 2) heap.sampleObject = b.handles[i];
  for (uint32_t i = n / 2; i < n && !heap.sampleArray; i++)
    if (b.plan[i].kind == kObjectArray) heap.sampleArray = b.handles[i];

  for (uint32_t t : heap.threads) {
    for (uint32_t f = 0, frames = 5 + b.below(16); f < frames; f++) {
      const uint16_t locals = static_cast<uint16_t>(1 + b.below(8));
      const uint32_t frame = vm.pushFrame(t, "step" + std::to_string(f), locals);
      for (uint16_t l = 0; l < locals; l++)
        vm.setLocal(frame, l, b.chance(0.75) ? b.linkFrom(b.below(n)) : b.below(1000));
    }
  }
  if (heap.sampleObject)
    vm.setLocal(vm.pushFrame(heap.threads[0], "hold", 1), 0, heap.sampleObject);
}

// The class with subclasses whose instances, its own and its subclasses', are nearest 2%.
uint32_t pickMiddleClass(const Builder& b) {
  std::vector<uint64_t> subtree(b.classes.size(), 0);
  std::vector<uint8_t> hasSub(b.classes.size(), 0);
  uint64_t plain = 0;
  for (const Planned& p : b.plan) {
    if (p.kind != kPlain) continue;
    plain++;
    for (int c = p.type; c >= 0; c = b.classes[static_cast<size_t>(c)].parent)
      subtree[static_cast<size_t>(c)]++;
  }
  for (const AppClass& c : b.classes)
    if (c.parent >= 0) hasSub[static_cast<size_t>(c.parent)] = 1;
  double best = 1e300;
  uint32_t middle = 0;
  for (size_t c = 0; c < b.classes.size(); c++) {
    double off =
        std::abs(static_cast<double>(subtree[c]) - kMiddleShare * static_cast<double>(plain));
    if (hasSub[c] && off < best) {
      best = off;
      middle = b.classes[c].handle;
    }
  }
  return middle;
}

}  // namespace

std::unique_ptr<AppHeap> buildAppHeap(const AppHeapShape& shape) {
  Builder b(shape);
  b.planClasses();
  b.planBulk();
  auto heap = std::make_unique<AppHeap>();
  simvm::VmConfig config;
  config.slots = shape.slots + 4096;  // classes, threads, and what the queries make
  config.arenaBytes = static_cast<uint32_t>(std::min<uint64_t>(b.arenaBound(), 0xC0000000u));
  heap->vm = std::make_unique<simvm::Vm>(config);
  defineClasses(b, *heap);
  makeBulk(b, *heap);
  std::vector<uint32_t> chain = pickChain(b);
  linkBulk(b, *heap);
  plantChain(b, *heap, chain);
  holdRoots(b, *heap);
  heap->middleClass = pickMiddleClass(b);
  return heap;
}

}  // namespace heapkit
