// The client's reader of reply lines: the envelope kept as text, then read as a packet or as a tree.
#include "fuzz/targets/Check.h"
#include "platform/rpc/NetConnection.h"
#include "platform/rpc/Wire.h"

using namespace age::rpc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    std::optional<Response> whole;
    try {
        whole = parseResponse(line, kMaxResponseBytes);
    } catch (const WireError&) {
    }
    try {
        Response r = parseResponseKeepingResult(line, kMaxResponseBytes);
        if (whole)
            AGE_FUZZ_CHECK(r.id == whole->id && r.byref == whole->byref &&
                           r.error.has_value() == whole->error.has_value());
        if (!r.rawResult.empty()) {
            try {
                envelopeFromText(r.rawResult);
            } catch (const WireError& e) {
                AGE_FUZZ_CHECK(e.code() == code::InternalError);
            }
            try {
                TResult::FromText(r.rawResult).Json();
            } catch (const EConnectionError&) {
            }
        }
    } catch (const WireError&) {
        AGE_FUZZ_CHECK(!whole);  // a line the full reader accepts is accepted by the quick one too
    }
    return 0;
}
