// GetPesqSala and SetHrSala: which listed days are taken, and the bookings made on the free ones.
#include <set>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using std::chrono::days;

std::string listOf(std::initializer_list<int> daysFromToday) {
    std::string s;
    for (int d : daysFromToday) s += "_" + formatShortDate(kToday + days(d));
    return s;
}

std::string everyDay(int from, int to) {
    return buildDateList(kToday + days(from), kToday + days(to), {true, true, true, true, true, true, true});
}

class Recurring : public ServerTest {
  protected:
    // The template: 08:00-09:00 today. Taken on days 2 and 5 by overlapping bookings; days 3 and 4 hold
    // bookings that do not count (other hours, cancelled).
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        model = book({.start = "0800", .end = "0900", .reference = "Comitê semanal"});
        book({.start = "0830", .end = "0930", .day = kToday + days(2)});
        book({.start = "0900", .end = "1000", .day = kToday + days(5)});  // touches 09:00: taken
        book({.start = "1000", .end = "1100", .day = kToday + days(3)});
        std::string gone = book({.start = "0800", .end = "0900", .day = kToday + days(4)});
        ASSERT_EQ(tryChange(gone, IDSIT, "C", kToday + days(4)), std::nullopt);
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

TEST_P(Recurring, GetPesqSalaRepliesAndLeavesTheFreeDaysInTheList) {
    const struct {
        std::string list, reply, left;
    } cases[] = {
        {listOf({1, 3, 4}), "1", listOf({1, 3, 4})},
        {everyDay(1, 5), "1_09/12/2026_12/12/2026", listOf({1, 3, 4})},
        {listOf({2, 5}), "0", ""},
        {"", "", ""},
        // Days before today are taken, and so is the template's own day.
        {listOf({-1, 0, 1}), "1_06/12/2026_07/12/2026", listOf({1})},
    };
    for (const auto& c : cases) {
        std::string list = c.list;
        EXPECT_EQ(pesq(list, model), c.reply) << c.list;
        EXPECT_EQ(list, c.left) << c.list;
    }
}

TEST_P(Recurring, GetPesqSalaFaultsForAMissingTemplateOrAMalformedList) {
    std::string list = listOf({1});
    std::string message;
    EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "101", TAppServer::Arg::Ref(list), "00099"}, &message),
              rpc::code::InvalidParams);
    EXPECT_EQ(message,
              "Agendamento modelo não encontrado (sala \"101\", seqüencial \"00099\"); nada foi agendado.");
    EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "999", TAppServer::Arg::Ref(list), model}),
              rpc::code::InvalidParams);
    EXPECT_EQ(list, listOf({1}));  // untouched by a failed call

    for (std::string bad : {std::string("08/12/2026"), std::string("_08/12/2026_"),
                            std::string("_32/12/2026"), std::string("_2026-12-08"), listOf({2, 1}),
                            listOf({1, 1}), everyDay(1, 99) /* 99 days, 1089 characters */}) {
        EXPECT_EQ(rpcErrorCode("GetPesqSala", {"0001", "101", TAppServer::Arg::Ref(bad), model}, &message),
                  rpc::code::InvalidParams)
            << bad;
        EXPECT_TRUE(message.starts_with("Lista de datas inválida: ")) << message;
    }
}

TEST_P(Recurring, SetHrSalaOfNinetyEightDaysCreatesExactlyTheFreeDays) {
    // Taken by overlapping bookings besides days 2 and 5: day 60 and day 98.
    book({.start = "0700", .end = "0800", .day = kToday + days(60)});
    book({.start = "0859", .end = "1200", .day = kToday + days(98)});
    std::string list = everyDay(1, 98);
    ASSERT_EQ(list.size(), kMaxDateList);

    // Sent whole, without asking GetPesqSala first: the server checks every day again.
    Packet created = Consiste::CheckResultServ(hrSala(list), false, 0);
    EXPECT_EQ(created.fields, bookingFields());
    std::set<std::string> seqs;
    std::string expectedList;
    std::size_t i = 0;
    for (int d = 1; d <= 98; ++d) {
        if (d == 2 || d == 5 || d == 60 || d == 98) continue;
        ASSERT_LT(i, created.rows.size());
        const Row& r = created.rows[i++];
        seqs.insert(textOf(r[NRSEQ]));
        NewBooking b{.start = "0800",
                     .end = "0900",
                     .day = kToday + days(d),
                     .reference = "Comitê semanal",
                     .operatorCode = "bruno"};
        EXPECT_EQ(r, with(rowOf(b, textOf(r[NRSEQ])), NMOPERADOR, "Bruno Lima")) << d;
        expectedList += listOf({d});
    }
    EXPECT_EQ(created.rows.size(), 94u);
    EXPECT_EQ(seqs.size(), 94u);
    EXPECT_EQ(list, expectedList);  // by reference: the days actually booked, ascending

    EXPECT_EQ(ok("GetHora", {"101", kToday + days(60)}).rows.size(), 1u);
    EXPECT_EQ(agenda("101", kToday + days(61)).rows.size(), 1u);
    EXPECT_EQ(agenda("101", kToday + days(3)).rows.size(), 2u);  // next to the 10:00 booking
}

