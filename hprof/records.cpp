#include "hprof/records.h"

#include "hprof/layout.h"
#include "hprof/prefault.h"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>  // madvise, where there is one
#endif

#include <algorithm>
#include <cstdio>
#include <optional>

namespace simvm::hprof {
namespace {

void readHeader(Reader& in, Model& m) {
  std::string magic;
  for (;;) {
    if (in.atEnd()) throw HprofError("not an HPROF file (too short for a header)", 0);
    const uint8_t c = in.u1();
    if (c == 0) break;
    magic += static_cast<char>(c);
    if (magic.size() > 32) throw HprofError("not an HPROF file (no header)", 0);
  }
  if (magic != "JAVA PROFILE 1.0.2" && magic != "JAVA PROFILE 1.0.1")
    throw HprofError("not an HPROF file (header \"" + magic + "\")", 0);
  const uint64_t at = in.offset();
  m.idSize = in.u4();
  if (m.idSize != 4 && m.idSize != 8)
    throw HprofError("identifier size " + std::to_string(m.idSize) + " is neither 4 nor 8", at);
  m.timeMillis = in.u8();
}

// A record body shorter than its fixed part is damage; a longer one is read and the rest
// skipped.
void requireLength(uint64_t length, uint64_t want, uint64_t at, const char* what) {
  if (length < want)
    throw HprofError(std::string(what) + " record of " + std::to_string(length) +
                         " bytes, at least " + std::to_string(want) + " expected",
                     at);
}

class HeapReader {
 public:
  HeapReader(Reader& in, Model& m, uint64_t end) : in_(in), m_(m), end_(end), id_(m.idSize) {}

  void run() {
    while (in_.offset() < end_) {
      at_ = in_.offset();
      const uint8_t tag = in_.u1();
      switch (tag) {
        case 0xFF:
        case 0x05:
        case 0x07:
          otherRoot(tag, id_);
          break;
        case 0x01:
          otherRoot(tag, 2 * id_);
          break;
        case 0x02:
          otherRoot(tag, id_ + 8);
          break;
        case 0x04:
        case 0x06:
          otherRoot(tag, id_ + 4);
          break;
        case 0x03:
          frameRoot();
          break;
        case 0x08:
          threadRoot();
          break;
        case 0x20:
          classDump();
          break;
        case 0x21:
          instance();
          break;
        case 0x22:
          objectArray();
          break;
        case 0x23:
          primitiveArray();
          break;
        default: {
          char buf[8];
          std::snprintf(buf, sizeof buf, "0x%02x", tag);
          throw HprofError(std::string("unknown heap dump sub-record tag ") + buf, at_);
        }
      }
      fits(in_.offset());
      in_.reportProgress();
    }
  }

 private:
  // The sub-record that started at at_ must end by the end of its segment.
  void fits(uint64_t endOfSubRecord) const {
    if (endOfSubRecord > end_)
      throw HprofError("a heap dump sub-record runs past the end of its segment (at " +
                           std::to_string(end_) + ")",
                       at_);
  }
  const uint8_t* take(size_t n) {
    fits(in_.offset() + n);
    return in_.take(n);
  }
  void fixed(uint32_t n) { take(n); }

  void requireId(uint64_t id) const {
    if (id == 0) throw HprofError("a heap dump sub-record with id 0", at_);
  }

  // A root other than a Java frame or a thread object: its object id comes first, then (for
  // the kinds that have one) the thread's serial.
  void otherRoot(uint8_t tag, uint32_t bytes) {
    const uint8_t* p = take(bytes);
    const bool hasThread = tag == 0x02 || tag == 0x04 || tag == 0x06;
    m_.otherRoots.push_back({beId(p, id_), hasThread ? be32(p + id_) : 0, tag});
  }

  void frameRoot() {
    const uint8_t* p = take(id_ + 8);
    m_.frameRoots.push_back({beId(p, id_), be32(p + id_), be32(p + id_ + 4)});
  }

  void threadRoot() {
    const uint8_t* p = take(id_ + 8);
    m_.threadRoots.push_back({beId(p, id_), be32(p + id_), be32(p + id_ + 4)});
  }

  // Reads one {type, value} pair's value; the type must name a basic type.
  uint64_t value(uint8_t type) {
    const uint32_t size = typeSize(type, id_);
    if (size == 0) throw HprofError("unknown basic type " + std::to_string(type), at_);
    const uint8_t* p = take(size);
    switch (size) {
      case 1:
        return p[0];
      case 2:
        return be16(p);
      case 4:
        return be32(p);
      default:
        return be64(p);
    }
  }

