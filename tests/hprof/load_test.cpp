// Loading synthetic dumps (tests/hprof/scene.h) and reading the heap back through the VM's
// accessors and through the library's queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <unistd.h>
#endif

#ifdef TAVOLIN_HAVE_ZLIB
#include <zlib.h>
#endif

#include "hprof/reader.h"
#include "simvm/library.h"
#include "tests/common/testkit.h"
#include "tests/hprof/hprof_testing.h"
#include "tests/hprof/scene.h"
#include "vm/layout.h"

namespace {

using namespace hproftest;
using namespace hproftest::ids;

std::vector<std::string> fieldNames(const simvm::Vm& vm, uint32_t cls) {
  std::vector<std::string> out;
  for (const simvm::FieldDecl& f : vm.fieldsOf(cls)) out.push_back(f.name);
  return out;
}

std::string signatureOf(const simvm::Vm& vm, uint32_t cls, const std::string& field) {
  for (const simvm::FieldDecl& f : vm.fieldsOf(cls))
    if (f.name == field) return f.signature;
  return "<no field " + field + ">";
}

uint64_t read64(const simvm::Vm& vm, uint32_t address) {
  uint64_t v;
  std::memcpy(&v, vm.pointer(address), 8);
  return v;
}

class SceneLoad : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override { heap_ = loadBytes(writeScene(GetParam(), 256)); }
  simvm::Vm& vm() { return *heap_->vm; }
  uint32_t h(uint64_t id) { return handleOf(*heap_, id); }
  uint32_t body(uint64_t id) { return vm().bodyOf(h(id)); }
  std::unique_ptr<simvm::LoadedHeap> heap_;
};

