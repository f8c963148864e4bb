// Heaps built by hand whose retained sizes are known by construction.
#include <gtest/gtest.h>

#include "heapgraph/retained.h"

namespace {

using simvm::ClassDecl;
using simvm::FieldDecl;

struct Shop {
  simvm::Vm vm;
  uint32_t holderClass = 0, sessionClass = 0, cacheClass = 0;
  Shop() {
    sessionClass = vm.defineClass(
        ClassDecl{.name = "t/Session",
                  .fields = {FieldDecl{"buffer", "[B"}, FieldDecl{"next", "Lt/Session;"},
                             FieldDecl{"id", "J"}}});
    cacheClass = vm.defineClass(
        ClassDecl{.name = "t/Cache", .fields = {FieldDecl{"sessions", "[Lt/Session;"}}});
    holderClass =
        vm.defineClass(ClassDecl{.name = "t/Holders",
                                 .fields = {FieldDecl{"cache", "Lt/Cache;", true},
                                            FieldDecl{"a", "Ljava/lang/Object;", true},
                                            FieldDecl{"b", "Ljava/lang/Object;", true},
                                            FieldDecl{"weak", "Ljava/lang/Object;", true}}});
  }
  uint32_t session(uint32_t bytes) {
    const uint32_t s = vm.newObject(sessionClass);
    vm.setField(s, "buffer", vm.newArray(simvm::kByte, bytes));
    return s;
  }
  uint32_t size(uint32_t cls) const { return std::max<uint32_t>(8, vm.instanceSize(cls)); }
};

// class t/Holders --cache--> Cache --sessions--> Session[3] --[0]--> s0 --buffer--> byte[1000]
//                                                   |                 \--next--> s3 --buffer-->
//                                                   byte[4000]
//                                                   |--[1]--> s1 --buffer--> byte[2000]
//                                                   \--[2]--> s2 --buffer--> byte[3000]
TEST(KnownHeaps, a_cache_retains_its_sessions_and_their_buffers) {
  Shop shop;
  simvm::Vm& vm = shop.vm;
  const uint32_t s0 = shop.session(1000), s1 = shop.session(2000), s2 = shop.session(3000);
  const uint32_t s3 = shop.session(4000);
  vm.setField(s0, "next", s3);
  const uint32_t array = vm.newObjectArray(shop.sessionClass, 3);
  vm.setElement(array, 0, s0);
  vm.setElement(array, 1, s1);
  vm.setElement(array, 2, s2);
  const uint32_t cache = vm.newObject(shop.cacheClass);
  vm.setField(cache, "sessions", array);
  vm.setStatic(shop.holderClass, "cache", cache);

  const auto d = heapgraph::HeapDominators::compute(vm);
  const uint64_t session = shop.size(shop.sessionClass);
  EXPECT_EQ(d->retained(s3), session + 4000);
  EXPECT_EQ(d->retained(s0), session + 1000 + session + 4000);
  EXPECT_EQ(d->retained(s1), session + 2000);
  EXPECT_EQ(d->retained(s2), session + 3000);
  const uint64_t sessions = 4 * session + 10000;
  EXPECT_EQ(d->retained(array), 16 + sessions);  // three elements and the element class word
  EXPECT_EQ(d->retained(cache), shop.size(shop.cacheClass) + 16 + sessions);
  EXPECT_EQ(d->dominator(cache), shop.holderClass);
  EXPECT_EQ(d->dominated(array), (std::vector<uint32_t>{s0, s2, s1}));
  // s3 lies below s0: the class's figure counts it once, inside s0's.
  EXPECT_EQ(d->classRetained(shop.sessionClass), sessions);
  EXPECT_EQ(d->topLevelInstances(shop.sessionClass), (std::vector<uint32_t>{s0, s2, s1}));
  EXPECT_EQ(d->topLevelCount(shop.sessionClass), 3u);
  EXPECT_EQ(d->largest(2), (std::vector<uint32_t>{shop.holderClass, cache}));
}

// class t/Holders --a-----> s0 --buffer--+
//                                         +--> byte[4096]     (neither holder retains it)
// thread "worker" --local--> s1 --buffer--+
//                 --local--> s3 --buffer--> byte[64]
// class t/Holders --weak--> WeakReference --referent--> s2 --buffer--> byte[512]
TEST(KnownHeaps, a_buffer_two_holders_share_is_retained_by_neither) {
  Shop shop;
  simvm::Vm& vm = shop.vm;
  const uint32_t shared = vm.newArray(simvm::kByte, 4096);
  const uint32_t s0 = vm.newObject(shop.sessionClass), s1 = vm.newObject(shop.sessionClass);
  vm.setField(s0, "buffer", shared);
  vm.setField(s1, "buffer", shared);
  vm.setStatic(shop.holderClass, "a", s0);
  const uint32_t s2 = shop.session(512);
  const uint32_t weak = vm.newWeakReference(s2);
  vm.setStatic(shop.holderClass, "weak", weak);
  const uint32_t worker = vm.newThread("worker");
  const uint32_t s3 = shop.session(64);
  const uint32_t frame = vm.pushFrame(worker, "run", 2);
  vm.setLocal(frame, 0, s1);
  vm.setLocal(frame, 1, s3);

  const auto d = heapgraph::HeapDominators::compute(vm);
  const uint64_t session = shop.size(shop.sessionClass);
  EXPECT_EQ(d->retained(s0), session);
  EXPECT_EQ(d->retained(s1), session);
  EXPECT_EQ(d->retained(shared), 4096u);
  EXPECT_EQ(d->dominator(shared), 0u);  // only the virtual root above all roots
  const std::vector<uint32_t> top = d->dominated(0);
  EXPECT_NE(std::find(top.begin(), top.end(), shared), top.end());
  // A Reference is held, but what it refers to is not kept alive by it.
  EXPECT_EQ(d->retained(weak), shop.size(vm.weakReferenceClass()));
  EXPECT_FALSE(d->reachable(s2));
  EXPECT_EQ(d->retained(s2), 0u);
  // The thread's frame holds s3.
  EXPECT_EQ(d->dominator(s3), worker);
  EXPECT_EQ(d->retained(s3), session + 64);
  EXPECT_GE(d->retained(worker), 2 * session + 64 + shop.size(vm.threadClass()));
  EXPECT_EQ(d->classRetained(shop.sessionClass), 3 * session + 64);
}

}  // namespace
