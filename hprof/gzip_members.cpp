#include "hprof/gzip_members.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifdef TAVOLIN_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace simvm::hprof {

#ifdef TAVOLIN_HAVE_ISAL
namespace {

constexpr uint64_t kHeader = 10, kTrailer = 8;

// A member header as a JDK writes it: deflate, no flags but a comment, modification time 0.
bool headerAt(const uint8_t* in, uint64_t size, uint64_t at) {
  if (size - at < kHeader + kTrailer) return false;
  const uint8_t* p = in + at;
  return p[0] == 0x1f && p[1] == 0x8b && p[2] == 8 && (p[3] == 0 || p[3] == 0x10) && p[4] == 0 &&
         p[5] == 0 && p[6] == 0 && p[7] == 0;
}

// The chunk size in the first member's comment; 0 when the stream has none.
uint64_t blockSize(const uint8_t* in, uint64_t size) {
  static const char kTag[] = "HPROF BLOCKSIZE=";
  const uint64_t tag = sizeof kTag - 1;
  if (!headerAt(in, size, 0) || in[3] != 0x10 || size < kHeader + tag + 1 ||
      std::memcmp(in + kHeader, kTag, tag) != 0)
    return 0;
  uint64_t value = 0;
  for (uint64_t i = kHeader + tag; i < size && in[i] >= '0' && in[i] <= '9'; ++i) {
    value = value * 10 + (in[i] - '0');
    if (value > (uint64_t(1) << 31)) return 0;
  }
  return value;
}

// The next header after the member starting at `start`; size when there is none.
uint64_t nextHeader(const uint8_t* in, uint64_t size, uint64_t start) {
  for (uint64_t at = start + kHeader + kTrailer; at < size; ++at) {
    const void* hit = std::memchr(in + at, 0x1f, size - at);
    if (!hit) break;
    at = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - in);
    if (headerAt(in, size, at)) return at;
  }
  return size;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when in[0, n) is exactly one gzip member that inflates to exactly `bytes` bytes with its
// checksum right.
bool inflateOne(inflate_state* st, const uint8_t* in, uint64_t n, uint8_t* out, uint32_t bytes) {
  if (n > UINT32_MAX) return false;
  isal_inflate_init(st);
  st->crc_flag = ISAL_GZIP;
  st->next_in = const_cast<uint8_t*>(in);
  st->avail_in = static_cast<uint32_t>(n);
  st->next_out = out;
  st->avail_out = bytes;
  for (;;) {
    const uint32_t before = st->avail_in + st->avail_out;
    if (isal_inflate(st) != ISAL_DECOMP_OK) return false;
    if (st->block_state == ISAL_BLOCK_FINISH) return st->avail_in == 0 && st->avail_out == 0;
    if (st->avail_in + st->avail_out == before) return false;  // no progress: cut short
  }
}

struct Member {
  uint64_t index, start, end, out;
  uint32_t bytes;
};

class Members {
 public:
  Members(const uint8_t* in, uint64_t size, uint8_t* out, uint64_t room, uint64_t block,
          const std::function<void(uint64_t)>& writing,
          const std::function<void(uint64_t)>& published, const std::atomic<bool>& stop)
      : in_(in),
        size_(size),
        out_(out),
        room_(room),
        block_(block),
        writing_(writing),
        published_(published),
        stop_(stop) {}

  void work() {
    std::unique_ptr<inflate_state> st;
    try {
      st = std::make_unique<inflate_state>();
    } catch (const std::bad_alloc&) {
      return;
    }
    try {
      Member m;
      while (take(m))
        finish(m, inflateOne(st.get(), in_ + m.start, m.end - m.start, out_ + m.out, m.bytes));
    } catch (const std::bad_alloc&) {  // no room to note a member: the prefix ends here
      std::lock_guard<std::mutex> held(lock_);
      failed_ = true;
    }
  }

  InflatedPrefix verified() {
    std::lock_guard<std::mutex> held(lock_);
    return verified_;
  }

 private:
  // The next member to inflate; false when there is none or the work has ended.
  bool take(Member& m) {
    std::lock_guard<std::mutex> held(lock_);
    if (failed_ || nextStart_ >= size_ || stop_.load(std::memory_order_relaxed)) return false;
    const uint64_t end = nextHeader(in_, size_, nextStart_);
    const uint32_t bytes = le32(in_ + end - 4);
    // A trailer no JDK writes (the header after it is a false one, or this is no JDK stream).
    if (bytes == 0 || bytes > block_ || nextOut_ + bytes > room_) {
      failed_ = true;
      return false;
    }
    m = Member{nextIndex_++, nextStart_, end, nextOut_, bytes};
    nextStart_ = end;
    nextOut_ += bytes;
    // This member's output, and room for the next one or two the other threads take.
    writing_(std::min(nextOut_ + 2 * block_, room_));
    return true;
  }

  // Members are verified in order: a later one waits in done_ for those before it.
  void finish(const Member& m, bool ok) {
    std::lock_guard<std::mutex> held(lock_);
    if (!ok) {
      failed_ = true;
      return;
    }
    done_.emplace(m.index, InflatedPrefix{m.end, m.out + m.bytes});
    bool moved = false;
    for (auto it = done_.begin(); it != done_.end() && it->first == nextVerified_;
         it = done_.erase(it)) {
      verified_ = it->second;
      ++nextVerified_;
      moved = true;
    }
    if (moved) published_(verified_.output);
  }

  const uint8_t* const in_;
  const uint64_t size_;
  uint8_t* const out_;
  const uint64_t room_, block_;
  const std::function<void(uint64_t)>& writing_;
  const std::function<void(uint64_t)>& published_;
  const std::atomic<bool>& stop_;

  std::mutex lock_;
  uint64_t nextStart_ = 0, nextOut_ = 0, nextIndex_ = 0, nextVerified_ = 0;
  bool failed_ = false;
  std::map<uint64_t, InflatedPrefix> done_;
  InflatedPrefix verified_;
};

}  // namespace

bool canInflateMembers() { return true; }

InflatedPrefix inflateMembers(const uint8_t* in, uint64_t size, uint8_t* out, uint64_t room,
                              unsigned threads, const std::function<void(uint64_t)>& writing,
                              const std::function<void(uint64_t)>& published,
                              const std::atomic<bool>& stop) {
  const uint64_t block = blockSize(in, size);
  if (block == 0) return {};
  Members members(in, size, out, room, block, writing, published, stop);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back([&members] { members.work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  members.work();
  for (std::thread& t : helpers) t.join();
  return members.verified();
}

#else

bool canInflateMembers() { return false; }

InflatedPrefix inflateMembers(const uint8_t*, uint64_t, uint8_t*, uint64_t, unsigned,
                              const std::function<void(uint64_t)>&,
                              const std::function<void(uint64_t)>&, const std::atomic<bool>&) {
  return {};
}

#endif

}  // namespace simvm::hprof
