// Bounded waits for effects that happen on other threads or in other processes:
// the wait ends as soon as the effect shows, and gives up after a generous limit,
// so a slow machine only makes a test slower, never wrong.
#ifndef QUILLRADE_TESTS_SUPPORT_BOUNDED_WAIT_H_
#define QUILLRADE_TESTS_SUPPORT_BOUNDED_WAIT_H_

#include <chrono>
#include <functional>

// Limit for an effect that should follow at once.
constexpr std::chrono::milliseconds kDefaultWait{2000};

// Asks `condition` every `interval` until it holds or `limit` has passed; its
// last answer. The condition is asked once more after the limit, so a wait that
// ran out while the effect arrived still sees it. A longer interval suits a
// condition that costs the code under test work (a request per question).
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = kDefaultWait,
               std::chrono::milliseconds interval = std::chrono::milliseconds(1));

#endif  // QUILLRADE_TESTS_SUPPORT_BOUNDED_WAIT_H_
