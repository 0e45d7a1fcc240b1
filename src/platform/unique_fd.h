// The one owner of a descriptor: closes it when it goes away. Move-only, so a
// descriptor has exactly one owner at a time; a negative value means "none".
// CUniqueFd owns what the OS hands out for files, pipes and events (a file
// descriptor on Linux, a handle on Windows); CUniqueSocket owns a socket, which
// Winsock closes by a call of its own.
//
//   CUniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
//   if (!file.IsValid()) return false;
//   read(file.Get(), buffer, size);  // closed when `file` leaves the scope
//
// Threads: like an int; one object must not be changed by two threads at once.
#ifndef QUILLRADE_PLATFORM_UNIQUE_FD_H_
#define QUILLRADE_PLATFORM_UNIQUE_FD_H_

// Close one descriptor of each kind; defined once per OS.
void CloseFileDescriptor(int descriptor);
void CloseSocketDescriptor(int descriptor);

template <void (*kClose)(int)>
class CUniqueDescriptor {
 public:
  CUniqueDescriptor() = default;
  // Takes ownership of `descriptor` (negative: owns nothing).
  explicit CUniqueDescriptor(int descriptor) : nFd(descriptor) {}
  ~CUniqueDescriptor() { Reset(); }
  CUniqueDescriptor(CUniqueDescriptor&& other) noexcept : nFd(other.Release()) {}
  CUniqueDescriptor& operator=(CUniqueDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CUniqueDescriptor(const CUniqueDescriptor&) = delete;
  CUniqueDescriptor& operator=(const CUniqueDescriptor&) = delete;

  // The descriptor, still owned; -1 when none.
  int Get() const { return nFd; }
  bool IsValid() const { return nFd >= 0; }
  // Gives the descriptor up without closing it; the caller owns it now.
  int Release() {
    const int descriptor = nFd;
    nFd = -1;
    return descriptor;
  }
  // Closes the owned descriptor (if any) and takes `descriptor` instead.
  void Reset(int descriptor = -1) {
    // Closing the descriptor we are handed again would leave us owning a closed one.
    if (nFd >= 0 && nFd != descriptor) kClose(nFd);
    nFd = descriptor;
  }

 private:
  int nFd = -1;
};

using CUniqueFd = CUniqueDescriptor<&CloseFileDescriptor>;
using CUniqueSocket = CUniqueDescriptor<&CloseSocketDescriptor>;

#endif  // QUILLRADE_PLATFORM_UNIQUE_FD_H_
