// The dump ids of a loaded heap and their handles, kept once for the look-ups both ways.
//
// ids_ holds the ids in ascending handle order; the handles themselves are kept as runs of
// consecutive slots. A JDK hands out handles to the classes first and then to the objects in
// dump order, which is ascending id order: the ids from sortedFrom_ on ascend, and only the
// positions before it (the classes, mostly) need an index sorted by id. About 8 bytes an object
// where two maps of pairs took 32; a dump in any other order costs 4 bytes more an entry.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace simvm {

// An allocator whose elements start uninitialized: a table sized first and then written, page by
// page, holds only the pages written so far.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) {}
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class HeapIds {
 public:
  static constexpr size_t kNowhere = ~size_t(0);
  static constexpr uint32_t kSlot = 8;  // handles are this far apart
  using IdList = std::vector<uint64_t, UninitializedAllocator<uint64_t>>;

  template <class HandleAt>
  HeapIds(const std::vector<uint64_t>& ids, HandleAt handleAt)
      : HeapIds(IdList(ids.begin(), ids.end()), handleAt) {}
  // handleAt(p) ascending in p, ids[p] the id of handleAt(p); all ids differ.
  template <class HandleAt>
  HeapIds(IdList ids, HandleAt handleAt) : ids_(std::move(ids)) {
    uint32_t last = 0;
    for (size_t p = 0; p < ids_.size(); ++p) {
      const uint32_t h = handleAt(p);
      if (p == 0 || h != last + kSlot) runs_.push_back({h, p});
      last = h;
    }
    sortedFrom_ = ids_.size();
    while (sortedFrom_ > 1 && ids_[sortedFrom_ - 2] < ids_[sortedFrom_ - 1]) --sortedFrom_;
    if (sortedFrom_ > 0) --sortedFrom_;  // the last one always counts as ascending
    if (ids_.empty()) sortedFrom_ = 0;
    unsorted_.resize(sortedFrom_);
    for (size_t p = 0; p < sortedFrom_; ++p) unsorted_[p] = static_cast<uint32_t>(p);
    std::sort(unsorted_.begin(), unsorted_.end(),
              [this](uint32_t a, uint32_t b) { return ids_[a] < ids_[b]; });
  }

  size_t size() const { return ids_.size(); }
  uint64_t idAt(size_t p) const { return ids_[p]; }
  // The run holding position p (runs are few; callers walking positions keep the run).
  size_t runOf(size_t p) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), p,
                               [](size_t q, const Run& r) { return q < r.first; });
    return size_t(it - runs_.begin()) - 1;
  }
  uint32_t handleAt(size_t p, size_t run) const {
    return runs_[run].handle + static_cast<uint32_t>(p - runs_[run].first) * kSlot;
  }
  size_t runEnd(size_t run) const {
    return run + 1 < runs_.size() ? runs_[run + 1].first : ids_.size();
  }

  // The position of a handle, or kNowhere.
  size_t positionOfHandle(uint32_t handle) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), handle,
                               [](uint32_t h, const Run& r) { return h < r.handle; });
    if (it == runs_.begin()) return kNowhere;
    const size_t run = size_t(it - runs_.begin()) - 1;
    const uint32_t off = handle - runs_[run].handle;
    if (off % kSlot) return kNowhere;
    const size_t p = runs_[run].first + off / kSlot;
    return p < runEnd(run) ? p : kNowhere;
  }

  // In id order: the entries of unsorted_ before a and the positions of the ascending part
  // before b. lowerBound gives both for the first id not below id.
  struct Cursor {
    size_t a = 0, b = 0;
    bool operator==(const Cursor& o) const { return a == o.a && b == o.b; }
  };
  Cursor begin() const { return {0, sortedFrom_}; }
  Cursor end() const { return {unsorted_.size(), ids_.size()}; }
  Cursor lowerBound(uint64_t id) const {
    Cursor c;
    c.a = size_t(std::lower_bound(unsorted_.begin(), unsorted_.end(), id,
                                  [this](uint32_t p, uint64_t k) { return ids_[p] < k; }) -
                 unsorted_.begin());
    c.b = size_t(std::lower_bound(ids_.begin() + sortedFrom_, ids_.end(), id) - ids_.begin());
    return c;
  }
  // The position a cursor stands at (not end()).
  size_t at(const Cursor& c) const {
    if (c.a == unsorted_.size()) return c.b;
    if (c.b == ids_.size()) return unsorted_[c.a];
    return ids_[unsorted_[c.a]] < ids_[c.b] ? unsorted_[c.a] : c.b;
  }
  void next(Cursor& c) const {
    // Positions in unsorted_ all lie before sortedFrom_, those of the ascending part from it on.
    if (c.a < unsorted_.size() && at(c) == unsorted_[c.a])
      ++c.a;
    else
      ++c.b;
  }

 private:
  struct Run {
    uint32_t handle;
    size_t first;  // position of the run's first handle
  };
  IdList ids_;
  std::vector<Run> runs_;
  size_t sortedFrom_ = 0;
  std::vector<uint32_t> unsorted_;  // positions before sortedFrom_, by id
};

