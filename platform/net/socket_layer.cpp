#include "socket_layer.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <sys/socket.h>
#endif

#include <cstring>
#include <thread>

#include "protocol/text_format.h"

// What both systems' socket layers share: addresses, the moving of sockets,
// and the calls that read the same on POSIX and on Winsock.
namespace platform {

SocketAddress SocketAddress::FromDottedText(const std::string& dotted, std::uint16_t port) {
  SocketAddress address;
  address.in.sin_family = AF_INET;
  address.in.sin_port = htons(port);
  address.in.sin_addr.s_addr = inet_addr(dotted.c_str());
  return address;
}

SocketAddress SocketAddress::FromBytes(std::span<const std::uint8_t, 4> address,
                                       std::uint16_t port) {
  SocketAddress result;
  result.in.sin_family = AF_INET;
  result.in.sin_port = htons(port);
  std::memcpy(&result.in.sin_addr.s_addr, address.data(), 4);
  return result;
}

SocketAddress SocketAddress::Any(std::uint16_t port) {
  SocketAddress address;
  address.in.sin_family = AF_INET;
  address.in.sin_port = htons(port);
  address.in.sin_addr.s_addr = htonl(INADDR_ANY);
  return address;
}

std::array<std::uint8_t, 4> SocketAddress::Bytes() const {
  std::array<std::uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &in.sin_addr.s_addr, 4);
  return bytes;
}

std::string SocketAddress::DottedText() const { return protocol::DottedText(Bytes()); }

std::string SocketAddress::EndpointText() const { return protocol::EndpointText(Bytes(), Port()); }

std::uint16_t SocketAddress::Port() const { return ntohs(in.sin_port); }

Socket::Socket(Socket&& other) noexcept
    : fd_(other.fd_),
      connectFailed_(other.connectFailed_),
      receiveTimeout_(other.receiveTimeout_),
      error_(other.error_) {
  other.fd_ = kNoSocket;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    connectFailed_ = other.connectFailed_;
    receiveTimeout_ = other.receiveTimeout_;
    error_ = other.error_;
    other.fd_ = kNoSocket;
  }
  return *this;
}

bool Socket::SetOption(int level, int option, int value) {
  // Winsock takes the value as char bytes; POSIX as any.
  return ::setsockopt(fd_, level, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

void Socket::SetReceiveTimeout(std::chrono::milliseconds timeout) { receiveTimeout_ = timeout; }

bool Socket::SetBroadcast(bool on) {
  return SetOption(SOL_SOCKET, SO_BROADCAST, on ? 1 : 0) || Failed();
}

bool Socket::SetReuseAddress(bool on) {
  return SetOption(SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0) || Failed();
}

bool Socket::Bind(const SocketAddress& local) {
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&local.in), sizeof local.in) == 0 ||
         Failed();
}

bool Socket::LocalAddress(SocketAddress& local) {
  socklen_t length = sizeof local.in;
  return ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local.in), &length) == 0 || Failed();
}

bool Socket::Listen(int backlog) { return ::listen(fd_, backlog) == 0 || Failed(); }

Socket Socket::OpenListening(const SocketAddress& local, int backlog) {
  Socket made = OpenStream();
  if (made && !(made.SetReuseAddress(true) && made.Bind(local) && made.Listen(backlog) &&
                made.SetNonBlocking(true))) {
    made.Close();  // the reason stays
  }
  return made;
}

void Sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace platform
