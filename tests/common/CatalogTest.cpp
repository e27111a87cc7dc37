#include <gtest/gtest.h>

#include "common/Catalogs.h"
#include "common/Zel_msg.h"

using namespace age;

TEST(Catalog, AgendaTextsAreExact) {
    TMessages m(kAgendaMessages);
    EXPECT_EQ(m.Count(), 13u);
    EXPECT_EQ(m.Msg("Excl"), "Confirma exclusão?");
    EXPECT_EQ(m.Msg("hora_agen"), "Sala já está reservada para este horário.");
    EXPECT_EQ(m.Msg("cmp_idsitagesala"), "Situação deve ser infomada.");
    EXPECT_EQ(m.Msg("hora_ini"), "Horário de Início da reunião informado incorretamente");
    EXPECT_EQ(m.Msg("hora_fin"), "Horário de Término da reunião informado incorretamente");
    EXPECT_EQ(m.Msg("cmp_dsagendasala"), "Referência deve ser informada.");
    EXPECT_EQ(m.Msg("cmp_hriniagesala"), "Início da Reunião deve ser informado.");
    EXPECT_EQ(m.Msg("cmp_hrfinagesala"), "Término da Reunião deve ser informado.");
    EXPECT_EQ(m.Msg("data_vali"), "Data do agendamento informada incorretamente.");
    EXPECT_EQ(m.Msg("hora_vali"), "Hora final deve ser maior que hora inicial.");
    EXPECT_EQ(m.Msg("reun_agenda"), "Situação da Reunião deve ser informada como \"Agendada\".");
    EXPECT_EQ(m.Msg("not_hr_igual"), "Início e Término da Reunião devem ser em horas diferentes.");
    EXPECT_EQ(m.Msg("dtage_deve"), "Data do agendamento deve ser informada.");
}

TEST(Catalog, AutoBookingTextsAreExact) {
    TMessages m(kAutoBookingMessages);
    EXPECT_EQ(m.Count(), 16u);
    EXPECT_EQ(m.Msg("dia_ocupado"), "Sala ocupada neste horário.");
    EXPECT_EQ(m.Msg("data_menor"), "Data de término deve ser maior ou igual à data inicial.");
    EXPECT_EQ(m.Msg("chb_vazio"), "Nenhum dia da semana foi informado.");
    EXPECT_EQ(m.Msg("dtIn_maior"), "Data inicial deve ser maior ou igual à data atual.");
    EXPECT_EQ(m.Msg("dom_n"), "Não há Domingos no período informado.");
    EXPECT_EQ(m.Msg("seg_n"), "Não há Segundas no período informado.");
    EXPECT_EQ(m.Msg("ter_n"), "Não há Terças no período informado.");
    EXPECT_EQ(m.Msg("qua_n"), "Não há Quartas no período informado.");
    EXPECT_EQ(m.Msg("qui_n"), "Não há Quintas no período informado.");
    EXPECT_EQ(m.Msg("sex_n"), "Não há Sextas no período informado.");
    EXPECT_EQ(m.Msg("sab_n"), "Não há Sábados no período informado.");
    EXPECT_EQ(m.Msg("dtfin_maior"), "Data final deve ser maior que data atual.");
    EXPECT_EQ(m.Msg("dt_limite"), "Data selecionada acima do limite.");
    EXPECT_EQ(m.Msg("salas_ocup"), "Sala já está reservada na(s) data(s) e horário(s) informados.");
    EXPECT_EQ(m.Msg("exist_sala"),
              "Esta sala já está agendada na(s) data(s): %S, no horário informado.\r\n"
              "Deseja agendar as salas para o restante das datas informadas?");
    EXPECT_EQ(m.Msg("dias_nao_agend"),
              "A sala não foi agendada na(s) data(s): %S, reservada(s) por outro usuário antes da confirmação. "
              "As demais datas foram agendadas.");
}

TEST(Catalog, ExistSalaFormatsIntoTwoLines) {
    TMessages m(kAutoBookingMessages);
    std::string text = formatMessage(m.Msg("exist_sala"), "14/12/2026, 21/12/2026");
    auto br = text.find("\r\n");
    ASSERT_NE(br, std::string::npos);
    EXPECT_EQ(text.substr(0, br),
              "Esta sala já está agendada na(s) data(s): 14/12/2026, 21/12/2026, no horário informado.");
    EXPECT_EQ(text.find("%S"), std::string::npos);
}

TEST(Catalog, UnknownKeyIsAProgrammingErrorNamingTheKey) {
    TMessages m(kAgendaMessages);
    try {
        m.Msg("no_such_key");
        FAIL() << "expected a logic_error";
    } catch (const std::logic_error& e) {
        EXPECT_NE(std::string(e.what()).find("no_such_key"), std::string::npos);
    }
    EXPECT_THROW(TMessages("line without bar"), std::invalid_argument);
}
