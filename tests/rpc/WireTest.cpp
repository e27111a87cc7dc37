// The codec of the wire protocol: requests, responses, packets, change logs and result envelopes.
#include <gtest/gtest.h>

#include <functional>

#include "platform/rpc/Wire.h"

using namespace age;
using namespace age::rpc;
using data::FieldType;

namespace {

data::Packet bookingLikePacket() {
    data::Packet p;
    p.fields = {{"CDSALA", FieldType::String, 5},
                {"DTATIAGESALA", FieldType::Date, 0},
                {"DTINCAGESALA", FieldType::DateTime, 0},
                {"QT", FieldType::Integer, 0}};
    p.rows = {
        {std::string("101"), makeDate(2026, 12, 7), makeDateTime(2026, 12, 7, 10, 0, 0), std::int64_t{3}},
        {std::string("Sé"), std::monostate{}, std::monostate{}, std::monostate{}}};
    return p;
}

int codeOf(auto&& fn) {
    try {
        fn();
    } catch (const WireError& e) {
        return e.code();
    }
    return 0;
}

}  // namespace

TEST(Wire, RequestsRoundTripAndMalformedOnesGiveTheirJsonRpcCodes) {
    Request r{7, "AGE12100.rdmAgendaSala.GetHora", json::array({"101", "2026-12-07"})};
    std::string line = encodeRequest(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    Request back = parseRequest(line);
    EXPECT_EQ(back.id, 7);
    EXPECT_EQ(back.method, r.method);
    EXPECT_EQ(back.params, r.params);
    EXPECT_EQ(splitMethod(back.method),
              std::make_pair(std::string("AGE12100.rdmAgendaSala"), std::string("GetHora")));

    const std::pair<std::string, int> malformed[] = {
        {"{not json", code::ParseError},
        {"", code::ParseError},
        {"[1,2]", code::InvalidRequest},
        {R"({"jsonrpc":"1.0","id":1,"method":"x"})", code::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":5})", code::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":{},"method":"m"})", code::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":1}})", code::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":[")" + std::string(kMaxLineBytes, 'x') + "\"]}",
         code::InvalidRequest},
    };
    for (const auto& [text, code] : malformed)
        EXPECT_EQ(codeOf([&] { parseRequest(text); }), code) << text.substr(0, 60);
    EXPECT_EQ(requestIdOf(R"({"jsonrpc":"1.0","id":"abc"})"), "abc");
    EXPECT_TRUE(requestIdOf("garbage").is_null());
}

// Round trips of responses, change logs and envelopes are covered by the connection and server tests.
TEST(Wire, MalformedResponsesAreRefused) {
    for (const char* bad :
         {R"({"jsonrpc":"2.0","id":1})", R"({"jsonrpc":"2.0","id":1,"result":1,"byref":{"x":"1"}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":"x"}})"})
        EXPECT_NE(codeOf([&] { parseResponse(bad); }), 0) << bad;
}

TEST(Wire, PacketsRoundTripEveryKindOfValueAndRefuseRowsThatDoNotMatchTheirFields) {
    auto p = bookingLikePacket();
    json base = packetToJson(p);
    EXPECT_EQ(base["rows"][0][1], "2026-12-07");
    EXPECT_EQ(base["rows"][0][2], "2026-12-07T10:00:00");
    EXPECT_TRUE(base["rows"][1][1].is_null());
    EXPECT_EQ(base["fields"][0]["size"], 5);
    EXPECT_EQ(packetFromJson(json::parse(base.dump())), p);

    const std::function<void(json&)> breakages[] = {
        [](json& j) { j["rows"][0].erase(0); },              // short row
        [](json& j) { j["rows"][0][0] = 101; },              // number in a string
        [](json& j) { j["rows"][0][0] = "123456"; },         // too long
        [](json& j) { j["rows"][0][1] = "07/12/2026"; },     // wrong date form
        [](json& j) { j["fields"][1]["type"] = "money"; },   // unknown type
        [](json& j) { j["fields"][1]["name"] = "CDSALA"; },  // duplicate name
        [](json& j) { j.erase("rows"); },
        [](json& j) { j = json::array(); },
    };
    for (std::size_t i = 0; i < std::size(breakages); ++i) {
        json j = base;
        breakages[i](j);
        EXPECT_EQ(codeOf([&] { packetFromJson(j); }), code::InvalidParams) << "breakage " << i;
    }
}
