#include "events.hpp"

#include <string.h>  // sigabbrev_np, a GNU extension

#include <array>

namespace forktrace {
namespace {

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0.
std::size_t utf8_length(std::string_view bytes)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char first = byte(0);
    std::size_t length = 0;
    char32_t code = 0;
    if (first < 0x80) {
        return 1;
    }
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        code = first & 0x1FU;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        code = first & 0x0FU;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        code = first & 0x07U;
    } else {
        return 0;
    }
    if (bytes.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0U) != 0x80U) {
            return 0;
        }
        code = (code << 6U) | (byte(i) & 0x3FU);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

void append_hex(std::string &out, const char *prefix, unsigned value, int digits)
{
    static constexpr std::array<char, 16> hex{'0', '1', '2', '3', '4', '5', '6', '7',
                                              '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        out += hex[(value >> static_cast<unsigned>(shift)) & 0xFU];
    }
}

std::string json_argv(const std::vector<std::string> &argv)
{
    std::string out = "[";
    for (std::size_t i = 0; i < argv.size(); ++i) {
        out += (i == 0 ? "" : ",") + json_string(argv[i]);
    }
    return out + "]";
}

}  // namespace

std::string_view to_string(On on)
{
    switch (on) {
        case On::terminal:
            return "terminal";
        case On::pipe:
            return "pipe";
        case On::inherit:
            break;
    }
    return "inherit";
}

std::string_view to_string(Stream stream)
{
    switch (stream) {
        case Stream::error:
            return "error";
        case Stream::elsewhere:
            return "elsewhere";
        case Stream::output:
            break;
    }
    return "output";
}

std::string_view to_string(Event::Kind kind)
{
    switch (kind) {
        case Event::Kind::fork:
            return "fork";
        case Event::Kind::exec:
            return "exec";
        case Event::Kind::write:
            return "write";
        case Event::Kind::exit:
            return "exit";
        case Event::Kind::reap:
            return "reap";
        case Event::Kind::poll:
            return "poll";
        case Event::Kind::saw_end:
            return "saw_end";
        case Event::Kind::talk:
            return "talk";
        case Event::Kind::getppid:
            return "getppid";
        case Event::Kind::thread:
            return "thread";
        case Event::Kind::pipe:
            return "pipe";
        case Event::Kind::send:
            return "send";
        case Event::Kind::notice:
            return "notice";
        case Event::Kind::start:
            break;
    }
    return "start";
}

namespace {

// `bytes` as the inside of a JSON string.
void append_json_text(std::string &out, std::string_view bytes)
{
    out.reserve(out.size() + bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = utf8_length(bytes.substr(i));
        if (length == 0) {
            append_hex(out, "\\udc", byte, 2);
            ++i;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            append_hex(out, "\\u", byte, 4);
        } else {
            out.append(bytes.substr(i, length));
        }
        i += length;
    }
}

}  // namespace

std::string json_string(std::string_view bytes)
{
    std::string out = "\"";
    append_json_text(out, bytes);
    return out + "\"";
}

void for_each_piece(std::string_view bytes, const std::function<void(std::string_view)> &use)
{
    constexpr std::size_t piece = 1U << 16U;
    for (std::size_t start = 0; start < bytes.size();) {
        std::size_t end = std::min(bytes.size(), start + piece);
        for (int back = 0; back < 3 && end < bytes.size() && end > start + 1 &&
                           (static_cast<unsigned char>(bytes[end]) & 0xC0U) == 0x80U;
             ++back) {
            --end;
        }
        use(bytes.substr(start, end - start));
        start = end;
    }
}

namespace {

// The code point of one valid UTF-8 sequence.
unsigned code_point(std::string_view sequence)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
    switch (sequence.size()) {
        case 2:
            return (byte(0) & 0x1FU) << 6U | (byte(1) & 0x3FU);
        case 3:
            return (byte(0) & 0x0FU) << 12U | (byte(1) & 0x3FU) << 6U | (byte(2) & 0x3FU);
        case 4:
            return (byte(0) & 0x07U) << 18U | (byte(1) & 0x3FU) << 12U | (byte(2) & 0x3FU) << 6U |
                   (byte(3) & 0x3FU);
        default:
            return byte(0);
    }
}

