// Our stand-in for the Windows socket layer the lamp tools were designed on.
// It keeps the behaviour the tools rely on where Linux differs: counted
// start-up with fixed versions, connects confirmed only when established,
// 0.0.0.0 refused as a destination, millisecond receive time-outs.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

inline constexpr std::uint16_t kSocketVersion11 = 0x0101;  // program or library start
inline constexpr std::uint16_t kSocketVersion22 = 0x0202;  // each exchange

// Counted start-up and clean-up. Start-up accepts only the two versions
// above and fails when no IPv4 socket can be made.
bool StartSocketLayer(std::uint16_t version);
void CleanupSocketLayer();

// One start-up held for the object's lifetime.
class SocketLayerSession {
 public:
  explicit SocketLayerSession(std::uint16_t version) : started_(StartSocketLayer(version)) {}
  ~SocketLayerSession() {
    if (started_) CleanupSocketLayer();
  }
  SocketLayerSession(const SocketLayerSession&) = delete;
  SocketLayerSession& operator=(const SocketLayerSession&) = delete;
  explicit operator bool() const { return started_; }

 private:
  bool started_;
};

// An IPv4 socket address.
struct SocketAddress {
  sockaddr_in in{};

  // inet_addr of dotted text; port in host order.
  static SocketAddress FromDottedText(const std::string& dotted, std::uint16_t port);
  static SocketAddress Any(std::uint16_t port);
  std::string DottedText() const;  // inet_ntoa
  std::uint16_t Port() const;
};

// An owned socket handle; closed when the object goes.
class Socket {
 public:
  static Socket OpenStream();
  static Socket OpenDatagram();
  // Takes ownership of a descriptor made elsewhere (accept).
  static Socket Adopt(int fd) { return Socket(fd); }

  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  explicit operator bool() const { return fd_ >= 0; }
  int Handle() const { return fd_; }
  void Close();

  bool SetNonBlocking(bool on);
  bool SetReceiveTimeout(std::chrono::milliseconds timeout);
  bool SetBroadcast(bool on);
  bool SetReceiveBufferSize(int bytes);
  bool Bind(const SocketAddress& local);

  // Starts a connect; its outcome is only known to WaitConnected.
  void StartConnect(const SocketAddress& to);
  // True only when the connection is established within the limit. A failed
  // attempt (refused, unreachable, 0.0.0.0) ends like a time-out: false after
  // the whole limit. An error of the wait itself gives false at once.
  bool WaitConnected(std::chrono::milliseconds limit);
  // Associates a datagram socket with one peer (connect of UDP); with the
  // any-address it leaves the socket open to every sender.
  bool ConnectDatagram(const SocketAddress& to);

  // Bytes sent, or -1. Never raises SIGPIPE.
  long Send(std::span<const std::uint8_t> bytes);
  long SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to);
  // One receive: bytes taken (a longer datagram is cut to the area), 0 for an
  // orderly close or an empty datagram, -1 for an error or time-out.
  long ReceiveFrom(std::span<std::uint8_t> area, SocketAddress& from);

 private:
  explicit Socket(int fd) : fd_(fd) {}
  int fd_ = -1;
  bool connectFailed_ = false;
};

void Sleep(std::chrono::milliseconds duration);

}  // namespace platform