  void classDump() {
    const uint8_t* p = take(7 * id_ + 8);
    ClassDump c;
    c.id = beId(p, id_);
    c.superId = beId(p + id_ + 4, id_);
    c.loaderId = beId(p + 2 * id_ + 4, id_);
    c.signersId = beId(p + 3 * id_ + 4, id_);
    c.protectionDomainId = beId(p + 4 * id_ + 4, id_);
    c.instanceSize = be32(p + 7 * id_ + 4);
    c.offset = at_;
    const uint16_t constants = be16(take(2));
    for (uint16_t i = 0; i < constants; ++i) value(take(3)[2]);
    c.firstStatic = static_cast<uint32_t>(m_.statics.size());
    c.staticCount = be16(take(2));
    for (uint32_t i = 0; i < c.staticCount; ++i) {
      const uint8_t* f = take(id_ + 1);
      StaticField s{beId(f, id_), f[id_], 0};
      s.value = value(s.type);
      m_.statics.push_back(s);
    }
    c.firstField = static_cast<uint32_t>(m_.fields.size());
    c.fieldCount = be16(take(2));
    for (uint32_t i = 0; i < c.fieldCount; ++i) {
      const uint8_t* f = take(id_ + 1);
      const InstanceField field{beId(f, id_), f[id_]};
      if (typeSize(field.type, id_) == 0)
        throw HprofError("unknown basic type " + std::to_string(field.type), at_);
      m_.fields.push_back(field);
    }
    requireId(c.id);
    m_.classes.push_back(c);
  }

  // vmBytes: the least the object can take in the VM (its handle and body).
  void addObject(uint64_t id, HeapObject o, uint64_t payload, uint64_t vmBytes) {
    fits(in_.offset() + payload);
    checkCapacity(vmBytes);
    requireId(id);
    if (in_.offset() >= HeapObject::kDataLimit)
      throw HprofError("the dump is too long for this reader (objects past 256 TB)", at_);
    o.setData(in_.offset());
    if (m_.objectIdsAscend && !m_.objects.empty() && id <= m_.lastObjectId) listObjectIds();
    m_.lastObjectId = id;
    if (!m_.objectIdsAscend) m_.idPairs.emplace_back(id, static_cast<uint32_t>(m_.objects.size()));
    m_.objects.push_back(o);
    in_.skip(payload);
  }

  // The objects' ids do not ascend after all: the pairs of those read so far are listed, their
  // ids read back from the image, and every later object adds its own.
  void listObjectIds() {
    m_.objectIdsAscend = false;
    try {
      m_.idPairs.reserve(m_.objects.capacity() + (1u << 16));  // the classes' pairs join them
    } catch (const std::exception&) {
    }
    const ObjectIdAt idAt{m_.objects.data(), in_.image(), id_};
    for (size_t j = 0; j < m_.objects.size(); ++j)
      m_.idPairs.emplace_back(idAt(j), static_cast<uint32_t>(j));
  }

  void instance() {
    const uint8_t* p = take(2 * id_ + 8);
    HeapObject o{};
    o.length = be32(p + 2 * id_ + 4);
    o.kind = ObjectKind::kInstance;
    addObject(beId(p, id_), o, o.length, o.length / 2);  // a field shrinks at most 8 -> 4 bytes
  }

  void objectArray() {
    const uint8_t* p = take(2 * id_ + 8);
    HeapObject o{};
    o.length = be32(p + id_ + 4);
    o.kind = ObjectKind::kObjectArray;
    addObject(beId(p, id_), o, uint64_t(o.length) * id_, uint64_t(o.length) * 4);
  }

  void primitiveArray() {
    const uint8_t* p = take(id_ + 9);
    HeapObject o{};
    o.length = be32(p + id_ + 4);
    o.elementType = p[id_ + 8];
    o.kind = ObjectKind::kPrimitiveArray;
    const uint32_t size = o.elementType == kTypeRef || o.elementType == kTypeArrayRef
                              ? 0
                              : typeSize(o.elementType, id_);
    if (size == 0)
      throw HprofError("primitive array of unknown type " + std::to_string(o.elementType), at_);
    addObject(beId(p, id_), o, uint64_t(o.length) * size, uint64_t(o.length) * size);
  }

  // A dump too large for a VM here is known as soon as what its objects need at least exceeds
  // the largest region the process can place (looked up once, when it starts to matter).
  void checkCapacity(uint64_t vmBytes) {
    m_.leastVmBytes += kSlotBytes + vmBytes;
    const uint64_t handles = m_.objects.size() + m_.classes.size();
    if (handles >= kMaxHandles) throw tooLargeForVm(m_.leastVmBytes, handles, at_);
    if (m_.leastVmBytes < kCheckFrom) return;
    if (m_.regionLimit == 0) m_.regionLimit = Vm::largestRegion();
    if (m_.leastVmBytes > m_.regionLimit) throw tooLargeForVm(m_.leastVmBytes, handles, at_);
  }
  static constexpr uint64_t kSlotBytes = 8;
  static constexpr uint64_t kMaxHandles = 1u << 28;  // the VM's handle table limit
  // Below this the final sizing decides (the lookup takes some dozens of mappings).
  static constexpr uint64_t kCheckFrom = 1ull << 30;

