#include "platform/rpc/Wire.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <simdjson.h>

#include "common/LogText.h"

namespace age::rpc {
namespace {

using data::FieldType;

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

[[noreturn]] void bad(int c, const std::string& message) { throw WireError(c, message); }

// What a line holds outside its strings, read in one pass without recursion.
struct Shape {
    bool tooDeep = false;
    std::vector<std::pair<std::size_t, std::size_t>> hugeNumbers;  // offset and length, beyond a double
};

bool numberChar(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// A number token only overflows a double with an exponent or hundreds of digits.
bool overflows(std::string_view token) {
    if (token.size() < 300 && token.find_first_of("eE") == std::string_view::npos) return false;
    return std::isinf(std::strtod(std::string(token).c_str(), nullptr));
}

Shape shapeOf(std::string_view s) {
    Shape shape;
    std::size_t depth = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            for (++i; i < s.size() && s[i] != '"'; ++i)
                if (s[i] == '\\') ++i;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) {
                shape.tooDeep = true;
                return shape;
            }
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = i;
            while (end < s.size() && numberChar(s[end])) ++end;
            if (overflows(s.substr(i, end - i))) shape.hugeNumbers.emplace_back(i, end - i);
            i = end - 1;
        }
    }
    return shape;
}

// The line with every number beyond a double's range read as null (the JSON reader refuses them outright).
std::string withoutHugeNumbers(std::string_view line, const Shape& shape) {
    std::string out;
    std::size_t from = 0;
    for (auto [at, length] : shape.hugeNumbers) {
        out.append(line.substr(from, at - from));
        out += "null";
        from = at + length;
    }
    out.append(line.substr(from));
    return out;
}

// The shape of a line within the size and nesting limits (else throws).
Shape checkedShape(std::string_view line, int tooLongCode, std::size_t maxBytes) {
    if (line.size() > maxBytes) bad(tooLongCode, "line longer than " + std::to_string(maxBytes) + " bytes");
    Shape shape = shapeOf(line);
    if (shape.tooDeep)
        bad(code::InvalidRequest,
            "Requisição com mais de " + std::to_string(kMaxDepth) + " níveis de aninhamento.");
    return shape;
}

// Numbers beyond a double's range are read as null.
json parseShaped(std::string_view line, const Shape& shape) {
    std::string cleaned;
    if (!shape.hugeNumbers.empty()) {
        cleaned = withoutHugeNumbers(line, shape);
        line = cleaned;
    }
    json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) bad(code::ParseError, "A linha não é um JSON válido.");
    return j;
}

json parseLine(std::string_view line, int tooLongCode, std::size_t maxBytes = kMaxLineBytes) {
    return parseShaped(line, checkedShape(line, tooLongCode, maxBytes));
}

void checkVersion(const json& j) {
    auto it = j.find("jsonrpc");
    if (it == j.end() || *it != "2.0") bad(code::InvalidRequest, "O campo \"jsonrpc\" deve ser \"2.0\".");
}

bool validId(const json& id) { return id.is_null() || id.is_number_integer() || id.is_string(); }

FieldType typeFromName(const json& name) {
    if (name == "string") return FieldType::String;
    if (name == "date") return FieldType::Date;
    if (name == "datetime") return FieldType::DateTime;
    if (name == "integer") return FieldType::Integer;
    bad(code::InvalidParams, "unknown field type " + age::quoted(dump(name)));
}

json fieldsToJson(const std::vector<data::FieldDef>& fields) {
    json out = json::array();
    for (const auto& f : fields) {
        json jf = {{"name", f.name}, {"type", std::string(data::fieldTypeName(f.type))}};
        if (f.type == FieldType::String) jf["size"] = f.size;
        out.push_back(std::move(jf));
    }
    return out;
}

std::vector<data::FieldDef> fieldsFromJson(const json& j) {
    if (!j.is_array()) bad(code::InvalidParams, "\"fields\" must be an array");
    std::vector<data::FieldDef> fields;
    for (const auto& jf : j) {
        if (!jf.is_object() || !jf.contains("name") || !jf["name"].is_string() || !jf.contains("type"))
            bad(code::InvalidParams, "a field needs a \"name\" and a \"type\"");
        data::FieldDef f{jf["name"].get<std::string>(), typeFromName(jf["type"]), 0};
        if (auto size = jf.find("size"); size != jf.end()) {
            if (!size->is_number_integer() || size->get<long long>() < 0 || size->get<long long>() > 1 << 20)
                bad(code::InvalidParams, "bad size for field " + age::quoted(f.name));
            f.size = size->get<int>();
        }
        fields.push_back(std::move(f));
    }
    return fields;
}

