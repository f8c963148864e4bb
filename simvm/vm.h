// The stand-in VM: a 32-bit Java heap laid out byte for byte as the real VM lays it out, in one
// region of memory below 4 GB, plus the seven services the library calls back into.
//
// Region layout (addresses grow downward in this picture):
//
//   ... everything else: descriptors, names, field tables, method tables, bodies, threads ...
//   descriptor of java/lang/NoClassDefFoundError     <- tableEnd() + 2408
//   (2408 bytes)
//   handle table: slots of 8 bytes, tableFirst() .. tableEnd()
//   guard page (unreadable)                           <- regionBase()
//
// Handles are handed out in ascending address order and never reused. The well-known classes
// are made first, in a fixed order, so their handles are the same in every VM placed at the same
// address. This file never includes the library's headers: it writes every structure with its
// own offsets, so that a wrong offset on either side makes a test fail.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace simvm {

// Raised by builder calls on bad input (unknown field, wrong kind of handle) and when the
// region or the handle table is full. Never raised from inside a VM service.
struct VmError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum TypeCode : int32_t {
  kObject = 0,
  kObjectArray = 2,
  kBoolean = 4,
  kChar = 5,
  kFloat = 6,
  kDouble = 7,
  kByte = 8,
  kShort = 9,
  kInt = 10,
  kLong = 11,
};

// The word after a handle's body pointer: the type code in its low 5 bits, an array's length above.
constexpr int32_t typeCodeOfWord(uint32_t methods) { return static_cast<int32_t>(methods & 0x1F); }
constexpr uint32_t lengthOfWord(uint32_t methods) { return methods >> 5; }

// A primitive type code's letter in signatures ('I' for kInt) and its Java name ("int"); 0 and
// nullptr for kObject, kObjectArray and codes that are no type.
char primitiveLetter(int32_t typeCode);
const char* primitiveName(int32_t typeCode);

struct VmConfig {
  uint32_t slots = 1u << 14;        // handle table capacity
  uint32_t arenaBytes = 32u << 20;  // room above the table for everything else
  bool high = false;                // place the region at or above 2 GB
};

struct FieldDecl {
  std::string name;
  std::string signature;  // "I", "J", "Ljava/lang/Object;", "[I", ...
  bool isStatic = false;
  uint32_t staticValue = 0;  // a static field's initial value word
};

struct ClassDecl {
  std::string name{};               // slash form; array classes begin with '['
  uint32_t super = 0;               // superclass handle; 0 means java/lang/Object (none for Object)
  std::vector<FieldDecl> fields{};  // declared by this class, in table order
  std::string secondName{};         // shown by the class description (e.g. the source file name)
  uint16_t methodCount = 0;         // descriptor offset 74
  uint16_t interfaceCount = 0;      // descriptor offset 80
  uint16_t accessFlags = 0x0001;    // descriptor offset 86; 0x400 = abstract
  bool noName = false;              // leave the name pointer 0 (damaged-heap tests)
  // Another class of this name may exist already (another class loader's, in an imported
  // heap); findClass keeps finding the first.
  bool sharedName = false;
};

struct ThreadInfo {
  uint32_t object;  // the thread object's handle
  uint32_t block;   // its ThreadBlock address
};

class Vm {
 public:
  explicit Vm(const VmConfig& config = {});
  ~Vm();
  Vm(const Vm&) = delete;
  Vm& operator=(const Vm&) = delete;

  // The VM the services act on. The newest Vm becomes current; destroying it clears that.
  static Vm* current();
  void makeCurrent();
  // Whether a region can be placed at or above 2 GB in this process (not under x86-64
  // AddressSanitizer, whose shadow memory covers that range).
  static bool highPlacementAvailable();
  // The largest region (in bytes, a multiple of 256 MB) this process could place now, below
  // 4 GB; the size of any VM that can be made here is below it.
  static uint64_t largestRegion();

  // --- memory ---------------------------------------------------------------------
  uint32_t regionBase() const;  // the guard page
  uint32_t tableFirst() const;
  uint32_t tableEnd() const;
  uint32_t slotsUsed() const;
  uint32_t bytesUsed() const;                          // of the region, for memory figures
  uint32_t alloc(uint32_t bytes, uint32_t align = 8);  // zero-filled, in the arena
  uint32_t putCString(const std::string& bytes);       // NUL-terminated copy
  uint32_t read32(uint32_t address) const;
  uint16_t read16(uint32_t address) const;
  void write32(uint32_t address, uint32_t value);
  void write16(uint32_t address, uint16_t value);
  void* pointer(uint32_t address) const;

