// The report stream's exact bytes and the four report orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "queries/heapwalk.h"
#include "report/compare.h"
#include "report/entry.h"
#include "report/writer.h"
#include "simvm/vm.h"
#include "support/ptrlist.h"

namespace {

using namespace std::string_literals;

class Report : public ::testing::Test {
 protected:
  Report() : stream(vm.newOutputStream()) { tv::beginHeapWalk(); }

  // A heap-allocated entry, as the queries make them; names live in VM memory.
  tv::HeapEntry* entry(char kind, uint32_t handle, const char* name, int32_t detail = -1) {
    tv::HeapEntry* e = static_cast<tv::HeapEntry*>(malloc(sizeof(tv::HeapEntry)));
    *e = tv::HeapEntry{kind, handle, name ? vm.putCString(name) : 0u, 0, 0, detail};
    return e;
  }
  tv::HeapEntry* named(char kind, const char* name, const char* detailName, bool method) {
    tv::HeapEntry* e = entry(kind, 8, name);
    e->detailIsName = 1;
    e->methodSuffix = method;
    e->detail = static_cast<int32_t>(vm.putCString(detailName));
    return e;
  }
  std::string bytes() { return vm.streamBytes(stream); }
  std::string writeOne(tv::HeapEntry* e) {
    tv::writeEntry(stream, e);
    free(e);
    std::string out = bytes();
    vm.clearStream(stream);
    return out;
  }

