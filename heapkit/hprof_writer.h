// A small HPROF writer for tests and benchmarks: makes dumps shaped as a JDK writes them
// (big-endian, reverse field order, segments), with 4- or 8-byte ids, and lets a test damage them
// on purpose.
//
//   HprofWriter w(8);
//   w.defineClass(kNode, kObject, "hw/Node", {{"next", kRef}, {"weight", kInt}});
//   w.instance(0x5000, kNode, {{"next", 0x5008}, {"weight", 7}});
//   std::string bytes = w.finish();
#pragma once
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace hproftest {

enum Type : uint8_t {
  kRef = 2,
  kBoolean = 4,
  kChar = 5,
  kFloat = 6,
  kDouble = 7,
  kByte = 8,
  kShort = 9,
  kInt = 10,
  kLong = 11,
};

inline uint32_t typeBytes(uint8_t type, uint32_t idSize) {
  switch (type) {
    case kRef:
      return idSize;
    case kBoolean:
    case kByte:
      return 1;
    case kChar:
    case kShort:
      return 2;
    case kFloat:
    case kInt:
      return 4;
    default:
      return 8;
  }
}

struct Field {
  std::string name;
  uint8_t type;
};

struct Static {
  std::string name;
  uint8_t type;
  uint64_t value;  // raw bits; an id for a reference
};

class Bytes {
 public:
  std::string data;
  Bytes& u1(uint64_t v) {
    data += static_cast<char>(v & 0xFF);
    return *this;
  }
  Bytes& u2(uint64_t v) { return u1(v >> 8).u1(v); }
  Bytes& u4(uint64_t v) { return u2(v >> 16).u2(v); }
  Bytes& u8(uint64_t v) { return u4(v >> 32).u4(v); }
  Bytes& sized(uint64_t v, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) u1(v >> (8 * i));
    return *this;
  }
  Bytes& raw(const std::string& s) {
    data += s;
    return *this;
  }
};

class HprofWriter {
 public:
  explicit HprofWriter(uint32_t idSize) : id_(idSize) {
    out_.raw(std::string("JAVA PROFILE 1.0.2", 18)).u1(0).u4(idSize).u8(0);
  }
  uint32_t idSize() const { return id_; }

  // --- top-level records -----------------------------------------------------------------
  uint64_t text(const std::string& s) {
    auto it = texts_.find(s);
    if (it != texts_.end()) return it->second;
    const uint64_t id = 0x100000 + 8 * texts_.size();
    texts_[s] = id;
    Bytes b;
    b.sized(id, id_).raw(s);
    record(0x01, b);
    return id;
  }

  uint32_t loadClass(uint64_t classId, const std::string& name) {
    const uint64_t nameId = text(name);
    const uint32_t serial = ++serials_;
    Bytes b;
    b.u4(serial).sized(classId, id_).u4(1).sized(nameId, id_);
    record(0x02, b);
    return serial;
  }

  uint64_t frame(const std::string& method, uint32_t classSerial, int32_t line = 1) {
    const uint64_t frameId = 0x200000 + 8 * ++frames_;
    Bytes b;
    b.sized(frameId, id_).sized(text(method), id_).sized(text("()V"), id_).sized(0, id_);
    b.u4(classSerial).u4(static_cast<uint32_t>(line));
    record(0x04, b);
    return frameId;
  }

  // Frames innermost first.
  void trace(uint32_t serial, uint32_t threadSerial, const std::vector<uint64_t>& frameIds) {
    Bytes b;
    b.u4(serial).u4(threadSerial).u4(frameIds.size());
    for (uint64_t f : frameIds) b.sized(f, id_);
    record(0x05, b);
  }

  void record(uint8_t tag, const Bytes& body) { rawRecord(tag, body.data.size(), body.data); }
  // A record whose length field may lie about its body.
  void rawRecord(uint8_t tag, uint32_t length, const std::string& body) {
    flushSegment();
    out_.u1(tag).u4(0).u4(length).raw(body);
  }
  // Bytes written so far, pending sub-records not counted.
  size_t size() const { return out_.data.size(); }

  // --- heap sub-records (collected into the current segment) -------------------------------
  // Fields in declaration order; the dump lists them (and the statics) reversed.
  void defineClass(uint64_t id, uint64_t super, const std::string& name,
                   const std::vector<Field>& fields, const std::vector<Static>& statics = {},
                   uint64_t loader = 0) {
    loadClass(id, name);
    classDump(id, super, fields, statics, loader);
  }

  // Lets instance() lay out a class whose CLASS DUMP comes later in the file.
  void shape(uint64_t id, uint64_t super, const std::vector<Field>& fields) {
    classes_[id] = {super, fields};
  }

