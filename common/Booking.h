// The booking record of the room agenda, its status codes and its hours.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace age {

enum class ColumnType { String, Date, DateTime, Integer };

struct BookingField {
    std::string_view name;          // server column
    ColumnType type;
    int size;                       // characters, for strings
    std::string_view displayLabel;  // label of the field, empty when it has none
    std::string_view gridTitle;     // title of its grid column, empty when it is not a column
};

// Fields of AGESALA, in the order the server delivers them.
inline constexpr std::array<BookingField, 11> kBookingFields{{
    {"CDFILIAL", ColumnType::String, 4, "", ""},
    {"NRSEQAGESALA", ColumnType::String, 5, "Seqüencial", "Seqüencial"},
    {"IDSITAGESALA", ColumnType::String, 1, "", "Situação"},
    {"DSAGENDASALA", ColumnType::String, 1000, "Referência", "Referência"},
    {"CDSALA", ColumnType::String, 5, "", "Reunião"},
    {"DTATIAGESALA", ColumnType::Date, 0, "", "Data Reunião"},
    {"CDOPERADOR", ColumnType::String, 12, "Responsável", "Responsável"},
    {"NMOPERADOR", ColumnType::String, 40, "Nome do Reponsável", ""},
    {"HRINIAGESALA", ColumnType::String, 5, "", "Início da Reunião"},
    {"HRFINAGESALA", ColumnType::String, 5, "", "Término da Reunião"},
    {"DTINCAGESALA", ColumnType::DateTime, 0, "Data de Reserva", "Data de Reserva"},
}};

const BookingField* findBookingField(std::string_view name);

// Status codes of a booking and the words the user sees for them.
inline constexpr char kStatusScheduled = 'A';
inline constexpr char kStatusCancelled = 'C';
inline constexpr char kStatusClosed = 'E';
inline constexpr std::array<std::string_view, 3> kStatusWords{"Agendada", "Cancelada", "Encerrada"};

// "A" -> "Agendada", "C" -> "Cancelada", "E" -> "Encerrada"; anything else -> "" (exact, case-sensitive).
std::string statusWord(std::string_view code);
// The inverse; an unknown word gives nothing, so the caller leaves the field as it was.
std::optional<std::string> statusCode(std::string_view word);

// Hours are four digits, hour then minutes, without the colon: text order is time order.
inline constexpr std::string_view kHourEditMask = "!90:00;0; ";
// "0930" -> "09:30"; text that is not four characters is shown as it is.
std::string formatHour(std::string_view hour);
// Drops the colon of the edit mask and trailing blanks: "09:30" -> "0930", " 9:30" -> " 930". Anything
// odd is kept so that validation can refuse it.
std::string hourFromDisplay(std::string_view text);
// Four digits with hour 00..23 and minutes 00..59.
bool isValidHour(std::string_view hour);

// Weekday names, Sunday first (index 0 = weekday 1).
inline constexpr std::array<std::string_view, 7> kWeekdayNames{"Domingo", "Segunda", "Terça", "Quarta",
                                                               "Quinta",  "Sexta",   "Sábado"};

inline constexpr std::string_view kAgendaScreenCode = "AGE12100";
inline constexpr std::string_view kAutoBookingScreenCode = "AGE12110";
inline constexpr std::string_view kRemoteModule = "AGE12100.rdmAgendaSala";

}  // namespace age