json rowToJson(const std::vector<data::FieldDef>& fields, const data::Row& row) {
    json out = json::array();
    for (std::size_t i = 0; i < row.size(); ++i)
        out.push_back(valueToJson(row[i], i < fields.size() ? fields[i].type : FieldType::String));
    return out;
}

data::Row rowFromJson(const std::vector<data::FieldDef>& fields, const json& j) {
    if (!j.is_array()) bad(code::InvalidParams, "a row must be an array");
    if (j.size() != fields.size())
        bad(code::InvalidParams, "a row has " + std::to_string(j.size()) + " values for " +
                                     std::to_string(fields.size()) + " fields");
    data::Row row;
    row.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) row.push_back(valueFromJson(j[i], fields[i].type));
    return row;
}

template <class T>
void validated(const T& value) {
    try {
        value.validate();
    } catch (const data::PacketError& e) {
        bad(code::InvalidParams, age::quoted(e.what(), 200));
    }
}

}  // namespace

namespace {
void appendString(std::string& out, std::string_view text);  // below, with the packet writer
}  // namespace

// Written in place: a call's envelope built as a JSON object first cost the client a microsecond a call.
std::string encodeRequest(const Request& r) {
    std::string out = R"({"jsonrpc":"2.0","id":)";
    out += dump(r.id);
    out += R"(,"method":)";
    appendString(out, r.method);
    out += R"(,"params":)";
    out += r.params.is_array() && r.params.empty() ? "[]" : dump(r.params);
    out += '}';
    return out;
}

namespace {

// Reads a request line of the plain shape clients send without building a tree for the envelope. It takes
// only what it can read unambiguously and returns nullopt for anything else (escapes, other or repeated
// keys, non-ASCII, ...), which the tree reader then takes, so that every answer and error stays its own.
class PlainRequestReader {
  public:
    explicit PlainRequestReader(std::string_view line) : s_(line) {}

    std::optional<Request> read() {
        if (!eat('{')) return std::nullopt;
        Request r;
        r.notification = true;
        bool seen[4] = {};
        do {
            auto key = plainString();
            if (!key || !eat(':')) return std::nullopt;
            int k = keyIndex(*key);
            if (k < 0 || seen[k]) return std::nullopt;  // the tree reader keeps the last of repeated keys
            seen[k] = true;
            if (k == 0) {
                if (plainString() != "2.0") return std::nullopt;
            } else if (k == 1) {
                auto id = scalar();
                if (!id) return std::nullopt;
                r.id = std::move(*id);
                r.notification = false;
            } else if (k == 2) {
                auto method = plainString();
                if (!method) return std::nullopt;
                r.method = *method;
            } else if (!plainArray(r.params)) {
                return seen[0] && seen[2] && lastArray(r.params) ? std::optional(std::move(r)) : std::nullopt;
            }
        } while (eat(','));
        if (!eat('}') || (skipSpace(), i_ != s_.size()) || !seen[0] || !seen[2]) return std::nullopt;
        return r;
    }

