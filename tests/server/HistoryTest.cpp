// The history: one row per booking a call changed, written with the change and gone with a refusal; the
// administration commands; `age-server history` and its filters, and pruning. On each backend.
#include <sstream>

#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) rows.push_back(json::parse(line));
    return rows;
}

std::vector<std::string> column(const std::vector<json>& rows, const char* key) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r[key].is_string() ? r[key].get<std::string>() : r[key].dump());
    return out;
}

bool accepted(const json& response) {
    return response.contains("result") && response["result"].value("ok", false);
}

class History : public BackendParamTest {
  protected:
    void SetUp() override {
        BackendParamTest::SetUp();
        if (IsSkipped()) return;
        ana.emplace(server.host(), server.port());
        json r = ana->callFull("Session.Login", json::array({"ana", "senha-da-ana"}));
        ASSERT_TRUE(accepted(r)) << r;
    }

    std::vector<json> history(std::vector<std::string> filters) {
        std::vector<std::string> args{"history", "--json"};
        args.insert(args.end(), filters.begin(), filters.end());
        std::string out;
        EXPECT_EQ(server.admin(args, &out), 0) << out;
        return jsonLines(out);
    }
    // A number the server hands out, as a new booking must carry.
    std::string takeSeq() {
        json r = ana->call("GetNrSeq", json::array({"101", "2026-12-07"}));
        return r.at("result").at("data").at("rows").at(0).at(0).get<std::string>();
    }
    json save(std::vector<data::Change> changes) {
        return ana->call("SetAgendaSala", json::array({deltaOf(std::move(changes))}));
    }

    TestServer server{onBackend({.auth = "password",
                                 .passwords = {{"ana", "senha-da-ana"}},
                                 .serveArgs = {"--login-delay-ms", "1"}})};
    std::optional<LineClient> ana;
};

TEST_P(History, EveryBookingAChangeTouchesHasItsRowAndARefusedCallLeavesNone) {
    Row booked = rowOf({.start = "0800", .end = "0900"}, takeSeq());
    ASSERT_TRUE(accepted(save({insertOf(booked)})));
    const std::string spare = takeSeq(), spare2 = takeSeq();  // refused calls leave them pending
    // Refused: an overlap; a log whose second change clashes (the first is undone with it); impersonation.
    EXPECT_FALSE(accepted(save({insertOf(rowOf({.start = "0830", .end = "0930"}, spare))})));
    EXPECT_FALSE(accepted(save({insertOf(rowOf({.start = "1000", .end = "1100"}, spare)),
                                insertOf(rowOf({.start = "1030", .end = "1130"}, spare2))})));
    EXPECT_FALSE(accepted(save({insertOf(rowOf({.start = "1400", .end = "1500", .operatorCode = "bruno"}, spare))})));
    ASSERT_EQ(history({"--room", "101"}).size(), 1u);

    Row renamed = with(booked, DSAGENDA, std::string("Planejamento"));
    ASSERT_TRUE(accepted(save({updateOf(booked, renamed)})));
    ASSERT_TRUE(accepted(ana->call("SetHrSala", json::array({"0001", "ana", "_08/12/2026_09/12/2026", "", "A",
                                                             "Semanal", "0800", "0900", "101"}))));
    ASSERT_TRUE(accepted(save({deleteOf(renamed)})));

    auto rows = history({"--room", "101"});
    EXPECT_EQ(column(rows, "operation"), (std::vector<std::string>{"delete", "insert", "insert", "update", "insert"}));
    EXPECT_EQ(column(rows, "method"), (std::vector<std::string>{"SetAgendaSala", "SetHrSala", "SetHrSala",
                                                                "SetAgendaSala", "SetAgendaSala"}));
    EXPECT_EQ(column(rows, "operator"), std::vector<std::string>(5, "ana"));
    for (const auto& r : rows) {
        EXPECT_TRUE(r["address"].get<std::string>().starts_with("127.0.0.1:")) << r;
        EXPECT_EQ(r["when"], "2026-12-07T10:00:00") << r;  // the server's (pinned) clock
    }
    const json& update = rows[3];
    EXPECT_EQ(update["seq"], "00001");
    EXPECT_EQ(update["day"], "2026-12-07");
    EXPECT_EQ(update["old"]["DSAGENDASALA"], "Reunião de equipe");
    EXPECT_EQ(update["new"]["DSAGENDASALA"], "Planejamento");
    EXPECT_EQ(update["new"]["CDOPERADOR"], "ana");
    EXPECT_FALSE(update["new"].contains("NMOPERADOR"));
    EXPECT_TRUE(rows[0]["new"].is_null());
    EXPECT_EQ(rows[0]["old"]["DSAGENDASALA"], "Planejamento");
    EXPECT_TRUE(rows[4]["old"].is_null());
    EXPECT_EQ(rows[4]["new"]["HRINIAGESALA"], "0800");

    // Filters combine.
    EXPECT_EQ(history({"--seq", "00001"}).size(), 3u);
    EXPECT_EQ(column(history({"--day", "2026-12-09"}), "method"), std::vector<std::string>{"SetHrSala"});
    EXPECT_EQ(history({"--room", "102"}).size(), 0u);
    EXPECT_EQ(history({"--room", "101", "--operator", "bruno"}).size(), 0u);
    EXPECT_EQ(history({"--room", "101", "--since", "2026-12-07"}).size(), 5u);
    EXPECT_EQ(history({"--room", "101", "--since", "2026-12-08"}).size(), 0u);
    EXPECT_EQ(column(history({"--operator", "ana", "--room", "101", "--seq", "00004"}), "operation"),
              std::vector<std::string>{"insert"});  // the first day of SetHrSala took 00004

    std::string table;
    ASSERT_EQ(server.admin({"history", "--seq", "00001"}, &table), 0);
    EXPECT_TRUE(table.starts_with("WHEN ")) << table;
    EXPECT_NE(table.find("DSAGENDASALA: Reunião de equipe -> Planejamento"), std::string::npos) << table;
    EXPECT_NE(table.find("0800-0900 A ana \"Reunião de equipe\""), std::string::npos) << table;
    EXPECT_EQ(server.admin({"history", "--day", "07/12/2026"}, &table), 1);
}