  // --- classes --------------------------------------------------------------------
  uint32_t defineClass(const ClassDecl& decl);
  uint32_t findClass(const std::string& name) const;  // slash or dot form; 0 when absent
  // From now on FindClass (and findClass) answer 0 for this name, as in a VM that never loaded
  // the class; the class handle and its objects stay as they are.
  void hideClass(const std::string& name);
  // The class named "[L<name>;" (or "[" + name for an array class), made on first use.
  uint32_t arrayClassOf(uint32_t elementClass);
  std::string className(uint32_t cls) const;
  uint32_t superclassOf(uint32_t cls) const;
  uint32_t descriptorOf(uint32_t cls) const;  // the class handle's body
  std::vector<uint32_t> classes() const;      // every class handle, in definition order
  uint32_t instanceSize(uint32_t cls) const;
  // Instance field offset (searching superclasses) or static FieldEntry address.
  uint32_t fieldOffset(uint32_t cls, const std::string& field) const;
  uint32_t staticEntry(uint32_t cls, const std::string& field) const;

  // Well-known classes, made by the constructor in this order.
  uint32_t objectClass() const;
  uint32_t classClass() const;
  uint32_t stringClass() const;
  uint32_t threadClass() const;
  uint32_t referenceClass() const;  // java/lang/ref/Reference
  uint32_t weakReferenceClass() const;
  uint32_t softReferenceClass() const;
  uint32_t phantomReferenceClass() const;
  uint32_t outputStreamClass() const;  // java/io/ByteArrayOutputStream

  // --- objects and arrays ------------------------------------------------------------
  uint32_t newObject(uint32_t cls);
  void setField(uint32_t obj, const std::string& field, uint32_t value);
  uint32_t getField(uint32_t obj, const std::string& field) const;
  void setStatic(uint32_t cls, const std::string& field, uint32_t value);
  uint32_t getStatic(uint32_t cls, const std::string& field) const;
  uint32_t newArray(int32_t typeCode, uint32_t length);  // primitive, zero-filled
  uint32_t newObjectArray(uint32_t elementClass, uint32_t length);
  // For a loader that makes millions of objects and arrays in a row: request i is made as
  // newObject(cls), newObjectArray(cls, length) or newArray(typeCode, length) would make it,
  // with the same checks, and its handle goes to handles[i]. The lock is taken once and each
  // class looked up about once. A request those calls would refuse throws their VmError, with
  // the handles of the requests before it made and the rest untouched.
  struct NewRequest {
    int32_t typeCode;  // kObject, kObjectArray or a primitive type
    uint32_t cls;      // kObject: the class; kObjectArray: the element class
    uint32_t length;   // arrays
    // kObjectArray: the caller writes the element class word after the elements itself, when
    // it fills the body (a loader's pages are then first touched by that fill, not before).
    bool classWordLater = false;
  };
  void newMany(const NewRequest* requests, size_t count, uint32_t* handles);
  void setElement(uint32_t array, uint32_t index, uint32_t value);
  uint32_t getElement(uint32_t array, uint32_t index) const;
  uint32_t newString(const std::string& utf8);
  std::string stringValue(uint32_t string) const;                  // UTF-8
  uint32_t newWeakReference(uint32_t referent, uint32_t cls = 0);  // cls: a Reference subclass
  void freeSlot(uint32_t h);                                       // body 0
  // Compaction: copies the body of a live object or array to new memory and stores the new
  // address into the slot, last. The old copy stays readable (the arena is never reused).
  void moveBody(uint32_t h);
  uint32_t bodyOf(uint32_t h) const;
  uint32_t methodsOf(uint32_t h) const;
  int32_t typeCodeOf(uint32_t h) const;    // kObject for plain objects and class objects
  uint32_t arrayLength(uint32_t h) const;  // 0 for plain objects
  bool isClassHandle(uint32_t h) const;
  uint32_t classOfObject(uint32_t h) const;  // object: its class; object array: element class

