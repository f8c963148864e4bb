// What the console says about a loaded dump beyond the library's answers: which kind of GC root
// a path starts at, why an object held only through a Reference object has no path, the arrays
// the queries do not list, and what a dump does not record. Also keeps the console's own call
// objects out of what it shows.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/session.h"
#include "simvm/library.h"

namespace cli {

// "root: JNI global", "root: system class java/lang/Integer$IntegerCache", "root: thread object
// worker-1" for a path (root first) in a loaded dump; nullopt when the dump says nothing of
// the root (or the heap is no dump).
std::optional<std::string> dumpRootLabel(Session& s, const std::vector<uint32_t>& path);

// For an object the path search found no chain to: one line naming the Reference object and the
// field that hold it, when one does (directly or a few steps up); nullopt otherwise.
std::optional<std::string> referenceHolderNote(Session& s, uint32_t target);

// Whether h is an instance of java/lang/ref/Reference or a subclass, or an object array of such
// elements (which the path search, taking an array's element class for its class, treats alike).
bool isReferenceObject(simvm::Vm& vm, uint32_t h);

// For `instances` given a primitive array class or an array of arrays ("byte[]", "int[][]"):
// what the dump holds of it and that the queries do not list it; nullopt for any other text.
struct ArrayClassNote {
  std::string name;                                    // "int[]", "java.lang.String[][]"
  std::optional<simvm::LoadedHeap::ArrayTally> tally;  // what a dump holds of them
  std::string text;                                    // the sentence
};
std::optional<ArrayClassNote> arrayClassNote(Session& s, const std::string& classText);

// For `info` on a primitive array: what it is, in one line; nullopt for anything else.
std::optional<std::string> primitiveArrayNote(Session& s, uint32_t h);

// "2 top-level records were skipped (tag 0x99: 1 record, 14 bytes; ...): what they held is not
// loaded" for a dump whose reader skipped records; nullopt when it skipped none.
std::optional<std::string> skippedRecordsNote(const simvm::LoadedHeap& dump);

// The bytes of one element of a primitive array whose type letter is `letter` (Z B C S I J F D).
uint32_t elementBytes(char letter);

// The text shown for a class description value a dump does not record.
constexpr const char* kNotInDump = "not in the dump";

// Removes the records of the objects the caller made for the last call (its output stream).
void dropCallObjects(Session& s, simvm::Report& r);

}  // namespace cli
