// Helpers shared by the reference-query tests: class builders and reports turned into lines
// ("I 4104 app/Node next") that read like the records themselves.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/common/testkit.h"

namespace refs {

inline simvm::FieldDecl field(const std::string& name,
                              const std::string& sig = "Ljava/lang/Object;") {
  return simvm::FieldDecl{name, sig, false, 0};
}

inline simvm::FieldDecl staticField(const std::string& name,
                                    const std::string& sig = "Ljava/lang/Object;") {
  return simvm::FieldDecl{name, sig, true, 0};
}

inline std::string line(char kind, uint32_t h, const std::string& cls,
                        const std::string& detail = "") {
  std::string s = std::string(1, kind) + " " + std::to_string(h) + " " + cls;
  return detail.empty() ? s : s + " " + detail;
}

inline std::vector<std::string> lines(const simvm::Report& r) {
  std::vector<std::string> out;
  for (const simvm::Record& rec : r.records)
    out.push_back(line(rec.kind, rec.handle, rec.className, rec.detail));
  return out;
}

// The records that describe one of `handles`, in report order: the VM's own objects (thread
// names, well-known classes) stay out of the comparison without changing the order of the rest.
inline std::vector<std::string> linesAbout(const simvm::Report& r,
                                           const std::set<uint32_t>& handles) {
  std::vector<std::string> out;
  for (const simvm::Record& rec : r.records)
    if (handles.count(rec.handle))
      out.push_back(line(rec.kind, rec.handle, rec.className, rec.detail));
  return out;
}

class RefsTest : public testkit::HeapTest {
 protected:
  uint32_t defineClass(const std::string& name, std::vector<simvm::FieldDecl> fields = {},
                       uint32_t super = 0) {
    simvm::ClassDecl decl;
    decl.name = name;
    decl.super = super;
    decl.fields = std::move(fields);
    return vm().defineClass(decl);
  }
  uint32_t newInstance(const std::string& className) {
    uint32_t cls = vm().findClass(className);
    return vm().newObject(cls ? cls : defineClass(className));
  }
  // A thread other than the caller, with one frame per method given (outermost first).
  uint32_t threadRunning(const std::vector<std::pair<std::string, std::vector<uint32_t>>>& frames,
                         uint32_t cls = 0, std::vector<uint32_t>* frameAddresses = nullptr) {
    uint32_t t = vm().newThread("worker", cls);
    for (const auto& [method, locals] : frames) {
      uint32_t f = vm().pushFrame(t, method, static_cast<uint16_t>(locals.size()));
      for (size_t i = 0; i < locals.size(); i++)
        vm().setLocal(f, static_cast<uint16_t>(i), locals[i]);
      if (frameAddresses) frameAddresses->push_back(f);
    }
    return t;
  }
};

}  // namespace refs
