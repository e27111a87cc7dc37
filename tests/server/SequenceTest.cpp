// Sequence numbers from the client's side: a new booking stores only a number GetNrSeq handed out for its
// room, once; a client cannot use up a room's numbers, neither with one number of its own nor by asking
// for thousands; and a refused save can be sent again with the same number.
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using namespace std::chrono_literals;

const std::string kBusy = "Muitos seqüenciais pedidos em pouco tempo; tente novamente em instantes.";

std::string fiveDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%05d", n);
    return buf;
}

std::string notHandedOut(const std::string& seq, const std::string& room = "101") {
    return "O seqüencial " + seq + " não foi fornecido pelo servidor para a sala \"" + room +
           "\" ou já foi usado. Inclua o agendamento novamente.";
}

class Sequences : public ServerTest {
  protected:
    std::optional<std::string> insert(const std::string& seq,
                                      NewBooking b = {.start = "0800", .end = "0900"}) {
        return trySave({insertOf(rowOf(b, seq))});
    }
    std::optional<std::string> recurring(const std::string& start, const std::string& end) {
        std::string list = "_08/12/2026_09/12/2026";
        return refused("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A", "Comitê", start,
                                     end, "101"});
    }
};

TEST_P(Sequences, ANumberOfTheClientsOwnIsRefusedAndTheRoomKeepsItsNumbersAcrossARestart) {
    EXPECT_EQ(insert("99999"), notHandedOut("99999"));
    EXPECT_EQ(insert("00001"), notHandedOut("00001"));  // not handed out yet either
    EXPECT_EQ(nextSeq(), "00001");
    EXPECT_EQ(nextSeq("102"), "00001");
    EXPECT_EQ(insert("00001", {.start = "0800", .end = "0900", .room = "102"}), std::nullopt);
    EXPECT_EQ(insert("00002"), notHandedOut("00002"));  // above the counter

    server.stop();
    server.start();
    net.SetConnected(false);
    server.configure(net);
    EXPECT_EQ(nextSeq(), "00002");
    EXPECT_EQ(recurring("1400", "1500"), std::nullopt);  // takes 00003 and 00004
    EXPECT_EQ(nextSeq(), "00005");
    EXPECT_EQ(insert("00001"), std::nullopt);  // handed out before the restart, saved after it
}

TEST_P(Sequences, AHandedOutNumberIsStoredOnceAndNeverAgainAfterItsBookingIsDeleted) {
    std::string seq = nextSeq();
    EXPECT_EQ(insert(seq, {.start = "0800", .end = "0900", .room = "102"}), notHandedOut(seq, "102"));
    EXPECT_EQ(insert(seq), std::nullopt);
    EXPECT_EQ(insert(seq, {.start = "1400", .end = "1500"}),
              "O seqüencial " + seq + " da sala \"101\" já está em uso. Atualize a agenda.");
    EXPECT_EQ(trySave({deleteOf(stored(seq))}), std::nullopt);
    EXPECT_EQ(insert(seq), notHandedOut(seq));
    EXPECT_TRUE(agenda().rows.empty());

    // Two clients sending one number: the first one stores it.
    std::string shared = nextSeq();
    TNetConnection other;
    server.configure(other);
    auto otherSave = [&] {
        return Consiste::CheckResultServ(
            other.AppServer().Call("SetAgendaSala",
                                   {deltaOf({insertOf(rowOf({.start = "1000", .end = "1100"}, shared))})}),
            false, 0);
    };
    EXPECT_NO_THROW(otherSave());
    EXPECT_TRUE(insert(shared, {.start = "1200", .end = "1300"}));
    EXPECT_EQ(agenda().rows.size(), 1u);
}

// The screen keeps the number of a row it could not save and sends it again once the user fixed the row;
// so does a change log refused as a whole.
TEST_P(Sequences, ARefusedSaveCanBeSentAgainWithTheSameNumber) {
    book({.start = "0800", .end = "0900"});
    std::string seq = nextSeq();
    EXPECT_EQ(insert(seq, {.start = "0830", .end = "0930"}), kTaken);
    EXPECT_TRUE(insert(seq, {.start = "0930", .end = "1000", .day = kToday - std::chrono::days(1)}));
    EXPECT_EQ(insert(seq, {.start = "0930", .end = "1000"}), std::nullopt);

    std::string first = nextSeq(), second = nextSeq();
    auto log = [&](const std::string& secondStart) {
        return trySave({insertOf(rowOf({.start = "1100", .end = "1200"}, first)),
                        insertOf(rowOf({.start = secondStart, .end = "1300"}, second))});
    };
    EXPECT_EQ(log("1130"), kTaken);
    EXPECT_EQ(log("1230"), std::nullopt);
    EXPECT_EQ(agenda().rows.size(), 4u);
}

TEST_P(Sequences, AClientAskingForThousandsOfNumbersIsHeldBackAndOthersAreNot) {
    int granted = 0, held = 0;
    std::vector<std::string> other;
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 4000 && held < 1000; ++i) {
        auto refusal = refused("GetNrSeq", {"101", kToday});
        if (!refusal)
            ++granted;
        else if (*refusal == kBusy)
            ++held;
        else
            other.push_back(*refusal);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(other, std::vector<std::string>{});
    EXPECT_EQ(held, 1000);
    // A burst of 200, then 100 a second.
    EXPECT_GE(granted, 200);
    EXPECT_LE(granted, 200 + 100 * seconds + 1);

    TNetConnection fresh;
    server.configure(fresh);
    auto p = Consiste::CheckResultServ(fresh.AppServer().Call("GetNrSeq", {"101", kToday}), false, 0);
    EXPECT_EQ(textOf(p.rows.at(0).at(0)), fiveDigits(granted + 1));
    std::this_thread::sleep_for(50ms);  // five numbers' worth of time
    EXPECT_EQ(refused("GetNrSeq", {"101", kToday}), std::nullopt);
}

AGE_ON_EACH_BACKEND(Sequences);

// The pace is the server's to set (serve --seq-rate): 5 a second after a burst of 10, then the usual refusal.
TEST(SequencePace, TheServerSetsHowManyNumbersAConnectionGetsASecond) {
    TestServer server(ServerSetup{.serveArgs = {"--seq-rate", "5"}});
    LineClient client(server.host(), server.port());
    int granted = 0;
    std::string refusal;
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        auto reply = client.call("GetNrSeq", nlohmann::json::array({"101", "2026-12-08"}), i + 1)["result"];
        if (reply["ok"].get<bool>())
            ++granted;
        else
            refusal = reply["error"].get<std::string>();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(granted, 10);
    EXPECT_LE(granted, 10 + 5 * seconds + 1);
    EXPECT_EQ(refusal, kBusy);
}

}  // namespace
}  // namespace age::test
