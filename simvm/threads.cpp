// Threads: thread objects, their ThreadBlocks, interpreter frames and method blocks, and the
// Java thread of each OS thread that calls into the VM.
#include "simvm/vm_state.h"

namespace simvm {

uint32_t Vm::newThread(const std::string& name, uint32_t cls) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (cls == 0) cls = s.wk.thread;
  if (!s.isSubclass(cls, s.wk.thread))
    throw VmError("newThread: " + className(cls) + " is not a java/lang/Thread");
  const uint32_t nameString = newString(name);
  const uint32_t obj = newObject(cls);
  const uint32_t block = s.alloc(kThreadBlockBytes, 8);  // no frames yet: innermost 0
  const uint32_t body = State::get32(obj);
  State::put32(body + s.findField(s.wk.thread, "name", false)->offset, nameString);
  State::put32(body + s.findField(s.wk.thread, "priority", false)->offset, 5);
  State::put32(body + s.findField(s.wk.thread, "eetop", false)->offset, block);
  s.threadObjects.push_back(obj);
  return obj;
}

uint32_t Vm::pushFrame(uint32_t thread, const std::string& method, uint16_t localCount) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (!s.isPlainObject(thread) || !s.isSubclass(s.classOf(thread), s.wk.thread))
    throw VmError("pushFrame: not a live thread object");
  const uint32_t block = State::get32(State::get32(thread) + 12);  // eetop: the ThreadBlock
  if (!s.readable(block, kThreadBlockBytes))
    throw VmError("pushFrame: the thread has no ThreadBlock");
  const uint32_t frame = s.alloc(kFrameBytes, 8);
  const uint32_t locals = s.alloc(localCount ? 4u * localCount : 4u, 8);
  uint32_t methodBlock = 0;
  if (!method.empty()) {
    const uint32_t name = s.putCString(method);
    methodBlock = s.alloc(kMethodBlockBytes, 8);
    State::put32(methodBlock + 8, name);         // method name
    State::put16(methodBlock + 60, localCount);  // local slot count
  }
  State::put32(frame + 12, locals);                   // local slots
  State::put32(frame + 16, State::get32(block + 8));  // next outer frame
  State::put32(frame + 28, methodBlock);              // MethodBlock or 0
  State::put32(block + 8, frame);                     // the new innermost frame
  s.frames[frame] = FrameRecord{locals, localCount};
  return frame;
}

void Vm::setLocal(uint32_t frame, uint16_t index, uint32_t value) {
  const auto lock = s_->hold();
  auto it = s_->frames.find(frame);
  if (it == s_->frames.end()) throw VmError("setLocal: not a frame made by pushFrame");
  if (index >= it->second.count)
    throw VmError("setLocal: slot " + std::to_string(index) + " of " +
                  std::to_string(it->second.count));
  State::put32(it->second.locals + 4u * index, value);
}

std::vector<uint32_t> Vm::threads() const {
  const auto lock = s_->hold();
  return s_->threadObjects;
}

bool Vm::framesOf(uint32_t thread, std::vector<FrameView>& frames) const {
  const auto lock = s_->hold();
  const State& s = *s_;
  frames.clear();
  if (!s.isPlainObject(thread) || !s.isSubclass(s.classOf(thread), s.wk.thread)) return false;
  const uint32_t block = State::get32(State::get32(thread) + 12);  // eetop: the ThreadBlock
  if (block == 0 || !s.readable(block, kThreadBlockBytes)) return false;
  // Each frame is one this VM made, so a cycle or a stray address cannot be met; the bound
  // is only against a block another writer left broken.
  for (uint32_t f = State::get32(block + 8); f != 0 && frames.size() <= s.frames.size();
       f = State::get32(f + 16)) {
    auto it = s.frames.find(f);
    if (it == s.frames.end()) break;
    FrameView view;
    const uint32_t methodBlock = State::get32(f + 28);
    if (methodBlock != 0)
      view.method = reinterpret_cast<const char*>(State::ptr(State::get32(methodBlock + 8)));
    for (uint16_t i = 0; i < it->second.count; ++i)
      view.locals.push_back(State::get32(it->second.locals + 4u * i));
    frames.push_back(std::move(view));
  }
  return true;
}

void Vm::setCurrentThread(uint32_t thread) {
  std::lock_guard<std::mutex> lock(s_->currentMutex);
  s_->currentThreads[std::this_thread::get_id()] = thread;
}

uint32_t Vm::currentThread() const {
  std::lock_guard<std::mutex> lock(s_->currentMutex);
  auto it = s_->currentThreads.find(std::this_thread::get_id());
  return it == s_->currentThreads.end() ? 0 : it->second;
}

}  // namespace simvm
