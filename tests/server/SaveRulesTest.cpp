// SetAgendaSala: the overlap rule, optimistic concurrency, whole-or-nothing change logs and every refusal.
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

constexpr auto kTaken = "Sala já está reservada para este horário.";
constexpr auto kChanged = "O agendamento foi alterado por outro usuário. Atualize a agenda.";
constexpr auto kRemoved = "O agendamento foi excluído por outro usuário. Atualize a agenda.";

using SaveRules = ServerTest;

TEST_P(SaveRules, OverlapIncludesBothEnds) {
    book({.start = "0800", .end = "0900"});
    EXPECT_EQ(tryBook({.start = "0900", .end = "1000"}), kTaken);
    EXPECT_EQ(tryBook({.start = "0700", .end = "0800"}), kTaken);
    EXPECT_EQ(tryBook({.start = "0700", .end = "1000"}), kTaken);  // around it
    EXPECT_EQ(tryBook({.start = "0815", .end = "0830"}), kTaken);  // inside it
    EXPECT_EQ(tryBook({.start = "0901", .end = "1000"}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0700", .end = "0759"}), std::nullopt);
    // Another room or another day is free.
    EXPECT_EQ(tryBook({.start = "0800", .end = "0900", .room = "102"}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0800", .end = "0900", .day = kToday + std::chrono::days(1)}), std::nullopt);
}

TEST_P(SaveRules, CancelledAndClosedBookingsFreeTheirSlot) {
    std::string seq = book({.start = "0800", .end = "0900"});
    Row old = storedWithoutName(seq), cancelled = old;
    cancelled[IDSIT] = std::string("C");
    ASSERT_EQ(trySave({updateOf(old, cancelled)}), std::nullopt);
    EXPECT_TRUE(ok("GetHora", {"101", kToday}).rows.empty());
    std::string again = book({.start = "0800", .end = "0900"});

    Row old2 = storedWithoutName(again), closed = old2;
    closed[IDSIT] = std::string("E");
    ASSERT_EQ(trySave({updateOf(old2, closed)}), std::nullopt);
    EXPECT_EQ(tryBook({.start = "0830", .end = "0930"}), std::nullopt);
}

TEST_P(SaveRules, ABookingMayMoveOverItsOwnHours) {
    std::string seq = book({.start = "0800", .end = "0900"});
    book({.start = "1000", .end = "1100"});
    Row old = storedWithoutName(seq), moved = old;
    moved[HRINI] = std::string("0830");
    moved[HRFIN] = std::string("0930");
    EXPECT_EQ(trySave({updateOf(old, moved)}), std::nullopt);
    Row old2 = storedWithoutName(seq), onto = old2;
    onto[HRFIN] = std::string("1000");
    EXPECT_EQ(trySave({updateOf(old2, onto)}), kTaken);
    EXPECT_EQ(textOf(stored(seq)[HRFIN]), "0930");
}

TEST_P(SaveRules, AStaleUpdateOrDeleteIsRefused) {
    std::string seq = book({.start = "0800", .end = "0900"});
    Row mine = storedWithoutName(seq);
    Row theirs = mine;
    theirs[DSAGENDA] = std::string("Mudada por outro");
    ASSERT_EQ(trySave({updateOf(mine, theirs)}), std::nullopt);

    Row myChange = mine;
    myChange[HRFIN] = std::string("0845");
    EXPECT_EQ(trySave({updateOf(mine, myChange)}), kChanged);
    EXPECT_EQ(trySave({deleteOf(mine)}), kChanged);
    EXPECT_EQ(textOf(stored(seq)[DSAGENDA]), "Mudada por outro");

    // The name of the operator is the server's own and never makes a row stale.
    Row fresh = stored(seq);
    fresh[NMOPERADOR] = std::string("Qualquer nome");
    EXPECT_EQ(trySave({deleteOf(fresh)}), std::nullopt);
    EXPECT_EQ(trySave({deleteOf(fresh)}), kRemoved);
    EXPECT_EQ(trySave({updateOf(fresh, fresh)}), kRemoved);
    EXPECT_TRUE(agenda().rows.empty());
}

TEST_P(SaveRules, OnlyScheduledBookingsChangeOrGo) {
    std::string seq = book({.start = "0800", .end = "0900"});
    Row old = storedWithoutName(seq), closed = old;
    closed[IDSIT] = std::string("E");
    ASSERT_EQ(trySave({updateOf(old, closed)}), std::nullopt);
    Row back = closed;
    back[IDSIT] = std::string("A");
    EXPECT_EQ(trySave({updateOf(closed, back)}),
              "Somente agendamentos com situação \"Agendada\" podem ser alterados.");
    EXPECT_EQ(trySave({deleteOf(closed)}),
              "Somente agendamentos com situação \"Agendada\" podem ser excluídos.");
}

TEST_P(SaveRules, AChangeLogIsAppliedWholeOrNotAtAll) {
    std::string keep = book({.start = "1400", .end = "1500"});
    Row keepOld = storedWithoutName(keep), keepNew = keepOld;
    keepNew[DSAGENDA] = std::string("Alterada");
    NewBooking good{.start = "0800", .end = "0900"};
    NewBooking clash{.start = "0830", .end = "0930"};
    auto refused = trySave(
        {updateOf(keepOld, keepNew), insertOf(rowOf(good, nextSeq())), insertOf(rowOf(clash, nextSeq()))});
    EXPECT_EQ(refused, kTaken);  // the second insert meets the first one of the same log
    Packet p = agenda();
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(textOf(p.rows[0][DSAGENDA]), "Reunião de equipe");

    EXPECT_EQ(trySave({updateOf(keepOld, keepNew), insertOf(rowOf(good, nextSeq()))}), std::nullopt);
    EXPECT_EQ(agenda().rows.size(), 2u);
}

TEST_P(SaveRules, EachRefusalSaysWhatIsWrong) {
    const std::string longRef(1001, 'x');
    struct Case {
        const char* what;
        NewBooking booking;
        std::string expected;
    } cases[] = {
        {"reference too long",
         {.start = "0800", .end = "0900", .reference = longRef},
         "O campo DSAGENDASALA aceita no máximo 1000 caracteres."},
        {"empty reference",
         {.start = "0800", .end = "0900", .reference = ""},
         "Referência deve ser informada."},
        {"blank reference",
         {.start = "0800", .end = "0900", .reference = "   "},
         "Referência deve ser informada."},
        {"no start", {.start = "", .end = "0900"}, "Início da Reunião deve ser informado."},
        {"start not HHMM",
         {.start = "800", .end = "0900"},
         "Horário de Início da reunião informado incorretamente"},
        {"start hour 24",
         {.start = "2400", .end = "2459"},
         "Horário de Início da reunião informado incorretamente"},
        {"start minute 60",
         {.start = "0860", .end = "0900"},
         "Horário de Início da reunião informado incorretamente"},
        {"start letters",
         {.start = "ab00", .end = "0900"},
         "Horário de Início da reunião informado incorretamente"},
        {"no end", {.start = "0800", .end = ""}, "Término da Reunião deve ser informado."},
        {"end minute 75",
         {.start = "0800", .end = "0875"},
         "Horário de Término da reunião informado incorretamente"},
        {"end with colon",
         {.start = "0800", .end = "09:0"},
         "Horário de Término da reunião informado incorretamente"},
        {"end before start", {.start = "0900", .end = "0800"}, "Hora final deve ser maior que hora inicial."},
        {"end equals start",
         {.start = "0900", .end = "0900"},
         "Início e Término da Reunião devem ser em horas diferentes."},
        {"new booking cancelled",
         {.start = "0800", .end = "0900", .status = "C"},
         "Situação da Reunião deve ser informada como \"Agendada\"."},
        {"unknown room", {.start = "0800", .end = "0900", .room = "999"}, "Sala \"999\" não cadastrada."},
        {"day before today",
         {.start = "0800", .end = "0900", .day = kToday - std::chrono::days(1)},
         "Não é possível agendar a sala para uma data anterior à data atual (07/12/2026)."},
        {"branch too long",
         {.start = "0800", .end = "0900", .branch = "00001"},
         "O campo CDFILIAL aceita no máximo 4 caracteres."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trySave({insertOf(rowOf(c.booking, "00050"))}), c.expected) << c.what;
    }
    EXPECT_TRUE(agenda().rows.empty());
    EXPECT_TRUE(agenda("101", kToday - std::chrono::days(1)).rows.empty());

    // Sizes count characters, not bytes.
    EXPECT_EQ(tryBook({.start = "0800",
                       .end = "0900",
                       .reference = std::string(500, 'x') +
                                    [] {
                                        std::string s;
                                        for (int i = 0; i < 500; ++i) s += "ç";
                                        return s;
                                    }()}),
              std::nullopt);
}

TEST_P(SaveRules, RefusalsOfChangesToAStoredBooking) {
    std::string seq = book({.start = "0800", .end = "0900"});
    Row old = storedWithoutName(seq);
    auto changed = [&](Col col, Value v) {
        Row r = old;
        r[col] = std::move(v);
        return r;
    };
    const std::string keys = "A sala, a data e o seqüencial de um agendamento não podem ser alterados.";
    EXPECT_EQ(trySave({updateOf(old, changed(CDSALA, std::string("102")))}), keys);
    EXPECT_EQ(trySave({updateOf(old, changed(DTATI, kToday + std::chrono::days(1)))}), keys);
    EXPECT_EQ(trySave({updateOf(old, changed(NRSEQ, std::string("00099")))}), keys);
    EXPECT_EQ(
        trySave({updateOf(old, changed(IDSIT, std::string("X")))}),
        "Situação do agendamento inválida: \"X\" (deve ser A - Agendada, C - Cancelada ou E - Encerrada).");
    EXPECT_EQ(trySave({updateOf(old, changed(DSAGENDA, Value{}))}), "Referência deve ser informada.");
    EXPECT_EQ(trySave({updateOf(old, changed(CDOPERADOR, std::string(13, 'o')))}),
              "O campo CDOPERADOR aceita no máximo 12 caracteres.");
    // None of them touched the stored booking.
    EXPECT_EQ(stored(seq), [&] {
        Row r = old;
        r[NMOPERADOR] = std::string("Ana Souza");
        return r;
    }());
}

TEST_P(SaveRules, ValuesOfTheWrongKindAreRefused) {
    json delta = deltaOf({insertOf(rowOf({.start = "0800", .end = "0900"}, "00001"))});
    json wrongValue = delta;
    wrongValue["changes"][0]["new"][HRINI] = 800;
    EXPECT_EQ(refusal("SetAgendaSala", {wrongValue}),
              "Valor inválido para o campo HRINIAGESALA: deve ser texto.");
    json badDate = delta;
    badDate["changes"][0]["new"][DTATI] = "07/12/2026";
    EXPECT_EQ(refusal("SetAgendaSala", {badDate}),
              "Valor inválido para o campo DTATIAGESALA: deve ser data.");
    json wrongType = delta;
    wrongType["fields"][DTATI]["type"] = "string";
    EXPECT_EQ(refusal("SetAgendaSala", {wrongType}), "O campo DTATIAGESALA deve ser do tipo data.");
    EXPECT_TRUE(agenda().rows.empty());
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

TEST_P(SaveRules, ADeltaWithoutOperatorNamesAndWithExtraFieldsIsRead) {
    std::vector<data::FieldDef> fields = bookingFields();
    fields.erase(fields.begin() + NMOPERADOR);
    fields.push_back({"CALCULADO", data::FieldType::String, 10});
    Row r = rowOf({.start = "0800", .end = "0900"}, nextSeq());
    r.erase(r.begin() + NMOPERADOR);
    r.push_back(std::string("extra"));
    json delta = rpc::changeLogToJson({fields, {insertOf(r)}});
    EXPECT_TRUE(ok("SetAgendaSala", {delta}).rows.empty());
    EXPECT_EQ(agenda().rows.size(), 1u);
}

TEST_P(SaveRules, ASequenceNumberInUseIsRefused) {
    std::string seq = book({.start = "0800", .end = "0900"});
    EXPECT_EQ(trySave({insertOf(rowOf({.start = "1000", .end = "1100"}, seq))}),
              "O seqüencial " + seq + " da sala \"101\" já está em uso. Atualize a agenda.");
    EXPECT_EQ(trySave({insertOf(rowOf({.start = "1000", .end = "1100"}, "12"))}),
              "Seqüencial do agendamento inválido: \"12\" (deve ter 5 dígitos).");
}

AGE_ON_EACH_BACKEND(SaveRules);

}  // namespace
}  // namespace age::test
