// The synthetic dump most loader tests read: a few JDK classes and a small application heap.
//
//   hw/Scene.chain ──► link0 ──► link1 ──leaf──► leaf
//   hw/Scene.self ──► (class hw/Scene)        Integer.TYPE ──► int mirror
//   holderA ─items─► bases[ derived, base, null ]   holderA ─any/ints─► ints[1,2,3]
//   holderB ─items─► empty[]  ─any─► bases          nest[[ bases, empty, null ]]
//   "nul\0after": a String with U+0000 inside
//   derived ─b─► "hello" (Latin-1)     base ─b─► 0xDEAD0 (not in the dump)
//   weak ─referent─► onlyWeak
//   worker thread: main() ─► run() ─► deeper() holding local twice, main() holding derived
//   idle thread: no frames
//   hw/Dup twice (boot loader and loader 0x7777); [Lhw/Dup; of loader 0x7777 holds the second
//
// The instance of hw/Derived and its classes come in an odd order: the instance before the
// CLASS DUMPs, LOAD CLASS records after the heap segments.
#pragma once
#include <bit>
#include <string>

#include "heapkit/hprof_writer.h"

namespace hproftest {

namespace ids {
constexpr uint64_t kObject = 0x1000, kClass = 0x1008, kString = 0x1010, kThread = 0x1018,
                   kReference = 0x1020, kWeak = 0x1028, kInteger = 0x1030, kBase = 0x1040,
                   kDerived = 0x1048, kScene = 0x1050, kBaseArray = 0x1060, kBaseArray2 = 0x1068,
                   kIntArray = 0x1070, kByteArray = 0x1078, kCharArray = 0x1080,
                   kObjectArray = 0x1088, kHolder = 0x1090, kLink = 0x10A0, kDup = 0x10B0,
                   kDup2 = 0x10B8, kDupArray = 0x10C0;
constexpr uint64_t kDerivedObj = 0x5000, kHello = 0x5008, kHelloBytes = 0x5010,
                   kWorkerName = 0x5018, kWorkerNameBytes = 0x5020, kInts = 0x5100, kInts2 = 0x5110,
                   kHolderA = 0x5200, kHolderB = 0x5208, kBases = 0x5300, kEmpty = 0x5310,
                   kBaseObj = 0x5400, kNest = 0x5500, kWeakObj = 0x5600, kOnlyWeak = 0x5700,
                   kLink0 = 0x5800, kLink1 = 0x5808, kLeaf = 0x5810, kWorker = 0x5900,
                   kIdle = 0x5908, kLocal = 0x5920, kIntMirror = 0x9000, kOtherMirror = 0x9008,
                   kDupObj = 0x5A00, kDup2Obj = 0x5A08, kDupArrayObj = 0x5A10, kMissing = 0xDEAD0,
                   kNulText = 0x5B00, kNulTextBytes = 0x5B08;
constexpr uint64_t kBooleans = 0x6000, kChars = 0x6008, kFloats = 0x6010, kDoubles = 0x6018,
                   kBytes = 0x6020, kShorts = 0x6028, kLongs = 0x6030;
constexpr uint64_t kDupLoader = 0x7777;
}  // namespace ids

inline uint64_t floatBits(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t doubleBits(double d) { return std::bit_cast<uint64_t>(d); }

// "wörker-世" as a JDK 9+ UTF-16 String holds it: little-endian units.
inline std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

inline std::string writeScene(uint32_t idSize, size_t segmentBytes = 1 << 20) {
  using namespace ids;
  HprofWriter w(idSize);
  w.setSegmentBytes(segmentBytes);
  const std::vector<Field> baseFields{{"a", kInt}, {"b", kRef}, {"c", kLong}, {"d", kBoolean}};
  const std::vector<Field> derivedFields{
      {"x", kInt}, {"arr", kRef}, {"fl", kFloat}, {"sh", kShort}};
  w.shape(kBase, kObject, baseFields);
  w.shape(kDerived, kBase, derivedFields);
  w.instance(kDerivedObj, kDerived,
             {{"a", 1},
              {"b", kHello},
              {"c", 0x1122334455667788ull},
              {"d", 1},
              {"x", uint32_t(-5)},
              {"arr", kInts},
              {"fl", floatBits(1.5f)},
              {"sh", 0xFFFE}});

  w.classDump(kObject, 0, {});
  w.classDump(kClass, kObject, {{"name", kRef}});
  w.classDump(kString, kObject,
              {{"value", kRef}, {"coder", kByte}, {"hash", kInt}, {"hashIsZero", kBoolean}});
  w.classDump(kThread, kObject,
              {{"name", kRef},
               {"priority", kInt},
               {"daemon", kBoolean},
               {"eetop", kLong},
               {"target", kRef},
               {"tid", kLong}});
  w.classDump(kReference, kObject,
              {{"referent", kRef}, {"queue", kRef}, {"next", kRef}, {"discovered", kRef}});
  w.classDump(kWeak, kReference, {});
  w.classDump(kInteger, kObject, {{"value", kInt}}, {{"TYPE", kRef, kIntMirror}});
  w.classDump(kBase, kObject, baseFields);
  w.classDump(kDerived, kBase, derivedFields);
  w.classDump(kScene, kObject, {},
              {{"chain", kRef, kLink0},
               {"counter", kInt, 42},
               {"big", kLong, 7},
               {"self", kRef, kScene},
               {"tiny", kByte, 0xFF}});
  for (uint64_t array : {kBaseArray, kBaseArray2, kIntArray, kByteArray, kCharArray, kObjectArray})
    w.classDump(array, kObject, {});
  w.classDump(kHolder, kObject,
              {{"items", kRef},
               {"any", kRef},
               {"obj", kRef},
               {"mix", kRef},
               {"nothing", kRef},
               {"ints", kRef}});
  w.classDump(kLink, kObject, {{"next", kRef}, {"leaf", kRef}});
  w.classDump(kDup, kObject, {{"n", kInt}});
  w.classDump(kDup2, kObject, {{"n", kInt}}, {}, kDupLoader);
  w.classDump(kDupArray, kObject, {}, {}, kDupLoader);

  w.instance(kHello, kString, {{"value", kHelloBytes}, {"coder", 0}});
  w.byteArray(kHelloBytes, "hello");
  w.instance(kWorkerName, kString, {{"value", kWorkerNameBytes}, {"coder", 1}});
  w.byteArray(kWorkerNameBytes, utf16le(u"w\u00f6rker-\u4e16"));
  w.instance(kNulText, kString, {{"value", kNulTextBytes}, {"coder", 0}});
  w.byteArray(kNulTextBytes, std::string("nul\0after", 9));
  w.primitiveArray(kInts, kInt, {1, 2, 3});
  w.primitiveArray(kInts2, kInt, {uint32_t(-9)});
  w.instance(
      kHolderA, kHolder,
      {{"items", kBases}, {"any", kInts}, {"obj", kDerivedObj}, {"mix", kBases}, {"ints", kInts}});
  w.instance(kHolderB, kHolder,
             {{"items", kEmpty},
              {"any", kBases},
              {"obj", kDerivedObj},
              {"mix", kDerivedObj},
              {"ints", kInts2}});
  w.objectArray(kBases, kBaseArray, {kDerivedObj, kBaseObj, 0});
  w.objectArray(kEmpty, kBaseArray, {});
  w.instance(kBaseObj, kBase, {{"a", 2}, {"b", kMissing}});
  w.objectArray(kNest, kBaseArray2, {kBases, kEmpty, 0});
  w.instance(kWeakObj, kWeak, {{"referent", kOnlyWeak}});
  w.instance(kOnlyWeak, kBase, {{"a", 3}});
  w.instance(kLink0, kLink, {{"next", kLink1}});
  w.instance(kLink1, kLink, {{"leaf", kLeaf}});
  w.instance(kLeaf, kBase, {{"a", 4}});
  w.instance(kLocal, kBase, {{"a", 5}});
  w.instance(kWorker, kThread,
             {{"name", kWorkerName}, {"priority", 5}, {"eetop", 0x7f0012345678ull}, {"tid", 21}});
  w.instance(kIdle, kThread, {{"priority", 1}});
  w.instance(kIntMirror, kClass, {});
  w.instance(kOtherMirror, kClass, {});
  w.instance(kDupObj, kDup, {{"n", 1}});
  w.instance(kDup2Obj, kDup2, {{"n", 2}});
  w.objectArray(kDupArrayObj, kDupArray, {kDup2Obj});
  w.primitiveArray(kBooleans, kBoolean, {1, 0, 1});
  w.primitiveArray(kChars, kChar, {'A', 0x4E16});
  w.primitiveArray(kFloats, kFloat, {floatBits(-0.25f)});
  w.primitiveArray(kDoubles, kDouble, {doubleBits(2.5), 0x7ff8000000000000ull});
  w.primitiveArray(kBytes, kByte, {0x80, 0x7F});
  w.primitiveArray(kShorts, kShort, {0x8001});
  w.primitiveArray(kLongs, kLong, {0x0102030405060708ull});

  w.rootThreadObject(kWorker, 1, 2);
  w.rootJavaFrame(kLocal, 1, 0);
  w.rootJavaFrame(kDerivedObj, 1, 2);
  w.rootJavaFrame(kLocal, 1, 0);
  w.rootThreadObject(kIdle, 2, 3);
  w.rootJniGlobal(kBases);
  w.rootStickyClass(kScene);
  w.flushSegment();

  // Names and stacks after the heap: the loader must not depend on record order.
  w.loadClass(kObject, "java/lang/Object");
  w.loadClass(kClass, "java/lang/Class");
  w.loadClass(kString, "java/lang/String");
  const uint32_t threadSerial = w.loadClass(kThread, "java/lang/Thread");
  w.loadClass(kReference, "java/lang/ref/Reference");
  w.loadClass(kWeak, "java/lang/ref/WeakReference");
  w.loadClass(kInteger, "java/lang/Integer");
  w.loadClass(kBase, "hw/Base");
  w.loadClass(kDerived, "hw/Derived");
  w.loadClass(kScene, "hw/Scene");
  w.loadClass(kBaseArray, "[Lhw/Base;");
  w.loadClass(kBaseArray, "[Lhw/Base;");  // array classes may be loaded again under new serials
  w.loadClass(kBaseArray2, "[[Lhw/Base;");
  w.loadClass(kIntArray, "[I");
  w.loadClass(kByteArray, "[B");
  w.loadClass(kCharArray, "[C");
  w.loadClass(kObjectArray, "[Ljava/lang/Object;");
  w.loadClass(kHolder, "hw/Holder");
  w.loadClass(kLink, "hw/Link");
  w.loadClass(kDup, "hw/Dup");
  w.loadClass(kDup2, "hw/Dup");
  w.loadClass(kDupArray, "[Lhw/Dup;");
  w.trace(1, 0, {});
  const uint64_t deeper = w.frame("deeper", threadSerial);
  const uint64_t run = w.frame("run", threadSerial);
  const uint64_t main = w.frame("main", threadSerial);
  w.trace(2, 1, {deeper, run, main});
  w.trace(3, 2, {});
  return w.finish();
}

}  // namespace hproftest
