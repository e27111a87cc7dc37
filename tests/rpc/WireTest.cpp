#include <gtest/gtest.h>

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
    p.rows = {{std::string("101"), makeDate(2026, 12, 7), makeDateTime(2026, 12, 7, 10, 0, 0), std::int64_t{3}},
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

TEST(Wire, RequestRoundTripKeepsIdMethodAndPositionalParams) {
    Request r{7, "AGE12100.rdmAgendaSala.GetHora", json::array({"101", "2026-12-07"})};
    std::string line = encodeRequest(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    Request back = parseRequest(line);
    EXPECT_EQ(back.id, 7);
    EXPECT_EQ(back.method, r.method);
    EXPECT_EQ(back.params, r.params);
    EXPECT_EQ(splitMethod(back.method), std::make_pair(std::string("AGE12100.rdmAgendaSala"), std::string("GetHora")));
}

TEST(Wire, MalformedRequestsGiveTheirJsonRpcCodes) {
    EXPECT_EQ(codeOf([] { parseRequest("{not json"); }), code::ParseError);
    EXPECT_EQ(codeOf([] { parseRequest(""); }), code::ParseError);
    EXPECT_EQ(codeOf([] { parseRequest("[1,2]"); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([] { parseRequest(R"({"jsonrpc":"1.0","id":1,"method":"x"})"); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([] { parseRequest(R"({"jsonrpc":"2.0","id":1,"method":5})"); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([] { parseRequest(R"({"jsonrpc":"2.0","id":{},"method":"m"})"); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([] { parseRequest(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":1}})"); }),
              code::InvalidRequest);
    std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"m","params":[")" + std::string(kMaxLineBytes, 'x') + "\"]}";
    EXPECT_EQ(codeOf([&] { parseRequest(huge); }), code::InvalidRequest);
    EXPECT_EQ(requestIdOf(R"({"jsonrpc":"1.0","id":"abc"})"), "abc");
    EXPECT_TRUE(requestIdOf("garbage").is_null());
}

TEST(Wire, ResponsesCarryResultByrefOrError) {
    Response ok;
    ok.id = 3;
    ok.result = "1_14/12/2026";
    ok.byref[2] = "_21/12/2026";
    Response back = parseResponse(encodeResponse(ok));
    EXPECT_FALSE(back.error);
    EXPECT_EQ(back.result, "1_14/12/2026");
    EXPECT_EQ(back.byref.at(2), "_21/12/2026");

    Response err = parseResponse(encodeResponse(errorResponse(4, code::MethodNotFound, "no such method")));
    ASSERT_TRUE(err.error);
    EXPECT_EQ(err.error->code, code::MethodNotFound);
    EXPECT_EQ(err.error->message, "no such method");

    EXPECT_NE(codeOf([] { parseResponse(R"({"jsonrpc":"2.0","id":1})"); }), 0);
    EXPECT_NE(codeOf([] { parseResponse(R"({"jsonrpc":"2.0","id":1,"result":1,"byref":{"x":"1"}})"); }), 0);
    EXPECT_NE(codeOf([] { parseResponse(R"({"jsonrpc":"2.0","id":1,"error":{"code":"x"}})"); }), 0);
}

TEST(Wire, PacketRoundTripPreservesEveryKindOfValue) {
    auto p = bookingLikePacket();
    json j = packetToJson(p);
    EXPECT_EQ(j["rows"][0][1], "2026-12-07");
    EXPECT_EQ(j["rows"][0][2], "2026-12-07T10:00:00");
    EXPECT_TRUE(j["rows"][1][1].is_null());
    EXPECT_EQ(j["fields"][0]["size"], 5);
    EXPECT_EQ(packetFromJson(json::parse(j.dump())), p);
}

TEST(Wire, PacketRefusesRowsThatDoNotMatchTheirFields) {
    auto base = packetToJson(bookingLikePacket());
    auto bad = [&](auto mutate) {
        json j = base;
        mutate(j);
        return codeOf([&] { packetFromJson(j); });
    };
    EXPECT_EQ(bad([](json& j) { j["rows"][0].erase(0); }), code::InvalidParams);             // short row
    EXPECT_EQ(bad([](json& j) { j["rows"][0][0] = 101; }), code::InvalidParams);             // number in a string
    EXPECT_EQ(bad([](json& j) { j["rows"][0][0] = "123456"; }), code::InvalidParams);        // too long
    EXPECT_EQ(bad([](json& j) { j["rows"][0][1] = "07/12/2026"; }), code::InvalidParams);    // wrong date form
    EXPECT_EQ(bad([](json& j) { j["fields"][1]["type"] = "money"; }), code::InvalidParams);  // unknown type
    EXPECT_EQ(bad([](json& j) { j["fields"][1]["name"] = "CDSALA"; }), code::InvalidParams); // duplicate name
    EXPECT_EQ(bad([](json& j) { j.erase("rows"); }), code::InvalidParams);
    EXPECT_EQ(codeOf([] { packetFromJson(json::array()); }), code::InvalidParams);
}

TEST(Wire, ChangeLogRoundTripAndShapeChecks) {
    auto p = bookingLikePacket();
    data::ChangeLog log{p.fields,
                        {{data::ChangeOp::Insert, {}, p.rows[0]},
                         {data::ChangeOp::Update, p.rows[0], p.rows[1]},
                         {data::ChangeOp::Delete, p.rows[1], {}}}};
    json j = changeLogToJson(log);
    EXPECT_EQ(j["changes"][0]["op"], "insert");
    EXPECT_FALSE(j["changes"][0].contains("old"));
    EXPECT_EQ(changeLogFromJson(j), log);

    json noOld = j;
    noOld["changes"][1].erase("old");
    EXPECT_EQ(codeOf([&] { changeLogFromJson(noOld); }), code::InvalidParams);
    json badOp = j;
    badOp["changes"][0]["op"] = "upsert";
    EXPECT_EQ(codeOf([&] { changeLogFromJson(badOp); }), code::InvalidParams);
}

TEST(Wire, EnvelopeOkErrorAndNonsense) {
    auto ok = envelopeFromJson(okEnvelope(bookingLikePacket()));
    EXPECT_TRUE(ok.ok);
    ASSERT_TRUE(ok.data);
    EXPECT_EQ(ok.data->rows.size(), 2u);
    EXPECT_FALSE(envelopeFromJson(okEnvelope()).data);

    auto err = envelopeFromJson(errorEnvelope("Sala já está reservada para este horário."));
    EXPECT_FALSE(err.ok);
    EXPECT_EQ(err.error, "Sala já está reservada para este horário.");

    EXPECT_EQ(codeOf([] { envelopeFromJson("1"); }), code::InternalError);
    EXPECT_EQ(codeOf([] { envelopeFromJson(json{{"ok", true}, {"data", {{"fields", 1}}}}); }), code::InternalError);
}