  Reader& in_;
  Model& m_;
  const uint64_t end_;
  const uint32_t id_;
  uint64_t at_ = 0;
};

void readUtf8(Reader& in, Model& m, uint32_t length, uint64_t at) {
  requireLength(length, m.idSize, at, "UTF8");
  const uint64_t id = in.id(m.idSize);
  const uint32_t n = length - m.idSize;
  const uint64_t start = m.textPool.size();
  in.appendTo(m.textPool, n);
  if (m.utf8.insert(id, static_cast<uint32_t>(m.utf8Spans.size())) ==
      static_cast<uint32_t>(m.utf8Spans.size()))
    m.utf8Spans.emplace_back(start, n);
}

void readStackTrace(Reader& in, Model& m, uint32_t length, uint64_t at) {
  requireLength(length, 12, at, "STACK TRACE");
  StackTrace t;
  t.serial = in.u4();
  t.threadSerial = in.u4();
  t.frameCount = in.u4();
  requireLength(length, 12 + uint64_t(t.frameCount) * m.idSize, at, "STACK TRACE");
  t.firstFrame = static_cast<uint32_t>(m.traceFrames.size());
  for (uint32_t i = 0; i < t.frameCount; ++i) m.traceFrames.push_back(in.id(m.idSize));
  m.traces.push_back(t);
  in.skip(length - 12 - uint64_t(t.frameCount) * m.idSize);
}

// Nodes: classes first, then objects. An id given twice is damage, reported at the later record.
void indexIds(Model& m) {
  const uint32_t classes = static_cast<uint32_t>(m.classes.size());
  // The objects' pairs were taken as they were read, with their index among the objects.
  std::vector<IdIndex::Pair> pairs = std::move(m.idPairs);
  for (IdIndex::Pair& p : pairs) p.second += classes;
  // Class ids (mirror addresses) come in loading order; the objects in address order.
  const size_t first = pairs.size();
  for (uint32_t i = 0; i < classes; ++i) pairs.emplace_back(m.classes[i].id, i);
  std::sort(pairs.begin() + static_cast<ptrdiff_t>(first), pairs.end());
  m.ids.build(std::move(pairs));
  const auto offsetOf = [&](uint32_t node) {
    return node < classes ? m.classes[node].offset
                          : recordOffset(m.objects[node - classes], m.idSize);
  };
  const auto& p = m.ids.pairs();
  const auto twice = [&](size_t d, uint32_t a, uint32_t b) {
    return HprofError("id " + hexId(p[d].first) + " is dumped twice",
                      std::max(offsetOf(a), offsetOf(b)));
  };
  if (!m.objectIdsAscend) {
    const size_t d = m.ids.firstDuplicate();
    if (d < m.ids.size()) throw twice(d, p[d].second, p[d + 1].second);
    return;
  }
  // No two objects share an id; the least id given twice is a class's, an object's first.
  m.objectIds = AscendingIds<ObjectIdAt>({m.objects.data(), m.image, m.idSize}, m.objects.size());
  for (size_t d = 0; d < p.size(); ++d) {
    const uint32_t j = m.objectIds.find(p[d].first);
    if (j != IdIndex::kMissing) throw twice(d, classes + j, p[d].second);
    if (d + 1 < p.size() && p[d + 1].first == p[d].first)
      throw twice(d, p[d].second, p[d + 1].second);
  }
}

}  // namespace

std::string hexId(uint64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(id));
  return buf;
}

