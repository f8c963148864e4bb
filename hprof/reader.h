// Sequential reading of an HPROF stream, plain or gzip-compressed, through one large buffer.
//
// All numbers in the stream are big-endian. Reads that run past the end of the data raise
// HprofError with the offset (in the uncompressed stream) of the item that could not be read,
// so a file cut short anywhere fails cleanly.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hprof/hprof.h"

namespace simvm::hprof {

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }
// An id of idSize bytes (4 or 8).
inline uint64_t beId(const uint8_t* p, uint32_t idSize) { return idSize == 8 ? be64(p) : be32(p); }

class Reader {
 public:
  // Opens the file; a gzip stream (magic 1f 8b) is decompressed on the fly.
  explicit Reader(const std::string& path);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  uint64_t offset() const { return consumed_ + pos_; }
  uint64_t totalSize() const { return total_; }  // 0 when not known (compressed input)
  void onProgress(std::function<void(uint64_t, uint64_t)> fn) { progress_ = std::move(fn); }

  bool atEnd();
  // Makes n contiguous bytes (n <= kWindow) available and returns them; does not consume.
  const uint8_t* need(size_t n) {
    if (end_ - pos_ < n) fill(n);
    return buf_.data() + pos_;
  }
  void advance(size_t n) { pos_ += n; }
  const uint8_t* take(size_t n) {
    const uint8_t* p = need(n);
    pos_ += n;
    return p;
  }

  uint8_t u1() { return *take(1); }
  uint16_t u2() { return be16(take(2)); }
  uint32_t u4() { return be32(take(4)); }
  uint64_t u8() { return be64(take(8)); }
  uint64_t id(uint32_t idSize) { return beId(take(idSize), idSize); }

  void skip(uint64_t n) {
    while (n > 0) {
      const size_t step = chunk(n);
      pos_ += step;
      n -= step;
    }
  }
  // Appends the next n bytes to out, growing it only as the bytes arrive (a damaged length
  // cannot make it reserve more than the stream holds).
  template <class Bytes>
  void appendTo(Bytes& out, uint64_t n) {
    while (n > 0) {
      const size_t step = chunk(n);
      const auto* p = buf_.data() + pos_;
      out.insert(out.end(), p, p + step);
      pos_ += step;
      n -= step;
    }
  }

  static constexpr size_t kWindow = 1 << 16;  // the most need() may ask for at once

 private:
  struct Source;
  void fill(size_t n);  // refills so that n bytes are buffered, or raises "truncated"
  // How many of the next n bytes are buffered now (at least 1: refills, or raises "truncated").
  size_t chunk(uint64_t n);
  void reportProgress();
  size_t readSome(uint8_t* dst, size_t n);

  std::unique_ptr<Source> src_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0;
  uint64_t consumed_ = 0;  // stream offset of buf_[0]
  uint64_t total_ = 0;
  uint64_t nextReport_ = 0;
  bool eof_ = false;
  std::function<void(uint64_t, uint64_t)> progress_;
};

}  // namespace simvm::hprof
