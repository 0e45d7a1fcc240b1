// The narrow meeting point between the HTTP server (which receives pushed texts)
// and the engine's push tasks (which consume them). The server implements the
// registry; a push task implements the target and registers itself at setup.
#ifndef QUILLRADE_STATUS_PUSH_TARGET_H_
#define QUILLRADE_STATUS_PUSH_TARGET_H_

#include <string>

class IPushTarget {
 public:
  // The path the target answers, "/" + input section name in lower case.
  virtual const std::string& PushPath() const = 0;
  // Queues one decoded text. Called on an HTTP worker thread under the registry's
  // lock. False when the queue is full and the text was dropped.
  virtual bool ReceivePush(const std::string& text) = 0;

 protected:
  ~IPushTarget() = default;
};

class IPushTargetRegistry {
 public:
  // Appends a target under the registry's lock. Not owned: the main thread clears
  // the registry before the target dies.
  virtual void RegisterPushTarget(IPushTarget* target) = 0;
  // The HTTP port pushes arrive on; 0 when the server has none.
  virtual int HttpPort() const = 0;

 protected:
  ~IPushTargetRegistry() = default;
};

#endif  // QUILLRADE_STATUS_PUSH_TARGET_H_
