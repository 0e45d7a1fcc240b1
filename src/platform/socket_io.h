// One non-blocking transfer on a connected socket, with the system's error
// already interpreted, so that CTcpSocket's buffering is written once for every
// OS. Internal to the platform layer.
//
// Threads: like the socket; never blocks.
#ifndef QUILLRADE_PLATFORM_SOCKET_IO_H_
#define QUILLRADE_PLATFORM_SOCKET_IO_H_

#include <cstddef>

enum class Transfer { kMoved, kInterrupted, kWouldBlock, kPeerClosed, kFailed };

// Sends or receives what the network takes or has at once; `moved` receives the
// byte count when the result is kMoved.
Transfer SendSome(int socket, const char* bytes, size_t length, size_t* moved);
Transfer ReceiveSome(int socket, char* buffer, size_t capacity, size_t* moved);
// Ends the sending side (the peer reads the end of the stream).
void ShutdownSending(int socket);

#endif  // QUILLRADE_PLATFORM_SOCKET_IO_H_