TEST_P(Recurring, TheDialogsRoadBooksWhatGetPesqSalaLeft) {
    std::string list = everyDay(1, 6);
    ASSERT_EQ(pesq(list, model), "1_09/12/2026_12/12/2026");
    EXPECT_EQ(Consiste::CheckResultServ(hrSala(list), false, 0).rows.size(), 4u);
    std::string again = everyDay(1, 6);
    EXPECT_EQ(pesq(again, model), "0");
}

TEST_P(Recurring, SetHrSalaRefusals) {
    const std::string allTaken = "Sala já está reservada na(s) data(s) e horário(s) informados.";
    const struct {
        std::string list, status, start, end, reference, room, expected;
    } cases[] = {
        {listOf({1}), "C", "0800", "0900", "Ref", "101",
         "Situação da Reunião deve ser informada como \"Agendada\"."},
        {listOf({1}), "A", "0870", "0900", "Ref", "101",
         "Horário de Início da reunião informado incorretamente"},
        {listOf({1}), "A", "0800", "2400", "Ref", "101",
         "Horário de Término da reunião informado incorretamente"},
        {listOf({1}), "A", "0900", "0800", "Ref", "101", "Hora final deve ser maior que hora inicial."},
        {listOf({1}), "A", "0800", "0900", "", "101", "Referência deve ser informada."},
        {listOf({1}), "A", "0800", "0900", std::string(1001, 'r'), "101",
         "A referência aceita no máximo 1000 caracteres."},
        {listOf({1}), "A", "0800", "0900", "Ref", "999", "Sala \"999\" não cadastrada."},
        // Every listed day taken (by a booking, or by being past): nothing to book is a refusal, not a
        // success.
        {listOf({2, 5}), "A", "0800", "0900", "Comitê semanal", "101", allTaken},
        {listOf({-7}), "A", "0800", "0900", "Comitê semanal", "101", allTaken},
    };
    for (auto c : cases) {
        rpc::Envelope e =
            rpc::envelopeFromJson(hrSala(c.list, c.status, c.start, c.end, c.reference, c.room));
        EXPECT_FALSE(e.ok) << c.expected;
        EXPECT_EQ(e.error, c.expected);
    }
    EXPECT_TRUE(agenda("101", kToday + days(1)).rows.empty());

    // The template changed after the question was asked: its stored hours and reference are the ones the
    // days were judged on, so other hours or another reference book nothing.
    const std::string changed =
        "O agendamento modelo foi alterado por outro usuário (horário ou referência); nada foi agendado. "
        "Atualize a agenda e confirme novamente.";
    ASSERT_EQ(tryChange(model, HRFIN, std::string("0930")), std::nullopt);
    for (auto [end, reference] : {std::pair{"0900", "Comitê semanal"}, {"0930", "Outro assunto"}}) {
        std::string list = listOf({1, 3});
        rpc::Envelope e = rpc::envelopeFromJson(hrSala(list, "A", "0800", end, reference));
        EXPECT_EQ(e.error, changed) << end;
        EXPECT_EQ(list, listOf({1, 3}));
    }
    EXPECT_TRUE(agenda("101", kToday + days(1)).rows.empty());
    std::string asStored = listOf({1});
    EXPECT_EQ(Consiste::CheckResultServ(hrSala(asStored, "A", "0800", "0930"), false, 0).rows.size(), 1u);

    // A NUL character cannot be stored by every backend: refused alike, nothing booked. (No stored
    // template: the hours and reference are booked as sent.)
    const std::string nul("a\0b", 3);
    auto withNul = [&](const std::string& branch, const std::string& reference) {
        std::string list = listOf({6});
        return rpc::envelopeFromJson(call("SetHrSala", {branch, "bruno", TAppServer::Arg::Ref(list), "99999",
                                                        "A", reference, "0800", "0900", "101"}))
            .error;
    };
    EXPECT_EQ(withNul("0001", nul), "A referência não pode conter o caractere nulo.");
    EXPECT_EQ(withNul(nul, "Comitê semanal"), "O código da filial não pode conter o caractere nulo.");
    EXPECT_TRUE(agenda("101", kToday + days(6)).rows.empty());

    std::string bad = "_31/02/2027";
    EXPECT_THROW(hrSala(bad), ERpcError);
    std::string empty;
    EXPECT_TRUE(Consiste::CheckResultServ(hrSala(empty), false, 0).rows.empty());
}

AGE_ON_EACH_BACKEND(Recurring);

}  // namespace
}  // namespace age::test