  simvm::Vm vm;
  uint32_t stream;
};

TEST_F(Report, an_empty_list_writes_a_zero_count_and_one_nul) {
  tv::PtrList* list = tv::listNew();
  tv::writeEntryList(stream, list);
  EXPECT_EQ(bytes(), "0\0"s);
  tv::listDestroy(&list);
}

TEST_F(Report, records_end_after_the_class_name_unless_a_detail_follows) {
  EXPECT_EQ(writeOne(entry('I', 912, "java/lang/Thread")), "I 912 java/lang/Thread\0"s);
  EXPECT_EQ(writeOne(entry('C', 840, "java/lang/Thread", 12)), "C 840 java/lang/Thread 12\0"s);
  EXPECT_EQ(writeOne(entry('A', 896, "java/lang/String", 0)), "A 896 java/lang/String 0\0"s);
  EXPECT_EQ(writeOne(entry('A', 896, "java/lang/String", -7)), "A 896 java/lang/String\0"s);
}

TEST_F(Report, a_named_detail_follows_the_class_name_with_parentheses_only_for_methods) {
  EXPECT_EQ(writeOne(named('I', "app/Holder", "next", false)), "I 8 app/Holder next\0"s);
  EXPECT_EQ(writeOne(named('I', "java/lang/Thread", "run", true)), "I 8 java/lang/Thread run()\0"s);
}

TEST_F(Report, handles_at_or_above_2_GB_are_written_as_negative_numbers) {
  EXPECT_EQ(writeOne(entry('I', 0x80000008u, "app/X")), "I -2147483640 app/X\0"s);
  EXPECT_EQ(writeOne(entry('I', 0xFFFFFFF8u, "app/X")), "I -8 app/X\0"s);
}

TEST_F(Report, a_class_or_field_without_a_name_is_written_as_unknown) {
  EXPECT_EQ(writeOne(entry('I', 16, nullptr)), "I 16 <unknown>\0"s);
  tv::HeapEntry* e = named('I', "app/Holder", "unused", true);
  e->detail = 0;  // a field or method whose name pointer is 0
  EXPECT_EQ(writeOne(e), "I 8 app/Holder <unknown>()\0"s);
}

TEST_F(Report, bytes_above_0x7f_reach_the_stream_unchanged) {
  EXPECT_EQ(writeOne(entry('I', 16, "app/\xC3\xA9t\xE9\x80\xFF")),
            "I 16 app/\xC3\xA9t\xE9\x80\xFF\0"s);
}

TEST_F(Report, a_list_is_its_count_then_each_record_in_list_order) {
  tv::PtrList* list = tv::listNew();
  tv::listPush(list, reinterpret_cast<uintptr_t>(entry('I', 24, "b/B")));
  tv::listPush(list, reinterpret_cast<uintptr_t>(entry('A', 16, "a/A", 3)));
  tv::writeEntryList(stream, list);  // frees the entries; the sanitizer build checks for leaks
  EXPECT_EQ(bytes(), "2\0I 24 b/B\0A 16 a/A 3\0"s);
  tv::listDestroy(&list);
}

TEST_F(Report, decimals_cover_the_whole_signed_range) {
  tv::writeDecimal(stream, INT32_MIN);
  tv::writeByte(stream, ' ');
  tv::writeDecimal(stream, INT32_MAX);
  tv::writeByte(stream, ' ');
  tv::writeDecimal64(stream, INT64_MIN);
  tv::writeByte(stream, ' ');
  tv::writeDecimal64(stream, 5000000000LL);
  for (int32_t n : {0, -7, 10, -100}) {
    tv::writeByte(stream, ' ');
    tv::writeDecimal(stream, n);
  }
  tv::writeByte(stream, ' ');
  tv::writeDecimal64(stream, 0);
  EXPECT_EQ(bytes(), "-2147483648 2147483647 -9223372036854775808 5000000000 0 -7 10 -100 0");
}

// Two Java threads may report at once; their digits must not mix.
TEST_F(Report, two_threads_writing_decimals_at_once_keep_their_own_digits) {
  uint32_t other = vm.newOutputStream();
  constexpr int kCount = 20000;
  auto run = [](uint32_t s, int32_t base) {
    for (int32_t i = 0; i < kCount; i++) {
      tv::writeDecimal(s, base + i);
      tv::writeByte(s, ',');
    }
  };
  std::thread a(run, stream, 100000000);
  std::thread b(run, other, 700000000);
  a.join();
  b.join();
  auto expected = [](int32_t base) {
    std::string s;
    for (int32_t i = 0; i < kCount; i++) s += std::to_string(base + i) + ",";
    return s;
  };
  EXPECT_EQ(bytes(), expected(100000000));
  EXPECT_EQ(vm.streamBytes(other), expected(700000000));
}

TEST_F(Report, only_a_live_object_is_a_writable_stream) {
  uint32_t freed = vm.newOutputStream();
  vm.freeSlot(freed);
  uint32_t bytesArray = vm.newArray(simvm::kByte, 4);
  uint32_t objects = vm.newObjectArray(vm.objectClass(), 1);
  EXPECT_EQ(tv::isWritableStream(stream), 1);
  for (uint32_t s : {0u, freed, bytesArray, objects, stream + 4, 0xFFFFFFF8u}) {
    EXPECT_EQ(tv::isWritableStream(s), 0) << std::hex << s;
  }
}

// --- orders ---------------------------------------------------------------------------------

class Orders : public Report {
 protected:
  ~Orders() override {
    for (tv::HeapEntry* e : made) free(e);
  }
  tv::HeapEntry* keep(tv::HeapEntry* e) {
    made.push_back(e);
    return e;
  }
  // Sorts copies of the entries with `compare` and returns them as "kind name detail" words.
  std::vector<std::string> sorted(std::vector<tv::HeapEntry*> entries,
                                  int (*compare)(const void*, const void*)) {
    tv::PtrList* list = tv::listNew();
    for (tv::HeapEntry* e : entries) tv::listPush(list, reinterpret_cast<uintptr_t>(e));
    tv::listSort(list, compare);
    std::vector<std::string> out;
    for (int32_t i = 0; i < tv::listCount(list); i++) {
      auto* e = reinterpret_cast<tv::HeapEntry*>(tv::listGet(list, i));
      std::string word(1, e->kind);
      word += e->className ? static_cast<const char*>(vm.pointer(e->className)) : "";
      word += e->detailIsName ? ":" + std::string(static_cast<const char*>(vm.pointer(e->detail)))
                              : ":" + std::to_string(e->detail);
      out.push_back(word);
    }
    tv::listDestroy(&list);
    return out;
  }
  std::vector<tv::HeapEntry*> made;
};

TEST_F(Orders, by_name_puts_A_before_C_before_I_for_one_class_name) {
  auto got = sorted({keep(entry('I', 8, "x/Same")), keep(entry('C', 16, "x/Same")),
                     keep(entry('A', 24, "x/Same")), keep(entry('I', 32, "a/First"))},
                    tv::compareByName);
  EXPECT_EQ(got,
            (std::vector<std::string>{"Ia/First:-1", "Ax/Same:-1", "Cx/Same:-1", "Ix/Same:-1"}));
}

TEST_F(Orders, a_missing_class_name_sorts_as_the_empty_string) {
  auto got = sorted({keep(entry('I', 8, "a")), keep(entry('I', 16, nullptr))}, tv::compareByName);
  EXPECT_EQ(got, (std::vector<std::string>{"I:-1", "Ia:-1"}));
}

TEST_F(Orders, by_count_puts_the_largest_first_and_breaks_ties_by_name) {
  auto got = sorted({keep(entry('C', 8, "b/B", 2)), keep(entry('C', 16, "a/A", 9)),
                     keep(entry('C', 24, "c/C", 2)), keep(entry('A', 32, "c/C", 2))},
                    tv::compareByCount);
  EXPECT_EQ(got, (std::vector<std::string>{"Ca/A:9", "Cb/B:2", "Ac/C:2", "Cc/C:2"}));
}

TEST_F(Orders, referrers_put_named_details_first_by_name_then_class_then_kind_then_indices) {
  auto got =
      sorted({keep(entry('A', 8, "a/Arr", 1)), keep(named('I', "b/B", "next", false)),
              keep(entry('A', 16, "a/Arr", 0)), keep(named('C', "a/A", "next", false)),
              keep(named('I', "z/Z", "alpha", false)), keep(named('I', "a/A", "next", false))},
             tv::compareReferrers);
  EXPECT_EQ(got, (std::vector<std::string>{"Iz/Z:alpha", "Ca/A:next", "Ia/A:next", "Ib/B:next",
                                           "Aa/Arr:0", "Aa/Arr:1"}));
}

// The grouped sort must leave what a stable sort by name leaves. Lists straddle each growth of
// its hash of groups (64 slots up to 32 entries, then doubling), with one group, a few, or
// many; names of equal text at different addresses (groups that merge in list order), every
// kind, and a missing name.
TEST_F(Orders, grouped_sort_by_name_leaves_what_a_stable_sort_leaves) {
  std::mt19937 rng(11);
  std::vector<uint32_t> names = {0};
  for (int i = 0; i < 400; i++)
    names.push_back(vm.putCString(("n/" + std::to_string(i % 40)).c_str()));
  // Many rounds at the sizes where the hash is fullest, so that probes run into other groups.
  std::vector<uint32_t> sizes = {2, 33, 65, 300};
  sizes.insert(sizes.end(), 50, 32);
  sizes.insert(sizes.end(), 50, 64);
  for (uint32_t n : sizes) {
    for (size_t groups : {size_t{1}, size_t{4}, names.size()}) {
      tv::PtrList* list = tv::listNew();
      for (uint32_t i = 0; i < n; i++) {
        tv::HeapEntry* e = keep(entry("CIA"[rng() % 3], 8 * (i + 1), nullptr));
        e->className = names[rng() % groups];
        tv::listPush(list, reinterpret_cast<uintptr_t>(e));
      }
      std::vector<uintptr_t> want(list->items, list->items + n);
      std::stable_sort(want.begin(), want.end(),
                       [](uintptr_t a, uintptr_t b) { return tv::compareByName(&a, &b) < 0; });
      tv::sortEntriesByName(list);
      EXPECT_EQ(std::vector<uintptr_t>(list->items, list->items + n), want) << n << " entries";
      tv::listDestroy(&list);
    }
  }
}

}  // namespace
