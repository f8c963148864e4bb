// The mutator's thread, and the two VM operations only a running VM does: moving a body and
// returning from a method.
#include "simvm/mutator.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

#include "simvm/vm_state.h"

namespace simvm {

void Vm::moveBody(uint32_t h) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (!s.live(h)) throw VmError("moveBody: not a live slot");
  const uint32_t body = State::get32(h);
  const uint32_t methods = State::get32(h + 4);
  const int32_t type = static_cast<int32_t>(methods & 0x1F);
  uint32_t bytes;
  if (type == kObject) {
    const ClassRecord* rec = s.record(s.classOf(h));
    if (!rec) throw VmError("moveBody: an object of no known class");
    bytes = rec->instanceSize;
  } else if (type == kObjectArray) {
    bytes = 4 * ((methods >> 5) + 1);  // the elements and the element class word
  } else {
    bytes = primitiveElementSize(type) * (methods >> 5);
  }
  bytes = std::max<uint32_t>(8, bytes);
  const uint32_t moved = s.alloc(bytes, 8);
  for (uint32_t i = 0; i + 4 <= bytes; i += 4) State::put32(moved + i, State::get32(body + i));
  State::put32(h, moved);  // the copy is whole before any reader can find it
}

bool Vm::popFrame(uint32_t thread) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (!s.isPlainObject(thread) || !s.isSubclass(s.classOf(thread), s.wk.thread))
    throw VmError("popFrame: not a live thread object");
  const uint32_t block = State::get32(State::get32(thread) + 12);  // eetop: the ThreadBlock
  if (!s.readable(block, kThreadBlockBytes))
    throw VmError("popFrame: the thread has no ThreadBlock");
  const uint32_t frame = State::get32(block + 8);  // innermost
  if (frame == 0) return false;
  State::put32(block + 8, State::get32(frame + 16));  // its outer frame becomes the innermost
  return true;
}

struct Mutator::State {
  Vm& vm;
  MutatorConfig config;
  std::mt19937 rng;
  std::atomic<bool> stopping{false};
  mutable std::mutex countsMutex;
  MutationCounts counts;
  std::string error;

  std::vector<uint32_t> objects, arrays;  // alive, as far as the mutator knows
  std::vector<uint32_t> frames;           // pushed by us, not yet given a local
  std::unordered_map<uint32_t, std::vector<std::string>> refFields;  // per class
  std::unordered_map<uint32_t, uint32_t> depth;                      // frames per thread
  uint32_t newSlots = 0;
  uint32_t startBytes = 0;
  int loadedClasses = 0;

  State(Vm& v, MutatorConfig c) : vm(v), config(std::move(c)), rng(config.seed) {
    objects = config.objects;
    arrays = config.arrays;
    startBytes = vm.bytesUsed();
  }

  uint32_t below(size_t n) {
    return std::uniform_int_distribution<uint32_t>(0, uint32_t(n) - 1)(rng);
  }

  // Instance reference fields of cls, inherited ones included.
  const std::vector<std::string>& fieldsOf(uint32_t cls) {
    auto it = refFields.find(cls);
    if (it != refFields.end()) return it->second;
    std::vector<std::string> names;
    for (uint32_t c = cls; c != 0; c = vm.superclassOf(c))
      for (const FieldDecl& f : vm.fieldsOf(c))
        if (!f.isStatic && (f.signature[0] == 'L' || f.signature[0] == '['))
          names.push_back(f.name);
    return refFields[cls] = names;
  }

  uint32_t anyValue() {
    const size_t n = config.targets.size() + objects.size() + arrays.size();
    if (n == 0) return 0;
    size_t i = below(n + 1);  // now and then null
    if (i < config.targets.size()) return config.targets[i];
    i -= config.targets.size();
    if (i < objects.size()) return objects[i];
    i -= objects.size();
    return i < arrays.size() ? arrays[i] : 0;
  }

  bool roomFor(uint32_t slots) const {
    return newSlots + slots <= config.maxNewSlots &&
           vm.bytesUsed() - startBytes < config.maxNewBytes;
  }

  void bump(uint64_t MutationCounts::*field) {
    std::lock_guard<std::mutex> lock(countsMutex);
    ++(counts.*field);
  }

