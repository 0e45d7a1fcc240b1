#include "platform/unique_fd.h"

#include <unistd.h>

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int CUniqueFd::Release() {
  const int descriptor = nFd;
  nFd = -1;
  return descriptor;
}

void CUniqueFd::Reset(int descriptor) {
  // Closing the descriptor we are handed again would leave us owning a closed one.
  if (nFd >= 0 && nFd != descriptor) close(nFd);
  nFd = descriptor;
}
