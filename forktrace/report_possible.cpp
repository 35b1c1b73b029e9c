// --possible, --list and --check: which outputs the command could have
// printed, from the order of this run's writes: how many orders and distinct
// outputs, some of them, and whether an answer is one of them, as text or as
// one JSON object.
#include "history.hpp"
#include "possible.hpp"

#include <numeric>

namespace forktrace {
namespace {

void put(std::FILE *out, const std::string &text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

std::size_t lines_of(const std::string &text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
           (text.empty() || text.ends_with('\n') ? 0 : 1);
}

std::size_t lines_of(const Order &order)
{
    std::string all;
    for (const Write &write : order.writes) {
        all += write.text;
    }
    return lines_of(all);
}

// "these 30 lines" where each write is a line, else "these 16 writes (64 lines)".
std::string these(const Order &order)
{
    const std::size_t lines = lines_of(order);
    const std::size_t writes = order.writes.size();
    const bool one_line_each =
        std::all_of(order.writes.begin(), order.writes.end(),
                    [](const Write &w) { return w.text.ends_with('\n') && lines_of(w.text) == 1; });
    if (one_line_each) {
        return "these " + std::to_string(writes) + (writes == 1 ? " line" : " lines");
    }
    return "these " + std::to_string(writes) + (writes == 1 ? " write" : " writes") + " (" +
           std::to_string(lines) + (lines == 1 ? " line)" : " lines)");
}

std::string text_of(const Order &order, const std::vector<std::size_t> &writes)
{
    std::string text;
    for (const std::size_t w : writes) {
        text += order.writes[w].text;
    }
    return text;
}

// The writes of an order as the trace numbers them: "#3 (4570)".
std::string writes_text(const Order &order, const std::vector<std::size_t> &writes)
{
    std::string out;
    for (const std::size_t w : writes) {
        out += (out.empty() ? "" : ", ") + std::string("#") + std::to_string(w + 1) + " (" +
               std::to_string(order.writes[w].pid) + ")";
    }
    return out;
}

std::string json_strings(const std::vector<std::string> &texts)
{
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out += (i == 0 ? "" : ",") + json_string(texts[i]);
    }
    return out + "]";
}

std::string json_numbers(const std::vector<std::size_t> &writes)
{
    std::string out = "[";
    for (std::size_t i = 0; i < writes.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::to_string(writes[i] + 1);
    }
    return out + "]";
}

}  // namespace

std::string orders_sentence(const Order &order)
{
    const std::optional<mpz_class> orders = count_orders(order);
    if (!orders || *orders <= 1) {
        return "";
    }
    return "This run is one of " + with_commas(*orders) + " possible orders of " + these(order) +
           ".";
}

int write_possible(std::FILE *out, const std::vector<Event> &events, const PossibleOptions &options)
{
    Order order = order_of(events);
    std::vector<std::string> assumptions{
        "each write to the output is one unit: its bytes come out together",
        "only program order, forks and the waits that reaped a child order the writes; "
        "sleeps, the scheduler and an orphan's new parent order nothing"};
    const bool elsewhere = std::any_of(events.begin(), events.end(), [](const Event &event) {
        return event.kind == Event::Kind::write && event.stream != Stream::output;
    });
    if (elsewhere) {
        assumptions.emplace_back(
            "this command's processes also write to pipes or files, through which they may "
            "talk: fewer orders may be possible");
    }
    assumptions.insert(assumptions.end(), order.assumptions.begin(), order.assumptions.end());
    const std::optional<mpz_class> orders = count_orders(order);
    const Outputs outputs = count_outputs(order, orders);
    std::vector<std::vector<std::size_t>> listed;
    if (options.list) {
        listed = list_outputs(order, *options.list);
    }
    // Too many ways to work through: the run's own order is one that is possible.
    const bool own = options.list && *options.list > 0 && listed.empty() && !order.too_large;
    if (own) {
        listed.emplace_back(order.writes.size());
        std::iota(listed.back().begin(), listed.back().end(), std::size_t{0});
    }
    std::optional<Checked> checked;
    if (options.answer) {
        checked = check(order, *options.answer);
    }
    const int status = checked && !checked->possible ? 1 : 0;

    if (options.json) {
        std::string json =
            "{\"writes\":" + std::to_string(order.writes.size()) +
            ",\"lines\":" + std::to_string(lines_of(order)) +
            ",\"orders\":" + (orders ? "\"" + orders->get_str() + "\"" : "null") +
            ",\"outputs\":" + (outputs.count ? "\"" + outputs.count->get_str() + "\"" : "null");
        if (!outputs.count) {
            json += ",\"outputs_unknown\":" + json_string(outputs.unknown_why);
        }
        json += ",\"assumptions\":" + json_strings(assumptions);
        if (options.list) {
            std::vector<std::string> texts(listed.size());
            std::transform(listed.begin(), listed.end(), texts.begin(),
                           [&order](const auto &writes) { return text_of(order, writes); });
            json += ",\"list\":" + json_strings(texts);
        }
        if (checked) {
            json += ",\"check\":{\"possible\":" + std::string(checked->possible ? "true" : "false");
            if (checked->possible) {
                json += ",\"writes\":" + json_numbers(checked->writes);
            } else {
                json += ",\"line\":" + std::to_string(checked->line) +
                        ",\"why\":" + json_string(checked->why);
            }
            json += "}";
        }
        put(out, json + "}\n");
        static_cast<void>(std::fflush(out));
        return status;
    }

    std::string text = std::to_string(order.writes.size()) +
                       (order.writes.size() == 1 ? " write" : " writes") + " to the output, " +
                       std::to_string(lines_of(order)) + " lines: ";
    if (orders) {
        text += with_commas(*orders) + (*orders == 1 ? " possible order" : " possible orders");
    } else {
        text += "too many orders to count exactly";
    }
    if (outputs.count) {
        text += ", " + with_commas(*outputs.count) +
                (*outputs.count == 1 ? " distinct output.\n" : " distinct outputs.\n");
    } else {
        text += "; how many distinct outputs is not known: " + outputs.unknown_why + ".\n";
    }
    if (orders && *orders > 1) {
        text += orders_sentence(order) + "\n";
    } else if (orders) {
        text += "Only this order is possible: every write waits for the one before it.\n";
    }
    text += "Assumed:\n";
    for (const std::string &assumption : assumptions) {
        text += "  - " + assumption + "\n";
    }
    if (options.list) {
        const bool every = outputs.count && *outputs.count == listed.size();
        if (own) {
            text +=
                "\nThere are too many ways to work through to list outputs by text; this "
                "run's own is one:\n";
        } else if (listed.empty()) {
            text += "\nNo possible output could be listed: this run has too many writes.\n";
        } else if (every && listed.size() == 1) {
            text += "\nThe one possible output:\n";
        } else {
            text += "\n" + std::string(every ? "The " : "The first ") +
                    std::to_string(listed.size()) + " possible outputs, by text" +
                    (listed.size() < *options.list && !every
                         ? " (no more could be found: there are too many ways to work through)"
                         : "") +
                    ":\n";
        }
        for (std::size_t i = 0; i < listed.size(); ++i) {
            text += "--- output " + std::to_string(i + 1) + " (writes " +
                    writes_text(order, listed[i]) + ")\n";
            const std::string all = text_of(order, listed[i]);
            for (const Piece &line : split_lines(all)) {
                text += "  " + printable(line.text) + (line.newline ? "" : "[no newline]") + "\n";
            }
        }
    }
    if (checked) {
        const std::string name = printable(options.answer_name);
        if (checked->possible) {
            text += "\n" + name + " is a possible output: the writes in this order give it: " +
                    writes_text(order, checked->writes) + ".\n";
        } else {
            text += "\n" + name + " is not a possible output: line " +
                    std::to_string(checked->line) + ": " + checked->why + ".\n";
        }
    }
    put(out, text);
    static_cast<void>(std::fflush(out));
    return status;
}

}  // namespace forktrace
