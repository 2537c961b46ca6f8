#include "modbus_server.h"

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "protocol/text_format.h"
#include "protocol/unit_address.h"

namespace lampd {
namespace {

using Clock = std::chrono::steady_clock;

// Read a little at a time: a client that floods is served between the others.
constexpr std::size_t kReadAtOnce = 1024;
constexpr std::uint32_t kRegisters = 0x10000;

}  // namespace

void ModbusServer::ContextFree::operator()(modbus_t* context) const { modbus_free(context); }
void ModbusServer::MappingFree::operator()(modbus_mapping_t* mapping) const {
  modbus_mapping_free(mapping);
}

ModbusServer::ModbusServer(platform::EventLoop& loop, const ModbusConfig& config, LogLimiter& log,
                           Handler handler)
    : loop_(loop), config_(config), log_(log), handler_(std::move(handler)) {}

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(std::string& error) {
  const std::string where = protocol::UnitAddress{config_.address, config_.port}.Text();
  context_.reset(modbus_new_tcp(nullptr, 0));
  mapping_.reset(modbus_mapping_new_start_address(0, 0, 0, 0, 0, kRegisters, 0, kRegisters));
  if (!context_ || !mapping_) {
    error = "Modbus: libmodbus could not be set up: " + std::string(modbus_strerror(errno));
    return false;
  }
  listening_ = platform::Socket::OpenListening(
      platform::SocketAddress::FromBytes(config_.address, config_.port), SOMAXCONN);
  if (!listening_ || !loop_.Watch(listening_.Handle(), POLLIN, [this](short) { OnAccept(); })) {
    error = "Modbus: cannot listen on " + where + ": " +
            platform::ReasonText(listening_.LastError()) +
            (config_.port < 1024 ? " (a port below 1024 needs CAP_NET_BIND_SERVICE)" : "");
    listening_.Close();
    return false;
  }
  return true;
}

void ModbusServer::Stop() {
  if (listening_) {
    loop_.Unwatch(listening_.Handle());
    listening_.Close();
  }
  while (!connections_.empty()) {
    const auto first = connections_.begin();
    loop_.Cancel(first->second.timer);
    loop_.Unwatch(first->second.socket.Handle());
    connections_.erase(first);
  }
}

std::size_t ModbusServer::PerClient() const {
  return std::max<std::size_t>(1, static_cast<std::size_t>(config_.maxClients) / kShareOfClients);
}

Clock::duration ModbusServer::EvictableAfter() const {
  return std::min<Clock::duration>(kEvictableAfter, config_.idle / 2);
}

bool ModbusServer::MakeRoom(const protocol::IpBytes& client) {
  const auto ofClient = [&] {
    return static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(),
                      [&](const auto& entry) { return entry.second.client == client; }));
  };
  for (;;) {
    const bool own = ofClient() >= PerClient();
    if (!own && connections_.size() < static_cast<std::size_t>(config_.maxClients)) return true;
    // The connection silent longest goes: of this address when it is over
    // its share, else of anyone; one that spoke a moment ago is a PLC
    // between two scans, and stays.
    const auto settled = Clock::now() - EvictableAfter();
    auto quietest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      if (it->second.heard > settled || it->second.reader.Started()) continue;
      if (own && it->second.client != client) continue;
      if (quietest == connections_.end() || it->second.heard < quietest->second.heard) {
        quietest = it;
      }
    }
    if (quietest == connections_.end()) return false;
    Close(quietest->first, "evicted",
          "silent for " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                 Clock::now() - quietest->second.heard)
                                 .count()) +
              " s, it made room for a client from " + protocol::DottedText(client));
  }
}

bool ModbusServer::Allowed(const protocol::IpBytes& client) const {
  if (!config_.allow) return true;
  return std::any_of(config_.allow->begin(), config_.allow->end(),
                     [&](const Network& network) { return network.Contains(client); });
}

void ModbusServer::OnAccept() {
  for (;;) {
    platform::SocketAddress peer;
    platform::Socket socket = listening_.Accept(peer);
    if (!socket) return;
    const protocol::IpBytes client = peer.Bytes();
    // Modbus has no authentication: the address is all there is to go by.
    if (!Allowed(client)) {
      ++closed_["refused"];
      log_.Say("modbus refused", "Modbus: client " + protocol::DottedText(client) +
                                     " refused: not in [modbus] allow");
      continue;
    }
    if (!MakeRoom(client)) {
      ++closed_["full"];
      log_.Say("modbus refused",
               "Modbus: client " + protocol::DottedText(client) + " refused: " +
                   std::to_string(config_.maxClients) + " clients connected (max_clients), " +
                   std::to_string(PerClient()) + " of an address at the most, none idle");
      continue;
    }
    if (!socket.SetNonBlocking(true)) continue;
    int yes = 1;  // a PLC's scan waits for each answer
    ::setsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const std::uint64_t id = nextId_++;
    Connection& connection = connections_[id];
    connection.socket = std::move(socket);
    connection.client = client;
    connection.heard = Clock::now();
    loop_.Watch(connection.socket.Handle(), POLLIN, [this, id](short) { OnReadable(id); });
    ArmTimer(id, connection.heard + config_.idle);
    log_.Say("modbus client", "Modbus: client " + protocol::DottedText(client) + " connected (" +
                                  std::to_string(connections_.size()) + " now)");
  }
}

