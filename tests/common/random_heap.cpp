#include "tests/common/random_heap.h"

#include <string>

namespace pathtest {
namespace {

enum class Kind { kPlain, kThread, kReference };

struct ClassInfo {
  uint32_t handle;
  Kind kind;
  std::vector<std::string> refFields;  // instance reference fields, inherited ones included
  std::vector<std::string> statics;    // static reference fields declared here
};

struct Builder {
  simvm::Vm& vm;
  std::mt19937& rng;
  RandomHeap heap;
  std::vector<ClassInfo> classes;
  double density = 0.5;  // chance that a reference field or element is set
  int fieldCounter = 0;

  uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
  template <typename T>
  const T& oneOf(const std::vector<T>& v) {
    return v[below(static_cast<uint32_t>(v.size()))];
  }

  const ClassInfo* pickClass(Kind kind) {
    std::vector<const ClassInfo*> fit;
    for (const ClassInfo& c : classes)
      if (c.kind == kind) fit.push_back(&c);
    return fit.empty() ? nullptr : oneOf(fit);
  }

  void addClass(int index) {
    static const Kind kKinds[] = {Kind::kPlain, Kind::kPlain, Kind::kPlain, Kind::kThread,
                                  Kind::kReference};
    Kind kind = kKinds[below(5)];
    const ClassInfo* parent = pickClass(kind);
    ClassInfo info{0, kind, {}, {}};
    simvm::ClassDecl decl;
    decl.name = "t/C" + std::to_string(index);
    if (parent && chance(0.6)) {
      decl.super = parent->handle;
      info.refFields = parent->refFields;
    } else if (kind == Kind::kThread) {
      decl.super = vm.threadClass();
      info.refFields = {"name", "target"};
    } else if (kind == Kind::kReference) {
      static const int kRoots = 3;
      uint32_t roots[kRoots] = {vm.weakReferenceClass(), vm.softReferenceClass(),
                                vm.referenceClass()};
      decl.super = roots[below(kRoots)];
      info.refFields = {"referent", "queue", "next"};
    }
    for (uint32_t i = 0, n = 1 + below(5); i < n; i++) {
      std::string name = "f" + std::to_string(fieldCounter++);
      static const char* kSignatures[] = {"Ljava/lang/Object;", "Ljava/lang/Object;",
                                          "[Ljava/lang/Object;", "I", "J"};
      std::string signature = kSignatures[below(5)];
      decl.fields.push_back({name, signature});
      if (signature[0] == 'L' || signature[0] == '[') info.refFields.push_back(name);
    }
    for (uint32_t i = 0, n = below(3); i < n; i++) {
      std::string name = "s" + std::to_string(fieldCounter++);
      bool reference = chance(0.8);
      // A primitive static may hold a value that looks like a handle; it must not count.
      decl.fields.push_back(
          {name, reference ? (chance(0.7) ? "Ljava/lang/Object;" : "[Ljava/lang/Object;") : "I",
           true, 0});
      if (reference) info.statics.push_back(name);
    }
    info.handle = vm.defineClass(decl);
    classes.push_back(info);
  }

  uint32_t elementClass() {
    switch (below(7)) {
      case 0:
        return vm.objectClass();
      case 1:
        return vm.weakReferenceClass();
      case 6:
        return vm.referenceClass();  // Reference itself is no Reference subclass
      case 2:
        return vm.arrayClassOf(vm.objectClass());  // an array of arrays
      case 3:
        return vm.stringClass();
      default:
        return oneOf(classes).handle;  // Reference subclasses among them
    }
  }

  void makeThread() {
    const ClassInfo* c = pickClass(Kind::kThread);
    heap.objects.push_back(
        vm.newThread("t" + std::to_string(heap.objects.size()), c && chance(0.6) ? c->handle : 0));
  }

  void makeObject() {
    switch (below(9)) {
      case 0: {
        uint32_t a = vm.newObjectArray(elementClass(), below(7));
        heap.arrays.push_back(a);
        return;
      }
      case 1:
        heap.primitives.push_back(vm.newArray(chance(0.5) ? simvm::kInt : simvm::kChar, below(4)));
        return;
      case 2: {
        const ClassInfo* c = pickClass(Kind::kReference);
        uint32_t cls = c && chance(0.6) ? c->handle : chance(0.2) ? vm.referenceClass() : 0;
        heap.objects.push_back(vm.newWeakReference(0, cls));
        return;
      }
      default:
        break;
    }
    const ClassInfo* c = pickClass(Kind::kPlain);
    heap.objects.push_back(vm.newObject(c ? c->handle : vm.objectClass()));
  }

  // A value for a reference: mostly a live object or array, sometimes anything else.
  uint32_t value() {
    uint32_t roll = below(100);
    if (roll < 60) return oneOf(heap.objects);
    if (roll < 80 && !heap.arrays.empty()) return oneOf(heap.arrays);
    if (roll < 88) return oneOf(heap.classes);
    if (roll < 93 && !heap.primitives.empty()) return oneOf(heap.primitives);
    return oneOf(heap.junk);
  }

