#include "server/AgendaModule.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "common/Booking.h"
#include "common/BookingRules.h"
#include "common/Catalogs.h"
#include "common/LogText.h"
#include "common/Zel_msg.h"
#include "server/BookingDelta.h"
#include "server/DateList.h"
#include "server/History.h"

namespace age::server {
namespace {

using data::FieldType;
using data::Packet;

constexpr int kAttempts = 5;
// Bookings one room may hold on one day, of any status: bounds what one GetAgendaSala reads and sends.
constexpr long kMaxBookingsPerDay = 1000;

const TMessages& agendaTexts() {
    static const TMessages texts(kAgendaMessages);
    return texts;
}

const TMessages& autoBookingTexts() {
    static const TMessages texts(kAutoBookingMessages);
    return texts;
}

Packet singleColumn(std::string name, FieldType type, int size) {
    Packet p;
    p.fields = {{std::move(name), type, size}};
    return p;
}

data::Value textValue(const std::string& s) {
    return s.empty() ? data::Value{} : data::Value{s};
}

Packet bookingPacket(const std::vector<Booking>& bookings) {
    Packet p;
    p.fields = bookingFieldDefs();
    for (const auto& b : bookings)
        p.rows.push_back({textValue(b.branch), textValue(b.seq), textValue(b.status), textValue(b.reference),
                          textValue(b.room), b.day, textValue(b.operatorCode), textValue(b.operatorName),
                          textValue(b.start), textValue(b.end),
                          b.stamp ? data::Value{*b.stamp} : data::Value{}});
    return p;
}

Reply ok(const Packet& packet, std::map<int, std::string> byref = {}) {
    return {{}, rpc::okEnvelopeText(packet), std::move(byref)};
}

std::string roomUnknown(const std::string& room) {
    return "Sala \"" + age::quoted(room) + "\" não cadastrada.";
}

void requireRoom(Transaction& tx, const std::string& room) {
    if (!tx.roomName(room)) throw Refusal(roomUnknown(room));
}

std::string seqsExhausted(const std::string& room) {
    return "Os seqüenciais da sala \"" + room + "\" se esgotaram.";
}

// The first of `count` new sequence numbers of the room; all of them fit in five digits.
long takeSeqs(Transaction& tx, const std::string& room, long count = 1) {
    long first = tx.nextSeqs(room, count);
    if (first == 0) throw Refusal(seqsExhausted(room));
    return first;
}

// Refuses new bookings of the room when one of the ascending `days` already holds the most a day may hold.
void refuseFullDays(const std::string& room, const std::vector<Date>& days, const std::set<Date>& full,
                    std::string_view outcome) {
    for (Date day : days)
        if (full.count(day))
            throw Refusal("A sala \"" + room + "\" já tem " + std::to_string(kMaxBookingsPerDay) +
                          " agendamentos em " + formatShortDate(day) + ", o máximo por dia; " +
                          std::string(outcome));
}

void refuseFullDays(Transaction& tx, const std::string& room, const std::vector<Date>& days,
                    std::string_view outcome) {
    refuseFullDays(room, days, tx.fullDays(room, days.front(), days.back(), kMaxBookingsPerDay), outcome);
}

// A new booking stores a number GetNrSeq handed out for its room and that no booking used yet.
void claimSeq(Transaction& tx, const Booking& b) {
    if (tx.claimPendingSeq(b.room, std::stol(b.seq))) return;
    if (tx.booking(b.room, b.seq))
        throw Refusal("O seqüencial " + b.seq + " da sala \"" + b.room +
                      "\" já está em uso. Atualize a agenda.");
    throw Refusal("O seqüencial " + b.seq + " não foi fornecido pelo servidor para a sala \"" + b.room +
                  "\" ou já foi usado. Inclua o agendamento novamente.");
}

// Splits ascending `days` into those that can take a booking of `span` in the room and those that cannot:
// past days and days where a scheduled booking overlaps it.
std::pair<std::vector<Date>, std::vector<Date>> freeAndTakenDays(Transaction& tx, const std::string& room,
                                                                 const std::vector<Date>& days,
                                                                 const HourSpan& span, Date today) {
    std::set<Date> clashing = tx.clashingDays(room, days.front(), days.back(), span);
    std::vector<Date> free, taken;
    for (Date day : days) (day < today || clashing.count(day) ? taken : free).push_back(day);
    return {free, taken};
}

bool clashes(const HourSpan& span, const std::vector<HourSpan>& booked) {
    return std::any_of(booked.begin(), booked.end(), [&](const HourSpan& b) { return overlaps(span, b); });
}

bool holdsNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// A NUL character is valid JSON but PostgreSQL cannot store it: every backend refuses it alike. (The other
// text fields have formats that exclude it.)
void refuseNul(const Booking& b) {
    for (auto [name, value] :
         {std::pair{"CDFILIAL", &b.branch}, {"DSAGENDASALA", &b.reference}, {"CDOPERADOR", &b.operatorCode}})
        if (holdsNul(*value))
            throw Refusal("O campo " + std::string(name) + " não pode conter o caractere nulo.");
}

// Checks of SetAgendaSala for a row to be stored. `inserting` adds the rules of a new booking.
void checkRowToStore(Transaction& tx, const Booking& b, const BookingRow& row, Date today, bool inserting) {
    refuseNul(b);
    if (b.seq.empty()) throw Refusal("Seqüencial do agendamento deve ser informado.");
    if (b.seq.size() != 5 ||
        !std::all_of(b.seq.begin(), b.seq.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw Refusal("Seqüencial do agendamento inválido: \"" + age::quoted(b.seq) +
                      "\" (deve ter 5 dígitos).");
    if (b.room.empty()) throw Refusal("Sala do agendamento deve ser informada.");
    requireRoom(tx, b.room);
    if (!row.hasDay) throw Refusal(agendaTexts().Msg("dtage_deve"));
    if (auto failure = checkBookingFields({b.reference, b.start, b.end, b.status}, inserting))
        throw Refusal(agendaTexts().Msg(failure->key));
    if (b.status != "A" && b.status != "C" && b.status != "E")
        throw Refusal("Situação do agendamento inválida: \"" + age::quoted(b.status) +
                      "\" (deve ser A - Agendada, C - Cancelada ou E - Encerrada).");
    if (inserting && b.day < today)
        throw Refusal("Não é possível agendar a sala para uma data anterior à data atual (" +
                      formatShortDate(today) + ").");
}

// The stored booking must still be as the client read it, and still scheduled.
Booking requireUnchanged(Transaction& tx, const Booking& old, std::string_view verb) {
    auto stored = tx.booking(old.room, old.seq);
    if (!stored) throw Refusal("O agendamento foi excluído por outro usuário. Atualize a agenda.");
    if (!sameStoredValues(*stored, old))
        throw Refusal("O agendamento foi alterado por outro usuário. Atualize a agenda.");
    if (stored->status != "A")
        throw Refusal("Somente agendamentos com situação \"Agendada\" podem ser " + std::string(verb) + ".");
    return *stored;
}

void refuseOverlap(Transaction& tx, const Booking& b) {
    if (b.status != "A") return;
    if (clashes({b.start, b.end}, tx.scheduledHoursExcept(b.room, b.day, b.seq)))
        throw Refusal(agendaTexts().Msg("hora_agen"));
}

// With a session, new bookings are made in the signed-in operator's name only.
void requireAuthority(const Caller& caller, const std::string& operatorCode) {
    if (!caller.signedIn() || operatorCode == caller.operatorCode) return;
    const std::string refusal =
        "Não é permitido agendar em nome de outro operador: o agendamento deve ser do operador conectado (\"";
    throw Refusal(refusal + caller.operatorCode + "\"), não de \"" + age::quoted(operatorCode) + "\".");
}

// Applies one change; the server stamps what it stores with its own now and keeps who booked, and the
// change goes to the history in the same transaction.
void applyChange(Transaction& tx, const DeltaChange& change, Date today, DateTime now, const Caller& caller) {
    switch (change.op) {
        case data::ChangeOp::Insert: {
            Booking b = change.newRow.booking;
            checkRowToStore(tx, b, change.newRow, today, true);
            requireAuthority(caller, b.operatorCode);
            b.stamp = now;
            tx.lockRoom(b.room);
            refuseFullDays(tx, b.room, {b.day}, "não é possível incluir outro.");
            refuseOverlap(tx, b);
            claimSeq(tx, b);
            if (!tx.insertBooking(b))
                throw Refusal("O seqüencial " + b.seq + " da sala \"" + b.room +
                              "\" já está em uso. Atualize a agenda.");
            tx.addHistory(history::bookingChange(caller, "SetAgendaSala", now, nullptr, &b));
            break;
        }
        case data::ChangeOp::Update: {
            const Booking& old = change.oldRow.booking;
            Booking b = change.newRow.booking;
            if (old.room != b.room || old.seq != b.seq || old.day != b.day || !change.oldRow.hasDay ||
                !change.newRow.hasDay)
                throw Refusal("A sala, a data e o seqüencial de um agendamento não podem ser alterados.");
            checkRowToStore(tx, b, change.newRow, today, false);
            tx.lockRoom(b.room);
            Booking stored = requireUnchanged(tx, old, "alterados");
            b.operatorCode = stored.operatorCode;
            b.stamp = now;
            refuseOverlap(tx, b);
            if (!tx.updateBooking(b))
                throw Refusal("O agendamento foi excluído por outro usuário. Atualize a agenda.");
            tx.addHistory(history::bookingChange(caller, "SetAgendaSala", now, &stored, &b));
            break;
        }
        case data::ChangeOp::Delete: {
            const Booking& old = change.oldRow.booking;
            if (old.room.empty() || old.seq.empty())
                throw Refusal("Sala e seqüencial do agendamento a excluir devem ser informados.");
            tx.lockRoom(old.room);
            Booking stored = requireUnchanged(tx, old, "excluídos");
            tx.deleteBooking(old.room, old.seq);
            tx.addHistory(history::bookingChange(caller, "SetAgendaSala", now, &stored, nullptr));
            break;
        }
    }
}

// The arguments of SetHrSala that become fields of the new bookings.
void checkRecurringArgs(Transaction& tx, const Booking& b) {
    auto tooLong = [](const std::string& value, int size) {
        return utf8Length(value) > static_cast<std::size_t>(size);
    };
    if (tooLong(b.branch, 4)) throw Refusal("O código da filial aceita no máximo 4 caracteres.");
    if (tooLong(b.operatorCode, 12)) throw Refusal("O código do operador aceita no máximo 12 caracteres.");
    if (tooLong(b.reference, 1000)) throw Refusal("A referência aceita no máximo 1000 caracteres.");
    if (holdsNul(b.branch)) throw Refusal("O código da filial não pode conter o caractere nulo.");
    if (holdsNul(b.operatorCode)) throw Refusal("O código do operador não pode conter o caractere nulo.");
    if (holdsNul(b.reference)) throw Refusal("A referência não pode conter o caractere nulo.");
    if (auto failure = checkBookingFields({b.reference, b.start, b.end, b.status}, true))
        throw Refusal(agendaTexts().Msg(failure->key));
    if (b.room.empty()) throw Refusal("Sala do agendamento deve ser informada.");
    if (tooLong(b.room, 5)) throw Refusal(roomUnknown(b.room));
    requireRoom(tx, b.room);
}

// A transaction that lost a race (another server's writer, a deadlock, a dropped database connection) rolled
// back whole, so the call runs again from the start after a short random pause. A booking the database
// itself refuses as an overlap is the usual overlap refusal.
Reply retryingConflicts(const std::function<Reply()>& call) {
    thread_local std::minstd_rand jitter(std::random_device{}());
    for (int attempt = 1;; ++attempt) {
        try {
            return call();
        } catch (const StorageConflict&) {
            if (attempt == kAttempts) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + jitter() % (5 * attempt)));
        } catch (const StorageOverlap&) {
            throw Refusal(agendaTexts().Msg("hora_agen"));
        }
    }
}

}  // namespace

bool overlaps(const HourSpan& a, const HourSpan& b) {
    return a.start <= b.end && b.start <= a.end;
}

void AgendaModule::registerIn(Dispatcher& d) {
    const std::string module(kRemoteModule);
    auto bind = [this](Reply (AgendaModule::*m)(const Args&)) {
        return [this, m](const Args& a) { return retryingConflicts([&] { return (this->*m)(a); }); };
    };
    using K = ArgKind;
    d.add(module, {"GetSala", {}, bind(&AgendaModule::GetSala)});
    d.add(module, {"getNmSala", {{"sala", K::Text}, {"filial", K::Text}}, bind(&AgendaModule::getNmSala)});
    d.add(module,
          {"GetAgendaSala", {{"sala", K::Text}, {"dia", K::Day}}, bind(&AgendaModule::GetAgendaSala)});
    d.add(module, {"GetSysdate", {}, bind(&AgendaModule::GetSysdate), /*envelope=*/true, Lane::Quick});
    d.add(module,
          {"GetNrSeq", {{"sala", K::Text}, {"dia", K::Day}}, bind(&AgendaModule::GetNrSeq), true, Lane::Write});
    d.add(module, {"GetHora", {{"sala", K::Text}, {"dia", K::Day}}, bind(&AgendaModule::GetHora)});
    d.add(module, {"SetAgendaSala", {{"alterações", K::Object}}, bind(&AgendaModule::SetAgendaSala), true,
                   Lane::Write});
    d.add(
        module,
        {"GetPesqSala",
         {{"filial", K::Text}, {"sala", K::Text}, {"lista de datas", K::Text, true}, {"seqüencial", K::Text}},
         bind(&AgendaModule::GetPesqSala),
         /*envelope=*/false});
    d.add(module, {"SetHrSala",
                   {{"filial", K::Text},
                    {"operador", K::Text},
                    {"lista de datas", K::Text, true},
                    {"seqüencial", K::Text},
                    {"situação", K::Text},
                    {"referência", K::Text},
                    {"início", K::Text},
                    {"término", K::Text},
                    {"sala", K::Text}},
                   bind(&AgendaModule::SetHrSala),
                   true,
                   Lane::Write});
}

Reply AgendaModule::GetSala(const Args&) {
    Packet p = singleColumn("CDSALA", FieldType::String, 5);
    for (const auto& room : storage_.readOne()->rooms()) p.rows.push_back({room.code});
    return ok(p);
}

Reply AgendaModule::getNmSala(const Args& args) {
    Packet p = singleColumn("NMSALA", FieldType::String, 30);
    if (auto name = storage_.readOne()->roomName(args.text(0))) p.rows.push_back({textValue(*name)});
    return ok(p);
}

Reply AgendaModule::GetAgendaSala(const Args& args) {
    return ok(bookingPacket(storage_.readOne()->bookings(args.text(0), args.day(1))));
}

Reply AgendaModule::GetSysdate(const Args&) {
    // The screen asks on every row change: the answer is written once per second on each thread.
    thread_local std::optional<DateTime> at;
    thread_local std::string envelope;
    DateTime now = clock_.now();
    if (at != now) {
        Packet p = singleColumn("SYSDATE", FieldType::DateTime, 0);
        p.rows.push_back({now});
        envelope = rpc::okEnvelopeText(p);
        at = now;
    }
    return {{}, envelope, {}};
}

// An operator signed in on many connections gets no more numbers than on one: each number taken and
// not stored is a number the room can no longer use.
bool AgendaModule::takeOperatorSeq(const Caller& caller) {
    if (!caller.signedIn()) return true;
    std::lock_guard lock(seqMutex_);
    auto it = seqByOperator_.try_emplace(caller.operatorCode, 2 * seqRate_, seqRate_).first;
    return it->second.take();
}

Reply AgendaModule::GetNrSeq(const Args& args) {
    const std::string& room = args.text(0);
    if (!args.caller().seqNumbers.take() || !takeOperatorSeq(args.caller()))
        throw Refusal("Muitos seqüenciais pedidos em pouco tempo; tente novamente em instantes.");
    HandedOutSeq seq = storage_.handOutSeq(room);
    if (seq.outcome == HandedOutSeq::Outcome::UnknownRoom) throw Refusal(roomUnknown(room));
    if (seq.outcome == HandedOutSeq::Outcome::Exhausted) throw Refusal(seqsExhausted(room));
    Packet p = singleColumn("NRSEQ", FieldType::String, 5);
    p.rows.push_back({formatSeq(seq.number)});
    return ok(p);
}

Reply AgendaModule::GetHora(const Args& args) {
    Packet p;
    p.fields = {{"HRINIAGESALA", FieldType::String, 4}, {"HRFINAGESALA", FieldType::String, 4}};
    for (const auto& span : storage_.readOne()->scheduledHours(args.text(0), args.day(1)))
        p.rows.push_back({span.start, span.end});
    return ok(p);
}

Reply AgendaModule::SetAgendaSala(const Args& args) {
    std::vector<DeltaChange> changes = readBookingDelta(args.value(0));
    const DateTime now = clock_.now();
    auto tx = storage_.write();
    for (const auto& change : changes) applyChange(*tx, change, wholeDay(now), now, args.caller());
    tx->commit();
    return {{}, rpc::okEnvelopeText(), {}};
}

Reply AgendaModule::GetPesqSala(const Args& args) {
    const std::string& room = args.text(1);
    const std::string& seq = args.text(3);
    std::vector<Date> days = parseDateList(args.text(2));
    if (days.empty()) return {json(""), {}, {{2, ""}}};

    auto tx = storage_.read();
    auto model = tx->booking(room, seq);
    if (!model)
        throw CallFault(rpc::code::InvalidParams, "Agendamento modelo não encontrado (sala \"" +
                                                      age::quoted(room) + "\", seqüencial \"" +
                                                      age::quoted(seq) + "\"); nada foi agendado.");
    auto [free, taken] = freeAndTakenDays(*tx, room, days, {model->start, model->end}, clock_.today());
    std::string answer;
    if (taken.empty()) {
        answer = "1";
    } else if (free.empty()) {
        answer = "0";
    } else {
        answer = "1";
        for (Date d : taken) answer += "_" + formatShortDate(d);
    }
    return {json(answer), {}, {{2, formatDateList(free)}}};
}

Reply AgendaModule::SetHrSala(const Args& args) {
    Booking model;
    model.branch = args.text(0);
    model.operatorCode = args.text(1);
    model.status = args.text(4);
    model.reference = args.text(5);
    model.start = args.text(6);
    model.end = args.text(7);
    model.room = args.text(8);

    auto tx = storage_.write();
    checkRecurringArgs(*tx, model);
    requireAuthority(args.caller(), model.operatorCode);
    std::vector<Date> days = parseDateList(args.text(2));
    if (days.empty()) return ok(bookingPacket({}), {{2, ""}});

    tx->lockRoom(model.room);
    // The user was asked about the days the template's stored hours leave free (GetPesqSala); booking
    // other hours than those would answer a question nobody asked.
    if (auto stored = tx->booking(model.room, args.text(3));
        stored && (stored->start != model.start || stored->end != model.end || stored->reference != model.reference))
        throw Refusal("O agendamento modelo foi alterado por outro usuário (horário ou referência); nada foi "
                      "agendado. Atualize a agenda e confirme novamente.");
    model.operatorName = tx->operatorName(model.operatorCode).value_or("");
    model.stamp = clock_.now();
    // The days are distinct, so the new bookings cannot clash among themselves. One pass over the period
    // tells the days taken and the days full.
    auto loads = tx->dayLoads(model.room, days.front(), days.back(), {model.start, model.end});
    std::vector<Date> booked;
    std::set<Date> full;
    for (Date day : days) {
        auto load = loads.find(day);
        if (day < clock_.today() || (load != loads.end() && load->second.clashes)) continue;
        booked.push_back(day);
        if (load != loads.end() && load->second.bookings >= kMaxBookingsPerDay) full.insert(day);
    }
    if (booked.empty()) throw Refusal(autoBookingTexts().Msg("salas_ocup"));
    refuseFullDays(model.room, booked, full, "nada foi agendado.");
    long seq = takeSeqs(*tx, model.room, static_cast<long>(booked.size()));
    if (tx->insertSeries(model, seq, booked) != booked.size())
        throw StorageError("sequence numbers handed out twice in room " + model.room);
    std::vector<Booking> created;
    std::vector<HistoryEntry> history;
    for (Date day : booked) {
        Booking b = model;
        b.day = day;
        b.seq = formatSeq(seq++);
        history.push_back(history::bookingChange(args.caller(), "SetHrSala", *model.stamp, nullptr, &b));
        created.push_back(std::move(b));
    }
    tx->addHistory(history);
    tx->commit();
    return ok(bookingPacket(created), {{2, formatDateList(booked)}});
}

}  // namespace age::server
