// The codec of the wire protocol: requests, responses, packets, change logs and result envelopes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "platform/rpc/Wire.h"
#include "tests/support/RequestOutcome.h"

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
    // The request is written by hand: names and ids that need escaping, and no params, come back whole.
    const Request odds[] = {{"a\"b", "M\u00f3dulo.\"m\"\n\t\\", json::array({"Reuni\u00e3o", nullptr, 1.5})},
                            {-3, "m", json::array()}};
    for (const Request& odd : odds) {
        Request again = parseRequest(encodeRequest(odd));
        EXPECT_EQ(again.id, odd.id);
        EXPECT_EQ(again.method, odd.method);
        EXPECT_EQ(again.params, odd.params);
        EXPECT_FALSE(again.notification);
    }

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

// Answers are written as text by the server and read from text by the client; both must agree with the
// tree codec, including on the strings JSON has to escape and on what they refuse.
TEST(Wire, TextEnvelopesAgreeWithTheTreeCodec) {
    auto p = bookingLikePacket();
    p.fields[0].size = 40;
    for (const char* nasty : {"a\"b\\c", "tab\there\nnew\rline", "\x01\x1f", "Reunião ☕ 𝄞", "bad \xC3\x28 utf8"})
        p.rows.push_back({std::string(nasty), std::monostate{}, std::monostate{}, std::int64_t{-1}});

    std::string text = okEnvelopeText(p);
    EXPECT_EQ(json::parse(text), json::parse(okEnvelope(p).dump(-1, ' ', false, json::error_handler_t::replace)));
    EXPECT_EQ(envelopeFromText(text).data, envelopeFromJson(json::parse(text)).data);
    EXPECT_EQ(std::get<std::string>(envelopeFromText(text).data->rows.at(2).at(0)), "a\"b\\c");
    EXPECT_FALSE(envelopeFromText(okEnvelopeText()).data);

    json base = okEnvelope(bookingLikePacket());
    const std::function<void(json&)> breakages[] = {
        [](json& j) { j["data"]["rows"][0][0] = 101; },
        [](json& j) { j["data"]["rows"][0][3] = 1.5; },
        [](json& j) { j["data"]["rows"][0][3] = 18446744073709551615ull; },
        [](json& j) { j["data"]["rows"][1].erase(0); },
        [](json& j) { j["data"]["fields"][0]["size"] = "5"; },
        [](json& j) { j["data"]["fields"][1]["type"] = "money"; },
        [](json& j) { j["data"]["fields"][1]["name"] = "CDSALA"; },
        [](json& j) { j["data"] = 5; },
        [](json& j) { j["ok"] = "yes"; },
        [](json& j) { j = json::array(); },
    };
    for (std::size_t i = 0; i < std::size(breakages); ++i) {
        json j = base;
        breakages[i](j);
        EXPECT_EQ(codeOf([&] { envelopeFromText(j.dump()); }), code::InternalError) << "breakage " << i;
    }
    EXPECT_EQ(codeOf([&] { envelopeFromText("{\"ok\":true,"); }), code::InternalError);

    for (const char* refusal : {R"({"ok":false,"error":"Sala ocupada."})", R"({"ok":false})"}) {
        Envelope fromText = envelopeFromText(refusal), fromTree = envelopeFromJson(json::parse(refusal));
        EXPECT_FALSE(fromText.ok);
        EXPECT_EQ(fromText.error, fromTree.error);
    }
}

TEST(Wire, AResponseCanKeepItsResultAsText) {
    std::string result = okEnvelopeText(bookingLikePacket());
    std::string line = R"({"jsonrpc":"2.0","id":"k\"result\"","byref":{"2":"x"},"result":)" + result + "}";
    Response r = parseResponseKeepingResult(line, kMaxResponseBytes);
    EXPECT_EQ(r.id, "k\"result\"");
    EXPECT_EQ(r.byref.at(2), "x");
    EXPECT_EQ(r.rawResult, result);

    Response plain = parseResponseKeepingResult(R"({"jsonrpc":"2.0","id":3,"result":"texto"})", kMaxResponseBytes);
    EXPECT_EQ(plain.rawResult, "\"texto\"");
    // The server's own spelling is read without a tree; its id comes out as the full reader types it.
    for (const char* id : {"0", "42", "999999999999999999", "18446744073709551615", "-1"}) {
        std::string reply = std::string(R"({"jsonrpc":"2.0","id":)") + id + R"(,"result":{"ok":true}})";
        Response quick = parseResponseKeepingResult(reply, kMaxResponseBytes);
        Response full = parseResponse(reply, kMaxResponseBytes);
        EXPECT_EQ(quick.id, full.id) << id;
        EXPECT_EQ(quick.id.type(), full.id.type()) << id;
        EXPECT_EQ(quick.rawResult, R"({"ok":true})");
    }
    for (const char* bad : {R"({"jsonrpc":"2.0","id":07,"result":1})", R"({"jsonrpc":"2.0","id":1.0,"result":1})"})
        EXPECT_NE(codeOf([&] { parseResponseKeepingResult(bad, kMaxResponseBytes); }), 0) << bad;

    for (const char* bad : {R"({"jsonrpc":"2.0","id":1})", R"({"jsonrpc":"2.0","id":1,"result":{"a":1})",
                            R"({"jsonrpc":"2.0","id":1,"result":1,"byref":{"x":"1"}})", "garbage"})
        EXPECT_NE(codeOf([&] { parseResponseKeepingResult(bad, kMaxResponseBytes); }), 0) << bad;
    EXPECT_NE(codeOf([&] { parseResponseKeepingResult(line, line.size() - 1); }), 0);
}