  private:
    static int keyIndex(std::string_view key) {
        static constexpr std::string_view keys[] = {"jsonrpc", "id", "method", "params"};
        for (int k = 0; k < 4; ++k)
            if (key == keys[k]) return k;
        return -1;
    }
    static bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void skipSpace() {
        while (i_ < s_.size() && space(s_[i_])) ++i_;
    }
    bool eat(char c) {
        skipSpace();
        if (i_ >= s_.size() || s_[i_] != c) return false;
        ++i_;
        return true;
    }
    // A string of printable ASCII without escapes, quotes excluded.
    std::optional<std::string_view> plainString() {
        if (!eat('"')) return std::nullopt;
        std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= 0x20 && s_[i_] <= 0x7E && s_[i_] != '"' && s_[i_] != '\\') ++i_;
        if (i_ >= s_.size() || s_[i_] != '"') return std::nullopt;
        return s_.substr(start, i_++ - start);
    }
    // A plain string, or an integer of at most 18 digits (it fits int64), typed as the tree reader types it.
    std::optional<json> scalar() {
        skipSpace();
        if (i_ < s_.size() && s_[i_] == '"') {
            auto text = plainString();
            return text ? std::optional<json>(std::string(*text)) : std::nullopt;
        }
        bool negative = i_ < s_.size() && s_[i_] == '-';
        std::size_t start = i_ + negative, end = start;
        while (end < s_.size() && s_[end] >= '0' && s_[end] <= '9') ++end;
        if (end == start || end - start > 18 || (end - start > 1 && s_[start] == '0')) return std::nullopt;
        std::int64_t value = 0;
        for (std::size_t k = start; k < end; ++k) value = value * 10 + (s_[k] - '0');
        i_ = end;  // what follows (a fraction, an exponent) is no ',', '}' or ']', so the caller gives up
        return negative ? json(-value) : json(static_cast<std::uint64_t>(value));
    }
    // An array of plain scalars; on failure the reader stays at its '[' for lastArray.
    bool plainArray(json& out) {
        skipSpace();
        arrayAt_ = i_;
        if (!eat('[')) return false;
        if (eat(']')) return true;
        do {
            auto value = scalar();
            if (!value) return false;
            out.push_back(std::move(*value));
        } while (eat(','));
        return eat(']');
    }
    // Any array that is the last member: the text from its '[' to the line's closing '}' must be one array.
    bool lastArray(json& out) {
        std::size_t end = s_.size();
        while (end > arrayAt_ && space(s_[end - 1])) --end;
        if (end <= arrayAt_ + 1 || s_[arrayAt_] != '[' || s_[end - 1] != '}') return false;
        // Lines read whole here are 2 levels deep with short integers: only this text can break the limits.
        Shape shape = shapeOf(s_);
        if (shape.tooDeep || !shape.hugeNumbers.empty()) return false;
        std::string_view text = s_.substr(arrayAt_, end - 1 - arrayAt_);
        if (text.find('\0') != std::string_view::npos) return false;  // the JSON reader stops at a NUL
        out = json::parse(text, nullptr, /*allow_exceptions=*/false);
        return out.is_array();  // a discarded parse is no array
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::size_t arrayAt_ = 0;
};

Request requestFromTree(std::string_view line, const Shape& shape) {
    json j = parseShaped(line, shape);
    if (!j.is_object()) bad(code::InvalidRequest, "A requisição deve ser um objeto JSON.");
    checkVersion(j);
    Request r;
    if (auto id = j.find("id"); id != j.end()) {
        if (!validId(*id))
            bad(code::InvalidRequest, "O campo \"id\" deve ser um número inteiro ou um texto.");
        r.id = *id;
    } else {
        r.notification = true;
    }
    auto method = j.find("method");
    if (method == j.end() || !method->is_string())
        bad(code::InvalidRequest, "O campo \"method\" deve ser um texto.");
    r.method = method->get<std::string>();
    if (auto params = j.find("params"); params != j.end()) {
        if (!params->is_array()) bad(code::InvalidRequest, "O campo \"params\" deve ser uma lista.");
        r.params = std::move(*params);
    }
    // Checked once the request is whole, so that its id is known for the answer.
    if (!shape.hugeNumbers.empty())
        bad(code::InvalidParams, "Número fora do intervalo representável na requisição.");
    return r;
}

}  // namespace

Request parseRequest(std::string_view line) {
    if (line.size() <= kMaxLineBytes)
        if (auto plain = PlainRequestReader(line).read()) return std::move(*plain);
    return requestFromTree(line, checkedShape(line, code::InvalidRequest, kMaxLineBytes));
}

Request detail::parseRequestThroughTree(std::string_view line) {
    return requestFromTree(line, checkedShape(line, code::InvalidRequest, kMaxLineBytes));
}

json requestIdOf(std::string_view line) {
    json j;
    try {
        j = parseLine(line, code::InvalidRequest);
    } catch (const WireError&) {
        return nullptr;
    }
    if (!j.is_object()) return nullptr;
    auto id = j.find("id");
    return id != j.end() && validId(*id) ? *id : json(nullptr);
}

std::string encodeResponse(const Response& r) {
    std::string out = R"({"jsonrpc":"2.0","id":)" + dump(r.id);
    if (r.error) {
        out += R"(,"error":)" + dump(json{{"code", r.error->code}, {"message", r.error->message}});
    } else {
        out += R"(,"result":)";
        out += r.rawResult.empty() ? dump(r.result) : r.rawResult;
        if (!r.byref.empty()) {
            json byref = json::object();
            for (const auto& [pos, value] : r.byref) byref[std::to_string(pos)] = value;
            out += R"(,"byref":)" + dump(byref);
        }
    }
    out += '}';
    return out;
}

