#include "platform/rpc/CheckResult.h"

#include "platform/rpc/ErrorReporter.h"
#include "platform/rpc/Wire.h"

namespace Consiste {

age::data::Packet CheckResultServ(const nlohmann::json& result, bool showMessage, int /*flags*/) {
    age::rpc::Envelope envelope;
    try {
        envelope = age::rpc::envelopeFromJson(result);
    } catch (const age::rpc::WireError& e) {
        envelope.ok = false;
        envelope.error = std::string("Resposta inesperada do servidor de aplicação: ") + e.what();
    }
    if (!envelope.ok) {
        if (showMessage) age::rpc::ReportError(envelope.error);
        throw EServerError(envelope.error);
    }
    return envelope.data ? std::move(*envelope.data) : age::data::Packet{};
}

}  // namespace Consiste
