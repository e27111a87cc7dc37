// SetAgendaSala: the overlap rule, optimistic concurrency, whole-or-nothing change logs and every refusal.
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using std::chrono::days;

const std::string kChanged = "O agendamento foi alterado por outro usuário. Atualize a agenda.";
const std::string kRemoved = "O agendamento foi excluído por outro usuário. Atualize a agenda.";

using SaveRules = ServerTest;

TEST_P(SaveRules, OverlapIncludesBothEndsAndOnlyScheduledBookingsOccupy) {
    std::string seq = book({.start = "0800", .end = "0900"});
    for (auto [start, end] :
         {std::pair{"0900", "1000"}, {"0700", "0800"}, {"0700", "1000"}, {"0815", "0830"}})
        EXPECT_EQ(tryBook({.start = start, .end = end}), kTaken) << start << "-" << end;
    EXPECT_EQ(tryBook({.start = "0901", .end = "1000"}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0700", .end = "0759"}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0800", .end = "0900", .room = "102"}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0800", .end = "0900", .day = kToday + days(1)}), std::nullopt);

    // A cancelled booking frees its slot, and so does a closed one.
    ASSERT_EQ(tryChange(seq, IDSIT, "C"), std::nullopt);
    std::string again = book({.start = "0800", .end = "0900"});
    ASSERT_EQ(tryChange(again, IDSIT, "E"), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0830", .end = "0845"}), std::nullopt);
}

TEST_P(SaveRules, ABookingMayMoveOverItsOwnHoursButNotOntoAnother) {
    std::string seq = book({.start = "0800", .end = "0900"});
    book({.start = "1000", .end = "1100"});
    Row old = stored(seq);
    EXPECT_EQ(trySave({updateOf(old, with(with(old, HRINI, "0830"), HRFIN, "0930"))}), std::nullopt);
    EXPECT_EQ(tryChange(seq, HRFIN, "1000"), kTaken);
    EXPECT_EQ(textOf(stored(seq)[HRFIN]), "0930");
}

TEST_P(SaveRules, AStaleUpdateOrDeleteIsRefused) {
    std::string seq = book({.start = "0800", .end = "0900"});
    Row mine = stored(seq);
    ASSERT_EQ(tryChange(seq, DSAGENDA, "Mudada por outro"), std::nullopt);  // another user's change
    EXPECT_EQ(trySave({updateOf(mine, with(mine, HRFIN, "0845"))}), kChanged);
    EXPECT_EQ(trySave({deleteOf(mine)}), kChanged);
    EXPECT_EQ(textOf(stored(seq)[DSAGENDA]), "Mudada por outro");

    // The name of the operator is the server's own and never makes a row stale.
    Row fresh = with(stored(seq), NMOPERADOR, "Qualquer nome");
    EXPECT_EQ(trySave({deleteOf(fresh)}), std::nullopt);
    EXPECT_EQ(trySave({deleteOf(fresh)}), kRemoved);
    EXPECT_EQ(trySave({updateOf(fresh, fresh)}), kRemoved);
    EXPECT_TRUE(agenda().rows.empty());
}

TEST_P(SaveRules, AChangeLogIsAppliedWholeOrNotAtAll) {
    std::string keep = book({.start = "1400", .end = "1500"});
    Row old = stored(keep);
    data::Change rename = updateOf(old, with(old, DSAGENDA, "Alterada"));
    data::Change good = insertOf(rowOf({.start = "0800", .end = "0900"}, nextSeq()));
    data::Change clash = insertOf(rowOf({.start = "0830", .end = "0930"}, nextSeq()));
    EXPECT_EQ(trySave({rename, good, clash}), kTaken);  // the second insert meets the first of the same log
    EXPECT_EQ(agenda().rows, (std::vector<Row>{old}));

    EXPECT_EQ(trySave({rename, good}), std::nullopt);
    EXPECT_EQ(agenda().rows.size(), 2u);
}

TEST_P(SaveRules, EachRefusalSaysWhatIsWrongAndChangesNothing) {
    std::string seqA = book({.start = "0800", .end = "0900"});
    std::string seqE = book({.start = "1400", .end = "1500"});
    ASSERT_EQ(tryChange(seqE, IDSIT, "E"), std::nullopt);
    const Packet before = agenda();
    const Row a = stored(seqA), e = stored(seqE);
    auto insert = [](NewBooking b, std::string seq = "00050") { return deltaOf({insertOf(rowOf(b, seq))}); };
    auto update = [&](Col col, Value v) { return deltaOf({updateOf(a, with(a, col, std::move(v)))}); };
    auto raw = [&](auto mutate) {
        json delta = insert({.start = "1000", .end = "1100"});
        mutate(delta);
        return delta;
    };
    const std::string badStart = "Horário de Início da reunião informado incorretamente";
    const std::string badEnd = "Horário de Término da reunião informado incorretamente";
    const std::string keys = "A sala, a data e o seqüencial de um agendamento não podem ser alterados.";
    const Row staleA = with(a, DSAGENDA, "Como estava antes");
    const struct {
        const char* what;
        json delta;
        std::string expected;
    } cases[] = {
        {"reference too long", insert({.start = "1000", .end = "1100", .reference = std::string(1001, 'x')}),
         "O campo DSAGENDASALA aceita no máximo 1000 caracteres."},
        {"branch too long", insert({.start = "1000", .end = "1100", .branch = "00001"}),
         "O campo CDFILIAL aceita no máximo 4 caracteres."},
        {"number for a text", raw([](json& d) { d["changes"][0]["new"][HRINI] = 1000; }),
         "Valor inválido para o campo HRINIAGESALA: deve ser texto."},
        {"day not ISO", raw([](json& d) { d["changes"][0]["new"][DTATI] = "07/12/2026"; }),
         "Valor inválido para o campo DTATIAGESALA: deve ser data."},
        {"day declared as text", raw([](json& d) { d["fields"][DTATI]["type"] = "string"; }),
         "O campo DTATIAGESALA deve ser do tipo data."},
        {"empty reference", insert({.start = "1000", .end = "1100", .reference = ""}),
         "Referência deve ser informada."},
        {"no start", insert({.start = "", .end = "1100"}), "Início da Reunião deve ser informado."},
        {"start hour 24", insert({.start = "2400", .end = "2459"}), badStart},
        {"no end", insert({.start = "1000", .end = ""}), "Término da Reunião deve ser informado."},
        {"end not HHMM", insert({.start = "1000", .end = "11:0"}), badEnd},
        {"end before start", insert({.start = "1100", .end = "1000"}),
         "Hora final deve ser maior que hora inicial."},
        {"end equals start", insert({.start = "1000", .end = "1000"}),
         "Início e Término da Reunião devem ser em horas diferentes."},
        {"new booking cancelled", insert({.start = "1000", .end = "1100", .status = "C"}),
         "Situação da Reunião deve ser informada como \"Agendada\"."},
        {"unknown room", insert({.start = "1000", .end = "1100", .room = "999"}),
         "Sala \"999\" não cadastrada."},
        {"day before today", insert({.start = "1000", .end = "1100", .day = kToday - days(1)}),
         "Não é possível agendar a sala para uma data anterior à data atual (07/12/2026)."},
        {"overlap", insert({.start = "0830", .end = "0930"}), kTaken},
        {"sequence number in use", insert({.start = "1000", .end = "1100"}, seqA),
         "O seqüencial " + seqA + " da sala \"101\" já está em uso. Atualize a agenda."},
        {"sequence number not five digits", insert({.start = "1000", .end = "1100"}, "12"),
         "Seqüencial do agendamento inválido: \"12\" (deve ter 5 dígitos)."},
        {"room changed", update(CDSALA, "102"), keys},
        {"day changed", update(DTATI, kToday + days(1)), keys},
        {"sequence number changed", update(NRSEQ, "00099"), keys},
        {"unknown status", update(IDSIT, "X"),
         "Situação do agendamento inválida: \"X\" (deve ser A - Agendada, C - Cancelada ou E - Encerrada)."},
        {"reference emptied", update(DSAGENDA, Value{}), "Referência deve ser informada."},
        {"stale update", deltaOf({updateOf(staleA, with(staleA, HRFIN, "0845"))}), kChanged},
        {"stale delete", deltaOf({deleteOf(staleA)}), kChanged},
        {"delete of a removed booking", deltaOf({deleteOf(with(a, NRSEQ, "00099"))}), kRemoved},
        {"update of a closed booking", deltaOf({updateOf(e, with(e, IDSIT, "A"))}),
         "Somente agendamentos com situação \"Agendada\" podem ser alterados."},
        {"delete of a closed booking", deltaOf({deleteOf(e)}),
         "Somente agendamentos com situação \"Agendada\" podem ser excluídos."},
    };
    for (const auto& c : cases) EXPECT_EQ(refused("SetAgendaSala", {c.delta}), c.expected) << c.what;
    EXPECT_EQ(agenda().rows, before.rows);
    EXPECT_TRUE(agenda("101", kToday - days(1)).rows.empty());
}

TEST_P(SaveRules, AChangeLogThatIsNoChangeLogIsAProtocolError) {
    std::string message;
    EXPECT_EQ(rpcErrorCode("SetAgendaSala", {json{{"fields", json::array()}}}, &message),
              rpc::code::InvalidParams);
    EXPECT_EQ(message, "Log de alterações inválido: falta \"changes\".");
    json missingField = deltaOf({insertOf(rowOf({.start = "0800", .end = "0900"}, "00001"))});
    missingField["fields"].erase(HRFIN);
    missingField["changes"][0]["new"].erase(HRFIN);
    EXPECT_EQ(rpcErrorCode("SetAgendaSala", {missingField}, &message), rpc::code::InvalidParams);
    EXPECT_EQ(message, "Log de alterações inválido: falta o campo HRFINAGESALA.");
    EXPECT_EQ(rpcErrorCode("SetAgendaSala", {"não é um log"}), rpc::code::InvalidParams);
}

TEST_P(SaveRules, UnusualButSoundChangeLogsAreAccepted) {
    // Sizes count characters, not bytes: 1000 characters in 1500 bytes.
    std::string reference(500, 'x');
    for (int i = 0; i < 500; ++i) reference += "ç";
    EXPECT_EQ(tryBook({.start = "0800", .end = "0900", .reference = reference}), std::nullopt);

    // Without the operator's name (the server derives it) and with a field the server does not know.
    std::vector<data::FieldDef> fields = bookingFields();
    fields.erase(fields.begin() + NMOPERADOR);
    fields.push_back({"CALCULADO", data::FieldType::String, 10});
    Row r = rowOf({.start = "1000", .end = "1100"}, nextSeq());
    r.erase(r.begin() + NMOPERADOR);
    r.push_back("extra");
    EXPECT_TRUE(ok("SetAgendaSala", {rpc::changeLogToJson({fields, {insertOf(r)}})}).rows.empty());
    EXPECT_EQ(agenda().rows.size(), 2u);
    EXPECT_EQ(textOf(agenda().rows[0][DSAGENDA]), reference);
}

TEST_P(SaveRules, TextWithANulCharacterIsRefusedAlikeOnEveryBackend) {
    const std::string nul("a\0b", 3);
    EXPECT_EQ(tryBook({.start = "1000", .end = "1100", .reference = nul}),
              "O campo DSAGENDASALA não aceita o caractere nulo.");
    EXPECT_EQ(tryBook({.start = "1000", .end = "1100", .branch = nul}),
              "O campo CDFILIAL não aceita o caractere nulo.");
    std::string seq = book({.start = "1000", .end = "1100"});
    EXPECT_EQ(tryChange(seq, DSAGENDA, nul), "O campo DSAGENDASALA não aceita o caractere nulo.");
    EXPECT_EQ(textOf(stored(seq)[DSAGENDA]), "Reunião de equipe");
}

AGE_ON_EACH_BACKEND(SaveRules);

}  // namespace
}  // namespace age::test
