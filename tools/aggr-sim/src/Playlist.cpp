#include "aggrsim/Playlist.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace aggrsim {

namespace {

constexpr int64_t kFramesPerDay = int64_t{86400} * kFramesPerSecond;
// Years far outside any playlist keep every sum within 64 bits.
constexpr int64_t kYearLimit = 1000000;

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, month 1..12.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

pugi::xml_node childOrAppend(pugi::xml_node parent, const char* name) {
    pugi::xml_node child = parent.child(name);
    return child ? child : parent.append_child(name);
}

void setAttr(pugi::xml_node node, const char* name, const char* value) {
    pugi::xml_attribute a = node.attribute(name);
    if (!a) a = node.append_attribute(name);
    a.set_value(value);
}

void setAttr(pugi::xml_node node, const char* name, int64_t value) {
    setAttr(node, name, std::to_string(value).c_str());
}

int intAttr(pugi::xml_node node, const char* name) { return toInt(node.attribute(name).value()); }

Frames onAirStart(pugi::xml_node event) {
    const pugi::xml_node onAir = event.child("Segment").child("OnAir");
    const pugi::xml_node date = onAir.child("Date");
    const pugi::xml_node time = onAir.child("Time");
    Moment m;
    m.year = intAttr(date, "year");
    m.month = intAttr(date, "month");
    m.day = intAttr(date, "day");
    m.hh = intAttr(time, "hh");
    m.mm = intAttr(time, "mm");
    m.ss = intAttr(time, "ss");
    m.ff = intAttr(time, "ff");
    return toFrames(m);
}

Frames duration(pugi::xml_node event) {
    const pugi::xml_node d = event.child("Segment").child("OnAir").child("Duration");
    const Frames f = ((int64_t{intAttr(d, "hh")} * 60 + intAttr(d, "mm")) * 60 + intAttr(d, "ss")) * kFramesPerSecond +
                     intAttr(d, "ff");
    return std::max<Frames>(f, kFramesPerSecond);
}

Frames endOf(pugi::xml_node event) { return onAirStart(event) + duration(event); }

void setOnAirStart(pugi::xml_node event, Frames at) {
    const Moment m = toMoment(at);
    pugi::xml_node onAir = childOrAppend(childOrAppend(event, "Segment"), "OnAir");
    pugi::xml_node date = childOrAppend(onAir, "Date");
    setAttr(date, "month", m.month);
    setAttr(date, "day", m.day);
    setAttr(date, "year", m.year);
    pugi::xml_node time = childOrAppend(onAir, "Time");
    setAttr(time, "hh", m.hh);
    setAttr(time, "mm", m.mm);
    setAttr(time, "ss", m.ss);
    setAttr(time, "ff", m.ff);
}

// The event goes on air at `at`; an active trigger is sent with it.
void run(pugi::xml_node event, Frames at) {
    setAttr(event, "status", "Running");
    setOnAirStart(event, at);
    pugi::xml_node trigger = event.child("QuorTrigger");
    if (trigger && std::strcmp(trigger.attribute("active").value(), "true") == 0) setAttr(trigger, "sent", "true");
}

}  // namespace

Frames toFrames(const Moment& in) {
    int64_t year = std::clamp<int64_t>(in.year, -kYearLimit, kYearLimit);
    int64_t month = int64_t{in.month} - 1;
    year += floorDiv(month, 12);
    month -= floorDiv(month, 12) * 12;
    const int64_t days = daysFromCivil(year, month + 1, 1) + (int64_t{in.day} - 1);
    const int64_t seconds = (int64_t{in.hh} * 60 + in.mm) * 60 + in.ss;
    return days * kFramesPerDay + seconds * kFramesPerSecond + in.ff;
}

Moment toMoment(Frames frames) {
    Moment m;
    const int64_t days = floorDiv(frames, kFramesPerDay);
    int64_t rest = frames - days * kFramesPerDay;
    civilFromDays(days, m.year, m.month, m.day);
    m.ff = static_cast<int>(rest % kFramesPerSecond);
    rest /= kFramesPerSecond;
    m.ss = static_cast<int>(rest % 60);
    m.mm = static_cast<int>(rest / 60 % 60);
    m.hh = static_cast<int>(rest / 3600);
    return m;
}

