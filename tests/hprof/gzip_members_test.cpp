// A stream compressed in chunks as a JDK compresses a dump, inflated on several threads: what
// comes out is checked against the data that went in, for intact streams, for streams whose
// stored (level 0) members carry member headers inside their data, and for damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hprof/gzip_members.h"
#include "hprof/hprof.h"
#include "tests/hprof/hprof_testing.h"
#include "tests/hprof/scene.h"
#ifdef TAVOLIN_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using namespace hproftest;

#ifdef TAVOLIN_HAVE_ZLIB
// One gzip member as a JDK writes it: modification time 0; the first carries the block size.
std::string member(const std::string& data, int level, const std::string& comment) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  gz_header header{};
  std::string text = comment;
  header.comment = comment.empty() ? Z_NULL : reinterpret_cast<Bytef*>(text.data());
  header.os = 3;
  deflateSetHeader(&z, &header);
  std::string out(deflateBound(&z, data.size()) + 64 + comment.size(), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Chunked {
  std::string bytes;
  std::vector<uint64_t> starts;  // of each member, then the end
};

Chunked chunk(const std::string& data, size_t block, int level) {
  Chunked c;
  for (size_t at = 0; at < data.size(); at += block) {
    c.starts.push_back(c.bytes.size());
    c.bytes += member(data.substr(at, block), level,
                      at == 0 ? "HPROF BLOCKSIZE=" + std::to_string(block) : "");
  }
  c.starts.push_back(c.bytes.size());
  return c;
}

// Text with some member headers written into it, and some bytes of noise.
std::string sample(std::mt19937& rng, size_t n) {
  static const std::string kHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\x03", 10);
  std::string s;
  while (s.size() < n) {
    const unsigned pick = rng() % 10;
    if (pick == 0) {
      s += kHeader;
    } else if (pick < 3) {
      s += static_cast<char>(rng());
    } else {
      s += "object " + std::to_string(rng() % 1000) + " refers to ";
    }
  }
  s.resize(n);
  return s;
}

// Whether bytes are one whole gzip member of exactly `data`, as zlib reads them.
bool soundMember(const std::string& bytes, const std::string& data) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return false;
  std::string out(data.size() + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int ret = inflate(&z, Z_FINISH);
  const bool sound = ret == Z_STREAM_END && z.avail_in == 0 && z.total_out == data.size() &&
                     out.compare(0, data.size(), data) == 0;
  inflateEnd(&z);
  return sound;
}

// What a prefix must be: whole members, inflated to the data they hold.
void expectSoundPrefix(const simvm::hprof::InflatedPrefix& p, const Chunked& c, size_t block,
                       const std::string& data, const std::string& out, const std::string& what) {
  size_t k = 0;
  while (k + 1 < c.starts.size() && c.starts[k] < p.input) ++k;
  ASSERT_EQ(c.starts[k], p.input) << what << ": the prefix ends inside a member";
  ASSERT_EQ(p.output, std::min(data.size(), k * block)) << what;
  ASSERT_EQ(out.substr(0, p.output), data.substr(0, p.output)) << what;
}
#endif

TEST(GzipMembers, chunks_inflate_on_threads_to_their_data_and_stop_at_the_first_bad_member) {
#ifndef TAVOLIN_HAVE_ZLIB
  GTEST_SKIP() << "built without zlib: no chunked streams can be written";
#else
  if (!simvm::hprof::canInflateMembers()) {
    GTEST_SKIP() << "built without ISA-L";
  }
  std::mt19937 rng(7);
  const std::atomic<bool> stop{false};
  for (int round = 0; round < 60; ++round) {
    const std::string data = sample(rng, 1 + rng() % 40000);
    const size_t block = size_t(1) << (rng() % 13);
    const int level = round % 3 == 0 ? 0 : round % 3 == 1 ? 1 : 9;
    Chunked c = chunk(data, block, level);
    const unsigned threads = 1 + rng() % 4;
    const std::string what = "round " + std::to_string(round) + ", block " + std::to_string(block) +
                             ", level " + std::to_string(level);
    const auto inflate = [&](const std::string& bytes, std::string& out) {
      out.assign(data.size() + 64, '\0');
      uint64_t last = 0, writable = 0;
      const auto p = simvm::hprof::inflateMembers(
          reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
          reinterpret_cast<uint8_t*>(out.data()), out.size(), threads,
          [&](uint64_t n) {
            EXPECT_GE(n, writable) << what;
            writable = n;
          },
          [&](uint64_t n) {
            EXPECT_GT(n, last) << what;
            EXPECT_LE(n, writable) << what;
            last = n;
          },
          stop);
      EXPECT_EQ(last, p.output) << what;
      // Room is asked for a few blocks past what is written, never far past the data.
      EXPECT_LE(writable, std::max<uint64_t>(p.output, data.size()) + 2 * block) << what;
      return p;
    };
    std::string out;
    const auto whole = inflate(c.bytes, out);
    expectSoundPrefix(whole, c, block, data, out, what);
    // Headers inside the data are refuted, and make the prefix end early only where a stored
    // member shows them as they are.
    if (level != 0) {
      EXPECT_EQ(whole.input, c.bytes.size()) << what;
    }

    // A damaged byte anywhere: never a byte of a damaged member in the prefix.
    Chunked damaged = c;
    const size_t at = rng() % c.bytes.size();
    damaged.bytes[at] = static_cast<char>(damaged.bytes[at] ^ (1 + rng() % 255));
    const auto cut = inflate(damaged.bytes, out);
    expectSoundPrefix(cut, c, block, data, out, what + ", damaged at " + std::to_string(at));
    // The damaged member is not in the prefix, unless the flip left it a sound member of the
    // same data (a padding bit, a header byte nothing reads), as zlib finds.
    size_t m = 0;
    while (c.starts[m + 1] <= at) ++m;
    const std::string bytes = damaged.bytes.substr(c.starts[m], c.starts[m + 1] - c.starts[m]);
    if (!soundMember(bytes, data.substr(m * block, block))) {
      EXPECT_LE(cut.input, c.starts[m]) << what << ", damaged at " << at;
    }
  }
  // No block size in the first member's comment: not a JDK's chunks, left to one thread.
  const std::string data = sample(rng, 5000);
  std::string plain = member(data.substr(0, 100), 1, "") + member(data.substr(100), 1, "");
  std::string out(data.size(), '\0');
  const auto p = simvm::hprof::inflateMembers(
      reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
      reinterpret_cast<uint8_t*>(out.data()), out.size(), 2, [](uint64_t) {}, [](uint64_t) {},
      stop);
  EXPECT_EQ(p.input, 0u);
  EXPECT_EQ(p.output, 0u);
#endif
}

// Through the loader: a dump in chunks loads like the plain one, and a damaged member fails at
// its own first byte, where the one-thread inflater takes over from the last whole member.
TEST(GzipMembers, a_dump_in_chunks_loads_like_the_plain_one_and_fails_at_a_damaged_member) {
#ifndef TAVOLIN_HAVE_ZLIB
  GTEST_SKIP() << "built without zlib: no chunked streams can be written";
#else
  const std::string plain = writeScene(8);
  const size_t block = 256;
  const Chunked c = chunk(plain, block, 1);
  const auto reference = loadBytes(plain);
  {
    TempFile gz(c.bytes, "chunked.hprof.gz");
    const auto heap = simvm::loadHprof(gz.path);
    EXPECT_EQ(heap->objects, reference->objects);
    // The two VMs stand at different addresses: handles are compared by slot.
    const auto slot = [](const simvm::LoadedHeap& h, const std::pair<uint64_t, uint32_t>& p) {
      return std::make_pair(p.first, p.second - h.vm->tableFirst());
    };
    EXPECT_TRUE(std::equal(
        heap->handleOfId.begin(), heap->handleOfId.end(), reference->handleOfId.begin(),
        reference->handleOfId.end(),
        [&](const auto& a, const auto& b) { return slot(*heap, a) == slot(*reference, b); }));
    EXPECT_EQ(heap->vm->bytesUsed(), reference->vm->bytesUsed());
    EXPECT_EQ(heap->vm->stringValue(handleOf(*heap, ids::kNulText)),
              reference->vm->stringValue(handleOf(*reference, ids::kNulText)));
  }
  if (!simvm::hprof::canInflateMembers()) {
    GTEST_SKIP() << "built without ISA-L";
  }
  const size_t k = c.starts.size() / 2;
  std::string damaged = c.bytes;
  damaged[(c.starts[k] + c.starts[k + 1]) / 2] ^= 0x55;  // inside member k's deflate data
  TempFile gz(damaged, "damaged.hprof.gz");
  try {
    simvm::loadHprof(gz.path);
    ADD_FAILURE() << "a damaged member loaded";
  } catch (const simvm::HprofError& e) {
    EXPECT_EQ(e.offset, k * block) << e.what();
  }
#endif
}

}  // namespace