Response parseResponse(std::string_view line) { return parseResponse(line, kMaxLineBytes); }

Response parseResponse(std::string_view line, std::size_t maxBytes) {
    json j = parseLine(line, code::InvalidRequest, maxBytes);
    if (!j.is_object()) bad(code::InvalidRequest, "a response must be a JSON object");
    checkVersion(j);
    Response r;
    auto id = j.find("id");
    if (id == j.end() || !validId(*id)) bad(code::InvalidRequest, "a response needs a number or string \"id\"");
    r.id = *id;
    if (auto err = j.find("error"); err != j.end()) {
        if (!err->is_object() || !err->contains("code") || !(*err)["code"].is_number_integer() ||
            !err->contains("message") || !(*err)["message"].is_string())
            bad(code::InvalidRequest, "\"error\" needs an integer \"code\" and a string \"message\"");
        r.error = RpcError{(*err)["code"].get<int>(), (*err)["message"].get<std::string>()};
        return r;
    }
    auto result = j.find("result");
    if (result == j.end()) bad(code::InvalidRequest, "a response needs \"result\" or \"error\"");
    r.result = std::move(*result);
    if (auto byref = j.find("byref"); byref != j.end()) {
        if (!byref->is_object()) bad(code::InvalidRequest, "\"byref\" must be an object");
        for (const auto& [key, value] : byref->items()) {
            std::size_t used = 0;
            int pos = -1;
            try {
                pos = std::stoi(key, &used);
            } catch (const std::exception&) {
            }
            if (pos < 0 || used != key.size() || !value.is_string())
                bad(code::InvalidRequest, "\"byref\" maps argument positions to strings");
            r.byref[pos] = value.get<std::string>();
        }
    }
    return r;
}

Response errorResponse(const json& id, int c, const std::string& message) {
    Response r;
    r.id = id;
    r.error = RpcError{c, message};
    return r;
}

std::pair<std::string, std::string> splitMethod(std::string_view method) {
    auto dot = method.rfind('.');
    if (dot == std::string_view::npos) return {"", std::string(method)};
    return {std::string(method.substr(0, dot)), std::string(method.substr(dot + 1))};
}

json valueToJson(const data::Value& value, FieldType) {
    struct Visitor {
        json operator()(std::monostate) const { return nullptr; }
        json operator()(const std::string& s) const { return s; }
        json operator()(std::int64_t i) const { return i; }
        json operator()(Date d) const { return formatIsoDate(d); }
        json operator()(DateTime t) const { return formatIsoDateTime(t); }
    };
    return std::visit(Visitor{}, value);
}

data::Value valueFromJson(const json& j, FieldType type) {
    if (j.is_null()) return std::monostate{};
    switch (type) {
        case FieldType::String:
            if (j.is_string()) return j.get<std::string>();
            break;
        case FieldType::Integer:
            if (j.is_number_integer()) return j.get<std::int64_t>();
            break;
        case FieldType::Date:
            if (j.is_string())
                if (auto d = parseIsoDate(j.get_ref<const std::string&>())) return *d;
            break;
        case FieldType::DateTime:
            if (j.is_string())
                if (auto t = parseIsoDateTime(j.get_ref<const std::string&>())) return *t;
            break;
    }
    bad(code::InvalidParams,
        "value " + age::quoted(dump(j), 60) + " is not a " + std::string(data::fieldTypeName(type)));
}

json packetToJson(const data::Packet& p) {
    json rows = json::array();
    for (const auto& row : p.rows) rows.push_back(rowToJson(p.fields, row));
    return {{"fields", fieldsToJson(p.fields)}, {"rows", std::move(rows)}};
}

data::Packet packetFromJson(const json& j) {
    if (!j.is_object() || !j.contains("fields") || !j.contains("rows") || !j["rows"].is_array())
        bad(code::InvalidParams, "a data packet needs \"fields\" and \"rows\"");
    data::Packet p;
    p.fields = fieldsFromJson(j["fields"]);
    for (const auto& row : j["rows"]) p.rows.push_back(rowFromJson(p.fields, row));
    validated(p);
    return p;
}