TEST_P(SceneLoad, classes_keep_their_names_superclasses_and_fields_in_declaration_order) {
  EXPECT_EQ(heap_->idSize, GetParam());
  EXPECT_EQ(vm().className(h(kDerived)), "hw/Derived");
  EXPECT_EQ(vm().superclassOf(h(kDerived)), h(kBase));
  EXPECT_EQ(vm().superclassOf(h(kBase)), vm().objectClass());
  EXPECT_EQ(fieldNames(vm(), h(kBase)), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(fieldNames(vm(), h(kDerived)), (std::vector<std::string>{"x", "arr", "fl", "sh"}));
  EXPECT_EQ(fieldNames(vm(), h(kScene)),
            (std::vector<std::string>{"chain", "counter", "big", "self", "tiny"}));
  // 32-bit layout: 4 bytes a field, 8 for the long, continuing after the superclass.
  EXPECT_EQ(vm().fieldOffset(h(kBase), "c"), 8u);
  EXPECT_EQ(vm().fieldOffset(h(kBase), "d"), 16u);
  EXPECT_EQ(vm().fieldOffset(h(kDerived), "x"), 20u);
  EXPECT_EQ(vm().instanceSize(h(kDerived)), 36u);
  EXPECT_EQ(vm().className(h(kBaseArray)), "[Lhw/Base;");
  EXPECT_EQ(heap_->classes, 23u);  // 21 CLASS DUMPs and 2 primitive mirrors
  EXPECT_EQ(heap_->objects, 33u);
}

TEST_P(SceneLoad, well_known_classes_are_reused_with_the_dumps_fields_added) {
  EXPECT_EQ(h(kString), vm().stringClass());
  EXPECT_EQ(h(kThread), vm().threadClass());
  EXPECT_EQ(h(kWeak), vm().weakReferenceClass());
  const std::vector<std::string> thread = fieldNames(vm(), vm().threadClass());
  ASSERT_GE(thread.size(), 6u);
  EXPECT_EQ(thread.back(), "tid");
  EXPECT_EQ(std::count(thread.begin(), thread.end(), "name"), 1);
  EXPECT_EQ(vm().fieldOffset(vm().threadClass(), "eetop"), 12u);
  EXPECT_EQ(signatureOf(vm(), vm().referenceClass(), "discovered"), "Ljava/lang/Object;");
  // The reference subclasses moved with Reference's new field.
  EXPECT_EQ(vm().instanceSize(vm().weakReferenceClass()), vm().instanceSize(vm().referenceClass()));
  EXPECT_EQ(vm().getField(h(kWeakObj), "referent"), h(kOnlyWeak));
  // The VM's own startup thread is not part of the loaded heap.
  EXPECT_EQ(vm().bodyOf(vm().currentThread()), 0u);
}

TEST_P(SceneLoad, instance_fields_hold_the_dumped_values) {
  const uint32_t b = body(kDerivedObj);
  EXPECT_EQ(vm().read32(b + 0), 1u);
  EXPECT_EQ(vm().read32(b + 4), h(kHello));
  EXPECT_EQ(read64(vm(), b + 8), 0x1122334455667788ull);
  EXPECT_EQ(vm().read32(b + 16), 1u);
  EXPECT_EQ(vm().read32(b + 20), uint32_t(-5));
  EXPECT_EQ(vm().read32(b + 24), h(kInts));
  EXPECT_EQ(vm().read32(b + 28), floatBits(1.5f));
  EXPECT_EQ(vm().read32(b + 32), uint32_t(-2));  // a short, sign-extended
  EXPECT_EQ(vm().getField(h(kLink0), "next"), h(kLink1));
  EXPECT_EQ(vm().getField(h(kLink1), "leaf"), h(kLeaf));
  EXPECT_EQ(vm().getField(h(kWorker), "priority"), 5u);
  EXPECT_EQ(read64(vm(), body(kWorker) + vm().fieldOffset(vm().threadClass(), "tid")), 21u);
}

TEST_P(SceneLoad, reference_field_signatures_follow_the_values_they_hold) {
  const uint32_t holder = h(kHolder);
  EXPECT_EQ(signatureOf(vm(), holder, "items"), "[Lhw/Base;");
  EXPECT_EQ(signatureOf(vm(), holder, "ints"), "[I");
  EXPECT_EQ(signatureOf(vm(), holder, "any"), "[Ljava/lang/Object;");  // int[] and Base[]
  EXPECT_EQ(signatureOf(vm(), holder, "obj"), "Lhw/Derived;");
  EXPECT_EQ(signatureOf(vm(), holder, "mix"), "Ljava/lang/Object;");  // arrays and objects
  EXPECT_EQ(signatureOf(vm(), holder, "nothing"), "Ljava/lang/Object;");
  EXPECT_EQ(signatureOf(vm(), h(kBase), "b"), "Ljava/lang/String;");  // "hello" and a dangling id
  EXPECT_EQ(signatureOf(vm(), h(kDerived), "arr"), "[I");
  EXPECT_EQ(signatureOf(vm(), h(kScene), "chain"), "Lhw/Link;");
  EXPECT_EQ(signatureOf(vm(), h(kScene), "self"), "Ljava/lang/Class;");
  EXPECT_EQ(signatureOf(vm(), h(kScene), "big"), "J");
  EXPECT_EQ(signatureOf(vm(), h(kDerived), "sh"), "S");
}

TEST_P(SceneLoad, strings_read_back_from_latin1_and_utf16) {
  EXPECT_EQ(vm().stringValue(h(kHello)), "hello");
  EXPECT_EQ(vm().stringValue(h(kWorkerName)), "w\xc3\xb6rker-\xe4\xb8\x96");
  // The byte[] value became the VM's char[] under the same handle.
  EXPECT_EQ(vm().getField(h(kHello), "value"), h(kHelloBytes));
  EXPECT_EQ(vm().methodsOf(h(kHelloBytes)), (5u << 5) | simvm::kChar);
  EXPECT_EQ(vm().getField(h(kWorkerName), "count"), 8u);
  EXPECT_EQ(vm().getField(h(kWorkerName), "coder"), 1u);
}

TEST_P(SceneLoad, primitive_arrays_hold_every_type_little_endian) {
  EXPECT_EQ(vm().methodsOf(h(kInts)), (3u << 5) | simvm::kInt);
  EXPECT_EQ(vm().getElement(h(kInts), 2), 3u);
  EXPECT_EQ(vm().getElement(h(kInts2), 0), uint32_t(-9));
  EXPECT_EQ(vm().getElement(h(kBooleans), 0), 1u);
  EXPECT_EQ(vm().getElement(h(kBooleans), 1), 0u);
  EXPECT_EQ(vm().getElement(h(kChars), 1), 0x4E16u);
  EXPECT_EQ(vm().getElement(h(kFloats), 0), floatBits(-0.25f));
  EXPECT_EQ(read64(vm(), body(kDoubles)), doubleBits(2.5));
  EXPECT_EQ(read64(vm(), body(kDoubles) + 8), 0x7ff8000000000000ull);
  EXPECT_EQ(vm().getElement(h(kBytes), 0), 0x80u);
  EXPECT_EQ(vm().getElement(h(kShorts), 0), 0x8001u);
  EXPECT_EQ(read64(vm(), body(kLongs)), 0x0102030405060708ull);
  EXPECT_EQ(vm().methodsOf(h(kLongs)) & 0x1F, uint32_t(simvm::kLong));
}

TEST_P(SceneLoad, object_arrays_take_their_element_class_from_the_array_class_name) {
  EXPECT_EQ(vm().classOfObject(h(kBases)), h(kBase));
  EXPECT_EQ(vm().getElement(h(kBases), 0), h(kDerivedObj));
  EXPECT_EQ(vm().getElement(h(kBases), 2), 0u);
  EXPECT_EQ(vm().methodsOf(h(kEmpty)), uint32_t(simvm::kObjectArray));
  EXPECT_EQ(vm().classOfObject(h(kNest)), h(kBaseArray));  // [[Lhw/Base; holds [Lhw/Base;
  EXPECT_EQ(vm().getElement(h(kNest), 1), h(kEmpty));
  // Two classes are named hw/Dup: the array of loader 0x7777 holds that loader's.
  EXPECT_NE(h(kDup), h(kDup2));
  EXPECT_EQ(vm().className(h(kDup2)), "hw/Dup");
  EXPECT_EQ(vm().classOfObject(h(kDupArrayObj)), h(kDup2));
  EXPECT_EQ(vm().findClass("hw/Dup"), h(kDup));
}

TEST_P(SceneLoad, statics_hold_handles_and_32_bit_words) {
  EXPECT_EQ(vm().getStatic(h(kScene), "chain"), h(kLink0));
  EXPECT_EQ(vm().getStatic(h(kScene), "self"), h(kScene));
  EXPECT_EQ(vm().getStatic(h(kScene), "counter"), 42u);
  EXPECT_EQ(vm().getStatic(h(kScene), "tiny"), 0xFFFFFFFFu);  // a byte, sign-extended
  EXPECT_EQ(vm().getStatic(h(kScene), "big"), 0u);            // a long does not fit the value word
}

TEST_P(SceneLoad, primitive_mirrors_become_classes_named_by_their_wrapper) {
  ASSERT_TRUE(vm().isClassHandle(h(kIntMirror)));
  EXPECT_EQ(vm().className(h(kIntMirror)), "int");
  EXPECT_EQ(vm().getStatic(h(kInteger), "TYPE"), h(kIntMirror));
  ASSERT_TRUE(vm().isClassHandle(h(kOtherMirror)));
  EXPECT_EQ(vm().className(h(kOtherMirror)).rfind("<unnamed class", 0), 0u);
}

TEST_P(SceneLoad, references_to_ids_missing_from_the_dump_become_null_and_are_counted) {
  // Base.b, and the loader 0x7777 of hw/Dup and of [Lhw/Dup;, which the scene does not dump.
  EXPECT_EQ(heap_->danglingReferences, 3u);
  ASSERT_EQ(heap_->dangling.size(), 3u);
  EXPECT_EQ(heap_->dangling[0].referrer, kBaseObj);
  EXPECT_EQ(heap_->dangling[0].where, "b");
  EXPECT_EQ(heap_->dangling[0].missing, kMissing);
  EXPECT_EQ(heap_->dangling[1].where, "<class loader>");
  EXPECT_EQ(heap_->dangling[1].missing, kDupLoader);
  EXPECT_EQ(vm().getField(h(kBaseObj), "b"), 0u);
  EXPECT_EQ(heap_->handleOfId.count(kMissing), 0u);
}

TEST_P(SceneLoad, id_and_handle_maps_are_inverse) {
  EXPECT_EQ(heap_->handleOfId.size(), heap_->idOfHandle.size());
  EXPECT_EQ(heap_->handleOfId.size(), heap_->objects + heap_->classes);
  for (const auto& [id, handle] : heap_->handleOfId) {
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(heap_->idOfHandle.at(handle), id);
  }
}

TEST_P(SceneLoad, threads_get_one_frame_per_stack_frame_holding_their_java_frame_roots) {
  EXPECT_EQ(heap_->threads, 2u);
  const uint32_t block = vm().read32(body(kWorker) + tv::kThreadBlock);
  ASSERT_NE(block, 0u);
  struct Seen {
    std::string method;
    std::vector<uint32_t> locals;
  };
  std::vector<Seen> frames;
  for (uint32_t f = vm().read32(block + tv::kBlockInnermost); f && frames.size() < 10;
       f = vm().read32(f + tv::kFrameOuter)) {
    const uint32_t method = vm().read32(f + tv::kFrameMethod);
    Seen s{static_cast<const char*>(vm().pointer(vm().read32(method + tv::kMethodName))), {}};
    for (uint16_t i = 0; i < vm().read16(method + tv::kMethodLocalCount); ++i)
      s.locals.push_back(vm().read32(vm().read32(f + tv::kFrameLocals) + 4 * i));
    frames.push_back(s);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].method, "deeper");
  EXPECT_EQ(frames[0].locals, (std::vector<uint32_t>{h(kLocal), h(kLocal)}));
  EXPECT_EQ(frames[1].method, "run");
  EXPECT_TRUE(frames[1].locals.empty());
  EXPECT_EQ(frames[2].method, "main");
  EXPECT_EQ(frames[2].locals, (std::vector<uint32_t>{h(kDerivedObj)}));
  // A thread without frames still has its block; its name came from the dump's String.
  const uint32_t idleBlock = vm().read32(body(kIdle) + tv::kThreadBlock);
  ASSERT_NE(idleBlock, 0u);
  EXPECT_EQ(vm().read32(idleBlock + tv::kBlockInnermost), 0u);
  EXPECT_EQ(vm().getField(h(kWorker), "name"), h(kWorkerName));
}

