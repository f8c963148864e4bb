#include "support/stable_sort.h"

#include <stdlib.h>
#include <string.h>

namespace tv {

namespace {

// Merges the sorted runs [a, a + n1) and [a + n1, a + n1 + n2) through scratch, which takes a
// copy of the left run. On equal keys the left run's item goes first.
void mergeWithScratch(uintptr_t* a, size_t n1, size_t n2, uintptr_t* scratch, ItemCompare compare) {
  memcpy(scratch, a, n1 * sizeof(uintptr_t));
  uintptr_t* left = scratch;
  uintptr_t* leftEnd = scratch + n1;
  uintptr_t* right = a + n1;
  uintptr_t* rightEnd = right + n2;
  uintptr_t* out = a;
  while (left < leftEnd && right < rightEnd)
    *out++ = compare(left, right) <= 0 ? *left++ : *right++;
  // What is left of the right run is already in place.
  while (left < leftEnd) *out++ = *left++;
}

void reverse(uintptr_t* first, uintptr_t* last) {
  while (first < last && first < --last) {
    uintptr_t t = *first;
    *first++ = *last;
    *last = t;
  }
}

// Swaps the blocks [first, middle) and [middle, last), each keeping its order.
void rotate(uintptr_t* first, uintptr_t* middle, uintptr_t* last) {
  reverse(first, middle);
  reverse(middle, last);
  reverse(first, last);
}

// The first item of [first, last) that does not go before *key (equal keys stay after).
uintptr_t* lowerBound(uintptr_t* first, uintptr_t* last, const uintptr_t* key,
                      ItemCompare compare) {
  size_t n = static_cast<size_t>(last - first);
  while (n > 0) {
    size_t half = n / 2;
    if (compare(first + half, key) < 0) {
      first += half + 1;
      n -= half + 1;
    } else {
      n = half;
    }
  }
  return first;
}

// The first item of [first, last) that goes after *key (equal keys stay before).
uintptr_t* upperBound(uintptr_t* first, uintptr_t* last, const uintptr_t* key,
                      ItemCompare compare) {
  size_t n = static_cast<size_t>(last - first);
  while (n > 0) {
    size_t half = n / 2;
    if (compare(key, first + half) >= 0) {
      first += half + 1;
      n -= half + 1;
    } else {
      n = half;
    }
  }
  return first;
}

// The same merge without scratch: the longer run is cut in half, the other at the matching
// place, the two middle blocks swapped, and each side merged again. Each side holds at most
// three quarters of the items, so the recursion is at most about 2.4 log2(n1 + n2) deep.
void mergeInPlace(uintptr_t* a, size_t n1, size_t n2, ItemCompare compare) {
  if (n1 == 0 || n2 == 0) return;
  if (n1 + n2 == 2) {
    if (compare(a + 1, a) < 0) rotate(a, a + 1, a + 2);
    return;
  }
  uintptr_t* middle = a + n1;
  uintptr_t* cutLeft;
  uintptr_t* cutRight;
  if (n1 > n2) {
    cutLeft = a + n1 / 2;
    cutRight = lowerBound(middle, middle + n2, cutLeft, compare);
  } else {
    cutRight = middle + n2 / 2;
    cutLeft = upperBound(a, middle, cutRight, compare);
  }
  rotate(cutLeft, middle, cutRight);
  uintptr_t* newMiddle = cutLeft + (cutRight - middle);
  mergeInPlace(a, static_cast<size_t>(cutLeft - a), static_cast<size_t>(newMiddle - cutLeft),
               compare);
  mergeInPlace(newMiddle, static_cast<size_t>(middle - cutLeft),
               static_cast<size_t>(middle + n2 - cutRight), compare);
}

}  // namespace

void sortStableWith(uintptr_t* items, size_t count, uintptr_t* scratch, ItemCompare compare) {
  if (count < 2) return;
  size_t n1 = count / 2;
  size_t n2 = count - n1;
  sortStableWith(items, n1, scratch, compare);
  sortStableWith(items + n1, n2, scratch, compare);
  if (compare(items + n1 - 1, items + n1) <= 0) return;  // already in order
  if (scratch)
    mergeWithScratch(items, n1, n2, scratch, compare);
  else
    mergeInPlace(items, n1, n2, compare);
}

void sortStable(uintptr_t* items, size_t count, ItemCompare compare) {
  if (count < 2) return;
  const size_t half = count / 2 + 1;
  uintptr_t* scratch = half <= SIZE_MAX / sizeof(uintptr_t)
                           ? static_cast<uintptr_t*>(malloc(half * sizeof(uintptr_t)))
                           : nullptr;
  sortStableWith(items, count, scratch, compare);  // in place when scratch is null
  free(scratch);
}

}  // namespace tv
