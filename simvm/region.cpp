// The VM's address space: one mapping below 4 GB holding the guard page, the handle table, the
// anchor descriptor and the arena that everything else is bump-allocated from.
#include <cstring>

#include "simvm/platform.h"
#include "simvm/vm_state.h"

namespace simvm {
namespace {

constexpr uint64_t k4G = uint64_t(1) << 32;
constexpr uint64_t k2G = uint64_t(1) << 31;
constexpr uint64_t kHintStep = 256ull << 20;

// Normal placement keeps a region below 2 GB when it fits there, and otherwise takes any place
// below 4 GB (the library treats handles as unsigned); high placement starts at or above 2 GB.
void* mapRegion(uint64_t size, bool high, uint64_t& at) {
  const uint64_t from = high ? 0x90000000ull : 0x10000000ull;
  // The top 64 KB of the 32-bit space stay out, so that no address + size wraps to 0.
  const uint64_t limit = k4G - 0x10000;
  for (uint64_t hint = from; hint + size <= limit; hint += kHintStep) {
    if (!high && hint + size > k2G && size <= k2G - from) break;  // tried below 2 GB first
    if (void* p = platform::mapAt(hint, static_cast<size_t>(size))) {
      at = hint;
      return p;
    }
  }
  if (high || size > k2G - from) return nullptr;
  for (uint64_t hint = k2G; hint + size <= limit; hint += kHintStep) {
    if (void* p = platform::mapAt(hint, static_cast<size_t>(size))) {
      at = hint;
      return p;
    }
  }
  return nullptr;
}

}  // namespace

bool Vm::highPlacementAvailable() {
  uint64_t at = 0;
  void* p = mapRegion(4096, true, at);
  if (p) platform::unmap(p, 4096);
  return p != nullptr;
}

uint64_t Vm::largestRegion() {
  // The answer is a multiple of the hint step: a binary search over those, each try a mapping
  // that reserves nothing and is given back at once.
  uint64_t lo = 0, hi = (k4G - 0x10000) / kHintStep;
  while (lo < hi) {
    const uint64_t mid = (lo + hi + 1) / 2;
    uint64_t at = 0;
    if (void* p = mapRegion(mid * kHintStep, false, at)) {
      platform::unmap(p, static_cast<size_t>(mid * kHintStep));
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo * kHintStep;
}

void Vm::State::reserve() {
  const uint64_t slots = config.slots;
  if (slots == 0 || slots > (1u << 28)) throw VmError("handle table size out of range");
  uint64_t size = uint64_t(kGuardBytes) + slots * kSlotBytes + kAnchorGap + kDescriptorBytes +
                  config.arenaBytes;
  size = (size + 4095) & ~uint64_t(4095);
  if (size >= k4G) throw VmError("region of " + std::to_string(size) + " bytes is too large");
  uint64_t at = 0;
  mapping = mapRegion(size, config.high, at);
  if (!mapping)
    throw VmError(std::string("cannot place a region of ") + std::to_string(size) + " bytes " +
                  (config.high ? "between 2 GB and 4 GB" : "below 4 GB"));
  mappingSize = static_cast<size_t>(size);
  const std::string refused = platform::protectNone(mapping, kGuardBytes);
  if (!refused.empty()) {
    platform::unmap(mapping, mappingSize);
    mapping = nullptr;
    throw VmError("cannot protect the guard page: " + refused);
  }
  base = static_cast<uint32_t>(at);
  first = base + kGuardBytes;
  end = first + config.slots * kSlotBytes;
  nextSlot = first;
  arenaStart = end + kAnchorGap + kDescriptorBytes;
  arenaNext = arenaStart;
  regionEnd = at + size;
}

void Vm::State::release() {
  if (mapping) platform::unmap(mapping, mappingSize);
  mapping = nullptr;
}

uint32_t Vm::State::alloc(uint32_t bytes, uint32_t align) {
  if (align == 0 || (align & (align - 1)) != 0) throw VmError("alignment must be a power of two");
  const uint64_t at = (uint64_t(arenaNext) + align - 1) & ~uint64_t(align - 1);
  if (at + bytes > regionEnd)
    throw VmError("the VM's arena is full (" + std::to_string(bytes) + " more bytes wanted)");
  arenaNext = static_cast<uint32_t>(at + bytes);  // regionEnd < 4 GB here: at + bytes fits
  return static_cast<uint32_t>(at);               // the mapping starts zero-filled, never reused
}

uint32_t Vm::State::newSlot(uint32_t body, uint32_t methods) {
  if (nextSlot >= end) throw VmError("the handle table is full");
  const uint32_t h = nextSlot;
  nextSlot += kSlotBytes;
  // The body word last: a reader that finds it non-zero finds the methods word in place.
  put32(h + 4, methods);  // MethodTable address, or (length << 5) | typeCode
  put32(h, body);         // body address
  return h;
}

uint32_t Vm::State::putCString(const std::string& bytes) {
  if (bytes.size() >= 0xFFFFFFFFu) throw VmError("string too long");
  const uint32_t a = alloc(static_cast<uint32_t>(bytes.size()) + 1, 1);
  std::memcpy(ptr(a), bytes.data(), bytes.size());
  return a;
}

// --- the public memory calls --------------------------------------------------------------

uint32_t Vm::regionBase() const { return s_->base; }
uint32_t Vm::tableFirst() const { return s_->first; }
uint32_t Vm::tableEnd() const { return s_->end; }
uint32_t Vm::slotsUsed() const {
  const auto lock = s_->hold();
  return (s_->nextSlot - s_->first) / kSlotBytes;
}
uint32_t Vm::bytesUsed() const {
  const auto lock = s_->hold();
  return s_->arenaNext - s_->base;
}
uint32_t Vm::alloc(uint32_t bytes, uint32_t align) {
  const auto lock = s_->hold();
  return s_->alloc(bytes, align);
}
uint32_t Vm::putCString(const std::string& bytes) {
  const auto lock = s_->hold();
  return s_->putCString(bytes);
}

uint32_t Vm::read32(uint32_t address) const {
  if (!s_->readable(address, 4)) throw VmError("read32 outside the VM's memory");
  return State::get32(address);
}

uint16_t Vm::read16(uint32_t address) const {
  if (!s_->readable(address, 2)) throw VmError("read16 outside the VM's memory");
  return State::get16(address);
}

void Vm::write32(uint32_t address, uint32_t value) {
  if (!s_->readable(address, 4)) throw VmError("write32 outside the VM's memory");
  State::put32(address, value);
}

void Vm::write16(uint32_t address, uint16_t value) {
  if (!s_->readable(address, 2)) throw VmError("write16 outside the VM's memory");
  State::put16(address, value);
}

void* Vm::pointer(uint32_t address) const { return State::ptr(address); }

}  // namespace simvm
