#include "platform/rpc/CheckResult.h"

#include <iostream>

#include "platform/rpc/ErrorReporter.h"
#include "platform/rpc/Wire.h"

namespace Consiste {
namespace {

template <typename Read>
age::data::Packet checked(Read read, bool showMessage) {
    age::rpc::Envelope envelope;
    try {
        envelope = read();
    } catch (const age::rpc::WireError& e) {
        // The user gets the sentence; the reader's detail goes to the log.
        std::cerr << "resposta ilegível do servidor de aplicação: " << e.what() << std::endl;
        envelope.ok = false;
        envelope.error = "Resposta inesperada do servidor de aplicação.";
    }
    if (!envelope.ok) {
        if (showMessage) age::rpc::ReportError(envelope.error);
        throw EServerError(envelope.error);
    }
    return envelope.data ? std::move(*envelope.data) : age::data::Packet{};
}

}  // namespace

age::data::Packet CheckResultServ(const nlohmann::json& result, bool showMessage, int /*flags*/) {
    return checked([&] { return age::rpc::envelopeFromJson(result); }, showMessage);
}

age::data::Packet CheckResultServ(const TResult& result, bool showMessage, int /*flags*/) {
    if (result.Text().empty()) return CheckResultServ(result.Json(), showMessage, 0);
    return checked([&] { return age::rpc::envelopeFromText(result.Text()); }, showMessage);
}

}  // namespace Consiste
