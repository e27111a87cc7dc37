// The message catalogues of the two screens, as "key|text" lines.
#pragma once

#include <string>
#include <string_view>

namespace age {

inline constexpr std::string_view kAgendaMessages =
    "Excl|Confirma exclusão?\n"
    "hora_agen|Sala já está reservada para este horário.\n"
    "cmp_idsitagesala|Situação deve ser infomada.\n"
    "hora_ini|Horário de Início da reunião informado incorretamente\n"
    "hora_fin|Horário de Término da reunião informado incorretamente\n"
    "cmp_dsagendasala|Referência deve ser informada.\n"
    "cmp_hriniagesala|Início da Reunião deve ser informado.\n"
    "cmp_hrfinagesala|Término da Reunião deve ser informado.\n"
    "data_vali|Data do agendamento informada incorretamente.\n"
    "hora_vali|Hora final deve ser maior que hora inicial.\n"
    "reun_agenda|Situação da Reunião deve ser informada como \"Agendada\".\n"
    "not_hr_igual|Início e Término da Reunião devem ser em horas diferentes.\n"
    "dtage_deve|Data do agendamento deve ser informada.\n";

inline constexpr std::string_view kAutoBookingMessages =
    "dia_ocupado|Sala ocupada neste horário.\n"
    "data_menor|Data de término deve ser maior ou igual à data inicial.\n"
    "chb_vazio|Nenhum dia da semana foi informado.\n"
    "dtIn_maior|Data inicial deve ser maior ou igual à data atual.\n"
    "dom_n|Não há Domingos no período informado.\n"
    "seg_n|Não há Segundas no período informado.\n"
    "ter_n|Não há Terças no período informado.\n"
    "qua_n|Não há Quartas no período informado.\n"
    "qui_n|Não há Quintas no período informado.\n"
    "sex_n|Não há Sextas no período informado.\n"
    "sab_n|Não há Sábados no período informado.\n"
    "dtfin_maior|Data final deve ser maior que data atual.\n"
    "dt_limite|Data selecionada acima do limite.\n"
    "salas_ocup|Sala já está reservada na(s) data(s) e horário(s) informados.\n"
    "exist_sala|Esta sala já está agendada na(s) data(s): %S, no horário informado.\r\n"
    "Deseja agendar as salas para o restante das datas informadas?\n"
    "dias_nao_agend|A sala não foi agendada na(s) data(s): %S, reservada(s) por outro usuário antes da "
    "confirmação. As demais datas foram agendadas.\n";

// Replaces the one "%S" placeholder of a catalogue text.
std::string formatMessage(std::string_view text, std::string_view argument);

}  // namespace age