json changeLogToJson(const data::ChangeLog& log) {
    json changes = json::array();
    for (const auto& c : log.changes) {
        json jc;
        switch (c.op) {
            case data::ChangeOp::Insert: jc = {{"op", "insert"}, {"new", rowToJson(log.fields, c.newValues)}}; break;
            case data::ChangeOp::Update:
                jc = {{"op", "update"},
                      {"old", rowToJson(log.fields, c.oldValues)},
                      {"new", rowToJson(log.fields, c.newValues)}};
                break;
            case data::ChangeOp::Delete: jc = {{"op", "delete"}, {"old", rowToJson(log.fields, c.oldValues)}}; break;
        }
        changes.push_back(std::move(jc));
    }
    return {{"fields", fieldsToJson(log.fields)}, {"changes", std::move(changes)}};
}

data::ChangeLog changeLogFromJson(const json& j) {
    if (!j.is_object() || !j.contains("fields") || !j.contains("changes") || !j["changes"].is_array())
        bad(code::InvalidParams, "a change log needs \"fields\" and \"changes\"");
    data::ChangeLog log;
    log.fields = fieldsFromJson(j["fields"]);
    for (const auto& jc : j["changes"]) {
        if (!jc.is_object() || !jc.contains("op")) bad(code::InvalidParams, "a change needs an \"op\"");
        data::Change c;
        const json& op = jc["op"];
        if (op == "insert") c.op = data::ChangeOp::Insert;
        else if (op == "update") c.op = data::ChangeOp::Update;
        else if (op == "delete") c.op = data::ChangeOp::Delete;
        else
            bad(code::InvalidParams, "unknown change op " + age::quoted(dump(op)));
        bool needsOld = c.op != data::ChangeOp::Insert, needsNew = c.op != data::ChangeOp::Delete;
        if (needsOld != jc.contains("old") || needsNew != jc.contains("new"))
            bad(code::InvalidParams, "change " + age::quoted(dump(op)) + " has the wrong rows");
        if (needsOld) c.oldValues = rowFromJson(log.fields, jc["old"]);
        if (needsNew) c.newValues = rowFromJson(log.fields, jc["new"]);
        log.changes.push_back(std::move(c));
    }
    validated(log);
    return log;
}

json okEnvelope(const std::optional<data::Packet>& packet) {
    return {{"ok", true}, {"data", packet ? packetToJson(*packet) : json(nullptr)}};
}

namespace {

bool plainAscii(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Length of the valid UTF-8 sequence starting at text[i], 0 when it is not one.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c >= 0xF5 || i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) return 0;  // overlong, surrogates
    if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) return 0;  // overlong, past U+10FFFF
    return len;
}

// Appends `text` as a JSON string; invalid UTF-8 becomes U+FFFD, as the tree writer does.
void appendString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = i;
        while (run < text.size() && plainAscii(static_cast<unsigned char>(text[run]))) ++run;
        out.append(text.substr(i, run - i));
        if (run == text.size()) break;
        i = run;
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t len = utf8Length(text, i);
            out.append(len ? text.substr(i, len) : std::string_view("\xEF\xBF\xBD"));
            i += len ? len : 1;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
        }
        ++i;
    }
    out += '"';
}

void appendValue(std::string& out, const data::Value& value) {
    struct Visitor {
        std::string& out;
        void operator()(std::monostate) const { out += "null"; }
        void operator()(const std::string& s) const { appendString(out, s); }
        void operator()(std::int64_t i) const { out += std::to_string(i); }
        void operator()(Date d) const { out += '"' + formatIsoDate(d) + '"'; }
        void operator()(DateTime t) const { out += '"' + formatIsoDateTime(t) + '"'; }
    };
    std::visit(Visitor{out}, value);
}

// The same text as dump(fieldsToJson(fields)), written without building a JSON tree: every answer carries it.
void appendFields(std::string& out, const std::vector<data::FieldDef>& fields) {
    out += '[';
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& f = fields[i];
        out += i ? R"(,{"name":)" : R"({"name":)";
        appendString(out, f.name);
        if (f.type == FieldType::String) {
            out += R"(,"size":)";
            out += std::to_string(f.size);
        }
        out += R"(,"type":")";
        out += data::fieldTypeName(f.type);
        out += "\"}";
    }
    out += ']';
}

}  // namespace