namespace {

std::string nested(std::size_t levels) {
    return std::string(levels, '[') + "1" + std::string(levels, ']');
}

std::string requestWithParam(const std::string& param) {
    return R"({"jsonrpc":"2.0","id":7,"method":"m","params":[)" + param + "]}";
}

}  // namespace

TEST(WireLimits, NestingDeeperThanTheLimitIsRefusedOnBothSidesWithoutReadingTheTree) {
    // The request and the params array take two levels.
    EXPECT_NO_THROW(parseRequest(requestWithParam(nested(kMaxDepth - 2))));
    EXPECT_EQ(codeOf([&] { parseRequest(requestWithParam(nested(kMaxDepth - 1))); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([&] { parseRequest(requestWithParam(nested(150000))); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([&] { parseRequest(requestWithParam("\"[[[[[[[[[[[[[[[[[[[[\"")); }), 0)
        << "brackets inside a string are text";

    std::string deepReply = R"({"jsonrpc":"2.0","id":1,"result":)" + nested(150000) + "}";
    EXPECT_EQ(codeOf([&] { parseResponse(deepReply); }), code::InvalidRequest);
    EXPECT_EQ(codeOf([&] { parseResponseKeepingResult(deepReply, kMaxResponseBytes); }),
              code::InvalidRequest);
    std::string fineReply = R"({"jsonrpc":"2.0","id":1,"result":)" + nested(kMaxDepth - 2) + "}";
    EXPECT_EQ(parseResponseKeepingResult(fineReply, kMaxResponseBytes).rawResult, nested(kMaxDepth - 2));
}

TEST(WireLimits, NumbersBeyondADoubleAreBadParametersOfARequestWhoseIdIsKnown) {
    for (const char* huge : {"1e400", "-1e999", "123e100000"}) {
        std::string line = requestWithParam(std::string("\"a\",") + huge);
        EXPECT_EQ(codeOf([&] { parseRequest(line); }), code::InvalidParams) << huge;
        EXPECT_EQ(requestIdOf(line), 7);
    }
    EXPECT_EQ(parseRequest(requestWithParam("1e300, 18446744073709551616, 1e-400")).params.size(), 3u);
    EXPECT_EQ(codeOf([&] { parseRequest(R"({"jsonrpc":"2.0","id":1e400,"method":"m"})"); }),
              code::InvalidParams);
}

TEST(WireLimits, ARequestWithoutIdIsANotification) {
    EXPECT_TRUE(parseRequest(R"({"jsonrpc":"2.0","method":"m","params":[]})").notification);
    EXPECT_FALSE(parseRequest(R"({"jsonrpc":"2.0","id":null,"method":"m","params":[]})").notification);
    EXPECT_FALSE(parseRequest(requestWithParam("1")).notification);
}

TEST(WireLimits, ClientTextInErrorMessagesIsEscapedAndCut) {
    std::string name(100000, 'n');
    json packet = {{"fields", {{{"name", "F\nforjada"}, {"type", std::string(5000, 't') + "\n"}}}},
                   {"rows", json::array()}};
    try {
        packetFromJson(packet);
        FAIL() << "an unknown type was taken";
    } catch (const WireError& e) {
        std::string message = e.what();
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_LT(message.size(), 200u);
    }
    json log = {{"fields", json::array()}, {"changes", {{{"op", name + "\n"}}}}};
    try {
        changeLogFromJson(log);
        FAIL() << "an unknown op was taken";
    } catch (const WireError& e) {
        EXPECT_LT(std::string(e.what()).size(), 200u);
    }
}

// parseRequest reads plain lines without the JSON tree; for any line it must answer as the tree reader does.
TEST(WirePlainRequests, EveryLineGivesWhatTheTreeReaderGives) {
    const std::string sysdate =
        R"({"jsonrpc":"2.0","id":1,"method":"AGE12100.rdmAgendaSala.GetSysdate","params":[]})";
    const std::string hora =
        R"({"method":"M.GetHora","params":["101","2026-12-07",-7,0],"id":"a b","jsonrpc":"2.0"})";
    const std::string last =
        R"({"jsonrpc":"2.0","id":-3,"method":"m","params":[{"a":[1.5,null,true]},"Sé"]})";
    auto request = [](const std::string& id, const std::string& params) {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"m","params":)" + params + "}";
    };
    std::vector<std::string> lines = {
        sysdate,
        hora,
        last,
        " \t\r\n{ \"jsonrpc\" : \"2.0\" ,\n\"id\"\r:7 ,\"method\":\"m\" , \"params\" : [ ] } \n",
        R"({"jsonrpc":"2.0","method":"m"})",
        R"({"jsonrpc":"2.0","method":"m","params":[1]})",
        R"({"params":[1,{}],"jsonrpc":"2.0","method":"m","id":1})",
        R"({"jsonrpc":"2.0","id":1})",
        R"({"jsonrpc":"2.0","id":1,"method":"a","method":"b"})",
        R"({"jsonrpc":"1.0","jsonrpc":"2.0","method":"m"})",
        R"({"jsonrpc":"2.0","id":1,"id":2,"method":"m"})",
        R"({"jsonrpc":"2.0","params":[1],"method":"m","params":[2]})",
        R"({"jsonrpc":"2.0","ID":1,"method":"m"})",
        R"({"jsonrpc":"2.0","\u0069d":1,"method":"m"})",
        R"({"jsonrpc":"2\u002e0","method":"m"})",
        R"({"jsonrpc":2.0,"method":"m"})",
        R"({"jsonrpc":"2.0","method":"a\u002eb"})",
        R"({"jsonrpc":"2.0","method":"Método"})",
        "{\"jsonrpc\":\"2.0\",\"method\":\"a\x7f\"}",
        "\xEF\xBB\xBF" + sysdate,
        sysdate + std::string(1, '\0'),
        std::string(1, '\0') + sysdate,
        sysdate + "}",
        sysdate + "{}",
        "\v" + sysdate,
        "\xC2\xA0" + sysdate,
        request("1", "[ \n]"),
        request("1", "[1 2]"),
        request("1", std::string("[1.5]\0", 6)),  // the JSON reader takes NUL for the end of its input
        request("1", R"(["a" "b"])"),
        "",
        "{}",
        "[]",
        "null",
        " ",
        R"({"jsonrpc":"2.0","method":"m","params":[)" + std::string(kMaxLineBytes, ' ') + "]}",
        R"({"jsonrpc":"2.0","method":"m","params":[")" + std::string(kMaxLineBytes - 44, 'x') + "\"]}",
        R"({"jsonrpc":"2.0","method":"m","params":[")" + std::string(kMaxLineBytes - 43, 'x') + "\"]}"};
    // Ids and params, one word each.
    std::istringstream ids(
        R"(0 -0 -1 123456789012345678 -999999999999999999 1234567890123456789 9223372036854775807
        9223372036854775808 18446744073709551616 -9223372036854775809 1.0 1e2 -1E2 1e400 01 -01 - +1 .5 null true
        {} [] "" "{}[]:,x" "a\"b" "ç")");
    for (std::string id; ids >> id;) lines.push_back(request(id, "[]"));
    std::istringstream params(
        R"([-0,1,-2] [null] [[1]] [1.5] ["a\nb"] [1,] [,1] [1e400] [18446744073709551616] {}
        "x" null [ ] [1]} [1],"x":2 [[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]])");
    for (std::string param; params >> param;) lines.push_back(request("1", param));
    // Every cut and every byte swapped for one that matters to a reader of JSON.
    for (const std::string& base : {sysdate, hora, last}) {
        for (std::size_t i = 0; i < base.size(); ++i) {
            lines.push_back(base.substr(0, i));
            for (char c : std::string("\0 \"\\}],:0-e\x80\t\v[{", 16))
                lines.push_back(base.substr(0, i) + c + base.substr(i + 1));
        }
    }
    for (const std::string& line : lines)
        EXPECT_EQ(age::test::requestOutcome(parseRequest, line),
                  age::test::requestOutcome(detail::parseRequestThroughTree, line))
            << line.substr(0, 120);

    Request r = parseRequest(request("-0", R"(["101",-5])"));
    EXPECT_EQ(r.id, 0);
    EXPECT_EQ(r.params, json::array({"101", -5}));
}
