#include "hprof/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#define TAVOLIN_HAVE_MMAP 1
#endif

#ifdef TAVOLIN_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#elif defined(TAVOLIN_HAVE_ZLIB)
#include <zlib.h>
#endif

#include "hprof/gzip_members.h"
#include "hprof/prefault.h"
#include "hprof/records.h"

namespace simvm::hprof {
namespace {

constexpr uint64_t kProgressStep = 16u << 20;
// The inflating thread publishes its output in steps of this size.
constexpr size_t kInflateStep = 4u << 20;
// Address space reserved for an inflated stream: pages are only backed as they fill, and a dump
// whose objects fit a 32-bit heap is far smaller.
constexpr uint64_t kInflateReserve = uint64_t(64) << 30;
// How far ahead of the inflated bytes the image's pages are prepared on another thread: all of
// it may be held at once beside the tables, for a small dump a good part of the peak.
constexpr uint64_t kInflateLookahead = 16u << 20;

std::string errnoText() { return std::strerror(errno); }

// The file as a sequence of bytes: the ones read ahead to tell its format (from a stream, which
// cannot be rewound), then the rest.
struct Input {
  std::FILE* file;
  std::string pending;

  Input(std::FILE* f, std::string ahead) : file(f), pending(std::move(ahead)) {}
  ~Input() { std::fclose(file); }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Up to n bytes; fewer only at the end of the input.
  size_t read(uint8_t* dst, size_t n) {
    size_t got = std::min(n, pending.size());
    std::memcpy(dst, pending.data(), got);
    pending.erase(0, got);
    if (got < n) {
      const size_t more = std::fread(dst + got, 1, n - got, file);
      if (more < n - got && std::ferror(file)) throw HprofError("read error: " + errnoText(), 0);
      got += more;
    }
    return got;
  }
};

#if defined(TAVOLIN_HAVE_ISAL) || defined(TAVOLIN_HAVE_ZLIB)
#ifdef TAVOLIN_HAVE_ISAL
// gzip through ISA-L, which inflates at about three times zlib's speed. A dump may be several
// gzip members one after another (the JDK compresses a dump in independent chunks): each member
// ends with its checksum checked, and the next one starts where it ended.
struct Decompressor {
  Input input;
  std::FILE* file;
  inflate_state st;
  std::vector<uint8_t> in = std::vector<uint8_t>(1u << 20);
  bool inputEnded = false;
  bool member = false;  // inside a member (its end not reached yet)

  Decompressor(std::FILE* f, std::string ahead) : input(f, std::move(ahead)), file(f) {
    isal_inflate_init(&st);
    st.crc_flag = ISAL_GZIP;
  }
  // Goes on from a member boundary `offset` bytes into the file (a file, not a stream).
  void restartAt(uint64_t offset) {
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0)
      throw HprofError("read error: " + errnoText(), 0);
    input.pending.clear();
    st.avail_in = 0;
    inputEnded = false;
    member = false;
  }
  void refill() {
    if (st.avail_in > 0 || inputEnded) return;
    const size_t got = input.read(in.data(), in.size());
    if (got == 0) inputEnded = true;
    st.next_in = in.data();
    st.avail_in = static_cast<uint32_t>(got);
  }
  // Up to n bytes of output; 0 at the end of the last member. offset: for messages.
  size_t read(uint8_t* dst, size_t n, uint64_t offset) {
    for (;;) {
      refill();
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
      const size_t produced = std::min<size_t>(n, 1u << 30) - st.avail_out;
      if (st.block_state == ISAL_BLOCK_FINISH) member = false;
      if (produced > 0) return produced;
      if (member && st.avail_in == 0 && inputEnded)
        throw HprofError("compressed data ends early", offset);
    }
  }
};
#else
// gzip through zlib, member after member, from any input (a file or a stream).
struct Decompressor {
  Input input;
  z_stream z{};
  std::vector<uint8_t> in = std::vector<uint8_t>(1u << 20);
  bool inputEnded = false;
  bool member = false;  // inside a member (its end not reached yet)

