#include "socket_layer.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <cstring>

#include "protocol/text_format.h"

// What both systems' socket layers share: addresses and the moving of sockets.
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

}  // namespace platform
