#include "hprof/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#ifdef TAVOLIN_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#elif defined(TAVOLIN_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace simvm::hprof {
namespace {

constexpr size_t kBufferBytes = 4u << 20;
constexpr uint64_t kProgressStep = 16u << 20;

}  // namespace

#ifdef TAVOLIN_HAVE_ISAL
// gzip through ISA-L, which inflates at about three times zlib's speed. A dump may be several
// gzip members one after another (the JDK compresses a dump in independent chunks): each member
// ends with its checksum checked, and the next one starts where it ended.
struct Inflater {
  inflate_state st;
  std::vector<uint8_t> in = std::vector<uint8_t>(1u << 20);
  bool inputEnded = false;
  bool member = false;  // inside a member (its end not reached yet)

  Inflater() {
    isal_inflate_init(&st);
    st.crc_flag = ISAL_GZIP;
  }
  void refill(std::FILE* file) {
    if (st.avail_in > 0 || inputEnded) return;
    const size_t got = std::fread(in.data(), 1, in.size(), file);
    if (got < in.size() && std::ferror(file))
      throw HprofError(std::string("read error: ") + std::strerror(errno), 0);
    if (got == 0) inputEnded = true;
    st.next_in = in.data();
    st.avail_in = static_cast<uint32_t>(got);
  }
  // Up to n bytes of output; 0 at the end of the last member. offset: for messages.
  size_t read(std::FILE* file, uint8_t* dst, size_t n, uint64_t offset) {
    for (;;) {
      refill(file);
      if (!member) {
        if (st.avail_in == 0 && inputEnded) return 0;
        uint8_t* next = st.next_in;
        const uint32_t avail = st.avail_in;
        isal_inflate_reset(&st);
        st.crc_flag = ISAL_GZIP;
        st.next_in = next;
        st.avail_in = avail;
        member = true;
      }
      st.next_out = dst;
      st.avail_out = static_cast<uint32_t>(std::min<size_t>(n, 1u << 30));
      const int ret = isal_inflate(&st);
      if (ret < 0)
        throw HprofError("compressed data is damaged (inflate error " + std::to_string(ret) + ")",
                         offset);
      const size_t produced = n - st.avail_out;
      if (st.block_state == ISAL_BLOCK_FINISH) member = false;
      if (produced > 0) return produced;
      if (member && st.avail_in == 0 && inputEnded)
        throw HprofError("compressed data ends early", offset);
    }
  }
};
#endif

// The file, read either directly or through a gzip inflater. Only one of the two is in use.
struct Reader::Source {
  std::FILE* file = nullptr;
#ifdef TAVOLIN_HAVE_ISAL
  std::unique_ptr<Inflater> inflater;
#elif defined(TAVOLIN_HAVE_ZLIB)
  gzFile gz = nullptr;
#endif
  ~Source() {
    if (file) std::fclose(file);
#if !defined(TAVOLIN_HAVE_ISAL) && defined(TAVOLIN_HAVE_ZLIB)
    if (gz) gzclose(gz);
#endif
  }
};

Reader::Reader(const std::string& path) : src_(std::make_unique<Source>()) {
  src_->file = std::fopen(path.c_str(), "rb");
  if (!src_->file) throw HprofError("cannot open " + path + ": " + std::strerror(errno), 0);
  unsigned char magic[2] = {0, 0};
  const size_t got = std::fread(magic, 1, 2, src_->file);
  const bool gzip = got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  if (!gzip) {
    struct stat st;
    if (fstat(fileno(src_->file), &st) == 0) total_ = static_cast<uint64_t>(st.st_size);
    std::rewind(src_->file);
    // A small file needs no large buffer (tests load thousands of them).
    buf_.resize(static_cast<size_t>(std::clamp<uint64_t>(total_ + 1, 2 * kWindow, kBufferBytes)));
    return;
  }
#if defined(TAVOLIN_HAVE_ISAL)
  std::rewind(src_->file);
  src_->inflater = std::make_unique<Inflater>();
  buf_.resize(kBufferBytes);
#elif defined(TAVOLIN_HAVE_ZLIB)
  std::fclose(src_->file);
  src_->file = nullptr;
  src_->gz = gzopen(path.c_str(), "rb");
  if (!src_->gz) throw HprofError("cannot open " + path + " as gzip", 0);
  gzbuffer(src_->gz, 1u << 20);
  buf_.resize(kBufferBytes);
#else
  throw HprofError(path + " is gzip-compressed, and this program was built without gzip support",
                   0);
#endif
}

Reader::~Reader() = default;

size_t Reader::readSome(uint8_t* dst, size_t n) {
#ifdef TAVOLIN_HAVE_ISAL
  if (src_->inflater) return src_->inflater->read(src_->file, dst, n, consumed_ + end_);
#elif defined(TAVOLIN_HAVE_ZLIB)
  if (src_->gz) {
    const int got = gzread(src_->gz, dst, static_cast<unsigned>(n));
    if (got < 0 || (got == 0 && !gzeof(src_->gz))) {
      int code = 0;
      const char* why = gzerror(src_->gz, &code);
      throw HprofError(std::string("compressed data is damaged: ") + why, offset());
    }
    if (got == 0) {
      // zlib reports a stream cut short only as an error state at its end.
      int code = 0;
      const char* why = gzerror(src_->gz, &code);
      if (code != Z_OK)
        throw HprofError(std::string("compressed data ends early: ") + why, end_ + consumed_);
    }
    return static_cast<size_t>(got);
  }
#endif
  const size_t got = std::fread(dst, 1, n, src_->file);
  if (got < n && std::ferror(src_->file))
    throw HprofError(std::string("read error: ") + std::strerror(errno), consumed_ + end_);
  return got;
}

void Reader::fill(size_t n) {
  if (n > kWindow) throw HprofError("internal: read window too large", offset());
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    consumed_ += pos_;
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < n && !eof_) {
    const size_t got = readSome(buf_.data() + end_, buf_.size() - end_);
    if (got == 0) eof_ = true;
    end_ += got;
  }
  reportProgress();
  if (end_ < n)
    throw HprofError("the file ends in the middle of a record (" + std::to_string(n - end_) +
                         " more bytes wanted)",
                     offset());
}

bool Reader::atEnd() {
  if (pos_ < end_) return false;
  if (eof_) return true;
  consumed_ += pos_;
  pos_ = end_ = 0;
  while (end_ == 0 && !eof_) {
    const size_t got = readSome(buf_.data(), buf_.size());
    if (got == 0) eof_ = true;
    end_ = got;
  }
  reportProgress();
  return end_ == 0;
}

void Reader::reportProgress() {
  if (progress_ && consumed_ + end_ >= nextReport_) {
    progress_(consumed_ + end_, total_);
    nextReport_ = consumed_ + end_ + kProgressStep;
  }
}

size_t Reader::chunk(uint64_t n) {
  if (pos_ == end_ && atEnd())
    throw HprofError(
        "the file ends in the middle of a record (" + std::to_string(n) + " more bytes wanted)",
        offset());
  return static_cast<size_t>(std::min<uint64_t>(n, end_ - pos_));
}

}  // namespace simvm::hprof