void ModbusServer::OnReadable(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;
  std::array<std::uint8_t, kReadAtOnce> buffer;
  const long got = connection.socket.Receive(buffer);
  if (got < 0 && connection.socket.LastErrorIs(EAGAIN)) return;
  if (got <= 0) return Close(id, "", "it disconnected");
  connection.heard = Clock::now();
  std::span<const std::uint8_t> rest(buffer.data(), static_cast<std::size_t>(got));
  while (!rest.empty()) {
    const bool fresh = !connection.reader.Started();
    std::size_t used = 0;
    const auto state = connection.reader.Feed(rest, used);
    rest = rest.subspan(used);
    if (fresh && connection.reader.Started()) {
      connection.begun = connection.heard;
      const auto due = connection.begun + RequestLimit();
      if (due < connection.timerAt) {
        loop_.Cancel(connection.timer);
        ArmTimer(id, due);
      }
    }
    if (state == ModbusReader::State::kFailed) {
      return Close(id, "malformed", "not a Modbus TCP request: " + connection.reader.FailReason());
    }
    if (state == ModbusReader::State::kMore) break;
    if (!Answer(id, connection)) return;
    connection.reader.Next();
  }
}

bool ModbusServer::Answer(std::uint64_t id, Connection& connection) {
  ++requests_;
  const auto adu = connection.reader.Adu();
  const auto parsed = ParseModbusRequest(adu);
  ModbusAnswer answer;
  if (const auto* exception = std::get_if<modbus::Exception>(&parsed)) {
    answer.exception = *exception;
  } else {
    const ModbusRequest& request = std::get<ModbusRequest>(parsed);
    answer = handler_(request, connection.client);
    if (!answer.exception && !answer.registers.empty()) {
      std::uint16_t* table = request.function == modbus::kReadInput ? mapping_->tab_input_registers
                                                                    : mapping_->tab_registers;
      std::copy(answer.registers.begin(), answer.registers.end(), table + request.address);
    }
  }
  if (answer.exception) {
    // Written here: libmodbus adds 0x80 to the function byte, so function
    // 131 would be answered as if it were a normal reply to function 3.
    ++exceptions_[*answer.exception];
    const auto reply = ExceptionAdu(adu, *answer.exception);
    if (connection.socket.Send(reply) != static_cast<long>(reply.size())) {
      Close(id, "unread",
            "its answers are not read: " + platform::ReasonText(connection.socket.LastError()));
      return false;
    }
    return true;
  }
  modbus_set_socket(context_.get(), connection.socket.Handle());
  const int sent =
      modbus_reply(context_.get(), adu.data(), static_cast<int>(adu.size()), mapping_.get());
  const int why = errno;
  modbus_set_socket(context_.get(), -1);
  if (sent < 0) {
    Close(id, "unread",
          "its answers are not read: " + std::error_code(why, std::generic_category()).message());
    return false;
  }
  return true;
}

Clock::duration ModbusServer::RequestLimit() const {
  return std::min<Clock::duration>(kRequestLimit, config_.idle);
}

void ModbusServer::ArmTimer(std::uint64_t id, Clock::time_point when) {
  Connection& connection = connections_.at(id);
  connection.timerAt = when;
  connection.timer = loop_.At(when, [this, id] { OnTimer(id); });
}

void ModbusServer::OnTimer(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;
  // One timer a client, moved on lazily: a request every 10 ms sets none.
  const auto now = Clock::now();
  const auto idleEnds = connection.heard + config_.idle;
  const auto requestEnds =
      connection.reader.Started() ? connection.begun + RequestLimit() : Clock::time_point::max();
  if (now >= requestEnds) {
    return Close(
        id, "unfinished",
        "a request begun was not whole within " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(RequestLimit()).count()) +
            " ms");
  }
  if (now >= idleEnds) {
    return Close(id, "idle",
                 "silent for " + std::to_string(config_.idle.count() / 1000) + " s (idle)");
  }
  ArmTimer(id, std::min(idleEnds, requestEnds));
}

// `reason`: the metric's label when lampd closed it; "" when the client went.
void ModbusServer::Close(std::uint64_t id, std::string_view reason, const std::string& why) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;
  if (!reason.empty()) ++closed_[std::string(reason)];
  log_.Say("modbus closed", "Modbus: client " + protocol::DottedText(connection.client) +
                                (reason.empty() ? ": " : " closed: ") + why);
  loop_.Cancel(connection.timer);
  loop_.Unwatch(connection.socket.Handle());
  connections_.erase(found);
}

void ModbusServer::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_modbus_clients", "gauge", "Modbus clients connected.");
  out.Sample("lampd_modbus_clients", {}, static_cast<double>(connections_.size()));
  out.Family("lampd_modbus_requests_total", "counter", "Modbus requests answered.");
  out.Sample("lampd_modbus_requests_total", {}, static_cast<double>(requests_));
  out.Family("lampd_modbus_exceptions_total", "counter",
             "Modbus requests answered with an exception, by its code.");
  for (int code : {1, 2, 3, 4, 6}) {
    const auto count = exceptions_.find(code);
    out.Sample("lampd_modbus_exceptions_total", {{"code", std::to_string(code)}},
               count == exceptions_.end() ? 0 : static_cast<double>(count->second));
  }
  out.Family("lampd_modbus_closed_total", "counter",
             "Modbus clients refused or closed by lampd, by the reason.");
  for (const char* reason :
       {"refused", "full", "evicted", "malformed", "unfinished", "idle", "unread"}) {
    const auto count = closed_.find(reason);
    out.Sample("lampd_modbus_closed_total", {{"reason", reason}},
               count == closed_.end() ? 0 : static_cast<double>(count->second));
  }
}

}  // namespace lampd
