// CCurl: the one outgoing HTTP client of a configuration. Every request is a plain
// GET whose body is thrown away; only success or failure is reported.
//
// Ownership: the object owns one reusable transfer handle, released by the
// destructor. The library's process-wide initialisation happens once, on the
// first construction, and is never undone.
// Threads: one thread at a time (the main thread); Fetch blocks until the
// transfer ends (at most kTotalTimeoutSeconds).
#ifndef QUILLRADE_ENGINE_CURL_H_
#define QUILLRADE_ENGINE_CURL_H_

#include <memory>
#include <string>

class CCurl {
 public:
  // Connect timeout until the configuration sets one.
  static constexpr int kDefaultConnectTimeoutSeconds = 20;
  // Resolved host names are reused for this long.
  static constexpr long kDnsCacheSeconds = 60;
  // Longest wait for the server's first answer once connected.
  static constexpr long kServerResponseTimeoutSeconds = 30;
  // Longest whole transfer, connect included.
  static constexpr long kTotalTimeoutSeconds = 120;

  CCurl();
  virtual ~CCurl();
  CCurl(const CCurl&) = delete;
  CCurl& operator=(const CCurl&) = delete;

  // One GET of `url` on a new connection. True exactly when the transfer
  // completed with an HTTP status below 400; false on any failure, also when
  // the handle could not be created.
  bool Fetch(const std::string& url);

  void SetConnectTimeout(int seconds) { nConnectTimeout = seconds; }
  int ConnectTimeout() const { return nConnectTimeout; }

 private:
  struct HandleDeleter {
    void operator()(void* handle) const;
  };

  int nConnectTimeout = kDefaultConnectTimeoutSeconds;
  std::unique_ptr<void, HandleDeleter> hCurl;
};

#endif  // QUILLRADE_ENGINE_CURL_H_
