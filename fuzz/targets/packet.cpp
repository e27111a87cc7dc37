// Data packets and change logs as the server reads them (an argument of a request line) and as the client
// reads a packet in a result envelope.
#include "fuzz/targets/Check.h"
#include "platform/rpc/Wire.h"

using namespace age::rpc;

namespace {

void serverSide(std::string_view value) {
    std::string line = R"({"jsonrpc":"2.0","id":1,"method":"m","params":[)" + std::string(value) + "]}";
    Request request;
    try {
        request = parseRequest(line);
    } catch (const WireError&) {
        return;
    }
    if (request.params.size() != 1) return;
    const json& arg = request.params[0];
    try {
        age::data::ChangeLog log = changeLogFromJson(arg);
        AGE_FUZZ_CHECK(changeLogFromJson(changeLogToJson(log)) == log);
    } catch (const WireError& e) {
        AGE_FUZZ_CHECK(e.code() == code::InvalidParams);
    }
    try {
        age::data::Packet packet = packetFromJson(arg);
        AGE_FUZZ_CHECK(packetFromJson(packetToJson(packet)) == packet);
        // The server's text writer and the client's text reader agree on every packet the server takes.
        Envelope e = envelopeFromText(okEnvelopeText(packet));
        AGE_FUZZ_CHECK(e.ok && e.data && *e.data == packet);
    } catch (const WireError& e) {
        AGE_FUZZ_CHECK(e.code() == code::InvalidParams);
    }
}

void clientSide(std::string_view value) {
    std::string envelope = R"({"ok":true,"data":)" + std::string(value) + "}";
    try {
        Envelope e = envelopeFromText(envelope);
        if (e.data) AGE_FUZZ_CHECK(envelopeFromText(okEnvelopeText(*e.data)).data == e.data);
    } catch (const WireError& e) {
        AGE_FUZZ_CHECK(e.code() == code::InternalError);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    serverSide(value);
    clientSide(value);
    return 0;
}