INSTANTIATE_TEST_SUITE_P(IdSizes, SceneLoad, ::testing::Values(4u, 8u),
                         [](const auto& info) { return "id" + std::to_string(info.param); });

// --- through the library -------------------------------------------------------------------

class SceneQueries : public SceneLoad {
 protected:
  void SetUp() override {
    SceneLoad::SetUp();
    lib_ = std::make_unique<simvm::Library>(testkit::libraryDir(), true);
    call_ = std::make_unique<simvm::Caller>(vm(), *lib_);
  }
  simvm::Caller& call() { return *call_; }
  std::unique_ptr<simvm::Library> lib_;
  std::unique_ptr<simvm::Caller> call_;
};

using Count = std::tuple<char, std::string, std::string>;

std::vector<Count> counts(const simvm::Report& r) {
  std::vector<Count> out;
  for (const simvm::Record& rec : r.records) out.emplace_back(rec.kind, rec.className, rec.detail);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_P(SceneQueries, census_counts_the_dumps_instances_and_object_arrays) {
  const std::vector<Count> want{
      {'A', "hw/Base", "2"},    {'A', "hw/Dup", "1"},  {'C', "hw/Base", "4"},
      {'C', "hw/Derived", "1"}, {'C', "hw/Dup", "1"},  {'C', "hw/Dup", "1"},
      {'C', "hw/Holder", "2"},  {'C', "hw/Link", "2"},
  };
  EXPECT_EQ(counts(call().classes("hw/", false, false)), want);
  const std::vector<Count> threads{{'C', "java/lang/Thread", "2"}};
  EXPECT_EQ(counts(call().classes("java/lang/Thread", false, false)), threads);
}

//   hw/Scene.chain ──► link0 ──► link1 ──leaf──► leaf
TEST_P(SceneQueries, a_static_chain_is_the_path_to_its_leaf) {
  const simvm::PathResult p = call().path(h(kLeaf), 100);
  EXPECT_EQ(p.handles, (std::vector<uint32_t>{h(kScene), h(kLink0), h(kLink1), h(kLeaf)}));
}

//   weak ─referent─► onlyWeak   (nothing else)
TEST_P(SceneQueries, an_object_held_only_by_a_weak_reference_has_no_path) {
  const simvm::PathResult p = call().path(h(kOnlyWeak), 100);
  EXPECT_EQ(p.array, 0u);
  EXPECT_EQ(p.message, "Search Failed");
}

// The library reads a String through a C string: U+0000 travels as C0 80 and what follows stays.
TEST_P(SceneQueries, a_string_keeps_its_characters_after_u0000) {
  EXPECT_EQ(vm().stringValue(h(kNulText)), std::string("nul\0after", 9));
  EXPECT_NE(call().handleInfo(h(kNulText)).find(std::string("nul\0after", 9)), std::string::npos);
}

//   worker: deeper() holds local in two slots
TEST_P(SceneQueries, frame_locals_are_referrers_named_after_their_method) {
  const simvm::Report r = call().referrers(h(kLocal));
  ASSERT_EQ(r.records.size(), 2u);
  for (const simvm::Record& rec : r.records) {
    EXPECT_EQ(rec.handle, h(kWorker));
    EXPECT_EQ(rec.detail, "deeper()");
  }
  const simvm::PathResult p = call().path(h(kLocal), 100);
  EXPECT_EQ(p.handles, (std::vector<uint32_t>{h(kWorker), h(kLocal)}));
  bool sawMain = false, sawName = false;
  for (const simvm::Record& rec : call().references(h(kWorker)).records) {
    sawMain |= rec.detail == "main()" && rec.handle == h(kDerivedObj);
    sawName |= rec.detail == "name" && rec.handle == h(kWorkerName);
  }
  EXPECT_TRUE(sawMain);
  EXPECT_TRUE(sawName);
}

// A primitive mirror is an ordinary object of the dump: what it holds (module, ...) is held by
// the class it became, as statics, and the queries see it like any object's references.
TEST(HprofFile, a_primitive_mirror_keeps_its_dumped_fields_as_statics_the_queries_see) {
  HprofWriter w(8);
  w.defineClass(0x100, 0, "java/lang/Object", {});
  w.defineClass(0x108, 0x100, "java/lang/Class",
                {{"module", kRef}, {"classRedefinedCount", kInt}, {"primitive", kBoolean}});
  w.defineClass(0x110, 0x100, "java/lang/Module", {});
  w.defineClass(0x118, 0x100, "java/lang/Integer", {{"value", kInt}}, {{"TYPE", kRef, 0x9000}});
  w.defineClass(0x120, 0x100, "java/lang/Boolean", {{"value", kBoolean}}, {{"TYPE", kRef, 0x9008}});
  w.instance(0x5000, 0x110, {});
  w.instance(0x9000, 0x108, {{"module", 0x5000}, {"classRedefinedCount", 7}, {"primitive", 1}});
  w.instance(0x9008, 0x108, {{"module", 0x5000}, {"primitive", 1}});
  auto heap = loadBytes(w.finish());
  simvm::Vm& vm = *heap->vm;
  const uint32_t module = handleOf(*heap, 0x5000), intClass = handleOf(*heap, 0x9000);
  ASSERT_EQ(vm.className(intClass), "int");
  EXPECT_EQ(vm.getStatic(intClass, "module"), module);
  EXPECT_EQ(vm.getStatic(intClass, "classRedefinedCount"), 7u);
  EXPECT_EQ(vm.getStatic(intClass, "primitive"), 1u);
  EXPECT_EQ(vm.getStatic(handleOf(*heap, 0x9008), "module"), module);

  vm.makeCurrent();
  simvm::Library lib(testkit::libraryDir(), true);
  simvm::Caller call(vm, lib);
  EXPECT_EQ(counts(call.referrers(module)),
            (std::vector<Count>{{'C', "boolean", "module"}, {'C', "int", "module"}}));
  EXPECT_EQ(counts(call.references(intClass)),
            (std::vector<Count>{{'I', "java/lang/Module", "module"}}));
}

INSTANTIATE_TEST_SUITE_P(IdSizes, SceneQueries, ::testing::Values(4u, 8u),
                         [](const auto& info) { return "id" + std::to_string(info.param); });

// --- the file as a whole ------------------------------------------------------------------------

TEST(HprofFile, segments_cut_between_any_sub_records_give_the_same_heap) {
  auto whole = loadBytes(writeScene(8, 1 << 20));
  auto cut = loadBytes(writeScene(8, 1));  // one sub-record per segment
  EXPECT_EQ(whole->objects, cut->objects);
  EXPECT_EQ(whole->classes, cut->classes);
  const auto census = [&](simvm::Vm& vm) {
    vm.makeCurrent();
    simvm::Library lib(testkit::libraryDir(), true);  // caches of its own for each VM
    return counts(simvm::Caller(vm, lib).classes("", false, false));
  };
  EXPECT_EQ(census(*whole->vm), census(*cut->vm));
}

TEST(HprofFile, progress_reaches_the_end_of_the_stream) {
  const std::string bytes = writeScene(8);
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  simvm::HprofOptions options;
  options.progress = [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); };
  loadBytes(bytes, options);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(uint64_t(bytes.size()), uint64_t(bytes.size())));
}

