// The records of an HPROF heap dump, read into flat tables before anything is resolved (a dump
// may name a class before describing it, or refer to objects that come later).
//
// Top-level records: u1 tag, u4 time, u4 length, body. The body layouts this reader knows:
//
//   0x01 UTF8            id, text[length - idSize]
//   0x02 LOAD CLASS      u4 serial, id class, u4 trace, id name
//   0x04 STACK FRAME     id frame, id method, id signature, id source, u4 classSerial, i4 line
//   0x05 STACK TRACE     u4 serial, u4 thread, u4 n, id frame x n   (innermost frame first)
//   0x0C HEAP DUMP, 0x1C HEAP DUMP SEGMENT: sub-records, none running past the record's end
//   0x2C HEAP DUMP END   (empty)
//   anything else        skipped by its length, and tallied by tag
//
// Heap sub-records (u1 tag, no length, so an unknown tag ends the reading):
//
//   0xFF unknown root, 0x07 monitor root      id
//   0x01 JNI global root                      id, id
//   0x02 JNI local, 0x03 Java frame root      id, u4 thread, u4 depth
//   0x04 native stack, 0x06 thread block root id, u4 thread
//   0x05 sticky class root                    id
//   0x08 thread object root                   id, u4 thread, u4 trace
//   0x20 CLASS DUMP      id, u4, id super, id loader, id x 4, u4 size, u2 n {u2, u1 type, value},
//                        u2 n {id name, u1 type, value}, u2 n {id name, u1 type}
//   0x21 INSTANCE DUMP   id, u4, id class, u4 n, n bytes (own fields first, then the super's)
//   0x22 OBJECT ARRAY    id, u4, u4 length, id arrayClass, id x length
//   0x23 PRIMITIVE ARRAY id, u4, u4 length, u1 type, length x size(type)
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hprof/ascending_ids.h"
#include "hprof/idindex.h"
#include "hprof/idmap.h"
#include "hprof/reader.h"

namespace simvm::hprof {

// Basic type codes of the dump (2 = object reference).
enum BasicType : uint8_t {
  kTypeArrayRef = 1,
  kTypeRef = 2,
  kTypeBoolean = 4,
  kTypeChar = 5,
  kTypeFloat = 6,
  kTypeDouble = 7,
  kTypeByte = 8,
  kTypeShort = 9,
  kTypeInt = 10,
  kTypeLong = 11,
};
// Bytes a value of the type takes in the dump; 0 for a code that names no type.
uint32_t typeSize(uint8_t type, uint32_t idSize);

struct LoadClass {
  uint32_t serial;
  uint64_t classId;
  uint64_t nameId;
};

struct StackFrame {
  uint64_t methodNameId, signatureId, sourceId;
  uint32_t classSerial;
  int32_t line;
};

struct StackTrace {
  uint32_t serial, threadSerial;
  uint32_t firstFrame, frameCount;  // range in Model::traceFrames
};

struct StaticField {
  uint64_t nameId;
  uint8_t type;
  uint64_t value;  // raw value, zero-extended
};

struct InstanceField {
  uint64_t nameId;
  uint8_t type;
};

struct ClassDump {
  uint64_t id, superId, loaderId, signersId, protectionDomainId;
  uint32_t instanceSize;
  uint32_t firstStatic, staticCount;  // range in Model::statics
  uint32_t firstField, fieldCount;    // range in Model::fields, in dump (reverse declaration) order
  uint64_t offset;                    // of the sub-record, for messages
};

enum class ObjectKind : uint8_t { kInstance, kObjectArray, kPrimitiveArray };

// One INSTANCE DUMP, OBJECT ARRAY DUMP or PRIMITIVE ARRAY DUMP. Its payload (field bytes,
// element ids or element values, still big-endian) lies in the stream's image, Model::image, and
// so do its id and class id (Model::idOf, Model::classIdOf): a dump of many small objects is
// not held twice.
struct HeapObject {
  uint32_t dataLow;
  uint16_t dataHigh;  // the payload's stream offset, 48 bits of it: data()
  ObjectKind kind;
  uint8_t elementType;  // primitive arrays
  uint32_t length;      // instance: payload bytes; arrays: element count

