// Reading the change log of the booking data set into bookings, with the record's own types and sizes
// (the sizes the client declares are not trusted).
#pragma once

#include <string>
#include <vector>

#include "platform/data/Packet.h"
#include "server/Dispatch.h"
#include "server/storage/Storage.h"

namespace age::server {

struct BookingRow {
    Booking booking;
    bool hasDay = false;  // DTATIAGESALA was not null
};

struct DeltaChange {
    data::ChangeOp op = data::ChangeOp::Insert;
    BookingRow oldRow;  // update, delete
    BookingRow newRow;  // insert, update
};

// The fields of the booking record as the server delivers them (common/Booking.h kBookingFields).
std::vector<data::FieldDef> bookingFieldDefs();

// A log that is not a change log at all is a CallFault (-32602); a value of the wrong kind or too long for
// its field is a Refusal. Fields the record does not have are ignored; NMOPERADOR may be left out.
std::vector<DeltaChange> readBookingDelta(const json& delta);

// Every stored value but NMOPERADOR, which the server derives.
bool sameStoredValues(const Booking& a, const Booking& b);

std::size_t utf8Length(std::string_view text);

}  // namespace age::server
