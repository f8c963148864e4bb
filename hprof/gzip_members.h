// A JDK compresses a heap dump in chunks: gzip members of one fixed uncompressed size (named in
// the first member's comment, "HPROF BLOCKSIZE=1048576"; only the last member is shorter), each
// with a modification time of zero. Such a stream can be inflated on several threads at once:
// a member starts at the next header, and its size stands in its trailer, just before that
// header. A header that is really a piece of compressed data is refuted when the member before
// it does not end exactly there, with its trailer's size and checksum; the members are taken as
// verified only up to the first one that fails, and the caller inflates the rest in one thread
// from that boundary, where any damage is then reported as it always is.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

namespace simvm::hprof {

struct InflatedPrefix {
  uint64_t input = 0;   // compressed bytes of whole, verified members: a member boundary
  uint64_t output = 0;  // the bytes they inflated to, at the start of `out`
};

// False where the program was built without ISA-L: then inflateMembers does nothing.
bool canInflateMembers();

// Inflates the members of in[0, size) into out[0, room) on up to `threads` threads (the calling
// one among them). Calls writing(bytes) before output below `bytes` is written, and
// published(bytes) each time a longer prefix of the output is complete; each in increasing
// order, one call at a time. Stops when `stop` is set. A stream not chunked as a JDK chunks it
// gets {0, 0} at once. Never throws; without ISA-L it does nothing.
InflatedPrefix inflateMembers(const uint8_t* in, uint64_t size, uint8_t* out, uint64_t room,
                              unsigned threads, const std::function<void(uint64_t)>& writing,
                              const std::function<void(uint64_t)>& published,
                              const std::atomic<bool>& stop);

}  // namespace simvm::hprof
