// Making a VM: the region, then the well-known classes in a fixed order (so their handles are
// the same in every VM at the same placement), then the "main" thread.
#include <atomic>

#include "simvm/vm_state.h"

namespace simvm {

std::atomic<Vm*> currentVm{nullptr};

namespace {

FieldDecl field(const char* name, const char* signature) { return FieldDecl{name, signature}; }

// The classes every VM has loaded before any program runs. Counts and flags are the ones a
// class description of the real classes would show.
struct WellKnown {
  uint32_t Vm::State::WellKnownHandles::*handle;
  const char* name;
  const char* super;  // nullptr: java/lang/Object (none for Object itself)
  const char* source;
  uint16_t methods, interfaces, flags;
  std::vector<FieldDecl> fields;
};

std::vector<WellKnown> wellKnownClasses() {
  using H = Vm::State::WellKnownHandles;
  return {
      {&H::object, "java/lang/Object", nullptr, "Object.java", 12, 0, 0x0021, {}},
      {&H::klass, "java/lang/Class", nullptr, "Class.java", 61, 1, 0x0031, {}},
      {&H::string,
       "java/lang/String",
       nullptr,
       "String.java",
       84,
       3,
       0x0031,
       {field("value", "[C"), field("offset", "I"), field("count", "I"), field("hash", "I")}},
      // eetop must land at body offset 12: the thread scan finds the ThreadBlock there.
      {&H::thread,
       "java/lang/Thread",
       nullptr,
       "Thread.java",
       70,
       1,
       0x0021,
       {field("name", "Ljava/lang/String;"), field("priority", "I"), field("daemon", "Z"),
        field("eetop", "I"), field("target", "Ljava/lang/Runnable;")}},
      {&H::reference,
       "java/lang/ref/Reference",
       nullptr,
       "Reference.java",
       8,
       0,
       0x0421,
       {field("referent", "Ljava/lang/Object;"), field("queue", "Ljava/lang/Object;"),
        field("next", "Ljava/lang/ref/Reference;")}},
      {&H::weak,
       "java/lang/ref/WeakReference",
       "java/lang/ref/Reference",
       "WeakReference.java",
       2,
       0,
       0x0021,
       {}},
      {&H::soft,
       "java/lang/ref/SoftReference",
       "java/lang/ref/Reference",
       "SoftReference.java",
       3,
       0,
       0x0021,
       {}},
      {&H::phantom,
       "java/lang/ref/PhantomReference",
       "java/lang/ref/Reference",
       "PhantomReference.java",
       2,
       0,
       0x0021,
       {}},
      {&H::noClassDef,
       "java/lang/NoClassDefFoundError",
       nullptr,
       "NoClassDefFoundError.java",
       2,
       0,
       0x0021,
       {}},
      {&H::runnable, "java/lang/Runnable", nullptr, "Runnable.java", 1, 0, 0x0601, {}},
      {&H::outputStream, "java/io/OutputStream", nullptr, "OutputStream.java", 6, 0, 0x0421, {}},
      {&H::byteStream,
       "java/io/ByteArrayOutputStream",
       "java/io/OutputStream",
       "ByteArrayOutputStream.java",
       10,
       0,
       0x0021,
       {field("buf", "[B"), field("count", "I")}},
  };
}

}  // namespace

Vm::Vm(const VmConfig& config) : s_(std::make_unique<State>()) {
  linkServices();
  State& s = *s_;
  s.config = config;
  s.reserve();
  // java/lang/Class's MethodTable is needed by every class handle, Object's included.
  s.classMethodTable = s.alloc(kMethodTableBytes, kMethodTableBytes);
  for (const WellKnown& w : wellKnownClasses()) {
    ClassDecl decl;
    decl.name = w.name;
    decl.super = w.super ? findClass(w.super) : 0;
    decl.fields = w.fields;
    decl.secondName = w.source;
    decl.methodCount = w.methods;
    decl.interfaceCount = w.interfaces;
    decl.accessFlags = w.flags;
    s.wk.*w.handle = defineClass(decl);
  }
  setCurrentThread(newThread("main"));
  makeCurrent();
}

Vm::~Vm() {
  Vm* self = this;
  currentVm.compare_exchange_strong(self, nullptr);
}

Vm* Vm::current() { return currentVm.load(); }
void Vm::makeCurrent() { currentVm.store(this); }

uint32_t Vm::objectClass() const { return s_->wk.object; }
uint32_t Vm::classClass() const { return s_->wk.klass; }
uint32_t Vm::stringClass() const { return s_->wk.string; }
uint32_t Vm::threadClass() const { return s_->wk.thread; }
uint32_t Vm::referenceClass() const { return s_->wk.reference; }
uint32_t Vm::weakReferenceClass() const { return s_->wk.weak; }
uint32_t Vm::softReferenceClass() const { return s_->wk.soft; }
uint32_t Vm::phantomReferenceClass() const { return s_->wk.phantom; }
uint32_t Vm::outputStreamClass() const { return s_->wk.byteStream; }

}  // namespace simvm
