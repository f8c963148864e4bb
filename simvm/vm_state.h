// The stand-in VM's private state, shared by simvm's own sources only.
//
// Everything the library can see lives in the region (handle table, descriptors, bodies, thread
// structures); the records kept here are the builder's own bookkeeping, so that builder calls
// never have to trust what a test may have overwritten in the region.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "simvm/vm.h"

namespace simvm {

// A field the builder declared, with where it lives.
struct FieldRecord {
  std::string name;
  std::string signature;
  bool isStatic = false;
  uint32_t entry = 0;   // address of its FieldEntry
  uint32_t offset = 0;  // instance fields: byte offset in the body
  uint32_t width = 4;   // instance fields: 4, or 8 for 'J' and 'D'
};

// The records of the fields `owner` declares, checked (a name, a known signature, no name twice)
// and with their widths; entries and offsets are not placed yet.
std::vector<FieldRecord> fieldRecords(const std::string& owner,
                                      const std::vector<FieldDecl>& decls);

struct ClassRecord {
  std::string name;
  uint32_t handle = 0;
  uint32_t super = 0;
  uint32_t descriptor = 0;
  uint32_t methodTable = 0;
  uint32_t instanceSize = 0;
  std::vector<FieldRecord> fields;
};

struct FrameRecord {
  uint32_t locals = 0;
  uint16_t count = 0;
};

using ToStringFn = std::function<std::optional<std::string>(uint32_t obj)>;

// Byte sizes of the region's fixed parts.
constexpr uint32_t kGuardBytes = 4096;      // unreadable page below the first slot
constexpr uint32_t kSlotBytes = 8;          // one handle
constexpr uint32_t kAnchorGap = 2408;       // table end .. NoClassDefFoundError's descriptor
constexpr uint32_t kDescriptorBytes = 96;   // one ClassDescriptor
constexpr uint32_t kMethodTableBytes = 32;  // 32-aligned, so its low five bits are clear
constexpr uint32_t kFieldEntryBytes = 20;
constexpr uint32_t kThreadBlockBytes = 32;
constexpr uint32_t kFrameBytes = 32;
constexpr uint32_t kMethodBlockBytes = 64;
constexpr uint32_t kMaxArrayLength = (1u << 27) - 1;  // the length must fit above the type code

struct Vm::State {
  ~State() { release(); }
  // One lock for the VM's own structures (records, maps, the allocators). Held by every public
  // call that may run beside another thread's, recursive because builder calls nest; never held
  // while a toString override runs, which may call the library again.
  mutable std::recursive_mutex mutex;
  std::lock_guard<std::recursive_mutex> hold() const {
    return std::lock_guard<std::recursive_mutex>(mutex);
  }
  VmConfig config;
  void* mapping = nullptr;
  size_t mappingSize = 0;
  uint32_t base = 0;      // the guard page
  uint32_t first = 0;     // first slot
  uint32_t end = 0;       // end of the table
  uint32_t nextSlot = 0;  // next slot to hand out
  uint32_t arenaStart = 0;
  uint32_t arenaNext = 0;
  uint64_t regionEnd = 0;  // one past the region (may be 2^32)

  std::vector<uint32_t> classOrder;
  std::unordered_map<uint32_t, ClassRecord> classes;
  std::unordered_map<std::string, uint32_t> classByName;
  uint32_t classMethodTable = 0;  // java/lang/Class's MethodTable, made before any class
  bool anchorPlaced = false;      // the descriptor above the table is taken

  struct WellKnownHandles {
    uint32_t object = 0, klass = 0, string = 0, thread = 0, reference = 0, weak = 0, soft = 0,
             phantom = 0, noClassDef = 0, runnable = 0, outputStream = 0, byteStream = 0;
  } wk;

  std::vector<uint32_t> threadObjects;
  std::unordered_map<uint32_t, FrameRecord> frames;
  mutable std::mutex currentMutex;
  std::unordered_map<std::thread::id, uint32_t> currentThreads;