// What the two views' iterators share: values made on the fly (so `->` hands out a copy), the
// postfix step and inequality. Derived supplies operator*, the prefix step and operator==.
template <class Derived, class Value>
class ValueIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using reference = Value;
  struct pointer {
    Value v;
    const Value* operator->() const { return &v; }
  };
  pointer operator->() const { return {**self()}; }
  Derived operator++(int) {
    Derived old = *self();
    ++*self();
    return old;
  }
  bool operator!=(const Derived& o) const { return !(*self() == o); }

 private:
  const Derived* self() const { return static_cast<const Derived*>(this); }
  Derived* self() { return static_cast<Derived*>(this); }
};

// Dump id -> handle, in ascending id order.
class HandleOfId {
 public:
  using value_type = std::pair<uint64_t, uint32_t>;
  class const_iterator : public ValueIterator<const_iterator, value_type> {
   public:
    const_iterator() = default;
    const_iterator(const HeapIds* t, HeapIds::Cursor c) : t_(t), c_(c) {}
    value_type operator*() const {
      const size_t p = t_->at(c_);
      return {t_->idAt(p), t_->handleAt(p, t_->runOf(p))};
    }
    const_iterator& operator++() {
      t_->next(c_);
      return *this;
    }
    bool operator==(const const_iterator& o) const { return c_ == o.c_; }

   private:
    const HeapIds* t_ = nullptr;
    HeapIds::Cursor c_;
  };

  HandleOfId() = default;
  explicit HandleOfId(std::shared_ptr<const HeapIds> t) : t_(std::move(t)) {}

  const_iterator begin() const { return t_ ? const_iterator(t_.get(), t_->begin()) : end(); }
  const_iterator end() const { return t_ ? const_iterator(t_.get(), t_->end()) : const_iterator(); }
  size_t size() const { return t_ ? t_->size() : 0; }
  bool empty() const { return size() == 0; }
  const_iterator find(uint64_t id) const {
    if (!t_) return end();
    const HeapIds::Cursor c = t_->lowerBound(id);
    if (c == t_->end() || t_->idAt(t_->at(c)) != id) return end();
    return const_iterator(t_.get(), c);
  }
  size_t count(uint64_t id) const { return find(id) != end() ? 1 : 0; }
  uint32_t at(uint64_t id) const {
    const_iterator it = find(id);
    if (it == end()) throw std::out_of_range("no such key");
    return it->second;
  }

 private:
  std::shared_ptr<const HeapIds> t_;
};

// Handle -> dump id, in ascending handle order.
class IdOfHandle {
 public:
  using value_type = std::pair<uint32_t, uint64_t>;
  class const_iterator : public ValueIterator<const_iterator, value_type> {
   public:
    const_iterator() = default;
    const_iterator(const HeapIds* t, size_t p, size_t run) : t_(t), p_(p), run_(run) {}
    value_type operator*() const { return {t_->handleAt(p_, run_), t_->idAt(p_)}; }
    const_iterator& operator++() {
      if (++p_ == t_->runEnd(run_)) ++run_;
      return *this;
    }
    bool operator==(const const_iterator& o) const { return p_ == o.p_; }

   private:
    const HeapIds* t_ = nullptr;
    size_t p_ = 0, run_ = 0;
  };

  IdOfHandle() = default;
  explicit IdOfHandle(std::shared_ptr<const HeapIds> t) : t_(std::move(t)) {}

  const_iterator begin() const { return const_iterator(t_.get(), 0, 0); }
  const_iterator end() const { return const_iterator(t_.get(), size(), 0); }
  size_t size() const { return t_ ? t_->size() : 0; }
  bool empty() const { return size() == 0; }
  const_iterator find(uint32_t handle) const {
    const size_t p = t_ ? t_->positionOfHandle(handle) : HeapIds::kNowhere;
    return p == HeapIds::kNowhere ? end() : const_iterator(t_.get(), p, t_->runOf(p));
  }
  size_t count(uint32_t handle) const { return find(handle) != end() ? 1 : 0; }
  uint64_t at(uint32_t handle) const {
    const_iterator it = find(handle);
    if (it == end()) throw std::out_of_range("no such key");
    return it->second;
  }

 private:
  std::shared_ptr<const HeapIds> t_;
};

}  // namespace simvm