TEST(HprofFile, a_heap_placed_above_2gb_loads_with_high_handles) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room above 2 GB in this build";
  simvm::HprofOptions options;
  options.high = true;
  auto heap = loadBytes(writeScene(4), options);
  EXPECT_GE(heap->vm->tableFirst(), 0x80000000u);
  EXPECT_EQ(heap->vm->stringValue(handleOf(*heap, kHello)), "hello");
}

TEST(HprofFile, unknown_top_level_records_are_skipped_by_their_length) {
  HprofWriter w(4);
  w.record(0x99, Bytes().u4(0xFFFFFFFF).u1(0x21));  // looks like a sub-record; must be skipped
  w.defineClass(0x100, 0, "java/lang/Object", {});
  w.defineClass(0x108, 0x100, "a/B", {{"v", kInt}});
  w.instance(0x200, 0x108, {{"v", 9}});
  w.record(0x9C, Bytes().u4(7));
  w.record(0x99, Bytes());
  auto heap = loadBytes(w.finish());
  EXPECT_EQ(heap->vm->getField(handleOf(*heap, 0x200), "v"), 9u);
  // Each skipped record is tallied by its tag, with its bytes (header included).
  ASSERT_EQ(heap->skippedRecords.size(), 2u);
  EXPECT_EQ(heap->skippedRecords[0].tag, 0x99);
  EXPECT_EQ(heap->skippedRecords[0].count, 2u);
  EXPECT_EQ(heap->skippedRecords[0].bytes, (9u + 5) + 9);
  EXPECT_EQ(heap->skippedRecords[1].tag, 0x9C);
  EXPECT_EQ(heap->skippedRecords[1].count, 1u);
  EXPECT_EQ(heap->skippedRecords[1].bytes, 9u + 4);
  EXPECT_TRUE(loadBytes(writeScene(8))->skippedRecords.empty());

  // A class's segment whose tag was damaged: the load fails, saying what was skipped.
  HprofWriter d(4);
  d.defineClass(0x100, 0, "java/lang/Object", {});
  d.defineClass(0x108, 0x100, "a/B", {});  // its own segment: the next names end the last one
  d.flushSegment();
  d.instance(0x200, 0x108, {});
  std::string damaged = d.finish();
  int segments = 0;
  for (size_t at = 31; at + 9 <= damaged.size();) {
    const uint32_t length =
        simvm::hprof::be32(reinterpret_cast<const uint8_t*>(damaged.data()) + at + 5);
    if (damaged[at] == '\x1C' && ++segments == 2) damaged[at] = '\x9C';
    at += 9 + length;
  }
  ASSERT_EQ(segments, 3);
  try {
    loadBytes(damaged);
    ADD_FAILURE() << "a dump without the class of an instance loaded";
  } catch (const simvm::HprofError& e) {
    EXPECT_NE(std::string(e.what()).find("1 top-level record of a tag the reader does not know "
                                         "was skipped"),
              std::string::npos)
        << e.what();
  }
}

