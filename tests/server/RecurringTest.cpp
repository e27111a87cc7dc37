// GetPesqSala and SetHrSala: which listed days are taken, and the bookings made on the free ones.
#include <set>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using std::chrono::days;

std::string listOf(std::initializer_list<Date> dates) {
    std::string s;
    for (Date d : dates) s += "_" + formatShortDate(d);
    return s;
}

std::string everyDay(Date from, Date to) {
    return buildDateList(from, to, {true, true, true, true, true, true, true});
}

class Recurring : public ServerTest {
  protected:
    // The template: 08:00-09:00 today. Taken on days 2 and 5 by overlapping bookings; days 3 and 4 hold
    // bookings that do not count (other hours, cancelled).
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        model = book({.start = "0800", .end = "0900"});
        book({.start = "0830", .end = "0930", .day = kToday + days(2)});
        book({.start = "0900", .end = "1000", .day = kToday + days(5)});  // touches 09:00: taken
        book({.start = "1000", .end = "1100", .day = kToday + days(3)});
        std::string gone = book({.start = "0800", .end = "0900", .day = kToday + days(4)});
        Row old = storedWithoutName(gone, "101", kToday + days(4)), cancelled = old;
        cancelled[IDSIT] = std::string("C");
        ASSERT_EQ(trySave({updateOf(old, cancelled)}), std::nullopt);
    }

    std::string pesq(std::string& list, const std::string& seq) {
        return call("GetPesqSala", {"0001", "101", TAppServer::Arg::Ref(list), seq}).get<std::string>();
    }
    json hrSala(std::string& list, const std::string& status = "A", const std::string& start = "0800",
                const std::string& end = "0900", const std::string& reference = "Comitê semanal",
                const std::string& room = "101") {
        return call("SetHrSala", {"0001", "bruno", TAppServer::Arg::Ref(list), model, status, reference,
                                  start, end, room});
    }

    std::string model;
};

TEST_P(Recurring, GetPesqSalaRepliesOneWhenEveryDayIsFree) {
    std::string list = listOf({kToday + days(1), kToday + days(3), kToday + days(4)});
    const std::string sent = list;
    EXPECT_EQ(pesq(list, model), "1");
    EXPECT_EQ(list, sent);
}

TEST_P(Recurring, GetPesqSalaListsTheTakenDaysAndRemovesThemFromTheList) {
    std::string list = everyDay(kToday + days(1), kToday + days(5));
    EXPECT_EQ(pesq(list, model), "1_09/12/2026_12/12/2026");
    EXPECT_EQ(list, listOf({kToday + days(1), kToday + days(3), kToday + days(4)}));
}

TEST_P(Recurring, GetPesqSalaRepliesZeroWhenNoDayIsLeft) {
    std::string list = listOf({kToday + days(2), kToday + days(5)});
    EXPECT_EQ(pesq(list, model), "0");
    EXPECT_EQ(list, "");
}

TEST_P(Recurring, GetPesqSalaRepliesNothingForAnEmptyList) {
    std::string list;
    EXPECT_EQ(pesq(list, model), "");
    EXPECT_EQ(list, "");
}

TEST_P(Recurring, DaysBeforeTodayAndTheTemplatesOwnDayAreTaken) {
    std::string list = listOf({kToday - days(1), kToday, kToday + days(1)});
    EXPECT_EQ(pesq(list, model), "1_06/12/2026_07/12/2026");
    EXPECT_EQ(list, listOf({kToday + days(1)}));
}

TEST_P(Recurring, GetPesqSalaFaultsForAMissingTemplateOrAMalformedList) {
    std::string list = listOf({kToday + days(1)});
    std::string message;
    EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "101", TAppServer::Arg::Ref(list), "00099"}, &message),
              rpc::code::InvalidParams);
    EXPECT_EQ(message,
              "Agendamento modelo não encontrado (sala \"101\", seqüencial \"00099\"); nada foi agendado.");
    EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "999", TAppServer::Arg::Ref(list), model}),
              rpc::code::InvalidParams);
    EXPECT_EQ(list, listOf({kToday + days(1)}));  // untouched by a failed call

    const std::string malformed[] = {
        "08/12/2026",                                   // no separator
        "_08/12/2026_",                                 // trailing separator
        "_32/12/2026",                                  // no such day
        "_2026-12-08",                                  // not dd/mm/yyyy
        listOf({kToday + days(2), kToday + days(1)}),   // descending
        listOf({kToday + days(1), kToday + days(1)}),   // repeated
        everyDay(kToday + days(1), kToday + days(99)),  // 99 days, 1089 characters
    };
    for (const auto& bad : malformed) {
        std::string copy = bad;
        EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "101", TAppServer::Arg::Ref(copy), model}, &message),
                  rpc::code::InvalidParams)
            << bad;
        EXPECT_TRUE(message.starts_with("Lista de datas inválida: ")) << message;
    }
}