void adviseHugePages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Tens of megabytes filled front to back: 2 MB pages fault 512 times less often.
  const uintptr_t huge = uintptr_t(2) << 20;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + huge - 1) & ~(huge - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(huge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void releasePages(const void* from, const void* to) {
#ifdef MADV_DONTNEED
  constexpr uintptr_t kPage = 4096;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(from) + kPage - 1) & ~(kPage - 1);
  const uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(kPage - 1);
  if (b > a) madvise(reinterpret_cast<void*>(a), b - a, MADV_DONTNEED);
#else
  (void)from;
  (void)to;
#endif
}

uint32_t typeSize(uint8_t type, uint32_t idSize) {
  switch (type) {
    case kTypeArrayRef:
    case kTypeRef:
      return idSize;
    case kTypeBoolean:
    case kTypeByte:
      return 1;
    case kTypeChar:
    case kTypeShort:
      return 2;
    case kTypeFloat:
    case kTypeInt:
      return 4;
    case kTypeDouble:
    case kTypeLong:
      return 8;
    default:
      return 0;
  }
}

// A table the records fill, reserved whole, whose pages another thread prepares a step ahead of
// the filling (prefault.h): for large dumps, where the kernel's zeroing of those pages is worth a
// thread of its own.
template <class T>
class TableAhead {
 public:
  explicit TableAhead(std::vector<T>& table) : table_(table), base_(table.data()) {
    if (table.capacity() * sizeof(T) >= kFrom)
      pages_.emplace(const_cast<T*>(base_), table.capacity() * sizeof(T));
  }
  void keepUp() {
    if (pages_ && table_.data() == base_) pages_->allow(table_.size() * sizeof(T) + kAhead);
  }
  // Once the table is full: the pages prepared past its end are given back (a reservation
  // from a compressed file's guess can be far more than the table takes).
  void finish() {
    if (!pages_) return;
    pages_.reset();
    if (table_.data() != base_) return;
    releasePages(base_ + table_.size(), base_ + table_.capacity());
  }

 private:
  static constexpr size_t kFrom = 64u << 20, kAhead = 4u << 20;
  const std::vector<T>& table_;
  const T* const base_;  // where it was reserved: moved, it is left alone
  std::optional<Prefaulter> pages_;
};

Model readModel(Reader& in) {
  Model m;
  readHeader(in, m);
  const uint32_t id = m.idSize;
  if (const uint64_t guess = in.sizeGuess()) {
    // Reserving keeps the object table from being copied as it grows (the memory is only
    // touched as it fills). Where the address space for it cannot be had, it grows as it must.
    try {
      m.objects.reserve(static_cast<size_t>(std::min<uint64_t>(guess / 32, m.objects.max_size())));
    } catch (const std::exception&) {
    }
    adviseHugePages(m.objects.data(), m.objects.capacity() * sizeof(HeapObject));
  }
  TableAhead<HeapObject> objectsAhead(m.objects);
  bool sawHeap = false, ended = false;
  while (!in.atEnd()) {
    const uint64_t at = in.offset();
    const uint8_t* h = in.take(9);
    const uint8_t tag = h[0];
    const uint32_t length = be32(h + 5);
    const uint64_t end = in.offset() + length;
    switch (tag) {
      case 0x01:
        readUtf8(in, m, length, at);
        break;
      case 0x02: {
        requireLength(length, 8 + 2 * id, at, "LOAD CLASS");
        const uint8_t* p = in.take(8 + 2 * id);
        m.loadClasses.push_back({be32(p), beId(p + 4, id), beId(p + 8 + id, id)});
        break;
      }
      case 0x04: {
        requireLength(length, 8 + 4 * id, at, "STACK FRAME");
        const uint8_t* p = in.take(8 + 4 * id);
        const uint64_t frameId = beId(p, id);
        if (m.frameIndex.insert(frameId, static_cast<uint32_t>(m.frames.size())) == m.frames.size())
          m.frames.push_back({beId(p + id, id), beId(p + 2 * id, id), beId(p + 3 * id, id),
                              be32(p + 4 * id), static_cast<int32_t>(be32(p + 4 * id + 4))});
        break;
      }
      case 0x05:
        readStackTrace(in, m, length, at);
        break;
      case 0x0C:
      case 0x1C:
        HeapReader(in, m, end).run();
        objectsAhead.keepUp();
        sawHeap = true;
        ended = tag == 0x0C;  // the old single-record form has no end record
        break;
      case 0x2C:
        ended = true;
        break;
      default: {
        auto it = std::find_if(m.skipped.begin(), m.skipped.end(),
                               [&](const SkippedRecords& k) { return k.tag == tag; });
        if (it == m.skipped.end())
          it = m.skipped.insert(
              std::upper_bound(m.skipped.begin(), m.skipped.end(), tag,
                               [](uint8_t t, const SkippedRecords& k) { return t < k.tag; }),
              SkippedRecords{tag, 0, 0});
        ++it->count;
        it->bytes += 9 + uint64_t(length);
        break;
      }
    }
    if (in.offset() > end) throw HprofError("a record runs past its own length", at);
    in.skip(end - in.offset());
  }
  m.streamBytes = in.offset();
  m.image = in.image();
  m.releaseImage = [&in](uint64_t from, uint64_t to) { in.release(from, to); };
  // Pages an inflater prepared past the stream's end hold nothing, nor those past the tables'.
  in.release(m.streamBytes, UINT64_MAX);
  objectsAhead.finish();
  if (!sawHeap) throw HprofError("the file holds no heap dump", in.offset());
  if (!ended)
    throw HprofError("the heap dump has no end record (the file was cut short)", in.offset());
  indexIds(m);
  return m;
}

}  // namespace simvm::hprof
