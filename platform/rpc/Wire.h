// The wire protocol shared by the client connection and the application server: one JSON-RPC 2.0
// object per line, positional params, by-reference results in "byref", a result envelope, data packets
// and change logs. Pure functions; malformed input raises WireError with the JSON-RPC code to answer.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/data/Packet.h"

namespace age::rpc {

using json = nlohmann::json;

inline constexpr std::size_t kMaxLineBytes = 1 << 20;  // 1 MiB, the line ending excluded
// Replies may be larger than requests (a day's bookings with long references); the client reads up to this.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{64} << 20;
// Deepest nesting of arrays and objects read from the wire. A real request or reply is 6 levels deep at
// most; the limit is checked before any tree is built, so deep input costs neither stack nor memory.
inline constexpr std::size_t kMaxDepth = 16;

namespace code {
inline constexpr int ParseError = -32700;
inline constexpr int InvalidRequest = -32600;
inline constexpr int MethodNotFound = -32601;
inline constexpr int InvalidParams = -32602;
inline constexpr int InternalError = -32603;
}  // namespace code

// A fault of the protocol: the line or value cannot be read as what it should be.
class WireError : public std::runtime_error {
public:
    WireError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct Request {
    json id;             // number or string; null when the request could not say
    std::string method;  // "Module.Method"
    json params = json::array();
    bool notification = false;  // the line had no "id": it is carried out and not answered
};

struct RpcError {
    int code = code::InternalError;
    std::string message;
};

struct Response {
    json id;
    json result;                         // when no error and no rawResult
    std::string rawResult;               // when not empty: the result's JSON text, written as it is
    std::map<int, std::string> byref;    // final values of by-reference arguments, by 0-based position
    std::optional<RpcError> error;
};

// Lines carry no trailing '\n'; the transport adds and strips it.
std::string encodeRequest(const Request& request);
// Throws WireError: ParseError for a line that is not JSON, InvalidRequest for a line over the limit, nested
// deeper than kMaxDepth or a value that is not a request (wrong members or kinds), InvalidParams for a
// number beyond a double's range. Its id is recovered where possible (requestIdOf).
Request parseRequest(std::string_view line);
// The id of a line that failed parseRequest, when one can be read (else null).
json requestIdOf(std::string_view line);

namespace detail {
// parseRequest without its shortcut for plain lines: every line is read as a JSON tree. Tests and the fuzz
// target check that both readers give the same request or the same error.
Request parseRequestThroughTree(std::string_view line);
}  // namespace detail

std::string encodeResponse(const Response& response);
// Throws WireError on a line that is not a response, is longer than `maxBytes` or nested deeper than
// kMaxDepth.
Response parseResponse(std::string_view line);
Response parseResponse(std::string_view line, std::size_t maxBytes);
// As parseResponse, but the result is kept as its JSON text in rawResult (result stays null): a packet of
// hundreds of rows is then read once, straight into rows (envelopeFromText), never as a JSON tree.
Response parseResponseKeepingResult(std::string_view line, std::size_t maxBytes);
Response errorResponse(const json& id, int code, const std::string& message);

// Splits "AGE12100.rdmAgendaSala.GetHora" into module and method at the last dot.
std::pair<std::string, std::string> splitMethod(std::string_view method);

// Data values and dates.
json valueToJson(const data::Value& value, data::FieldType type);
// Throws WireError(InvalidParams) when the JSON value does not fit the field type.
data::Value valueFromJson(const json& value, data::FieldType type);

json packetToJson(const data::Packet& packet);
data::Packet packetFromJson(const json& j);  // throws WireError(InvalidParams)
json changeLogToJson(const data::ChangeLog& log);
data::ChangeLog changeLogFromJson(const json& j);  // throws WireError(InvalidParams)

// The result envelope of every method but GetPesqSala.
struct Envelope {
    bool ok = false;
    std::optional<data::Packet> data;  // ok with data null gives nullopt
    std::string error;                 // the user's message when not ok
};
json okEnvelope(const std::optional<data::Packet>& packet = std::nullopt);
// The same envelope as JSON text, written straight from the packet: the server's answers carry hundreds of
// rows, and building a JSON tree for them first costs more than the database read.
std::string okEnvelopeText(const std::optional<data::Packet>& packet = std::nullopt);
json errorEnvelope(const std::string& message);
Envelope envelopeFromJson(const json& j);  // throws WireError(InternalError) on a result that is no envelope
Envelope envelopeFromText(std::string_view text);  // the same, from the result's JSON text

}  // namespace age::rpc
