// Our stand-in for the Windows socket layer the lamp tools were designed on.
// It keeps the behaviour the tools rely on where Linux differs: counted
// start-up with fixed versions, connects confirmed only when established,
// 0.0.0.0 refused as a destination, millisecond receive time-outs.
//
// A call that fails keeps its reason in the socket (LastError), the way a C
// library keeps errno: the dialogs show only their own texts, command-line
// tools say why. Reasons are errno values on both systems: on Windows the
// Winsock codes are mapped to them, so a tool says the same words.
//
// The same interface is built on POSIX sockets (socket_layer_posix.cpp) and
// on Winsock itself (windows/); everything else is written once.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket kNoSocket = INVALID_SOCKET;
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

inline constexpr std::uint16_t kSocketVersion11 = 0x0101;  // program or library start
inline constexpr std::uint16_t kSocketVersion22 = 0x0202;  // each exchange

// Counted start-up and clean-up. Start-up accepts only the two versions
// above and fails when no IPv4 socket can be made; `reason` says why.
bool StartSocketLayer(std::uint16_t version, std::error_code* reason = nullptr);
void CleanupSocketLayer();

// One start-up held for the object's lifetime.
class SocketLayerSession {
 public:
  explicit SocketLayerSession(std::uint16_t version)
      : started_(StartSocketLayer(version, &reason_)) {}
  ~SocketLayerSession() {
    if (started_) CleanupSocketLayer();
  }
  SocketLayerSession(const SocketLayerSession&) = delete;
  SocketLayerSession& operator=(const SocketLayerSession&) = delete;
  explicit operator bool() const { return started_; }
  const std::error_code& Reason() const { return reason_; }

 private:
  std::error_code reason_;
  bool started_;
};

// Hands a reason to a C caller the system's way: errno, and on Windows
// WSAGetLastError() too (WSAECONNREFUSED for ECONNREFUSED).
void SetLastSocketError(const std::error_code& reason);

// A reason as a command-line tool prints it: "connection refused".
std::string ReasonText(const std::error_code& reason);

// An IPv4 socket address.
struct SocketAddress {
  sockaddr_in in{};

  // inet_addr of dotted text (all-ones when it does not parse); port in host order.
  static SocketAddress FromDottedText(const std::string& dotted, std::uint16_t port);
  static SocketAddress FromBytes(std::span<const std::uint8_t, 4> address, std::uint16_t port);
  static SocketAddress Any(std::uint16_t port);
  std::array<std::uint8_t, 4> Bytes() const;  // first number first
  std::string DottedText() const;             // inet_ntoa
  std::string EndpointText() const;           // "192.168.10.200:20000"
  std::uint16_t Port() const;
};

// An owned socket handle; closed when the object goes.
class Socket {
 public:
  // A socket that could not be made is false and keeps the reason.
  static Socket OpenStream();
  static Socket OpenDatagram();
  // A non-blocking stream socket listening on `local` (its address reused, so
  // a program restarted at once gets its port back); false with the reason.
  static Socket OpenListening(const SocketAddress& local, int backlog);

  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  explicit operator bool() const { return fd_ != kNoSocket; }
  NativeSocket Handle() const { return fd_; }
  // Gives the handle up: whoever takes it closes it.
  NativeSocket Release() {
    const NativeSocket handle = fd_;
    fd_ = kNoSocket;
    return handle;
  }
  void Close();
  // Why the last call that failed did so.
  const std::error_code& LastError() const { return error_; }
  // Whether that was the errno value `number`: a plain comparison, for the
  // paths a busy loop takes (no virtual call into the error category).
  bool LastErrorIs(int number) const {
    return error_.value() == number && &error_.category() == &std::generic_category();
  }

  bool SetNonBlocking(bool on);
  // Each receive waits at most this long; it cannot fail, so no exchange
  // can be left waiting for good.
  void SetReceiveTimeout(std::chrono::milliseconds timeout);
  bool SetBroadcast(bool on);
  bool SetReuseAddress(bool on);
  bool SetReceiveBufferSize(int bytes);
  bool SetSendBufferSize(int bytes);
  // Closing then resets the connection instead of ending it in order.
  bool SetAbortOnClose();
  bool Bind(const SocketAddress& local);
  // The address the socket is bound to (getsockname); false with the reason.
  bool LocalAddress(SocketAddress& local);
  bool Listen(int backlog);
  // A connection waiting on a listening socket, non-blocking; false when none.
  Socket Accept(SocketAddress& peer);

  // Starts a connect; its outcome is only known to WaitConnected.
  void StartConnect(const SocketAddress& to);
  // True only when the connection is established within the limit. A failed
  // attempt (refused, unreachable, 0.0.0.0) ends like a time-out: false after
  // the whole limit, with the attempt's own reason kept. An error of the
  // wait itself gives false at once.
  bool WaitConnected(std::chrono::milliseconds limit);
  // After a started connect made the socket writable, without waiting: true
  // when the connection is established, else false with the reason.
  bool FinishConnect();
  // Whether the connect failed as it was started (0.0.0.0, no route).
  bool ConnectFailed() const { return connectFailed_; }
  // Associates a datagram socket with one peer (connect of UDP); with the
  // any-address it leaves the socket open to every sender.
  bool ConnectDatagram(const SocketAddress& to);

  // Bytes sent, or -1. Never raises SIGPIPE.
  long Send(std::span<const std::uint8_t> bytes);
  long SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to);
  // A datagram sent from a given local address and/or out of a given
  // interface (0: let routing choose), whatever the socket is bound to.
  long SendFrom(std::span<const std::uint8_t> bytes, const SocketAddress& to,
                std::optional<std::array<std::uint8_t, 4>> source, unsigned interfaceIndex = 0);
  // One receive: bytes taken (a longer datagram is cut to the area), 0 for an
  // orderly close or an empty datagram, -1 for an error or time-out.
  long ReceiveFrom(std::span<std::uint8_t> area, SocketAddress& from);
  // Bytes that have arrived and wait to be received; 0 when none (or unknown).
  long BytesWaiting() const;
  // Whatever has arrived, without waiting: bytes taken, 0 for an orderly
  // close, -1 with EAGAIN when nothing is there.
  long Receive(std::span<std::uint8_t> area);

 private:
  explicit Socket(NativeSocket fd) : fd_(fd) {}
  bool Failed();  // keeps the system's last error as the reason; false
  bool SetOption(int level, int option, int value);  // setsockopt of an int
  bool WaitReadable();

  NativeSocket fd_ = kNoSocket;
  bool connectFailed_ = false;
  std::optional<std::chrono::milliseconds> receiveTimeout_;
  std::error_code error_;
};

void Sleep(std::chrono::milliseconds duration);

// Lifts the process's soft limit of open descriptors to its hard limit, for
// programs that hold hundreds of sockets at once.
void RaiseDescriptorLimit();

}  // namespace platform