std::string formatClock(Frames frames) {
    const Moment m = toMoment(frames);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d", static_cast<long long>(m.year), m.month, m.day,
                  m.hh, m.mm, m.ss);
    return text;
}

int toInt(const char* text) {
    if (text == nullptr) return 0;
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9') {
        any = true;
        value = std::min<int64_t>(value * 10 + (*p++ - '0'), int64_t{INT_MAX} + 1);
    }
    if (!any) return 0;
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

const char* commandName(Command::Kind kind) {
    switch (kind) {
        case Command::Kind::kNoQuorTrigger: return "NoQuorTrigger";
        case Command::Kind::kEnableQuorTrigger: return "EnableQuorTrigger";
        case Command::Kind::kChangeQuorServer: return "ChangeQuorServer";
    }
    return "";
}

bool parseCommand(std::string_view payload, Command& out, std::string& reason) {
    pugi::xml_document doc;
    // As a fragment, so that text beside the root is kept and seen below.
    if (!doc.load_buffer(payload.data(), payload.size(), pugi::parse_default | pugi::parse_fragment)) {
        reason = "malformed";
        return false;
    }
    // Exactly one element and nothing else at the top.
    int elements = 0;
    for (pugi::xml_node n : doc.children()) {
        if (n.type() == pugi::node_element) {
            ++elements;
        } else if (n.type() != pugi::node_declaration) {
            reason = "malformed";
            return false;
        }
    }
    if (elements != 1) {
        reason = "malformed";
        return false;
    }
    const pugi::xml_node root = doc.document_element();
    const std::string_view tag = root.name();
    Command c;
    if (tag == "NoQuorTrigger") {
        c.kind = Command::Kind::kNoQuorTrigger;
    } else if (tag == "EnableQuorTrigger") {
        c.kind = Command::Kind::kEnableQuorTrigger;
    } else if (tag == "ChangeQuorServer") {
        c.kind = Command::Kind::kChangeQuorServer;
    } else {
        reason = "unknown-command";
        return false;
    }
    const pugi::xml_attribute playlist = root.attribute("playlist");
    const pugi::xml_attribute eventId = root.attribute("eventid");
    const pugi::xml_attribute server = root.attribute("quorServer");
    if (!playlist || !eventId || (c.kind == Command::Kind::kChangeQuorServer && !server)) {
        reason = "missing-attribute";
        return false;
    }
    c.playlist = playlist.value();
    c.eventId = eventId.value();
    if (server) c.quorServer = server.value();
    out = std::move(c);
    return true;
}

// ---- Playlist ----

bool Playlist::load(std::string_view xml, std::string& error) {
    const pugi::xml_parse_result r = doc_.load_buffer(xml.data(), xml.size(), pugi::parse_default);
    if (!r) {
        error = r.description();
        return false;
    }
    if (!doc_.document_element()) {
        error = "no root element";
        return false;
    }
    return true;
}

std::string Playlist::name() const { return doc_.document_element().attribute("name").value(); }

pugi::xml_node Playlist::clockElement() const {
    for (pugi::xml_node n : doc_.document_element().children())
        if (n.type() == pugi::node_element) return n;
    return {};
}

std::vector<pugi::xml_node> Playlist::events() const {
    std::vector<pugi::xml_node> list;
    bool clock = true;
    for (pugi::xml_node n : doc_.document_element().children()) {
        if (n.type() != pugi::node_element) continue;
        if (clock) {
            clock = false;
            continue;
        }
        list.push_back(n);
    }
    return list;
}

int Playlist::runningIndex(const std::vector<pugi::xml_node>& list) {
    for (size_t i = 0; i < list.size(); ++i)
        if (std::strcmp(list[i].attribute("status").value(), "Running") == 0) return static_cast<int>(i);
    return -1;
}