  Decompressor(std::FILE* f, std::string ahead) : input(f, std::move(ahead)) {
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw HprofError("cannot start inflating", 0);
  }
  ~Decompressor() { inflateEnd(&z); }
  void refill() {
    if (z.avail_in > 0 || inputEnded) return;
    const size_t got = input.read(in.data(), in.size());
    if (got == 0) inputEnded = true;
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(got);
  }
  // Up to n bytes of output; 0 at the end of the last member. offset: for messages.
  size_t read(uint8_t* dst, size_t n, uint64_t offset) {
    const size_t want = std::min<size_t>(n, 1u << 30);
    for (;;) {
      refill();
      if (!member) {
        if (z.avail_in == 0 && inputEnded) return 0;
        inflateReset(&z);  // keeps the input pointers
        member = true;
      }
      z.next_out = dst;
      z.avail_out = static_cast<uInt>(want);
      const int ret = inflate(&z, Z_NO_FLUSH);
      if (ret == Z_STREAM_END)
        member = false;
      else if (ret != Z_OK && ret != Z_BUF_ERROR)
        throw HprofError(std::string("compressed data is damaged: ") +
                             (z.msg ? z.msg : "inflate error " + std::to_string(ret)),
                         offset);
      const size_t produced = want - z.avail_out;
      if (produced > 0) return produced;
      if (member && z.avail_in == 0 && inputEnded)
        throw HprofError("compressed data ends early", offset);
    }
  }
};
#endif
#endif

}  // namespace

// The image of the stream and what fills it. A plain file's image is complete from the start;
// a gzip stream's grows as a second thread inflates into it, and `ready` says how far. A failure
// of that thread is kept and raised only when the reader wants bytes beyond what was inflated,
// so a damaged file fails where reading stopped, as it would read in one thread.
struct Reader::Source {
  const uint8_t* base = nullptr;
  void* mapped = nullptr;
  size_t mappedBytes = 0;
  std::vector<uint8_t> owned;

  std::mutex lock;
  std::condition_variable grown;
  uint64_t ready = 0;          // guarded by lock
  bool done = true;            // guarded by lock: nothing more will come
  std::exception_ptr failure;  // guarded by lock; set before done
  std::atomic<bool> stop{false};
  std::thread inflater;
  uint64_t limit = 0;  // the longest stream taken; 0: no limit

  // "larger than the limit", or than the range reserved for inflating.
  HprofError tooLong(uint64_t at) const {
    return HprofError(limit ? "the dump is longer than the limit of " + std::to_string(limit) +
                                  " bytes uncompressed"
                            : "the dump is larger than " + std::to_string(kInflateReserve >> 30) +
                                  " GB uncompressed",
                      at);
  }

  ~Source() {
    if (inflater.joinable()) {
      stop = true;
      inflater.join();
    }
#ifdef TAVOLIN_HAVE_MMAP
    if (mapped) munmap(mapped, mappedBytes);
#endif
  }

  // Bytes ready once at least `want` are, or once nothing more will come.
  uint64_t waitFor(uint64_t want) {
    std::unique_lock<std::mutex> held(lock);
    grown.wait(held, [&] { return ready >= want || done; });
    if (ready < want && failure) std::rethrow_exception(failure);
    return ready;
  }

  void publish(uint64_t bytes) {
    {
      std::lock_guard<std::mutex> held(lock);
      ready = bytes;
    }
    grown.notify_all();
  }
  void finish(std::exception_ptr error) {
    {
      std::lock_guard<std::mutex> held(lock);
      failure = error;
      done = true;
    }
    grown.notify_all();
  }

  void readPlain(std::FILE* file, uint64_t size, const std::string& path);
  // Fills the image from `read` (up to n bytes at an offset of the image, 0 at the end), on a
  // thread of its own where a range can be reserved, else here; `first` may fill the start.
  void readGrowing(std::function<uint64_t(uint8_t*, Prefaulter&)> first,
                   std::function<size_t(uint8_t*, size_t, uint64_t)> read);
#if defined(TAVOLIN_HAVE_ISAL) || defined(TAVOLIN_HAVE_ZLIB)
  void readGzip(std::FILE* file, std::string ahead);
#endif
#if defined(TAVOLIN_HAVE_ISAL) && defined(TAVOLIN_HAVE_MMAP)
  uint64_t inflateChunks(Decompressor& d, Prefaulter& ahead);
#endif
};

