// Sequential reading of an HPROF stream, plain or gzip-compressed, from one image of the whole
// stream in memory.
//
// A plain file is mapped (read whole where mapping is not available); a gzip file is inflated
// into one reserved range by a second thread while this one reads behind it. The image stays in
// place until the reader is destroyed, so the loader keeps offsets into it instead of copying
// object payloads out.
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
  // Opens the file; a gzip stream (magic 1f 8b) is decompressed on the fly. A stream longer
  // than maxBytes (0: no limit) raises HprofError when reading gets there.
  explicit Reader(const std::string& path, uint64_t maxBytes = 0);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  uint64_t offset() const { return pos_; }
  uint64_t totalSize() const { return total_; }  // 0 when not known (compressed input)
  // The stream's size, or for compressed input a generous guess at it (16 times the file): for
  // reserving address space, which costs nothing until it is touched.
  uint64_t sizeGuess() const { return total_ ? total_ : compressed_ * 16; }
  void onProgress(std::function<void(uint64_t, uint64_t)> fn) { progress_ = std::move(fn); }
  // The stream from offset 0; valid up to the reading position, for the reader's lifetime.
  const uint8_t* image() const { return base_; }

  bool atEnd();
  // Makes n contiguous bytes available and returns them; does not consume.
  const uint8_t* need(uint64_t n) {
    if (end_ - pos_ < n) fill(n, false);
    return base_ + pos_;
  }
  const uint8_t* take(uint64_t n) {
    const uint8_t* p = need(n);
    pos_ += n;
    return p;
  }

  uint8_t u1() { return *take(1); }
  uint16_t u2() { return be16(take(2)); }
  uint32_t u4() { return be32(take(4)); }
  uint64_t u8() { return be64(take(8)); }
  uint64_t id(uint32_t idSize) { return beId(take(idSize), idSize); }

  // A stream that ends within the n bytes is reported at its end.
  void skip(uint64_t n) {
    if (end_ - pos_ < n) fill(n, true);
    pos_ += n;
  }
  template <class Bytes>
  void appendTo(Bytes& out, uint64_t n) {
    if (end_ - pos_ < n) fill(n, true);
    out.insert(out.end(), base_ + pos_, base_ + pos_ + n);
    pos_ += n;
  }

  // Gives back the memory of the image's whole pages within [from, to) (stream offsets), once
  // nothing reads them again: a gzip stream's pages are freed, a mapped file's unmapped (a read
  // would find the file's bytes again). Does nothing where the image is an ordinary buffer.
  void release(uint64_t from, uint64_t to);

  // Calls the progress function when another step of the stream has been read.
  void reportProgress() {
    if (progress_ && pos_ >= nextReport_) notifyProgress();
  }

  struct Source;

 private:
  // Waits until n bytes from the reading position are in the image, or raises the stream's
  // error or "truncated" (at the stream's end when toEnd, else at the reading position).
  void fill(uint64_t n, bool toEnd);
  void notifyProgress();

  std::unique_ptr<Source> src_;
  const uint8_t* base_ = nullptr;
  uint64_t pos_ = 0, end_ = 0;  // reading position; bytes of the image known to be there
  uint64_t total_ = 0;
  uint64_t compressed_ = 0;  // the file's size, for compressed input
  uint64_t nextReport_ = 0;
  std::function<void(uint64_t, uint64_t)> progress_;
};

}  // namespace simvm::hprof
