// The administration commands on each backend.
#include <set>

#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using Admin = BackendParamTest;

TEST_P(Admin, RoomsAndOperatorsAreAddedOnceAndListedByCodeAndInitKeepsThem) {
    TestServer server{onBackend({.rooms = {}, .operators = {}, .start = false})};
    std::string out;
    EXPECT_EQ(server.admin({"room", "add", "B2", "Sala Bê"}), 0);
    EXPECT_EQ(server.admin({"room", "add", "A1", "Sala Á"}), 0);
    EXPECT_EQ(server.admin({"room", "add", "A1", "Outra"}, &out), 1);
    EXPECT_NE(out.find("room A1 exists already"), std::string::npos) << out;
    EXPECT_EQ(server.admin({"room", "add", "123456", "Longa"}, &out), 1);
    EXPECT_NE(out.find("the room code must have 1 to 5 characters"), std::string::npos) << out;
    EXPECT_EQ(server.admin({"room", "add", "C3", std::string(31, 'n')}), 1);

    EXPECT_EQ(server.admin({"operator", "add", "joao.silva", "João da Silva"}), 0);
    EXPECT_EQ(server.admin({"operator", "add", "joao.silva", "Outro"}), 1);
    EXPECT_EQ(server.admin({"operator", "add", std::string(13, 'o'), "Longo"}), 1);

    EXPECT_EQ(server.admin({"init"}), 0);  // once more: idempotent
    EXPECT_EQ(server.admin({"room", "list"}, &out), 0);
    EXPECT_EQ(out, "A1\tSala Á\nB2\tSala Bê\n");
    EXPECT_EQ(server.admin({"operator", "list"}, &out), 0);
    EXPECT_EQ(out, "joao.silva\tJoão da Silva\n");
}

TEST_P(Admin, DemoSeedsAWeekAroundTodayAndRunningItTwiceAddsNothing) {
    TestServer server{onBackend({.rooms = {}, .operators = {}, .demo = true})};
    TNetConnection net;
    server.configure(net);
    auto bookings = [&] {
        std::vector<Row> rows;
        for (int d = -4; d <= 4; ++d) {
            auto day = kToday + std::chrono::days(d);
            auto p = Consiste::CheckResultServ(net.AppServer().Call("GetAgendaSala", {"101", day}), false, 0);
            EXPECT_TRUE((d != -4 && d != 4) || p.rows.empty()) << d;
            rows.insert(rows.end(), p.rows.begin(), p.rows.end());
        }
        return rows;
    };
    EXPECT_GE(Consiste::CheckResultServ(net.AppServer().Call("GetSala"), false, 0).rows.size(), 3u);
    auto first = bookings();
    EXPECT_GT(first.size(), 7u);
    std::set<std::string> statuses;
    for (const auto& r : first) {
        statuses.insert(textOf(r[IDSIT]));
        EXPECT_FALSE(data::isNull(r[NMOPERADOR]));
    }
    EXPECT_EQ(statuses, (std::set<std::string>{"A", "C", "E"}));
    std::string out;
    EXPECT_EQ(server.admin({"demo", "--now", "2026-12-07T10:00:00"}, &out), 0) << out;
    EXPECT_EQ(bookings(), first);
}

AGE_ON_EACH_BACKEND(Admin);

}  // namespace
}  // namespace age::test