#if defined(TAVOLIN_HAVE_ISAL) && defined(TAVOLIN_HAVE_MMAP)
// A dump compressed in chunks, as a JDK compresses it, is inflated on several threads up to the
// first member that is not verified (gzip_members.h); the one-thread inflater goes on from there.
// Returns the bytes inflated.
uint64_t Reader::Source::inflateChunks(Decompressor& d, Prefaulter& ahead) {
  struct stat st;
  if (fstat(fileno(d.file), &st) != 0 || st.st_size <= 0 || uint64_t(st.st_size) > SIZE_MAX)
    return 0;
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fileno(d.file), 0);
  if (p == MAP_FAILED) return 0;
  madvise(p, size, MADV_WILLNEED);
  const unsigned threads = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
  const InflatedPrefix done = inflateMembers(
      static_cast<const uint8_t*>(p), size, static_cast<uint8_t*>(mapped), mappedBytes, threads,
      [&](uint64_t bytes) { ahead.allow(static_cast<size_t>(bytes)); },
      [&](uint64_t bytes) { publish(bytes); }, stop);
  munmap(p, size);
  if (done.input > 0) d.restartAt(done.input);
  return done.output;
}
#endif

void Reader::Source::readPlain(std::FILE* file, uint64_t size, const std::string& path) {
  ready = size;
  if (size == 0) return;
#ifdef TAVOLIN_HAVE_MMAP
  if (size <= SIZE_MAX) {
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fileno(file), 0);
    if (p != MAP_FAILED) {
      // Read ahead as a whole: the payloads are read again, out of order, after the records.
      madvise(p, static_cast<size_t>(size), MADV_WILLNEED);
      mapped = p;
      mappedBytes = static_cast<size_t>(size);
      base = static_cast<const uint8_t*>(p);
      return;
    }
  }
#endif
  // No mapping here: the whole file is read (a 32-bit process cannot hold a large one anyway).
  if (size > SIZE_MAX) throw HprofError(path + " is too large to read in this process", 0);
  owned.resize(static_cast<size_t>(size));
  const size_t got = std::fread(owned.data(), 1, owned.size(), file);
  if (got < owned.size() && std::ferror(file)) throw HprofError("read error: " + errnoText(), 0);
  owned.resize(got);
  ready = got;
  base = owned.data();
}

void Reader::Source::readGrowing(std::function<uint64_t(uint8_t*, Prefaulter&)> first,
                                 std::function<size_t(uint8_t*, size_t, uint64_t)> read) {
#ifdef TAVOLIN_HAVE_MMAP
  if (sizeof(void*) == 8) {
    // One byte beyond the limit: a stream that fills the range is longer than the limit.
    const uint64_t reserve = limit ? std::min(kInflateReserve, limit + 1) : kInflateReserve;
    void* p = mmap(nullptr, static_cast<size_t>(reserve), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      mapped = p;
      mappedBytes = static_cast<size_t>(reserve);
      base = static_cast<const uint8_t*>(p);
      done = false;
      inflater = std::thread([this, first, read] {
        uint8_t* out = static_cast<uint8_t*>(mapped);
        uint64_t made = 0;
        try {
          {
            // Stopped before the stream is said to be read: the reader then gives back the
            // pages past its end, which a prefaulter still running would populate again.
            Prefaulter ahead(out, mappedBytes);
            if (first) made = first(out, ahead);
            ahead.allow(static_cast<size_t>(made + kInflateLookahead));
            while (!stop.load(std::memory_order_relaxed)) {
              if (made == mappedBytes) throw tooLong(made);
              const size_t got = read(
                  out + made,
                  static_cast<size_t>(std::min<uint64_t>(kInflateStep, mappedBytes - made)), made);
              if (got == 0) break;
              made += got;
              ahead.allow(static_cast<size_t>(made + kInflateLookahead));
              publish(made);
            }
          }
          finish(nullptr);
        } catch (...) {
          finish(std::current_exception());
        }
      });
      return;
    }
  }
#else
  (void)first;
#endif
  // No reserved range: the whole stream is read first, into a buffer that grows.
  try {
    size_t made = 0;
    for (;;) {
      if (owned.size() - made < kInflateStep)
        owned.resize(std::max(owned.size() * 2, made + kInflateStep));
      const size_t got = read(owned.data() + made, owned.size() - made, made);
      if (got == 0) break;
      made += got;
      if (limit && made > limit) throw tooLong(limit);
    }
    owned.resize(made);
  } catch (...) {
    failure = std::current_exception();
  }
  ready = owned.size();
  base = owned.data();
}