std::string okEnvelopeText(const std::optional<data::Packet>& packet) {
    if (!packet) return R"({"ok":true,"data":null})";
    std::string out;
    out.reserve(64 + packet->fields.size() * 48 + packet->rows.size() * packet->fields.size() * 16);
    out += R"({"ok":true,"data":{"fields":)";
    appendFields(out, packet->fields);
    out += R"(,"rows":[)";
    for (std::size_t r = 0; r < packet->rows.size(); ++r) {
        if (r) out += ',';
        out += '[';
        const auto& row = packet->rows[r];
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c) out += ',';
            appendValue(out, row[c]);
        }
        out += ']';
    }
    out += "]}}";
    return out;
}

json errorEnvelope(const std::string& message) { return {{"ok", false}, {"error", message}}; }

Envelope envelopeFromJson(const json& j) {
    if (!j.is_object() || !j.contains("ok") || !j["ok"].is_boolean())
        bad(code::InternalError, "the server's answer is not a result envelope");
    Envelope e;
    e.ok = j["ok"].get<bool>();
    if (e.ok) {
        if (auto d = j.find("data"); d != j.end() && !d->is_null()) {
            try {
                e.data = packetFromJson(*d);
            } catch (const WireError& err) {
                bad(code::InternalError, std::string("the server's data packet is malformed: ") + err.what());
            }
        }
    } else {
        auto err = j.find("error");
        e.error = err != j.end() && err->is_string() ? err->get<std::string>() : "Erro no servidor de aplicação.";
    }
    return e;
}

// ---------------------------------------------------------------------------------------------------------
// Reading a response whose result stays text, and an envelope read from text in one pass.

namespace {

std::size_t skipSpace(std::string_view s, std::size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    return i;
}

// End of the JSON value starting at i (structure only: strings, nesting, scalars), npos when malformed or
// nested deeper than kMaxDepth. Whoever reads the value later checks its content.
std::size_t skipValue(std::string_view s, std::size_t i) {
    std::size_t depth = 0;
    do {
        if (i >= s.size()) return std::string_view::npos;
        char c = s[i];
        if (c == '"') {
            for (++i; i < s.size() && s[i] != '"'; ++i)
                if (s[i] == '\\') ++i;
            if (i >= s.size()) return std::string_view::npos;
            ++i;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxDepth) return std::string_view::npos;
            ++i;
        } else if (c == '}' || c == ']') {
            if (depth-- == 0) return std::string_view::npos;
            ++i;
        } else if (c == ',' || c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (depth == 0) return std::string_view::npos;
            ++i;
        } else {
            while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' && s[i] != '\t' &&
                   s[i] != '\n' && s[i] != '\r')
                ++i;
        }
    } while (depth > 0);
    return i;
}

// The span of the top-level member "result" of a response object, if the line is shaped so.
std::optional<std::pair<std::size_t, std::size_t>> resultSpan(std::string_view s) {
    std::size_t i = skipSpace(s, 0);
    if (i >= s.size() || s[i] != '{') return std::nullopt;
    i = skipSpace(s, i + 1);
    while (i < s.size() && s[i] == '"') {
        std::size_t keyEnd = skipValue(s, i);
        if (keyEnd == std::string_view::npos) return std::nullopt;
        std::string_view key = s.substr(i, keyEnd - i);
        i = skipSpace(s, keyEnd);
        if (i >= s.size() || s[i] != ':') return std::nullopt;
        std::size_t valueStart = skipSpace(s, i + 1);
        std::size_t valueEnd = skipValue(s, valueStart);
        if (valueEnd == std::string_view::npos) return std::nullopt;
        if (key == "\"result\"") return std::make_pair(valueStart, valueEnd);
        i = skipSpace(s, valueEnd);
        if (i < s.size() && s[i] == ',') i = skipSpace(s, i + 1);
    }
    return std::nullopt;
}

[[noreturn]] void badEnvelope(const std::string& why) {
    throw WireError(code::InternalError, "the server's answer is not a result envelope: " + why);
}

// Takes the lookup's result, not an element: converting a missing member to an element would throw.
std::string_view textOf(simdjson::simdjson_result<simdjson::dom::element> e, const char* what) {
    std::string_view v;
    if (e.get(v) != simdjson::SUCCESS) badEnvelope(std::string(what) + " is not a string");
    return v;
}

