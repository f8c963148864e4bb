// What the query table needs from the system: the calling thread's CPU time (under Wine, from
// the Linux kernel: see cpuSeconds), and on Windows the time of one VirtualQuery, the question the
// guarded read asks there (under Wine its cost grows with the heap's region, so the table shows it
// on the table's own pages).
#pragma once
#include <cstdint>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay the standard's
#endif
#include <windows.h>
#else
#include <time.h>
#endif

namespace bench {

#if defined(_WIN32) && defined(__i386__)
// Wine's GetThreadTimes counts in the Linux kernel's 10 ms ticks: too coarse for calls of a few
// microseconds. Wine runs the program as a Linux process, so there the thread's CPU clock is
// asked of the kernel itself: clock_gettime(CLOCK_THREAD_CPUTIME_ID), i386 system call 265.
inline bool underWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}
inline double linuxThreadCpuSeconds() {
  struct {
    int32_t sec, nsec;
  } t{};
  long result;
  __asm__ volatile("int $0x80" : "=a"(result) : "a"(265), "b"(3), "c"(&t) : "memory");
  return static_cast<double>(t.sec) + 1e-9 * static_cast<double>(t.nsec);
}
#endif

inline double cpuSeconds() {
#if defined(_WIN32)
#if defined(__i386__)
  if (underWine()) return linuxThreadCpuSeconds();
#endif
  FILETIME created, ended, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return 1e-7 * static_cast<double>(ticks(kernel) + ticks(user));  // 100 ns ticks
#else
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
#endif
}

inline constexpr bool systemQuestionAvailable() {
#if defined(_WIN32)
  return true;
#else
  return false;
#endif
}

// Asks the system about the page holding `address` `times` times; returns how many answers
// said readable (so that the questions cannot be left out).
inline uint32_t askSystem(uint32_t address, uint32_t times) {
  uint32_t readable = 0;
#if defined(_WIN32)
  for (uint32_t i = 0; i < times; i++) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &info,
                     sizeof info) == sizeof info &&
        info.State == MEM_COMMIT)
      readable++;
  }
#else
  (void)address;
  (void)times;
#endif
  return readable;
}

}  // namespace bench
