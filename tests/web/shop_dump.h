// Two dumps of a small shop taken a while apart, for the pages' tests: the later one has more
// sessions (the first ones kept under the same ids), a class the earlier lacks, 1,200 orders
// (three pages of a list), and texts with markup in a String, a class name and a thread name.
#pragma once
#include <string>

#include "heapkit/hprof_writer.h"

namespace webtest {

namespace ids {
constexpr uint64_t kObject = 0x1000, kClass = 0x1008, kString = 0x1010, kThread = 0x1018,
                   kBytes = 0x1020, kObjects = 0x1028, kSession = 0x1030, kCache = 0x1038,
                   kNote = 0x1040, kTagged = 0x1048, kAdded = 0x1050, kOrder = 0x1058;
constexpr uint64_t kSessions = 0x2000, kMarkup = 0x2008, kMarkupBytes = 0x2010, kNoteObj = 0x2018,
                   kTaggedObj = 0x2020, kWorker = 0x2028, kWorkerName = 0x2030,
                   kWorkerNameBytes = 0x2038, kAddedObj = 0x2040, kOrders = 0x2048;
constexpr uint64_t kFirstSession = 0x10000;  // sessions at kFirstSession + 16 * i
constexpr uint64_t kFirstOrder = 0x40000;    // orders at kFirstOrder + 16 * i
constexpr int kOrderCount = 1200;
}  // namespace ids

inline constexpr const char* kMarkupText = "<script>document.title='pwned'</script><b>bold</b>";

inline std::string writeShopDump(bool later) {
  using namespace ids;
  using hproftest::kInt;
  using hproftest::kRef;
  hproftest::HprofWriter w(8);
  const int sessions = later ? 7 : 3;
  w.defineClass(kObject, 0, "java/lang/Object", {});
  w.defineClass(kClass, kObject, "java/lang/Class", {});
  w.defineClass(kString, kObject, "java/lang/String",
                {{"value", kRef}, {"coder", hproftest::kByte}});
  w.defineClass(kThread, kObject, "java/lang/Thread", {{"name", kRef}});
  w.defineClass(kBytes, kObject, "[B", {});
  w.defineClass(kObjects, kObject, "[Ljava/lang/Object;", {});
  w.defineClass(kSession, kObject, "shop/Session", {{"id", kInt}, {"note", kRef}});
  w.defineClass(kNote, kObject, "shop/Note", {{"text", kRef}});
  w.defineClass(kTagged, kObject, "shop/Tag<b>x</b>", {});
  w.defineClass(kOrder, kObject, "shop/Order", {{"n", kInt}, {"added", kRef}});
  std::vector<hproftest::Static> statics{{"sessions", kRef, kSessions},
                                         {"tagged", kRef, kTaggedObj}};
  if (later) {
    w.defineClass(kAdded, kObject, "shop/Added", {});
    statics.push_back({"added", kRef, kAddedObj});
    statics.push_back({"orders", kRef, kOrders});
  }
  w.defineClass(kCache, kObject, "shop/Cache", {}, statics);

  std::vector<uint64_t> sessionIds;
  for (int i = 0; i < sessions; ++i) {
    const uint64_t id = kFirstSession + 16 * static_cast<uint64_t>(i);
    sessionIds.push_back(id);
    w.instance(id, kSession,
               {{"id", static_cast<uint64_t>(1000 + i)}, {"note", i == 0 ? kNoteObj : 0}});
  }
  w.objectArray(kSessions, kObjects, sessionIds);
  w.instance(kNoteObj, kNote, {{"text", kMarkup}});
  w.instance(kMarkup, kString, {{"value", kMarkupBytes}, {"coder", 0}});
  w.byteArray(kMarkupBytes, kMarkupText);
  w.instance(kTaggedObj, kTagged, {});
  w.instance(kWorker, kThread, {{"name", kWorkerName}});
  w.instance(kWorkerName, kString, {{"value", kWorkerNameBytes}, {"coder", 0}});
  w.byteArray(kWorkerNameBytes, "<i>worker</i>");
  if (later) {
    w.instance(kAddedObj, kAdded, {});
    std::vector<uint64_t> orders;
    for (int i = 0; i < kOrderCount; ++i) {
      const uint64_t id = kFirstOrder + 16 * static_cast<uint64_t>(i);
      orders.push_back(id);
      // Every order holds the one Added object: a long list of referrers, all alike.
      w.instance(id, kOrder, {{"n", static_cast<uint64_t>(i)}, {"added", kAddedObj}});
    }
    w.objectArray(kOrders, kObjects, orders);
  }
  w.rootStickyClass(kCache);
  w.rootThreadObject(kWorker, 1, 2);
  w.rootJavaFrame(kNoteObj, 1, 0);
  w.flushSegment();
  const uint64_t run = w.frame("run", 4);
  w.trace(1, 0, {});
  w.trace(2, 1, {run});
  return w.finish();
}

}  // namespace webtest