  void store() {
    if (!objects.empty() && below(3) != 0) {
      const uint32_t obj = objects[below(objects.size())];
      const auto& names = fieldsOf(vm.classOfObject(obj));
      if (names.empty()) return;
      vm.setField(obj, names[below(names.size())], anyValue());
    } else if (!arrays.empty()) {
      const uint32_t array = arrays[below(arrays.size())];
      const uint32_t length = vm.methodsOf(array) >> 5;
      if (length == 0) return;
      vm.setElement(array, below(length), anyValue());
    } else {
      return;
    }
    bump(&MutationCounts::stored);
  }

  void move() {
    std::vector<uint32_t>& pool = below(2) ? objects : arrays;
    if (pool.empty() || !roomFor(0)) return;
    vm.moveBody(pool[below(pool.size())]);
    bump(&MutationCounts::moved);
  }

  void allocate() {
    if (config.classes.empty() || !roomFor(1)) return;
    const uint32_t cls = config.classes[below(config.classes.size())];
    if (below(3) == 0) {
      const uint32_t array = vm.newObjectArray(cls, below(6));
      arrays.push_back(array);
    } else {
      objects.push_back(vm.newObject(cls));
    }
    newSlots++;
    bump(&MutationCounts::allocated);
  }

  void freeOne() {
    std::vector<uint32_t>& pool = below(2) ? objects : arrays;
    if (pool.size() < 8) return;  // keep something to work on
    const size_t i = below(pool.size());
    vm.freeSlot(pool[i]);
    pool[i] = pool.back();
    pool.pop_back();
    bump(&MutationCounts::freed);
  }

  void pushOrPop() {
    if (config.threads.empty()) return;
    const uint32_t thread = config.threads[below(config.threads.size())];
    uint32_t& d = depth[thread];
    if (d > 0 && (d >= config.maxFrames || below(2) == 0)) {
      if (vm.popFrame(thread)) bump(&MutationCounts::popped);
      d--;
      return;
    }
    if (!roomFor(0)) return;
    const uint16_t locals = static_cast<uint16_t>(1 + below(4));
    const uint32_t frame = vm.pushFrame(thread, "step" + std::to_string(below(4)), locals);
    for (uint16_t i = 0; i < locals; i++) vm.setLocal(frame, i, anyValue());
    d++;
    bump(&MutationCounts::pushed);
  }

  void loadClass() {
    if (config.classes.empty() || !roomFor(1) || loadedClasses >= 64) return;
    ClassDecl decl;
    decl.name = "t/Loaded" + std::to_string(loadedClasses++);
    decl.super = config.classes[below(config.classes.size())];
    decl.fields = {FieldDecl{"more", "Ljava/lang/Object;"},
                   FieldDecl{"shared", "Ljava/lang/Object;", true, anyValue()}};
    config.classes.push_back(vm.defineClass(decl));
    newSlots++;
    bump(&MutationCounts::loaded);
  }

  void step() {
    const uint32_t roll = below(100);
    if (roll < 35)
      store();
    else if (roll < 55)
      move();
    else if (roll < 68)
      allocate();
    else if (roll < 78)
      freeOne();
    else if (roll < 98)
      pushOrPop();
    else
      loadClass();
  }

  void run() {
    try {
      while (!stopping.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 16; i++) step();
        std::this_thread::yield();  // a VM's threads take turns; so do the callers here
      }
    } catch (const std::exception& e) {  // a builder call refused: a fault of the mutator's
      std::lock_guard<std::mutex> lock(countsMutex);
      error = e.what();
    }
  }
};

Mutator::Mutator(Vm& vm, MutatorConfig config)
    : s_(std::make_unique<State>(vm, std::move(config))) {
  thread_ = std::thread([this] { s_->run(); });
}

Mutator::~Mutator() { stop(); }

void Mutator::stop() {
  s_->stopping.store(true);
  if (thread_.joinable()) thread_.join();
}

std::string Mutator::error() const {
  std::lock_guard<std::mutex> lock(s_->countsMutex);
  return s_->error;
}

MutationCounts Mutator::counts() const {
  std::lock_guard<std::mutex> lock(s_->countsMutex);
  return s_->counts;
}

}  // namespace simvm