  uint64_t data() const { return uint64_t(dataHigh) << 32 | dataLow; }
  void setData(uint64_t offset) {
    dataLow = static_cast<uint32_t>(offset);
    dataHigh = static_cast<uint16_t>(offset >> 32);
  }
  static constexpr uint64_t kDataLimit = uint64_t(1) << 48;
};
static_assert(sizeof(HeapObject) == 12, "twelve bytes an object of the dump");

// Stream offset of the object's sub-record, for messages: its fixed part precedes the payload.
inline uint64_t recordOffset(const HeapObject& o, uint32_t idSize) {
  return o.data() - (o.kind == ObjectKind::kPrimitiveArray ? idSize + 10 : 2 * idSize + 9);
}

// An object's id, read from its sub-record in the stream's image: the id follows the tag.
struct ObjectIdAt {
  const HeapObject* objects = nullptr;
  const uint8_t* image = nullptr;
  uint32_t idSize = 8;
  uint64_t operator()(size_t j) const {
    return beId(image + recordOffset(objects[j], idSize) + 1, idSize);
  }
};

struct FrameRoot {
  uint64_t objectId;
  uint32_t threadSerial, depth;
};

// Sub-record tags of the roots kept in Model::otherRoots.
enum RootTag : uint8_t {
  kRootJniGlobal = 0x01,
  kRootJniLocal = 0x02,
  kRootNativeStack = 0x04,
  kRootStickyClass = 0x05,
  kRootThreadBlock = 0x06,
  kRootMonitorUsed = 0x07,
  kRootUnknown = 0xFF,
};

struct OtherRoot {
  uint64_t objectId;
  uint32_t threadSerial;  // 0 for the kinds that name no thread
  uint8_t tag;
};

struct ThreadRoot {
  uint64_t objectId;
  uint32_t threadSerial, traceSerial;
};

struct Model {
  uint32_t idSize = 0;
  uint64_t timeMillis = 0;
  uint64_t streamBytes = 0;
  uint64_t leastVmBytes = 0;  // what the objects read so far take in a VM at least
  uint64_t regionLimit = 0;   // the largest region placeable here, once looked up

  // UTF8 records: id -> index into utf8Spans; the texts lie in textPool.
  IdMap utf8;
  std::vector<std::pair<uint64_t, uint32_t>> utf8Spans;  // (offset in textPool, length)
  std::string textPool;

  std::vector<LoadClass> loadClasses;
  IdMap frameIndex;  // frame id -> index into frames
  std::vector<StackFrame> frames;
  std::vector<StackTrace> traces;
  std::vector<uint64_t> traceFrames;

  std::vector<ClassDump> classes;
  std::vector<StaticField> statics;
  std::vector<InstanceField> fields;
  std::vector<HeapObject> objects;
  // The whole stream, kept by the Reader: object payloads are read from it in place.
  const uint8_t* image = nullptr;
  // Gives the image's pages within [from, to) back (Reader::release): nothing may read them again.
  std::function<void(uint64_t from, uint64_t to)> releaseImage = [](uint64_t, uint64_t) {};
  // Every class and object id -> its node: classes are nodes [0, classes.size()), the objects
  // follow in dump order. While the objects' ids ascend in dump order (a JDK's order), their
  // index is the position an id is found at (objectIds) and ids indexes the classes only; once
  // one does not, every object's (id, index) pair is listed in idPairs, and ids indexes them all.
  bool objectIdsAscend = true;
  uint64_t lastObjectId = 0;
  AscendingIds<ObjectIdAt> objectIds;
  std::vector<IdIndex::Pair> idPairs;
  IdIndex ids;
  // The node of a class or object id; IdIndex::kMissing when the dump has none.
  uint32_t nodeOf(uint64_t id) const {
    if (objectIdsAscend) {
      const uint32_t j = objectIds.find(id);
      if (j != IdIndex::kMissing) return static_cast<uint32_t>(classes.size()) + j;
    }
    return ids.find(id);
  }

  std::vector<SkippedRecords> skipped;  // top-level records not read, by tag

  std::vector<FrameRoot> frameRoots;
  std::vector<ThreadRoot> threadRoots;
  std::vector<OtherRoot> otherRoots;

  // The object's id, from its sub-record.
  uint64_t idOf(const HeapObject& o) const { return ObjectIdAt{&o, image, idSize}(0); }
  // An instance's class, an object array's array class; 0 for a primitive array.
  uint64_t classIdOf(const HeapObject& o) const {
    switch (o.kind) {
      case ObjectKind::kInstance:  // ... id class, u4 size, payload
        return beId(image + o.data() - 4 - idSize, idSize);
      case ObjectKind::kObjectArray:  // ... id array class, elements
        return beId(image + o.data() - idSize, idSize);
      default:
        return 0;
    }
  }

  // The text of a UTF8 record; false when the dump has none for the id.
  bool text(uint64_t id, std::string_view& out) const {
    const uint32_t i = utf8.find(id);
    if (i == IdMap::kMissing) return false;
    out = std::string_view(textPool).substr(utf8Spans[i].first, utf8Spans[i].second);
    return true;
  }
};

// "0x1f" style, for messages.
std::string hexId(uint64_t id);

// Asks the kernel to back the bulk of [p, p + bytes) with huge pages (a hint; may do nothing).
void adviseHugePages(void* p, size_t bytes);
// Gives the whole pages within [from, to) back to the system: nothing may read them again (where
// that is not possible it does nothing).
void releasePages(const void* from, const void* to);

// Reads the whole stream. Raises HprofError (with the offset) on anything it cannot read.
Model readModel(Reader& in);

}  // namespace simvm::hprof
