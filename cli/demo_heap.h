// The built-in demo heap: a small web shop with a leak worth finding.
//
//   SessionCache.sessions ──► HashTable ──► Entry[] ──► Entry ──► Session ──► byte[32768]
//                                                         │next      ├─► User, Cart ──► ArrayList
//                                                         ▼          ...
//   Expired sessions are never evicted: the cache keeps every one of them, and its buffer, alive.
//
//   request-handler (thread): run() ─ handle(request) ─ process(cart, product, thumbnail)
//   worker-1 (thread):        run() ─ sweep(table, entry)
//   main (the calling thread): main(args, app)   -- never scanned by the queries
//   ThumbnailCache.refs ──► ArrayList ──► Object[] ──► WeakReference ┄┄► Thumbnail
//
// The builder is deterministic: the same calls in the same order give the same handles in
// every VM placed at the same address.
#pragma once
#include <cstdint>
#include <vector>

#include "simvm/vm.h"

namespace cli {

struct DemoHeap {
  uint32_t sessionCacheClass = 0;  // holds the leak in its static field "sessions"
  uint32_t sessionClass = 0;
  uint32_t itemClass = 0;  // abstract: Item <- Product <- DigitalProduct
  uint32_t productClass = 0;
  uint32_t sessionTable = 0;       // the HashTable the cache holds
  std::vector<uint32_t> sessions;  // in creation order
  uint32_t leakedSession = 0;      // expired, held only by the cache
  uint32_t activeSession = 0;      // the one the request handler works on
  uint32_t mainThread = 0;         // the calling thread
  uint32_t requestHandler = 0;
  uint32_t worker = 0;
  uint32_t application = 0;    // held only in main()'s locals
  uint32_t weakThumbnail = 0;  // reachable only through a WeakReference
  uint32_t heldThumbnail = 0;  // also held in a local of process()
};

// A region large enough for the demo heap; high places it at or above 2 GB.
simvm::VmConfig demoHeapConfig(bool high);

// Builds the demo application into a fresh VM (one made with demoHeapConfig).
DemoHeap buildDemoHeap(simvm::Vm& vm);

}  // namespace cli