TEST_P(Recurring, SetHrSalaOfNinetyEightDaysCreatesExactlyTheFreeDays) {
    // Taken by overlapping bookings besides days 2 and 5: day 60 and day 98.
    book({.start = "0700", .end = "0800", .day = kToday + days(60)});
    book({.start = "0859", .end = "1200", .day = kToday + days(98)});
    std::string list = everyDay(kToday + days(1), kToday + days(98));
    ASSERT_EQ(list.size(), kMaxDateList);

    // Sent whole, without asking GetPesqSala first: the server checks every day again.
    Packet created = Consiste::CheckResultServ(hrSala(list), false, 0);
    ASSERT_EQ(created.rows.size(), 94u);
    EXPECT_EQ(created.fields, bookingFields());
    std::set<std::string> seqs;
    std::vector<Date> booked;
    for (const Row& r : created.rows) {
        seqs.insert(textOf(r[NRSEQ]));
        booked.push_back(std::get<Date>(r[DTATI]));
        EXPECT_EQ(textOf(r[CDFILIAL]), "0001");
        EXPECT_EQ(textOf(r[IDSIT]), "A");
        EXPECT_EQ(textOf(r[DSAGENDA]), "Comitê semanal");
        EXPECT_EQ(textOf(r[CDSALA]), "101");
        EXPECT_EQ(textOf(r[CDOPERADOR]), "bruno");
        EXPECT_EQ(textOf(r[NMOPERADOR]), "Bruno Lima");
        EXPECT_EQ(textOf(r[HRINI]), "0800");
        EXPECT_EQ(textOf(r[HRFIN]), "0900");
        EXPECT_EQ(r[DTINC], Value{kNow});
    }
    EXPECT_EQ(seqs.size(), 94u);
    for (int taken : {2, 5, 60, 98})
        EXPECT_EQ(std::count(booked.begin(), booked.end(), kToday + days(taken)), 0) << taken;
    std::string expectedList;
    for (Date d : booked) expectedList += "_" + formatShortDate(d);
    EXPECT_EQ(list, expectedList);  // by reference: the days actually booked, ascending

    EXPECT_EQ(ok("GetHora", {"101", kToday + days(60)}).rows.size(), 1u);
    EXPECT_EQ(agenda("101", kToday + days(61)).rows.size(), 1u);
    EXPECT_EQ(agenda("101", kToday + days(3)).rows.size(), 2u);  // next to the 10:00 booking
}

TEST_P(Recurring, TheDialogsRoadBooksWhatGetPesqSalaLeft) {
    std::string list = everyDay(kToday + days(1), kToday + days(6));
    ASSERT_EQ(pesq(list, model), "1_09/12/2026_12/12/2026");
    Packet created = Consiste::CheckResultServ(hrSala(list), false, 0);
    EXPECT_EQ(created.rows.size(), 4u);
    std::string again = everyDay(kToday + days(1), kToday + days(6));
    EXPECT_EQ(pesq(again, model), "0");
}

TEST_P(Recurring, SetHrSalaRefusals) {
    auto refused = [&](std::string list, const std::string& status, const std::string& start,
                       const std::string& end, const std::string& reference,
                       const std::string& room) -> std::string {
        json result = hrSala(list, status, start, end, reference, room);
        rpc::Envelope e = rpc::envelopeFromJson(result);
        EXPECT_FALSE(e.ok);
        return e.error;
    };
    const std::string one = listOf({kToday + days(1)});
    EXPECT_EQ(refused(one, "C", "0800", "0900", "Ref", "101"),
              "Situação da Reunião deve ser informada como \"Agendada\".");
    EXPECT_EQ(refused(one, "A", "0870", "0900", "Ref", "101"),
              "Horário de Início da reunião informado incorretamente");
    EXPECT_EQ(refused(one, "A", "0800", "2400", "Ref", "101"),
              "Horário de Término da reunião informado incorretamente");
    EXPECT_EQ(refused(one, "A", "0900", "0800", "Ref", "101"), "Hora final deve ser maior que hora inicial.");
    EXPECT_EQ(refused(one, "A", "0800", "0900", "", "101"), "Referência deve ser informada.");
    EXPECT_EQ(refused(one, "A", "0800", "0900", std::string(1001, 'r'), "101"),
              "A referência aceita no máximo 1000 caracteres.");
    EXPECT_EQ(refused(one, "A", "0800", "0900", "Ref", "999"), "Sala \"999\" não cadastrada.");
    // Every listed day taken (by a booking, or by being past): nothing to book is a refusal, not a success.
    EXPECT_EQ(refused(listOf({kToday + days(2), kToday + days(5)}), "A", "0800", "0900", "Ref", "101"),
              "Sala já está reservada na(s) data(s) e horário(s) informados.");
    EXPECT_EQ(refused(listOf({kToday - days(7)}), "A", "1500", "1600", "Ref", "101"),
              "Sala já está reservada na(s) data(s) e horário(s) informados.");
    EXPECT_EQ(agenda("101", kToday + days(1)).rows.size(), 0u);

    std::string bad = "_31/02/2027";
    EXPECT_THROW(hrSala(bad), ERpcError);
    std::string empty;
    EXPECT_TRUE(Consiste::CheckResultServ(hrSala(empty), false, 0).rows.empty());
}

AGE_ON_EACH_BACKEND(Recurring);

}  // namespace
}  // namespace age::test
