// Giving back what a call took: the region's two bump pointers are wound back to a mark.
#include <cstring>

#include "simvm/vm_state.h"

namespace simvm {

Vm::Mark Vm::mark() const { return {s_->nextSlot, s_->arenaNext, s_->classOrder.size()}; }

void Vm::releaseTo(const Mark& mark) {
  State& s = *s_;
  const auto lock = s.hold();
  if (mark.nextSlot < s.first || mark.nextSlot > s.nextSlot || mark.arenaNext > s.arenaNext)
    throw VmError("releaseTo: the mark is not one of this VM's past states");
  const size_t streams = s.streams.size();
  for (auto it = s.streams.begin(); it != s.streams.end();)
    it = it->first >= mark.nextSlot ? s.streams.erase(it) : std::next(it);
  if (s.streams.size() != streams) s.streamsEpoch.store(State::newStreamsEpoch());
  for (auto it = s.toStrings.begin(); it != s.toStrings.end();)
    it = it->first >= mark.nextSlot && s.classes.count(it->first) == 0 ? s.toStrings.erase(it)
                                                                       : std::next(it);
  if (s.classOrder.size() != mark.classCount) {
    // A class made since (an array class made on first use) stays; the rest is freed in place.
    for (uint32_t h = mark.nextSlot; h < s.nextSlot; h += kSlotBytes)
      if (s.classes.count(h) == 0) {
        State::put32(h, 0);
        State::put32(h + 4, 0);
      }
    return;
  }
  // alloc hands out zero-filled memory: what is given back is zeroed again.
  std::memset(State::ptr(mark.nextSlot), 0, s.nextSlot - mark.nextSlot);
  std::memset(State::ptr(mark.arenaNext), 0, s.arenaNext - mark.arenaNext);
  s.nextSlot = mark.nextSlot;
  s.arenaNext = mark.arenaNext;
}

}  // namespace simvm
