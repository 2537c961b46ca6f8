#include "lamp_commands.h"

#include "tcp_exchanges.h"

namespace lampctl {

protocol::LampFrame StatusFrame() {
  return protocol::WireFrame(protocol::BuildLampFrame(0, 0, 0, true, false));
}

protocol::LampFrame ResetFrame(int model) {
  return protocol::WireFrame(protocol::BuildLampFrame(0, 0, model, false, true));
}

std::vector<UnitAnswer> ExchangeFrame(const std::vector<UnitAddress>& units,
                                      const protocol::LampFrame& frame,
                                      const LampExchangeOptions& options) {
  std::vector<platform::TcpExchange> exchanges;
  for (const UnitAddress& unit : units) {
    exchanges.push_back({platform::SocketAddress::FromBytes(unit.address, unit.port),
                         std::vector<std::uint8_t>(frame.begin(), frame.end())});
  }
  platform::TcpExchangeLimits limits;
  limits.connect = kConnectLimit;
  limits.reply = options.timeout;
  limits.replySize = protocol::kFrameSize;
  limits.parallel = options.parallel;
  const auto results = platform::RunTcpExchanges(exchanges, limits);

  std::vector<UnitAnswer> answers;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const platform::TcpExchangeResult& result = results[i];
    UnitAnswer answer;
    answer.unit = units[i];
    answer.ok = result.ok;
    answer.noSocket = result.failedAt == platform::TcpExchangeResult::Step::kSocket;
    answer.seconds = result.elapsed.count();
    if (result.ok) {
      std::copy(result.reply.begin(), result.reply.end(), answer.reply.begin());
    } else {
      answer.error = result.Reason(limits.connect, limits.reply, limits.replySize);
    }
    answers.push_back(answer);
  }
  return answers;
}

}  // namespace lampctl