data::Value valueFromElement(simdjson::dom::element e, data::FieldType type) {
    if (e.is_null()) return std::monostate{};
    switch (type) {
        case data::FieldType::String:
            if (e.is_string()) return std::string(e.get_string().value_unsafe());
            break;
        case data::FieldType::Integer:
            if (e.is_int64()) return e.get_int64().value_unsafe();
            break;
        case data::FieldType::Date:
            if (e.is_string())
                if (auto d = parseIsoDate(e.get_string().value_unsafe())) return *d;
            break;
        case data::FieldType::DateTime:
            if (e.is_string())
                if (auto t = parseIsoDateTime(e.get_string().value_unsafe())) return *t;
            break;
    }
    badEnvelope("a value is not a " + std::string(data::fieldTypeName(type)));
}

data::Packet packetFromElement(simdjson::dom::object packet) {
    simdjson::dom::array fields, rows;
    if (packet["fields"].get(fields) != simdjson::SUCCESS || packet["rows"].get(rows) != simdjson::SUCCESS)
        badEnvelope("a data packet needs \"fields\" and \"rows\"");
    // The few field definitions go through the tree reader, so both readers accept the same definitions.
    json defs = json::array();
    for (simdjson::dom::element f : fields) {
        json def = {{"name", std::string(textOf(f["name"], "a field's name"))},
                    {"type", std::string(textOf(f["type"], "a field's type"))}};
        simdjson::dom::element size;
        if (f["size"].get(size) == simdjson::SUCCESS)
            def["size"] = size.is_int64() ? json(size.get_int64().value_unsafe()) : json();  // null: refused
        defs.push_back(std::move(def));
    }
    data::Packet p;
    try {
        p.fields = fieldsFromJson(defs);
    } catch (const WireError& e) {
        badEnvelope(e.what());
    }
    p.rows.reserve(rows.size());
    for (simdjson::dom::element r : rows) {
        simdjson::dom::array row;
        if (r.get(row) != simdjson::SUCCESS || row.size() != p.fields.size())
            badEnvelope("a row does not match the fields");
        data::Row values;
        values.reserve(p.fields.size());
        std::size_t c = 0;
        for (simdjson::dom::element v : row) values.push_back(valueFromElement(v, p.fields[c++].type));
        p.rows.push_back(std::move(values));
    }
    try {
        p.validate();
    } catch (const data::PacketError& e) {
        badEnvelope(e.what());
    }
    return p;
}

}  // namespace

namespace {

// The head of an answer as the server writes it, {"jsonrpc":"2.0","id":N,"result":null}, read without a
// tree; anything else (a byref part, a string id, another spelling) goes to the full reader.
std::optional<Response> plainHead(std::string_view head) {
    constexpr std::string_view open = R"({"jsonrpc":"2.0","id":)", close = R"(,"result":null})";
    if (!head.starts_with(open) || !head.ends_with(close) || head.size() <= open.size() + close.size())
        return std::nullopt;
    std::string_view digits = head.substr(open.size(), head.size() - open.size() - close.size());
    if (digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    std::uint64_t id = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        id = id * 10 + static_cast<std::uint64_t>(c - '0');
    }
    Response r;
    r.id = id;
    return r;
}

}  // namespace

Response parseResponseKeepingResult(std::string_view line, std::size_t maxBytes) {
    auto span = line.size() <= maxBytes ? resultSpan(line) : std::nullopt;
    if (!span) return parseResponse(line, maxBytes);  // let the full reader name what is wrong
    std::string head(line.substr(0, span->first));
    head += "null";
    head.append(line.substr(span->second));
    auto plain = plainHead(head);
    Response r = plain ? std::move(*plain) : parseResponse(head, maxBytes);
    r.rawResult = std::string(line.substr(span->first, span->second - span->first));
    return r;
}

Envelope envelopeFromText(std::string_view text) {
    thread_local simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS) badEnvelope("invalid JSON");
    simdjson::dom::object envelope;
    bool ok = false;
    if (root.get(envelope) != simdjson::SUCCESS || envelope["ok"].get(ok) != simdjson::SUCCESS)
        badEnvelope("no \"ok\"");
    Envelope e;
    e.ok = ok;
    if (!ok) {
        std::string_view message;
        e.error = envelope["error"].get(message) == simdjson::SUCCESS ? std::string(message)
                                                                      : "Erro no servidor de aplicação.";
        return e;
    }
    simdjson::dom::element data;
    if (envelope["data"].get(data) != simdjson::SUCCESS || data.is_null()) return e;
    simdjson::dom::object packet;
    if (data.get(packet) != simdjson::SUCCESS) badEnvelope("\"data\" is not a data packet");
    e.data = packetFromElement(packet);
    return e;
}

}  // namespace age::rpc