  // --- threads ------------------------------------------------------------------------
  // A thread object (cls: Thread or a subclass) with an empty ThreadBlock.
  uint32_t newThread(const std::string& name, uint32_t cls = 0);
  // Pushes a new innermost frame; an empty method name leaves its MethodBlock 0.
  // Returns the frame's address.
  uint32_t pushFrame(uint32_t thread, const std::string& method, uint16_t localCount);
  void setLocal(uint32_t frame, uint16_t index, uint32_t value);
  // Unlinks the innermost frame (a method returns); false when the thread has none.
  bool popFrame(uint32_t thread);
  std::vector<uint32_t> threads() const;  // thread objects made by newThread, in order
  // One frame of a thread's stack: its method ("" when it has none) and its local slots.
  struct FrameView {
    std::string method;
    std::vector<uint32_t> locals;
  };
  // The frames of a thread, innermost first, as its ThreadBlock links them; false when the
  // object is no thread or has no ThreadBlock (a thread never started, or ended).
  bool framesOf(uint32_t thread, std::vector<FrameView>& frames) const;
  // The Java thread of the calling OS thread ("main" for the thread that made the VM).
  void setCurrentThread(uint32_t thread);
  uint32_t currentThread() const;

  // --- output streams and toString ------------------------------------------------------
  uint32_t newOutputStream();
  const std::string& streamBytes(uint32_t stream) const;
  void clearStream(uint32_t stream);
  // Replaces toString for instances of cls (and subclasses without an override of their own).
  // Returning nullopt makes toString return null.
  void setToString(uint32_t cls, std::function<std::optional<std::string>(uint32_t obj)> fn);

  // --- importing a foreign heap (simvm/class_redefine.cpp) ----------------------------------
  // The fields cls declares, in table order (static values as they stand now).
  std::vector<FieldDecl> fieldsOf(uint32_t cls) const;
  // Replaces the fields cls declares and lays out again the instance fields of cls and of every
  // class below it. Only while none of them has a live instance, whose body would no longer fit.
  void redefineFields(uint32_t cls, const std::vector<FieldDecl>& fields);
  // Gives an existing object of Thread (or a subclass) an empty ThreadBlock in its body word 12,
  // as newThread does, and lists it in threads().
  void attachThreadBlock(uint32_t thread);

  // --- the services, as the extern "C" functions call them ------------------------------
  uint32_t serviceFindClass(const char* name);
  int32_t serviceStaticMethod(uint32_t cls, const char* method, const char* signature);
  int32_t serviceDynamicMethod(uint32_t obj, const char* method, const char* signature,
                               int32_t intArgument);
  // write(int) on an output stream: the one service called once per byte of a report, so a
  // stream this thread wrote to last is written without the VM's lock.
  int32_t serviceWrite(uint32_t stream, int32_t byte);
  uint32_t serviceMakeJavaString(const char* bytes, int32_t length);
  char* serviceMakeCString(uint32_t string);
  int32_t serviceJavaStringLength(uint32_t string);
  uint32_t serviceArrayAlloc(int32_t typeCode, int32_t count);

  // --- giving back what a call took (simvm/call_scope.cpp) ---------------------------------
  struct Mark {
    uint32_t nextSlot = 0, arenaNext = 0;
    size_t classCount = 0;
  };
  Mark mark() const;
  // Frees every handle handed out since the mark and forgets the output streams among them.
  // When no class was made since, the handles and arena bytes are handed out again (zeroed);
  // otherwise the handles stay used, as the new class must. Only while no other thread
  // allocates in this VM or writes to a stream made since the mark.
  void releaseTo(const Mark& mark);

  // The private state; opaque outside simvm's own sources (simvm/vm_state.h).
  struct State;

 private:
  std::unique_ptr<State> s_;
};

// Everything taken from the VM while it lives is given back when it ends (Vm::releaseTo): what a
// console command allocates for one call into the library.
class VmScope {
 public:
  explicit VmScope(Vm& vm) : vm_(vm), mark_(vm.mark()) {}
  ~VmScope() { vm_.releaseTo(mark_); }
  VmScope(const VmScope&) = delete;
  VmScope& operator=(const VmScope&) = delete;

 private:
  Vm& vm_;
  Vm::Mark mark_;
};

}  // namespace simvm
