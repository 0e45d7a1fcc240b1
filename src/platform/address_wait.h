// Sleeping on a 32-bit word until another thread changes it: the slow path of
// CSpinLock (a futex on Linux, WaitOnAddress on Windows). Internal to the
// platform layer.
//
// Threads: any thread; a wake may be spurious, so callers re-check the word.
#ifndef QUILLRADE_PLATFORM_ADDRESS_WAIT_H_
#define QUILLRADE_PLATFORM_ADDRESS_WAIT_H_

#include <atomic>
#include <cstdint>

// Sleeps while `*word` holds `expected`; returns at once when it does not.
void WaitWhileValue(std::atomic<uint32_t>* word, uint32_t expected);
// Wakes one thread sleeping in WaitWhileValue on `word`.
void WakeOneWaiter(std::atomic<uint32_t>* word);

#endif  // QUILLRADE_PLATFORM_ADDRESS_WAIT_H_
