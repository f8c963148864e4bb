// ClassTable through its growths: a few hundred classes looked up in a random order, with
// repeats and words that name no class, each entry checked against what the VM was told.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "simvm/vm.h"
#include "vm/handles.h"
#include "vm/memory.h"

namespace {

struct Made {
  uint32_t cls;
  std::string name;
  std::vector<std::pair<uint32_t, std::string>> refFields;  // offset, name: own class first
  bool thread, reference;
};

// The reference instance fields of cls's chain, own class first, each table in order, as the
// VM was told them.
std::vector<std::pair<uint32_t, std::string>> referenceFields(const simvm::Vm& vm, uint32_t cls) {
  std::vector<std::pair<uint32_t, std::string>> out;
  for (uint32_t c = cls; c != 0; c = vm.superclassOf(c))
    for (const simvm::FieldDecl& f : vm.fieldsOf(c))
      if (!f.isStatic && (f.signature[0] == 'L' || f.signature[0] == '['))
        out.push_back({vm.fieldOffset(c, f.name), f.name});
  return out;
}

TEST(ClassTable, each_word_gets_one_entry_that_answers_for_it_through_every_growth) {
  simvm::Vm vm;
  std::mt19937 rng(5);
  std::vector<Made> made = {
      {vm.objectClass(), "java/lang/Object", {}, false, false},
      {vm.threadClass(), "java/lang/Thread", {}, true, false},
      {vm.weakReferenceClass(), "java/lang/ref/WeakReference", {}, false, true}};
  for (int i = 0; i < 600; i++) {
    const Made& super = made[rng() % made.size()];
    simvm::ClassDecl decl;
    decl.name = "t/C" + std::to_string(i);
    decl.super = super.cls;
    for (int f = 0, n = static_cast<int>(rng() % 4); f < n; f++)
      decl.fields.push_back(
          {"f" + std::to_string(f), f % 2 ? "I" : "Ljava/lang/Object;", rng() % 4 == 0});
    made.push_back({vm.defineClass(decl), decl.name, {}, super.thread, super.reference});
  }
  for (Made& m : made) m.refFields = referenceFields(vm, m.cls);
  uint32_t freed = vm.newObject(vm.objectClass());
  vm.freeSlot(freed);
  tv::beginHeapWalk();

  std::vector<uint32_t> words = {0, 4, freed, 0xFFFFFFF8u};
  for (const Made& m : made) words.insert(words.end(), {m.cls, m.cls});
  std::shuffle(words.begin(), words.end(), rng);
  tv::ClassTable t;
  ASSERT_EQ(tv::classTableInit(&t, tv::fieldIsReference, 1), 1);
  std::map<uint32_t, uint32_t> indexOf;  // word -> entry index (pointers move when infos grows)
  std::vector<uint32_t> sizes = {t.mask + 1};
  for (uint32_t word : words) {
    uint32_t before = t.count;
    const tv::ClassInfo* info = tv::classInfoOf(&t, word);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->word, word);
    auto [it, first] = indexOf.emplace(word, before);
    ASSERT_EQ(static_cast<uint32_t>(info - t.infos), it->second)
        << "a word met again finds its entry";
    ASSERT_EQ(t.count, before + (first ? 1 : 0));
    ASSERT_EQ((t.mask + 1) & t.mask, 0u);
    ASSERT_LE(2 * t.count, t.mask + 1);
    if (t.mask + 1 != sizes.back()) {
      ASSERT_GT(2 * t.count, sizes.back()) << "grown only when it would be more than half full";
      sizes.push_back(t.mask + 1);
    }
  }
  EXPECT_EQ(sizes, (std::vector<uint32_t>{256, 512, 1024, 2048}));
  EXPECT_EQ(t.failed, 0);

  for (const Made& m : made) {
    const tv::ClassInfo& info = t.infos[indexOf[m.cls]];
    EXPECT_EQ(info.cls, m.cls);
    EXPECT_STREQ(tv::vmString(info.name), m.name.c_str());
    EXPECT_EQ(info.instanceSize, vm.instanceSize(m.cls));
    EXPECT_EQ(info.isThread, m.thread);
    EXPECT_EQ(info.isReference, m.reference);
    std::vector<std::pair<uint32_t, std::string>> fields;
    for (uint32_t f = 0; f < info.fieldCount; f++) {
      const tv::FieldRef& ref = tv::classFields(&t, &info)[f];
      fields.push_back({ref.offset, tv::vmString(ref.name)});
    }
    EXPECT_EQ(fields, m.refFields) << m.name;
  }
  for (uint32_t junk : {0u, 4u, freed, 0xFFFFFFF8u}) {
    const tv::ClassInfo& info = t.infos[indexOf[junk]];
    EXPECT_EQ(info.cls, 0u);
    EXPECT_EQ(info.fieldCount, 0u);
  }
  tv::classTableFree(&t);
}

}  // namespace
