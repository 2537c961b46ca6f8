// The socket layer on Winsock itself. Each Winsock error is kept as the
// errno value of the same meaning, so the code above and the tools' words
// are the same on both systems.
#include "net/socket_layer.h"

#include <iphlpapi.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/broadcast.h"

namespace platform {
namespace {

std::error_code Reason(int number) { return std::error_code(number, std::generic_category()); }

// Winsock's errors and the errno values of the same meaning.
constexpr std::pair<int, int> kWinsockErrno[] = {
    {WSAEWOULDBLOCK, EAGAIN},
    {WSAEINPROGRESS, EINPROGRESS},
    {WSAEINTR, EINTR},
    {WSAECONNREFUSED, ECONNREFUSED},
    {WSAETIMEDOUT, ETIMEDOUT},
    {WSAEHOSTUNREACH, EHOSTUNREACH},
    {WSAENETUNREACH, ENETUNREACH},
    {WSAENETDOWN, ENETDOWN},
    {WSAECONNRESET, ECONNRESET},
    {WSAECONNABORTED, ECONNABORTED},
    {WSAENOTCONN, ENOTCONN},
    {WSAESHUTDOWN, EPIPE},
    {WSAEADDRINUSE, EADDRINUSE},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
    {WSAEACCES, EACCES},
    {WSAEMFILE, EMFILE},
    {WSAENOBUFS, ENOBUFS},
    {WSAEDESTADDRREQ, EDESTADDRREQ},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT},
    {WSAEMSGSIZE, EMSGSIZE},
    {WSAEINVAL, EINVAL},
    {WSAVERNOTSUPPORTED, ENOTSUP},
    {WSANOTINITIALISED, ENETDOWN},
    {WSASYSNOTREADY, ENETDOWN},
};

std::error_code FromWinsock(int code) {
  for (const auto& [winsock, number] : kWinsockErrno) {
    if (winsock == code) return Reason(number);
  }
  return Reason(EIO);
}

std::error_code LastWinsockError() { return FromWinsock(::WSAGetLastError()); }

// The C library's words for these on Linux: the C runtime here knows none
// of the socket errors.
const char* SocketErrorText(int number) {
  switch (number) {
    case EAGAIN:
      return "Resource temporarily unavailable";
    case EINPROGRESS:
      return "Operation now in progress";
    case EINTR:
      return "Interrupted system call";
    case ECONNREFUSED:
      return "Connection refused";
    case ETIMEDOUT:
      return "Connection timed out";
    case EHOSTUNREACH:
      return "No route to host";
    case ENETUNREACH:
      return "Network is unreachable";
    case ENETDOWN:
      return "Network is down";
    case ECONNRESET:
      return "Connection reset by peer";
    case ECONNABORTED:
      return "Software caused connection abort";
    case ENOTCONN:
      return "Transport endpoint is not connected";
    case EPIPE:
      return "Broken pipe";
    case EADDRINUSE:
      return "Address already in use";
    case EADDRNOTAVAIL:
      return "Cannot assign requested address";
    case EACCES:
      return "Permission denied";
    case EMFILE:
      return "Too many open files";
    case ENOBUFS:
      return "No buffer space available";
    case EDESTADDRREQ:
      return "Destination address required";
    case EAFNOSUPPORT:
      return "Address family not supported by protocol";
    case EMSGSIZE:
      return "Message too long";
    case EINVAL:
      return "Invalid argument";
    case ENOTSUP:
      return "Operation not supported";
    case ENODEV:
      return "No such device";
    case ENOENT:
      return "No such file or directory";
    case ENOSPC:
      return "No space left on device";
    case EIO:
      return "Input/output error";
    default:
      return nullptr;
  }
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  std::this_thread::sleep_until(deadline);
}

// Waits until `fd` is in the read or the write set; an entry in the
// exception set (a connect that failed) also ends the wait. 0 on time-out,
// -1 on error.
int WaitFor(SOCKET fd, bool write, std::chrono::milliseconds limit, bool& failed) {
  fd_set ready, broken;
  FD_ZERO(&ready);
  FD_ZERO(&broken);
  FD_SET(fd, &ready);
  FD_SET(fd, &broken);
  timeval timeout{static_cast<long>(limit.count() / 1000),
                  static_cast<long>((limit.count() % 1000) * 1000)};
  const int count =
      ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &broken, &timeout);
  failed = count > 0 && FD_ISSET(fd, &broken);
  return count;
}

}  // namespace

