// Bounded waits for asynchronous effects in the runtime tests.
#ifndef QUILLRADE_TESTS_RUNTIME_WAIT_SUPPORT_H_
#define QUILLRADE_TESTS_RUNTIME_WAIT_SUPPORT_H_

#include <functional>

// Polls `condition` every millisecond for up to two seconds; its last answer.
bool Within2s(const std::function<bool()>& condition);

#endif  // QUILLRADE_TESTS_RUNTIME_WAIT_SUPPORT_H_
