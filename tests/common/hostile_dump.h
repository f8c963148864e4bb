// A dump whose names and texts are hostile (see hostile_text.h): each class has one instance,
// held by a static field of the class and holding a String by an instance field; each thread
// has one frame whose local holds an instance.
//
//   Ki.S<field i> ──► ki ──<field i>──► String i
//   thread j (its name a String) ── frame <method j>() ──► k(j mod classes)
#pragma once
#include <string>
#include <vector>

#include "heapkit/hprof_writer.h"
#include "tests/common/hostile_text.h"

namespace hostile {

struct Heap {
  std::vector<std::string> classNames;   // each written after "h/K<i>_", which keeps them apart
  std::vector<std::string> fieldNames;   // instance field i of class i; its static is "S" + this
  std::vector<std::string> strings;      // the String class i's instance holds (Latin-1 bytes)
  std::vector<std::string> threadNames;  // Latin-1 bytes too
  std::vector<std::string> methodNames;  // thread i's frame
  size_t plainClasses = 0;  // more classes, "h/P<i>", an instance each: a census past one page

  static constexpr uint64_t kFirstClass = 0x10000, kFirstInstance = 0x20000, kFirstString = 0x30000,
                            kFirstThread = 0x40000, kFirstPlain = 0x50000;
  // Class, instance, String and thread i sit at kFirst... + 32 * i; a String's bytes 8 above it,
  // a thread's name 8 above the thread, a plain class's instance 8 above the class.
  static uint64_t id(uint64_t first, size_t i) { return first + 32 * static_cast<uint64_t>(i); }
  std::string className(size_t i) const { return "h/K" + std::to_string(i) + "_" + classNames[i]; }
};

inline std::string writeDump(const Heap& h) {
  using hproftest::kRef;
  constexpr uint64_t kObject = 0x1000, kClass = 0x1008, kString = 0x1010, kThread = 0x1018,
                     kBytes = 0x1020;
  hproftest::HprofWriter w(8);
  w.defineClass(kObject, 0, "java/lang/Object", {});
  w.defineClass(kClass, kObject, "java/lang/Class", {});
  w.defineClass(kString, kObject, "java/lang/String",
                {{"value", kRef}, {"coder", hproftest::kByte}});
  w.defineClass(kThread, kObject, "java/lang/Thread", {{"name", kRef}});
  w.defineClass(kBytes, kObject, "[B", {});
  auto string = [&](uint64_t id, const std::string& text) {
    w.instance(id, kString, {{"value", id + 8}, {"coder", 0}});
    w.byteArray(id + 8, text);
  };
  for (size_t i = 0; i < h.classNames.size(); ++i) {
    const uint64_t cls = Heap::id(Heap::kFirstClass, i), obj = Heap::id(Heap::kFirstInstance, i);
    w.defineClass(cls, kObject, h.className(i), {{h.fieldNames[i], kRef}},
                  {{"S" + h.fieldNames[i], kRef, obj}});
    w.instance(obj, cls, {{h.fieldNames[i], Heap::id(Heap::kFirstString, i)}});
    string(Heap::id(Heap::kFirstString, i), h.strings[i]);
    w.rootStickyClass(cls);
  }
  for (size_t i = 0; i < h.plainClasses; ++i) {
    const uint64_t cls = Heap::id(Heap::kFirstPlain, i);
    w.defineClass(cls, kObject, "h/P" + std::to_string(i), {});
    w.instance(cls + 8, cls, {});
  }
  for (size_t i = 0; i < h.threadNames.size(); ++i) {
    const uint64_t thread = Heap::id(Heap::kFirstThread, i);
    w.instance(thread, kThread, {{"name", thread + 8}});
    string(thread + 8, h.threadNames[i]);
    // Serials: the thread's is i + 1, its trace's 100 + i; class serial 4 is java/lang/Thread.
    w.rootThreadObject(thread, static_cast<uint32_t>(i + 1), static_cast<uint32_t>(100 + i));
    w.rootJavaFrame(Heap::id(Heap::kFirstInstance, i % h.classNames.size()),
                    static_cast<uint32_t>(i + 1), 0);
  }
  w.flushSegment();
  for (size_t i = 0; i < h.threadNames.size(); ++i)
    w.trace(static_cast<uint32_t>(100 + i), static_cast<uint32_t>(i + 1),
            {w.frame(h.methodNames[i], 4)});
  return w.finish();
}

// Every kind of text holding all the pieces in a row, then each piece alone (some escapers
// pass a text through untouched while it holds nothing they escape).
inline Heap allInEveryText() {
  Heap h;
  std::vector<std::string> texts{all()};
  texts.insert(texts.end(), pieces().begin(), pieces().end());
  for (const std::string& t : texts) {
    std::string latin1;  // what a String may hold: the bytes below 0x80
    for (const char c : t)
      if (static_cast<unsigned char>(c) < 0x80) latin1 += c;
    h.classNames.push_back(t);
    h.fieldNames.push_back(t);
    h.strings.push_back(latin1);
    h.threadNames.push_back(latin1);
    h.methodNames.push_back(t);
  }
  h.plainClasses = 501;
  return h;
}

}  // namespace hostile