  // An output stream's bytes, with a lock of its own: writers of different streams wait neither
  // for each other nor for the VM's lock. An entry stays where it is until it is erased.
  struct OutputStream {
    // Held for one byte at a time, by writers that almost never meet: a spin lock costs one
    // atomic exchange where a mutex costs two.
    std::atomic_flag writing = ATOMIC_FLAG_INIT;
    std::string bytes;
    void lock() {
      while (writing.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() { writing.clear(std::memory_order_release); }
  };
  std::unordered_map<uint32_t, OutputStream> streams;
  // Takes a new value, one no VM has had, whenever a stream is erased: a writer may keep using an
  // entry it found while this still holds the value it read then (simvm/services.cpp).
  std::atomic<uint64_t> streamsEpoch{newStreamsEpoch()};
  static uint64_t newStreamsEpoch();
  std::unordered_map<uint32_t, ToStringFn> toStrings;
  std::deque<std::string> cStrings;  // makeCString results, alive until the VM dies

  // --- raw memory (callers have checked the address) -------------------------------
  static uint8_t* ptr(uint32_t a) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(a)); }
  // The library reads these words while other threads write them, as in a running VM. An
  // aligned word is stored with release and loaded with acquire (plain moves on x86), so that
  // what was written before a word was published is seen by whoever reads the word; the library
  // loads VM words the same way.
  static uint32_t get32(uint32_t a) {
    if (a % 4 == 0) return __atomic_load_n(reinterpret_cast<uint32_t*>(ptr(a)), __ATOMIC_ACQUIRE);
    uint32_t v;
    std::memcpy(&v, ptr(a), 4);
    return v;
  }
  static uint16_t get16(uint32_t a) {
    if (a % 2 == 0) return __atomic_load_n(reinterpret_cast<uint16_t*>(ptr(a)), __ATOMIC_ACQUIRE);
    uint16_t v;
    std::memcpy(&v, ptr(a), 2);
    return v;
  }
  static void put32(uint32_t a, uint32_t v) {
    if (a % 4 == 0)
      __atomic_store_n(reinterpret_cast<uint32_t*>(ptr(a)), v, __ATOMIC_RELEASE);
    else
      std::memcpy(ptr(a), &v, 4);
  }
  static void put16(uint32_t a, uint16_t v) {
    if (a % 2 == 0)
      __atomic_store_n(reinterpret_cast<uint16_t*>(ptr(a)), v, __ATOMIC_RELEASE);
    else
      std::memcpy(ptr(a), &v, 2);
  }

  // [a, a + n) lies in the readable part of the region (above the guard page).
  bool readable(uint32_t a, uint32_t n) const { return a >= first && uint64_t(a) + n <= regionEnd; }

  // --- region (region.cpp) ------------------------------------------------------------
  void reserve();
  void release();
  uint32_t alloc(uint32_t bytes, uint32_t align);
  uint32_t newSlot(uint32_t body, uint32_t methods);
  // An instance of rec's class, or an array of elementClass (checked by the caller).
  uint32_t makeObject(const ClassRecord& rec);
  uint32_t makeObjectArray(uint32_t elementClass, uint32_t length, bool classWord = true);
  uint32_t makePrimitiveArray(int32_t typeCode, uint32_t length);
  uint32_t putCString(const std::string& bytes);

  // --- handles, checked against the table and the region (objects.cpp) -----------------
  bool handedOut(uint32_t h) const {
    return h >= first && h < nextSlot && (h - first) % kSlotBytes == 0;
  }
  bool live(uint32_t h) const { return handedOut(h) && get32(h) != 0; }
  // Class of a plain object, element class of an object array; 0 for anything else or when
  // the words leading there do not lead to a known class.
  uint32_t classOf(uint32_t h) const;
  bool isPlainObject(uint32_t h) const {
    return live(h) && typeCodeOfWord(get32(h + 4)) == kObject;
  }
  bool isString(uint32_t h) const;
  bool isSubclass(uint32_t cls, uint32_t ancestor) const;

  // --- classes (classes.cpp) ------------------------------------------------------------
  const ClassRecord* record(uint32_t cls) const;
  const ClassRecord& requireClass(uint32_t cls, const char* what) const;
  const FieldRecord* findField(uint32_t cls, const std::string& name, bool isStatic) const;

  // --- strings (strings.cpp) ------------------------------------------------------------
  // UTF-16 units of a live String; nullopt when h is not one or its value array is damaged.
  std::optional<std::u16string> stringUnits(uint32_t h) const;
  uint32_t newStringUnits(const std::u16string& units);

  // --- toString (streams.cpp) -------------------------------------------------------------
  // The override that applies to obj (its class's, or the nearest superclass's); null when
  // Object's own toString applies.
  const ToStringFn* toStringOverride(uint32_t obj) const;
  std::string defaultToString(uint32_t obj) const;
};

std::u16string utf8ToUtf16(const char* bytes, size_t length);
std::string utf16ToUtf8(const std::u16string& units);
std::string utf16ToCString(const std::u16string& units);
std::string dotted(std::string name);

// What Vm::current() answers; the services read it here, without a call, as write(int) is
// called once per byte of a report.
extern std::atomic<Vm*> currentVm;

// Defined next to the extern "C" services; the constructor calls it so that the services'
// object file is always linked into a program that makes a Vm.
void linkServices();

// Element size in bytes of a primitive array type code; 0 for codes that name none.
uint32_t primitiveElementSize(int32_t typeCode);

}  // namespace simvm