// Characters that show nothing of themselves but change how the text around
// them shows: the marks and overrides of writing direction, which can make a
// line read other than it is, and the line and paragraph separators.
bool hidden(unsigned point)
{
    return point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069) ||
           point == 0x2028 || point == 0x2029;
}

}  // namespace

std::string printable(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = utf8_length(bytes.substr(i));
        const bool control =
            byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != 0x1B;
        if (length == 0 || byte == 0x7F || control) {
            append_hex(out, "\\x", byte, 2);
            ++i;
        } else if (byte == '\\') {
            out += "\\\\";
            ++i;
        } else if (byte == '\t' || byte == '\n' || byte == '\r' || byte == 0x1B) {
            out += byte == '\t' ? "\\t" : byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\e";
            ++i;
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0) {
            // C1 control characters: a terminal acts on some of them.
            append_hex(out, "\\u", static_cast<unsigned char>(bytes[i + 1]), 4);
            i += 2;
        } else if (const unsigned point = code_point(bytes.substr(i, length)); hidden(point)) {
            append_hex(out, "\\u", point, 4);
            i += length;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

namespace {

std::string wait_fields(const Event &event)
{
    std::string out = ",\"child\":" + std::to_string(event.child);
    if (event.any_child) {
        out += ",\"any_child\":true";
    }
    if (event.by_system) {
        out += ",\"by_system\":true";
    }
    if (!event.ok) {
        out += ",\"ok\":false";  // a poll for one child that found it not yet ended
    }
    return out;
}

std::string talk_fields(const Event &event)
{
    std::string out;
    if (event.signal) {
        out += ",\"from\":" + std::to_string(event.from);
        if (!event.ok) {
            out += ",\"ok\":false";
        }
    }
    out += event.signal          ? ",\"signal\":" + std::to_string(*event.signal)
           : event.shares_memory ? std::string(",\"shares_memory\":true")
           : event.fd != 0       ? ",\"fd\":" + std::to_string(event.fd)
                                 : std::string();
    if (!event.path.empty()) {
        out += ",\"to\":" + json_string(event.path);
    }
    return out;
}

std::string pipe_fields(const Event &event)
{
    if (event.released) {
        return ",\"pipe\":" + std::to_string(event.pipe) + ",\"released\":true";
    }
    std::string out =
        ",\"fd\":" + std::to_string(event.fd) + ",\"pipe\":" + std::to_string(event.pipe) +
        ",\"read\":" + (event.read ? "true" : "false") +
        ",\"asked\":" + std::to_string(event.asked) + ",\"bytes\":" + std::to_string(event.bytes);
    if (!event.error.empty()) {
        out += ",\"error\":\"" + event.error + "\"";
    }
    if (event.nonblocking) {
        out += ",\"nonblocking\":true";
    }
    return out;
}

std::string exec_fields(const Event &event)
{
    std::string out = ",\"path\":" + json_string(event.path) +
                      ",\"argv\":" + json_argv(event.argv) +
                      ",\"ok\":" + (event.ok ? "true" : "false");
    if (event.argv_cut) {
        out += ",\"argv_cut\":true";
    }
    if (!event.ok) {
        out += ",\"error\":\"" + event.error + "\"";
    }
    return out;
}

// A write's fields, its data a piece at a time: a write can be a gigabyte.
// What is not yet put stays in `out`.
void put_write_fields(const Event &event, std::string &out,
                      const std::function<void(std::string_view)> &put)
{
    out += ",\"fd\":" + std::to_string(event.fd) + ",\"stream\":\"" +
           std::string(to_string(event.stream)) + "\",\"data\":\"";
    put(out);
    out.clear();
    for_each_piece(event.data, [&](std::string_view piece) {
        append_json_text(out, piece);
        put(out);
        out.clear();
    });
    out += '"';
    if (!event.error.empty()) {
        out += ",\"error\":\"" + event.error + "\"";
    }
    if (event.thread != 0) {
        out += ",\"thread\":" + std::to_string(event.thread);
    }
}

// What the standard output buffer showed, on the events where it was read,
// and the call's place.
std::string buffer_fields(const Event &event)
{
    std::string out;
    if (event.pending) {
        out += ",\"pending\":" + json_string(*event.pending);
    }
    if (event.lost) {
        out += ",\"lost\":" + json_string(*event.lost);
    }
    if (!event.buffering.empty()) {
        out += ",\"buffering\":\"" + event.buffering + "\"";
    }
    if (!event.cause.empty()) {
        out += ",\"cause\":\"" + event.cause + "\"";
    }
    if (event.shares_memory) {
        out += ",\"memory\":\"shared\"";
    }
    if (event.parent) {
        out += ",\"parent\":" + std::to_string(*event.parent);
    }
    if (event.site) {
        out += ",\"site\":" + json_string(*event.site);
    }
    if (event.buffered) {
        out += ",\"buffered\":" + std::to_string(*event.buffered);
    }
    if (event.unknown_origin) {
        out += ",\"origin\":\"unknown\"";
    }
    if (!event.origins.empty()) {
        out += ",\"origins\":[";
        for (std::size_t i = 0; i < event.origins.size(); ++i) {
            out +=
                std::string(i == 0 ? "" : ",") +
                "{\"pid\":" + std::to_string(event.origins[i].pid) +
                ",\"bytes\":" + std::to_string(event.origins[i].bytes) +
                (event.origins[i].site ? ",\"site\":" + json_string(*event.origins[i].site) : "") +
                "}";
        }
        out += "]";
    }
    return out;
}

}  // namespace

void write_json(const Event &event, const std::function<void(std::string_view)> &put)
{
    char time[32];
    static_cast<void>(std::snprintf(time, sizeof time, "%.6f", event.time));
    std::string out = "{\"event\":\"" + std::string(to_string(event.kind)) +
                      "\",\"pid\":" + std::to_string(event.pid) + ",\"time\":" + time;
    switch (event.kind) {
        case Event::Kind::start:
            out += ",\"argv\":" + json_argv(event.argv) + ",\"on\":\"" +
                   std::string(to_string(event.on)) + "\"";
            break;
        case Event::Kind::fork:
            out += ",\"child\":" + std::to_string(event.child);
            if (!event.ok) {
                out += ",\"ok\":false,\"error\":\"" + event.error + "\"";
            }
            break;
        case Event::Kind::reap:
        case Event::Kind::poll:
        case Event::Kind::saw_end:
            out += wait_fields(event);
            break;
        case Event::Kind::getppid:
            out += ",\"answer\":" + std::to_string(event.child);
            break;
        case Event::Kind::thread:
            break;
        case Event::Kind::notice:
            out += ",\"text\":" + json_string(event.data);
            break;
        case Event::Kind::send:
            out += ",\"to\":" + std::to_string(event.target) +
                   ",\"signal\":" + std::to_string(event.signal.value_or(0));
            break;
        case Event::Kind::talk:
            out += talk_fields(event);
            break;
        case Event::Kind::pipe:
            out += pipe_fields(event);
            break;
        case Event::Kind::exec:
            out += exec_fields(event);
            break;
        case Event::Kind::write:
            put_write_fields(event, out, put);
            break;
        case Event::Kind::exit:
            out += event.signal ? ",\"signal\":" + std::to_string(*event.signal)
                                : ",\"code\":" + std::to_string(event.code.value_or(0));
            break;
    }
    put(out + buffer_fields(event) + "}");
}

std::string to_json(const Event &event)
{
    std::string out;
    write_json(event, [&](std::string_view piece) { out += piece; });
    return out;
}

std::string place_name(const std::vector<std::size_t> &path)
{
    // Innermost first.
    std::string name;
    for (auto fork = path.rbegin(); fork != path.rend(); ++fork) {
        name += "the ";
        name += ordinal(*fork + 1);
        name += " child of ";
    }
    return name + "the command";
}

std::string short_place_name(const std::vector<std::size_t> &path)
{
    std::string name;
    for (const std::size_t fork : path) {
        name += (name.empty() ? "child " : ".") + std::to_string(fork + 1);
    }
    return name.empty() ? "the command" : name;
}

std::string signal_text(int signal)
{
    const char *name = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) +
           (name != nullptr ? " (SIG" + std::string(name) + ")" : std::string());
}

std::string at_site(const std::optional<std::string> &site)
{
    return site ? " at " + printable(*site) : "";
}

std::string ordinal(std::size_t n)
{
    const std::size_t last = n % 10, tens = n % 100 / 10;
    const char *suffix = tens == 1 || last == 0 || last > 3 ? "th"
                         : last == 1                        ? "st"
                         : last == 2                        ? "nd"
                                                            : "rd";
    return std::to_string(n) + suffix;
}

}  // namespace forktrace
