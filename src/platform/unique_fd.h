// The one owner of a file descriptor: closes it when it goes away. Move-only, so
// a descriptor has exactly one owner at a time; a negative value means "none".
//
//   CUniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
//   if (!file.IsValid()) return false;
//   read(file.Get(), buffer, size);  // closed when `file` leaves the scope
//
// Threads: like an int; one object must not be changed by two threads at once.
#ifndef QUILLRADE_PLATFORM_UNIQUE_FD_H_
#define QUILLRADE_PLATFORM_UNIQUE_FD_H_

class CUniqueFd {
 public:
  CUniqueFd() = default;
  // Takes ownership of `descriptor` (negative: owns nothing).
  explicit CUniqueFd(int descriptor) : nFd(descriptor) {}
  ~CUniqueFd() { Reset(); }
  CUniqueFd(CUniqueFd&& other) noexcept : nFd(other.Release()) {}
  CUniqueFd& operator=(CUniqueFd&& other) noexcept;
  CUniqueFd(const CUniqueFd&) = delete;
  CUniqueFd& operator=(const CUniqueFd&) = delete;

  // The descriptor, still owned; -1 when none.
  int Get() const { return nFd; }
  bool IsValid() const { return nFd >= 0; }
  // Gives the descriptor up without closing it; the caller owns it now.
  int Release();
  // Closes the owned descriptor (if any) and takes `descriptor` instead.
  void Reset(int descriptor = -1);

 private:
  int nFd = -1;
};

#endif  // QUILLRADE_PLATFORM_UNIQUE_FD_H_