std::string ReasonText(const std::error_code& reason) {
  std::string text;
  const char* known =
      &reason.category() == &std::generic_category() ? SocketErrorText(reason.value()) : nullptr;
  text = known ? known : reason.message();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

bool StartSocketLayer(std::uint16_t version, std::error_code* reason) {
  if (version != kSocketVersion11 && version != kSocketVersion22) {
    if (reason) *reason = Reason(EINVAL);
    return false;
  }
  WSADATA data{};
  if (const int failed = ::WSAStartup(version, &data); failed != 0) {
    if (reason) *reason = FromWinsock(failed);
    return false;
  }
  // Only the version asked for exactly counts as started.
  if (data.wVersion != version) {
    ::WSACleanup();
    if (reason) *reason = Reason(ENOTSUP);
    return false;
  }
  return true;
}

void CleanupSocketLayer() { ::WSACleanup(); }

void SetLastSocketError(const std::error_code& reason) {
  errno = reason.value();
  for (const auto& [winsock, number] : kWinsockErrno) {
    if (number == reason.value()) {
      ::WSASetLastError(winsock);
      return;
    }
  }
  ::WSASetLastError(reason.value());
}

Socket Socket::OpenStream() {
  Socket made(
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  if (!made) made.Failed();
  return made;
}

Socket Socket::OpenDatagram() {
  Socket made(
      ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  if (!made) made.Failed();
  return made;
}

bool Socket::Failed() {
  error_ = LastWinsockError();
  return false;
}

void Socket::Close() {
  if (fd_ != kNoSocket) ::closesocket(fd_);
  fd_ = kNoSocket;
}

bool Socket::SetNonBlocking(bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(fd_, FIONBIO, &mode) == 0 || Failed();
}

bool Socket::SetReceiveBufferSize(int bytes) {
  return SetOption(SOL_SOCKET, SO_RCVBUF, bytes) || Failed();
}

bool Socket::SetSendBufferSize(int bytes) {
  return SetOption(SOL_SOCKET, SO_SNDBUF, bytes) || Failed();
}

bool Socket::SetAbortOnClose() {
  linger abort{1, 0};
  return ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                      sizeof abort) == 0 ||
         Failed();
}

Socket Socket::Accept(SocketAddress& peer) {
  int length = sizeof peer.in;
  Socket accepted(::accept(fd_, reinterpret_cast<sockaddr*>(&peer.in), &length));
  if (!accepted) {
    Failed();
    return accepted;
  }
  accepted.SetNonBlocking(true);
  return accepted;
}

void Socket::StartConnect(const SocketAddress& to) {
  // 0.0.0.0 names no peer.
  if (to.in.sin_addr.s_addr == htonl(INADDR_ANY)) {
    connectFailed_ = true;
    error_ = Reason(EDESTADDRREQ);
    return;
  }
  const int result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
  const int code = result == 0 ? 0 : ::WSAGetLastError();
  connectFailed_ = result != 0 && code != WSAEWOULDBLOCK && code != WSAEINPROGRESS;
  if (connectFailed_) error_ = FromWinsock(code);
}

bool Socket::WaitConnected(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (connectFailed_) {
    SleepUntil(deadline);
    return false;
  }
  bool failed = false;
  const int ready = WaitFor(fd_, true, limit, failed);
  if (ready < 0) return Failed();
  if (ready == 0) {
    error_ = Reason(ETIMEDOUT);
    return false;
  }
  if (failed || !FinishConnect()) {
    if (failed) FinishConnect();  // keeps the attempt's own reason
    connectFailed_ = true;
    SleepUntil(deadline);
    return false;
  }
  return true;
}

bool Socket::FinishConnect() {
  int error = 0;
  int length = sizeof error;
  sockaddr_in peer{};
  int peerLength = sizeof peer;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return Failed();
  }
  if (error != 0) {
    error_ = FromWinsock(error);
    return false;
  }
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    error_ = Reason(ENOTCONN);
    return false;
  }
  return true;
}

bool Socket::ConnectDatagram(const SocketAddress& to) {
  // Winsock dissolves the association when the address is all zeros.
  return ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in) == 0 || Failed();
}