  const ClassInfo* infoOf(uint32_t cls) const {
    for (const ClassInfo& c : classes)
      if (c.handle == cls) return &c;
    return nullptr;
  }

  void wire() {
    for (size_t n = 0; n < heap.objects.size(); n++) {
      uint32_t obj = heap.objects[n];
      uint32_t cls = vm.classOfObject(obj);
      std::vector<std::string> fields;
      if (const ClassInfo* info = infoOf(cls))
        fields = info->refFields;
      else if (cls == vm.threadClass())
        fields = {"name", "target"};
      else if (cls == vm.weakReferenceClass() || cls == vm.referenceClass())
        fields = {"referent", "queue", "next"};
      for (const std::string& f : fields) {
        // Links to the next object made give long chains; the rest are scattered.
        if (n + 1 < heap.objects.size() && chance(0.4))
          vm.setField(obj, f, heap.objects[n + 1]);
        else if (chance(density))
          vm.setField(obj, f, value());
      }
    }
    for (uint32_t a : heap.arrays) {
      uint32_t n = vm.methodsOf(a) >> 5;
      for (uint32_t i = 0; i < n; i++)
        if (chance(density)) vm.setElement(a, i, value());
    }
    for (const ClassInfo& c : classes)
      for (const std::string& s : c.statics)
        if (chance(0.7)) vm.setStatic(c.handle, s, value());
  }

  void addFrames(uint32_t thread) {
    for (uint32_t f = 0, frames = below(4); f < frames; f++) {
      uint16_t locals = static_cast<uint16_t>(below(5));
      std::string method = chance(0.2) ? "" : "run" + std::to_string(f);
      uint32_t frame = vm.pushFrame(thread, method, locals);
      for (uint16_t i = 0; i < locals; i++)
        if (chance(0.5)) vm.setLocal(frame, i, chance(0.85) ? value() : oneOf(heap.junk));
    }
  }

  void build(const RandomHeapShape& shape) {
    density = 0.5 + 0.5 * std::uniform_real_distribution<double>(0, 1)(rng);
    for (int i = 0, n = 2 + static_cast<int>(below(6)); i < n; i++) addClass(i);
    for (uint32_t i = 0, n = 5 + below(shape.maxObjects); i < n; i++) {
      if (i % 16 == 0 && chance(0.7)) makeThread();  // a few threads, some of Thread subclasses
      makeObject();
    }
    heap.classes = vm.classes();
    uint32_t first = vm.tableFirst();
    heap.junk = {first + 4,
                 first - 8,
                 vm.tableEnd(),
                 0xFFFFFFF8u,
                 12345,
                 oneOf(heap.objects) + 4,
                 static_cast<uint32_t>(rng())};
    wire();
    for (uint32_t t : vm.threads())
      if (vm.bodyOf(t) != 0) addFrames(t);  // the calling thread ("main") among them
    uint32_t current = vm.currentThread();
    std::vector<uint32_t>* pools[] = {&heap.objects, &heap.arrays, &heap.primitives};
    for (std::vector<uint32_t>* pool : pools) {
      std::vector<uint32_t> kept;
      for (uint32_t h : *pool) {
        if (h != current && chance(0.05)) {
          vm.freeSlot(h);
          heap.freed.push_back(h);
        } else {
          kept.push_back(h);
        }
      }
      *pool = kept;
    }
    if (heap.objects.empty()) heap.objects.push_back(vm.newObject(vm.objectClass()));
  }
};

}  // namespace

RandomHeap buildRandomHeap(simvm::Vm& vm, std::mt19937& rng, const RandomHeapShape& shape) {
  Builder b{vm, rng, {}, {}};
  b.heap.objects.push_back(vm.newObject(vm.objectClass()));  // so that value() always has one
  b.build(shape);
  return b.heap;
}

uint32_t pickTarget(const RandomHeap& heap, std::mt19937& rng) {
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  auto from = [&](const std::vector<uint32_t>& v, uint32_t fallback) {
    return v.empty() ? fallback : v[below(v.size())];
  };
  uint32_t roll = static_cast<uint32_t>(below(100));
  if (roll < 60) return from(heap.objects, 0);
  if (roll < 75) return from(heap.arrays, 0);
  if (roll < 83) return from(heap.classes, 0);
  if (roll < 88) return from(heap.freed, 0);
  if (roll < 92) return from(heap.primitives, 0);
  if (roll < 94) return 0;
  return from(heap.junk, 0);
}

int32_t pickMaxNodes(std::mt19937& rng) {
  static const int32_t kLimits[] = {-1,   0,       1,         2,         3,    5,    8,   20,
                                    1000, 1 << 30, INT32_MAX, INT32_MIN, 1000, 1000, 1000};
  return kLimits[std::uniform_int_distribution<size_t>(0, std::size(kLimits) - 1)(rng)];
}

}  // namespace pathtest