TEST(HprofFile, the_old_single_heap_dump_record_needs_no_end_record) {
  HprofWriter w(8);
  w.defineClass(0x100, 0, "java/lang/Object", {});
  w.defineClass(0x108, 0x100, "a/B", {});
  w.flushSegment();
  Bytes heapDump;
  heapDump.u1(0x21).u8(0x200).u4(1).u8(0x108).u4(0);
  w.record(0x0C, heapDump);
  std::string bytes = w.finish();
  bytes.resize(bytes.size() - 9);  // no HEAP DUMP END
  auto heap = loadBytes(bytes);
  EXPECT_EQ(heap->vm->className(heap->vm->classOfObject(handleOf(*heap, 0x200))), "a/B");
}

#ifdef TAVOLIN_HAVE_ZLIB
std::string gzip(const std::string& bytes) {
  const std::string path = tempPath("gz.hprof.gz");
  gzFile gz = gzopen(path.c_str(), "wb1");
  gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size()));
  gzclose(gz);
  std::ifstream in(path, std::ios::binary);
  std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  return out;
}
#endif

TEST(HprofFile, a_gzip_compressed_dump_loads_like_the_plain_one) {
#ifndef TAVOLIN_HAVE_ZLIB
  GTEST_SKIP() << "built without zlib: .hprof.gz files cannot be read";
#else
  const std::string plain = writeScene(8);
  TempFile gz(gzip(plain), "scene.hprof.gz");
  auto heap = simvm::loadHprof(gz.path);
  EXPECT_EQ(heap->objects, 33u);
  EXPECT_EQ(heap->vm->stringValue(handleOf(*heap, kWorkerName)), "w\xc3\xb6rker-\xe4\xb8\x96");
#endif
}