  void classDump(uint64_t id, uint64_t super, const std::vector<Field>& fields,
                 const std::vector<Static>& statics = {}, uint64_t loader = 0) {
    shape(id, super, fields);
    uint32_t size = 0;
    int depth = 0;  // a test may make the superclass chain loop
    for (uint64_t c = id; classes_.count(c) && depth < 64; c = classes_[c].super, ++depth)
      for (const Field& f : classes_[c].fields) size += typeBytes(f.type, id_);
    Bytes b;  // names first: a UTF8 record ends the current segment
    b.u1(0x20).sized(id, id_).u4(1).sized(super, id_).sized(loader, id_);
    b.sized(0, id_).sized(0, id_).sized(0, id_).sized(0, id_).u4(size).u2(0);
    b.u2(statics.size());
    for (auto it = statics.rbegin(); it != statics.rend(); ++it)
      b.sized(text(it->name), id_).u1(it->type).sized(it->value, typeBytes(it->type, id_));
    b.u2(fields.size());
    for (auto it = fields.rbegin(); it != fields.rend(); ++it)
      b.sized(text(it->name), id_).u1(it->type);
    seg_.raw(b.data);
    cut();
  }

  // Values by field name (a field of a superclass by its name too); missing fields are 0.
  void instance(uint64_t id, uint64_t classId, const std::map<std::string, uint64_t>& values) {
    Bytes payload;
    int depth = 0;
    for (uint64_t c = classId; classes_.count(c) && depth < 64; c = classes_[c].super, ++depth) {
      const auto& fields = classes_[c].fields;
      for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        auto v = values.find(it->name);
        payload.sized(v == values.end() ? 0 : v->second, typeBytes(it->type, id_));
      }
    }
    seg_.u1(0x21)
        .sized(id, id_)
        .u4(1)
        .sized(classId, id_)
        .u4(payload.data.size())
        .raw(payload.data);
    cut();
  }

  void objectArray(uint64_t id, uint64_t arrayClassId, const std::vector<uint64_t>& elements) {
    seg_.u1(0x22).sized(id, id_).u4(1).u4(elements.size()).sized(arrayClassId, id_);
    for (uint64_t e : elements) seg_.sized(e, id_);
    cut();
  }

  // Elements given as raw values, written big-endian at the type's width.
  void primitiveArray(uint64_t id, uint8_t type, const std::vector<uint64_t>& elements) {
    seg_.u1(0x23).sized(id, id_).u4(1).u4(elements.size()).u1(type);
    for (uint64_t e : elements) seg_.sized(e, typeBytes(type, id_));
    cut();
  }
  // A byte[] of raw bytes (a String's value).
  void byteArray(uint64_t id, const std::string& bytes) {
    seg_.u1(0x23).sized(id, id_).u4(1).u4(bytes.size()).u1(kByte).raw(bytes);
    cut();
  }

  void rootThreadObject(uint64_t obj, uint32_t threadSerial, uint32_t traceSerial) {
    seg_.u1(0x08).sized(obj, id_).u4(threadSerial).u4(traceSerial);
    cut();
  }
  void rootJavaFrame(uint64_t obj, uint32_t threadSerial, uint32_t depth) {
    seg_.u1(0x03).sized(obj, id_).u4(threadSerial).u4(depth);
    cut();
  }
  void rootJniGlobal(uint64_t obj) {
    seg_.u1(0x01).sized(obj, id_).sized(0x7000, id_);
    cut();
  }
  void rootStickyClass(uint64_t cls) {
    seg_.u1(0x05).sized(cls, id_);
    cut();
  }
  // Any bytes, as a sub-record of the current segment (for damaged dumps).
  void rawSubRecord(const std::string& bytes) { seg_.raw(bytes); }

  // Sub-records go into segments of about this many bytes (the JDK uses 1 MiB).
  void setSegmentBytes(size_t n) { segmentBytes_ = n; }
  void flushSegment() {
    if (seg_.data.empty()) return;
    out_.u1(0x1C).u4(0).u4(seg_.data.size()).raw(seg_.data);
    seg_.data.clear();
    ++segments_;
  }
  int segments() const { return segments_; }

  // The whole file: pending sub-records, then HEAP DUMP END.
  std::string finish() {
    flushSegment();
    out_.u1(0x2C).u4(0).u4(0);
    return out_.data;
  }

  static void save(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  struct ClassShape {
    uint64_t super;
    std::vector<Field> fields;
  };
  void cut() {
    if (seg_.data.size() >= segmentBytes_) flushSegment();
  }

  uint32_t id_;
  Bytes out_, seg_;
  std::map<std::string, uint64_t> texts_;
  std::map<uint64_t, ClassShape> classes_;
  uint32_t serials_ = 0;
  uint32_t frames_ = 0;
  size_t segmentBytes_ = 1 << 20;
  int segments_ = 0;
};

}  // namespace hproftest