#if defined(TAVOLIN_HAVE_ISAL) || defined(TAVOLIN_HAVE_ZLIB)
void Reader::Source::readGzip(std::FILE* file, std::string ahead) {
  auto decompressor = std::make_shared<Decompressor>(file, std::move(ahead));
  std::function<uint64_t(uint8_t*, Prefaulter&)> first;
#if defined(TAVOLIN_HAVE_ISAL) && defined(TAVOLIN_HAVE_MMAP)
  first = [this, decompressor](uint8_t*, Prefaulter& ahead) {
    return inflateChunks(*decompressor, ahead);
  };
#endif
  readGrowing(first, [decompressor](uint8_t* dst, size_t n, uint64_t offset) {
    return decompressor->read(dst, n, offset);
  });
}
#endif

Reader::Reader(const std::string& path, uint64_t maxBytes) : src_(std::make_unique<Source>()) {
  src_->limit = maxBytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw HprofError("cannot open " + path + ": " + errnoText(), 0);
  // A pipe or a terminal is read as it comes, once: the bytes read to tell gzip from plain
  // are kept and handed on, where a file is rewound.
  struct stat st;
  const bool regular = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
  unsigned char magic[2] = {0, 0};
  const size_t got = std::fread(magic, 1, 2, file);
  if (got < 2 && std::ferror(file)) {
    const std::string why = errnoText();
    std::fclose(file);
    throw HprofError("cannot read " + path + ": " + why, 0);
  }
  const bool gzip = got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  std::string ahead;
  if (regular)
    std::rewind(file);
  else
    ahead.assign(reinterpret_cast<const char*>(magic), got);
  try {
    if (!gzip && !regular) {
      auto input = std::make_shared<Input>(file, std::move(ahead));  // takes the file
      file = nullptr;
      src_->readGrowing(nullptr,
                        [input](uint8_t* dst, size_t n, uint64_t) { return input->read(dst, n); });
    } else if (!gzip) {
      total_ = static_cast<uint64_t>(st.st_size);
      if (maxBytes && total_ > maxBytes) throw src_->tooLong(maxBytes);
      src_->readPlain(file, total_, path);
      std::fclose(file);
      file = nullptr;
    } else {
#if defined(TAVOLIN_HAVE_ISAL) || defined(TAVOLIN_HAVE_ZLIB)
      if (regular) compressed_ = static_cast<uint64_t>(st.st_size);
      std::FILE* taken = file;
      file = nullptr;
      src_->readGzip(taken, std::move(ahead));  // takes the file
#else
      std::fclose(file);
      file = nullptr;
      throw HprofError(
          path + " is gzip-compressed, and this program was built without gzip support", 0);
#endif
    }
  } catch (...) {
    if (file) std::fclose(file);
    throw;
  }
  base_ = src_->base;
  std::lock_guard<std::mutex> held(src_->lock);
  end_ = src_->ready;
}

Reader::~Reader() = default;

void Reader::fill(uint64_t n, bool toEnd) {
  end_ = src_->waitFor(pos_ + n);
  reportProgress();
  if (end_ - pos_ >= n) return;
  const uint64_t short_ = n - (end_ - pos_);
  if (toEnd) pos_ = end_;
  throw HprofError(
      "the file ends in the middle of a record (" + std::to_string(short_) + " more bytes wanted)",
      offset());
}

bool Reader::atEnd() {
  reportProgress();
  if (pos_ < end_) return false;
  end_ = src_->waitFor(pos_ + 1);
  return end_ <= pos_;
}

void Reader::release(uint64_t from, uint64_t to) {
#ifdef TAVOLIN_HAVE_MMAP
  if (!src_->mapped) return;
  constexpr uint64_t kPage = 4096;
  to = std::min<uint64_t>(to, src_->mappedBytes) & ~(kPage - 1);
  from = (from + kPage - 1) & ~(kPage - 1);
  if (from < to)
    madvise(static_cast<uint8_t*>(src_->mapped) + from, static_cast<size_t>(to - from),
            MADV_DONTNEED);
#else
  (void)from;
  (void)to;
#endif
}

void Reader::notifyProgress() {
  progress_(pos_, total_);
  nextReport_ = pos_ + kProgressStep;
}

}  // namespace simvm::hprof
