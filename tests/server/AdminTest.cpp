// The administration commands on each backend.
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

class Admin : public BackendParamTest {
  protected:
    TestServer server{onBackend({.rooms = {}, .operators = {}, .start = false})};
};

class AdminDemo : public BackendParamTest {
  protected:
    TestServer server{onBackend({.rooms = {}, .operators = {}, .demo = true})};
};

TEST_P(Admin, RoomsAndOperatorsAreAddedAndListedByCode) {
    std::string out;
    EXPECT_EQ(server.admin({"room", "add", "B2", "Sala Bê"}), 0);
    EXPECT_EQ(server.admin({"room", "add", "A1", "Sala Á"}), 0);
    EXPECT_EQ(server.admin({"room", "list"}, &out), 0);
    EXPECT_EQ(out, "A1\tSala Á\nB2\tSala Bê\n");

    EXPECT_EQ(server.admin({"room", "add", "A1", "Outra"}, &out), 1);
    EXPECT_NE(out.find("room A1 exists already"), std::string::npos) << out;
    EXPECT_EQ(server.admin({"room", "add", "123456", "Longa"}, &out), 1);
    EXPECT_NE(out.find("the room code must have 1 to 5 characters"), std::string::npos) << out;
    EXPECT_EQ(server.admin({"room", "add", "C3", std::string(31, 'n')}), 1);

    EXPECT_EQ(server.admin({"operator", "add", "joao.silva", "João da Silva"}), 0);
    EXPECT_EQ(server.admin({"operator", "add", "joao.silva", "Outro"}), 1);
    EXPECT_EQ(server.admin({"operator", "add", std::string(13, 'o'), "Longo"}), 1);
    EXPECT_EQ(server.admin({"operator", "list"}, &out), 0);
    EXPECT_EQ(out, "joao.silva\tJoão da Silva\n");
}

TEST_P(Admin, InitIsIdempotentAndKeepsTheData) {
    ASSERT_EQ(server.admin({"room", "add", "101", "Sala 101"}), 0);
    std::string out;
    EXPECT_EQ(server.admin({"init"}), 0);
    EXPECT_EQ(server.admin({"init"}), 0);
    EXPECT_EQ(server.admin({"room", "list"}, &out), 0);
    EXPECT_EQ(out, "101\tSala 101\n");
}

TEST_P(AdminDemo, SeedsAWeekAroundTodayAndRunningItTwiceAddsNothing) {
    TNetConnection net;
    server.configure(net);
    auto count = [&] {
        std::size_t bookings = 0;
        std::set<std::string> statuses;
        for (int d = -4; d <= 4; ++d) {
            auto day = kToday + std::chrono::days(d);
            Packet p =
                Consiste::CheckResultServ(net.AppServer().Call("GetAgendaSala", {"101", day}), false, 0);
            if (d == -4 || d == 4) {
                EXPECT_TRUE(p.rows.empty()) << d;
            }
            bookings += p.rows.size();
            for (const auto& r : p.rows) {
                statuses.insert(textOf(r[IDSIT]));
                EXPECT_FALSE(data::isNull(r[NMOPERADOR]));
            }
        }
        EXPECT_EQ(statuses, (std::set<std::string>{"A", "C", "E"}));
        return bookings;
    };
    Packet rooms = Consiste::CheckResultServ(net.AppServer().Call("GetSala"), false, 0);
    EXPECT_GE(rooms.rows.size(), 3u);
    std::size_t first = count();
    EXPECT_GT(first, 7u);
    std::string out;
    EXPECT_EQ(server.admin({"demo", "--now", "2026-12-07T10:00:00"}, &out), 0) << out;
    EXPECT_EQ(count(), first);
}

AGE_ON_EACH_BACKEND(Admin);
AGE_ON_EACH_BACKEND(AdminDemo);

}  // namespace
}  // namespace age::test