Frames Playlist::clock(Frames fallback) const {
    const pugi::xml_node c = clockElement();
    if (!c) return fallback;
    const pugi::xml_node date = c.child("Date");
    const pugi::xml_node time = c.child("Time");
    Moment m;
    m.year = intAttr(date, "year");
    m.month = intAttr(date, "month");
    m.day = intAttr(date, "day");
    m.hh = intAttr(time, "hh");
    m.mm = intAttr(time, "mm");
    m.ss = intAttr(time, "ss");
    return toFrames(m);
}

void Playlist::setClock(Frames now) {
    pugi::xml_node c = clockElement();
    if (!c) return;
    const Moment m = toMoment(now);
    pugi::xml_node date = childOrAppend(c, "Date");
    setAttr(date, "year", m.year);
    setAttr(date, "month", m.month);
    setAttr(date, "day", m.day);
    pugi::xml_node time = childOrAppend(c, "Time");
    setAttr(time, "hh", m.hh);
    setAttr(time, "mm", m.mm);
    setAttr(time, "ss", m.ss);
}

std::string Playlist::runningId() const {
    const auto list = events();
    const int i = runningIndex(list);
    return i < 0 ? std::string() : std::string(list[static_cast<size_t>(i)].attribute("id").value());
}

size_t Playlist::eventCount() const { return events().size(); }

bool Playlist::runningEnd(Frames& end) const {
    const auto list = events();
    const int i = runningIndex(list);
    if (i < 0) return false;
    end = endOf(list[static_cast<size_t>(i)]);
    return true;
}

void Playlist::start(const std::vector<pugi::xml_node>& list, size_t index, Frames at) {
    if (index >= list.size()) {
        // A new round: nothing has played yet and no trigger has been sent.
        for (pugi::xml_node e : list) {
            setAttr(e, "status", "Cued");
            pugi::xml_node trigger = e.child("QuorTrigger");
            if (trigger) setAttr(trigger, "sent", "false");
        }
        index = 0;
    }
    run(list[index], at);
}

int Playlist::catchUp(Frames now) {
    const auto list = events();
    int i = runningIndex(list);
    if (i < 0) return 0;
    int transitions = 0;
    for (;;) {
        const Frames end = endOf(list[static_cast<size_t>(i)]);
        if (end > now) break;
        if (static_cast<size_t>(transitions) > list.size()) {
            setOnAirStart(list[static_cast<size_t>(i)], now);
            break;
        }
        setAttr(list[static_cast<size_t>(i)], "status", "Played");
        start(list, static_cast<size_t>(i) + 1, end);
        i = runningIndex(list);
        ++transitions;
    }
    if (transitions > 0) setClock(now);
    return transitions;
}

bool Playlist::advance(Frames now, bool startIfIdle) {
    const auto list = events();
    if (list.empty()) return false;
    const int i = runningIndex(list);
    if (i < 0) {
        if (!startIfIdle) return false;
        run(list[0], now);
    } else {
        setAttr(list[static_cast<size_t>(i)], "status", "Played");
        start(list, static_cast<size_t>(i) + 1, now);
    }
    setClock(now);
    return true;
}

bool Playlist::apply(const Command& command, Frames now) {
    for (pugi::xml_node e : events()) {
        if (command.eventId != e.attribute("id").value()) continue;
        switch (command.kind) {
            case Command::Kind::kNoQuorTrigger:
            case Command::Kind::kEnableQuorTrigger: {
                const char* active = command.kind == Command::Kind::kEnableQuorTrigger ? "true" : "false";
                pugi::xml_node trigger = e.child("QuorTrigger");
                if (trigger) {
                    setAttr(trigger, "active", active);
                } else {
                    trigger = e.append_child("QuorTrigger");
                    setAttr(trigger, "active", active);
                    setAttr(trigger, "sent", "false");
                }
                break;
            }
            case Command::Kind::kChangeQuorServer: setAttr(e, "quorServer", command.quorServer.c_str()); break;
        }
        setClock(now);
        return true;
    }
    return false;
}

std::string Playlist::xml() const {
    std::ostringstream out;
    doc_.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

}  // namespace aggrsim