long Socket::Send(std::span<const std::uint8_t> bytes) {
  const int sent =
      ::send(fd_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  if (sent == SOCKET_ERROR) Failed();
  return sent;
}

long Socket::SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) {
  const int sent =
      ::sendto(fd_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
  if (sent == SOCKET_ERROR) Failed();
  return sent;
}

long Socket::SendFrom(std::span<const std::uint8_t> bytes, const SocketAddress& to,
                      std::optional<std::array<std::uint8_t, 4>> source, unsigned interfaceIndex) {
  // Winsock has no per-datagram source: a socket of its own, bound to the
  // adapter's address and sending out of that adapter, carries this one.
  Socket via = OpenDatagram();
  if (!via || !via.SetBroadcast(true) ||
      (source && !via.Bind(SocketAddress::FromBytes(*source, 0)))) {
    error_ = via.LastError();
    return -1;
  }
  if (interfaceIndex != 0) {
    const DWORD index = htonl(interfaceIndex);
    ::setsockopt(via.Handle(), IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&index),
                 sizeof index);
  }
  const long sent = via.SendTo(bytes, to);
  if (sent < 0) error_ = via.LastError();
  return sent;
}

bool Socket::WaitReadable() {
  bool failed = false;
  const int ready = WaitFor(fd_, false, *receiveTimeout_, failed);
  if (ready < 0) return Failed();
  if (ready == 0) {
    error_ = Reason(ETIMEDOUT);
    return false;
  }
  return true;
}

long Socket::ReceiveFrom(std::span<std::uint8_t> area, SocketAddress& from) {
  if (receiveTimeout_ && !WaitReadable()) return -1;
  int length = sizeof from.in;
  const int got =
      ::recvfrom(fd_, reinterpret_cast<char*>(area.data()), static_cast<int>(area.size()), 0,
                 reinterpret_cast<sockaddr*>(&from.in), &length);
  if (got == SOCKET_ERROR) {
    // A datagram longer than the area: cut to it, as on Linux.
    if (::WSAGetLastError() == WSAEMSGSIZE) return static_cast<long>(area.size());
    Failed();
  }
  return got;
}

long Socket::BytesWaiting() const {
  u_long waiting = 0;
  return ::ioctlsocket(fd_, FIONREAD, &waiting) == 0 ? static_cast<long>(waiting) : 0;
}

long Socket::Receive(std::span<std::uint8_t> area) {
  const int got =
      ::recv(fd_, reinterpret_cast<char*>(area.data()), static_cast<int>(area.size()), 0);
  if (got == SOCKET_ERROR) {
    if (::WSAGetLastError() == WSAEMSGSIZE) return static_cast<long>(area.size());
    Failed();
  }
  return got;
}

bool ListInterfaces(std::vector<NetworkInterface>& interfaces, std::error_code& reason) {
  ULONG size = 16 * 1024;
  std::vector<std::uint8_t> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = ::GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  interfaces.clear();
  if (result == ERROR_NO_DATA) return true;
  if (result != NO_ERROR) {
    reason = Reason(EIO);
    return false;
  }
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
       adapter = adapter->Next) {
    // The name people know it by ("Ethernet"), as UTF-8.
    std::string name;
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, adapter->FriendlyName, -1, nullptr, 0, nullptr, nullptr);
    if (bytes > 1) {
      name.resize(static_cast<std::size_t>(bytes));
      ::WideCharToMultiByte(CP_UTF8, 0, adapter->FriendlyName, -1, name.data(), bytes, nullptr,
                            nullptr);
      name.resize(static_cast<std::size_t>(bytes - 1));
    }
    for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
      if (unicast->Address.lpSockaddr->sa_family != AF_INET) continue;
      NetworkInterface found;
      found.name = name;
      found.index = adapter->IfIndex;
      SocketAddress address;
      std::memcpy(&address.in, unicast->Address.lpSockaddr, sizeof address.in);
      found.address = address.Bytes();
      found.up = adapter->OperStatus == IfOperStatusUp;
      found.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      found.canBroadcast = !found.loopback;
      interfaces.push_back(found);
    }
  }
  return true;
}

// Windows has no per-process limit to lift; the event loop's select takes
// up to FD_SETSIZE sockets.
void RaiseDescriptorLimit() {}

}  // namespace platform