#ifndef _WIN32
// A dump read from a pipe, as `--heap <(cat x.hprof)` or `--heap /dev/stdin` give it: the
// stream is read as it comes (no size, no mapping, no rewinding), plain or gzip, and loads as
// the file does; one cut short fails as the file does.
std::unique_ptr<simvm::LoadedHeap> loadFromPipe(const std::string& bytes) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("no pipe");
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t n = write(fds[1], bytes.data() + at, std::min<size_t>(bytes.size() - at, 4096));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  std::unique_ptr<simvm::LoadedHeap> heap;
  try {
    heap = simvm::loadHprof("/dev/fd/" + std::to_string(fds[0]));
  } catch (...) {
    close(fds[0]);  // the writer sees the pipe closed
    writer.join();
    throw;
  }
  close(fds[0]);
  writer.join();
  return heap;
}

TEST(HprofFile, a_dump_read_from_a_pipe_loads_like_the_file) {
  const std::string plain = writeScene(8);
  std::vector<std::string> streams{plain};
#ifdef TAVOLIN_HAVE_ZLIB
  streams.push_back(gzip(plain));
  streams.push_back(gzip(plain.substr(0, plain.size() / 2)) + gzip(plain.substr(plain.size() / 2)));
#endif
  for (const std::string& stream : streams) {
    auto heap = loadFromPipe(stream);
    EXPECT_EQ(heap->objects, 33u);
    EXPECT_EQ(heap->vm->stringValue(handleOf(*heap, kWorkerName)), "w\xc3\xb6rker-\xe4\xb8\x96");
    EXPECT_THROW(loadFromPipe(stream.substr(0, stream.size() - 20)), simvm::HprofError);
  }
  EXPECT_THROW(loadFromPipe(""), simvm::HprofError);
}
#endif

}  // namespace
