// The server's reader of request lines (and of their ids, for the error answer).
#include <cstdio>

#include "fuzz/targets/Check.h"
#include "platform/rpc/Wire.h"
#include "tests/support/RequestOutcome.h"

using namespace age::rpc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    // The shortcut for plain lines gives what the tree reader gives, errors included.
    std::string fast = age::test::requestOutcome(parseRequest, line);
    std::string tree = age::test::requestOutcome(detail::parseRequestThroughTree, line);
    if (fast != tree) std::fprintf(stderr, "fast: %s\ntree: %s\n", fast.c_str(), tree.c_str());
    AGE_FUZZ_CHECK(fast == tree);
    try {
        Request r = parseRequest(line);
        // What was read is written and read back unchanged: the client's writer and the server agree.
        Request again = parseRequest(encodeRequest(r));
        AGE_FUZZ_CHECK(again.id == r.id && again.method == r.method && again.params == r.params);
    } catch (const WireError& e) {
        AGE_FUZZ_CHECK(e.code() == code::ParseError || e.code() == code::InvalidRequest ||
                       e.code() == code::InvalidParams);
        json id = requestIdOf(line);
        AGE_FUZZ_CHECK(id.is_null() || id.is_number_integer() || id.is_string());
    }
    return 0;
}