TEST_P(History, TheTableShowsControlCharactersOfAClientsTextEscaped) {
    // ESC and the one-byte CSI (U+009B) a terminal would obey, and a line break that would forge a row.
    const std::string reference =
        "Limpa\x1b[2J tela\xc2\x9b"
        "31m\nlinha forjada";
    ASSERT_TRUE(accepted(
        save({insertOf(rowOf({.start = "0800", .end = "0900", .reference = reference}, takeSeq()))})));
    ASSERT_EQ(history({"--room", "101"}).at(0)["new"]["DSAGENDASALA"], reference);  // stored as it came

    std::string table;
    ASSERT_EQ(server.admin({"history", "--room", "101"}, &table), 0);
    EXPECT_NE(table.find("\"Limpa\\x1b[2J tela\\x9b31m\\nlinha forjada\""), std::string::npos) << table;
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_EQ(table.find("\xc2\x9b"), std::string::npos);
    EXPECT_EQ(table.find("\nlinha forjada"), std::string::npos);
}

TEST_P(History, SignInsAndAdministrationCommandsAreRecordedAndPruningRecordsItself) {
    ASSERT_EQ(server.admin({"room", "add", "900", "Sala 900"}), 0);
    ASSERT_EQ(server.admin({"operator", "disable", "bruno"}), 0);
    ASSERT_EQ(server.admin({"session", "revoke", "ana"}), 0);
    auto rows = history({});
    ASSERT_GE(rows.size(), 4u);
    EXPECT_EQ(column(rows, "method"),
              (std::vector<std::string>{"session revoke", "operator disable", "room add", "operator password",
                                        "operator add", "operator add", "room add", "room add", "room add",
                                        "Session.Login"}));
    EXPECT_TRUE(rows[0]["address"].get<std::string>().starts_with("local:")) << rows[0];
    EXPECT_EQ(rows[2]["new"]["CDSALA"], "900");
    for (const auto& r : rows) EXPECT_EQ(r.dump().find("senha-da-ana"), std::string::npos) << r;

    std::string out;
    ASSERT_EQ(server.admin({"history", "prune", "--before", "2026-12-08"}, &out), 0) << out;
    EXPECT_TRUE(out.starts_with("removed ")) << out;
    rows = history({});
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0]["method"], "history prune");
    EXPECT_EQ(rows[0]["new"]["before"], "2026-12-08");
    for (const auto& r : rows) EXPECT_NE(r["method"], "Session.Login");  // written at the pinned 2026-12-07
}

AGE_ON_EACH_BACKEND(History);

}  // namespace
}  // namespace age::test
