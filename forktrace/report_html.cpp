// html: one self-contained page with the timeline, the transcript (each line
// with its writer, the process that printed it and the fork that copied it),
// the lines that never came out, the tree, and how many orders were
// possible. Complete and readable without scripts; with them, a step-through
// moves from event to event (a slider, or the arrow keys) and shows every
// live process's buffer and the output received so far. A print stylesheet
// leaves out what only a screen needs.
#include "report_svg.hpp"

#include <cstdlib>

namespace forktrace::picture {
namespace {

void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

constexpr const char *page_style = R"(
body{margin:0;font:15px/1.45 system-ui,sans-serif;color:#0f172a;background:#fff}
header,section{padding:0 16px}h1{font-size:1.3em;margin:16px 0 4px}h2{font-size:1.1em;margin:20px 0 6px}
code,pre,.line{font-family:ui-monospace,Menlo,Consolas,monospace}
.scroll{overflow-x:auto;border:1px solid #e2e8f0;border-radius:6px}
.scroll svg{display:block;width:100%;min-width:640px;height:auto}
table{border-collapse:collapse;width:100%;font-size:14px}
th,td{text-align:left;padding:2px 8px;border-bottom:1px solid #eef2f7;vertical-align:top}
th{background:#f4f6f9;position:sticky;top:0}
td.num{text-align:right;white-space:nowrap}td.line{white-space:pre-wrap;word-break:break-all}
tr[data-lane]:hover,tr[data-lane]:focus{background:#fde68a;outline:none}
.note{color:#475569}.err{color:#c2410c}.failed{color:#dc2626}.partial{color:#64748b}
.copied{font-style:italic}.lost li{font-family:ui-monospace,Menlo,Consolas,monospace;white-space:pre-wrap}
pre{overflow-x:auto;background:#f8fafc;padding:8px;border-radius:6px;font-size:13px}
#stepper{display:none;border:1px solid #e2e8f0;border-radius:6px;padding:8px 12px;margin-top:8px}
#stepper input{width:100%}#stepper .buffers td{font-family:ui-monospace,Menlo,Consolas,monospace;white-space:pre-wrap}
#stepper pre{max-height:16em}
@media (max-width:640px){.wide{display:none}body{font-size:14px}header,section{padding:0 8px}}
@media print{#stepper,.noprint{display:none!important}.scroll{overflow:visible;border:none}
th{position:static}body{font-size:10pt}tr{break-inside:avoid}}
)";

// The step-through: the events, replayed up to the slider's step.
constexpr const char *page_script = R"(
(function () {
  var lit = [];
  function light(row) {
    lit.forEach(function (e) { e.classList.remove('hl'); });
    lit = [];
    if (!row) return;
    var sel = '.lane[data-lane="' + row.dataset.lane + '"], .write[data-write="' + row.dataset.write + '"]';
    document.querySelectorAll(sel).forEach(function (e) { e.classList.add('hl'); lit.push(e); });
  }
  document.querySelectorAll('tr[data-lane]').forEach(function (row) {
    row.addEventListener('mouseenter', function () { light(row); });
    row.addEventListener('focus', function () { light(row); });
  });
  var table = document.getElementById('lines');
  if (table) table.addEventListener('mouseleave', function () { light(null); });

  var data = document.getElementById('steps');
  var stepper = document.getElementById('stepper');
  if (!data || !stepper) return;
  var steps = JSON.parse(data.textContent);
  if (!steps.length) return;
  stepper.style.display = 'block';
  var slider = stepper.querySelector('input');
  var what = stepper.querySelector('.what');
  var buffers = stepper.querySelector('.buffers tbody');
  var output = stepper.querySelector('pre');
  slider.max = steps.length - 1;
  function show(k) {
    var text = '', alive = {};
    for (var i = 0; i <= k; i++) {
      var s = steps[i];
      if (s.out) text += s.out;
      if (s.set) for (var p in s.set) alive[p] = s.set[p];
      if (s.gone) delete alive[s.gone];
    }
    what.textContent = 'Step ' + (k + 1) + ' of ' + steps.length + ', at ' + steps[k].t + ': ' + steps[k].what;
    buffers.textContent = '';
    Object.keys(alive).forEach(function (p) {
      var row = buffers.insertRow(), a = row.insertCell(), b = row.insertCell();
      a.textContent = p;
      b.textContent = alive[p] === '' ? '(empty)' : alive[p];
    });
    output.textContent = text;
  }
  slider.addEventListener('input', function () { show(+slider.value); });
  document.addEventListener('keydown', function (e) {
    if (e.target.tagName === 'INPUT' && e.target !== slider) return;
    if (e.key === 'ArrowRight' && +slider.value < steps.length - 1) slider.value = +slider.value + 1;
    else if (e.key === 'ArrowLeft' && +slider.value > 0) slider.value = +slider.value - 1;
    else return;
    show(+slider.value);
    e.preventDefault();
  });
  show(0);
})();
)";

// The tree report, drawn into memory as the events come.
class TreeText {
public:
    explicit TreeText(const ReportOptions &options)
        : memory_(open_memstream(&buffer_, &size_)),
          tree_(memory_ != nullptr ? tree_report(memory_, options) : nullptr)
    {
    }
    TreeText(const TreeText &) = delete;
    TreeText &operator=(const TreeText &) = delete;
    ~TreeText()
    {
        tree_.reset();
        if (memory_ != nullptr) {
            static_cast<void>(std::fclose(memory_));
        }
        std::free(buffer_);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
    }

    void add(const Event &event)
    {
        if (tree_) {
            tree_->add(event);
        }
    }

    // The text, once: the tree is finished.
    std::string finish()
    {
        if (!tree_) {
            return "(the tree could not be drawn)\n";
        }
        tree_->finish();
        tree_.reset();
        static_cast<void>(std::fflush(memory_));
        return {buffer_, size_};
    }

private:
    char *buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE *memory_;
    std::unique_ptr<Report> tree_;
};

// Text for a JSON string inside a <script> element: printable, and no '<',
// so that nothing in it can end the element.
std::string script_string(std::string_view bytes)
{
    // Each line printable, its newline kept: the page shows real line breaks.
    std::string out;
    for (const char c : json_string(printable_lines(bytes))) {
        out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    }
    return out;
}

// What an exec or an end threw away with the buffer, as a step says it:
// how many lines, and the first of them.
std::string losing(const Event &event)
{
    if (!event.lost || event.lost->empty()) {
        return "";
    }
    const std::vector<Piece> pieces = split_lines(*event.lost);
    std::string said = ", losing the " + std::to_string(count_lines(*event.lost)) +
                       (count_lines(*event.lost) == 1 ? " line" : " lines") +
                       " in its buffer: " + std::string(pieces.front().text.substr(0, 80));
    return said + (pieces.size() > 1 || pieces.front().text.size() > 80 ? " …" : "");
}

// Whether an event of this kind changes what the step-through shows.
bool shown(Event::Kind kind)
{
    using enum Event::Kind;
    return kind == start || kind == fork || kind == exec || kind == write || kind == exit ||
           kind == reap;
}

// One event as a step of the step-through: what happened, the bytes it
// added to the output, and the buffers it changed (by "PID program").
class Steps {
public:
    static constexpr std::size_t most = 3000;

    void add(const Event &event)
    {
        if (!shown(event.kind)) {
            return;  // nothing changes
        }
        if (steps_.size() >= most) {
            ++left_out_;
            return;
        }
        const std::string who = std::to_string(event.pid);
        std::string what, out, set, gone;
        switch (event.kind) {
            case Event::Kind::start:
                what = "the command starts: " + command_line(event.argv);
                set = entry(who, "");
                break;
            case Event::Kind::fork:
                if (!event.ok) {
                    what = who + "'s fork fails: " + event.error;
                    break;
                }
                what = who + " forks " + std::to_string(event.child);
                if (event.shares_memory) {
                    what += ", which shares its memory and buffer";
                    set = entry(std::to_string(event.child), "(its parent's)");
                } else if (event.pending) {
                    what += ", which gets a copy of its buffer";
                    set = entry(who, *event.pending) + "," +
                          entry(std::to_string(event.child), *event.pending);
                }
                break;
            case Event::Kind::exec:
                what = who + (event.ok ? " execs " : " fails to exec ") + base_name(event.path) +
                       losing(event);
                if (event.ok) {
                    set = entry(who, "");
                }
                break;
            case Event::Kind::write:
                if (event.stream == Stream::elsewhere) {
                    return;
                }
                what = who + " writes " + std::to_string(event.data.size()) + " bytes";
                out = event.data;
                if (event.buffered) {
                    const std::size_t left =
                        *event.buffered - std::min(*event.buffered, event.data.size());
                    set = entry(who, left == 0 ? "" : "(" + std::to_string(left) + " bytes)");
                }
                break;
            case Event::Kind::exit:
                what = who +
                       (event.signal ? " is killed by signal " + std::to_string(*event.signal)
                                     : " exits") +
                       losing(event);
                gone = who;
                break;
            case Event::Kind::reap:
                what = who + " reaps " + std::to_string(event.child);
                break;
            default:  // not shown: see shown()
                break;
        }
        std::string step =
            "{\"t\":" + script_string(duration(event.time)) + ",\"what\":" + script_string(what);
        if (!out.empty()) {
            step += ",\"out\":" + script_string(out);
        }
        if (!set.empty()) {
            step += ",\"set\":{" + set + "}";
        }
        if (!gone.empty()) {
            step += ",\"gone\":" + script_string(gone);
        }
        steps_.push_back(step + "}");
    }

    std::string json() const
    {
        std::string out = "[";
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            out += (i == 0 ? "" : ",\n") + steps_[i];
        }
        return out + "]";
    }
    std::size_t left_out() const { return left_out_; }

private:
    static std::string entry(const std::string &pid, const std::string &buffer)
    {
        return script_string(pid) + ":" + script_string(buffer);
    }

    std::vector<std::string> steps_;
    std::size_t left_out_ = 0;
};

// The program a lane ran when it made a write.
std::string program_at(const Lane &lane, double time)
{
    std::string program = lane.first_program;
    for (const StepMark &step : lane.steps) {
        if (step.ok && !step.program.empty() && step.time <= time) {
            program = step.program;
        }
    }
    return program;
}

class HtmlReport final : public Report {
public:
    explicit HtmlReport(std::FILE *out, const ReportOptions &options) : out_(out), tree_(options) {}

    void add(const Event &event) override
    {
        trace_.add(event);
        tree_.add(event);
        steps_.add(event);
    }

    void finish() override
    {
        trace_.done();
        const std::string title = escape(trace_.headline());
        put(out_,
            "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
            "<title>forktrace: " +
                title + "</title>\n<style>" + page_style + "</style>\n</head>\n<body>\n");
        std::string note = escape(totals(trace_.history())) + ".";
        if (!trace_.orders().empty()) {
            note += " <span title=\"" + escape(trace_.orders()) + "\">" +
                    escape(trace_.orders_brief()) + "</span>";
        }
        for (const std::string &notice : trace_.history().notices()) {
            note += "</p><p class=\"note\">" + escape(notice_line(notice));
        }
        put(out_, "<header><h1>forktrace: <code>" + title + "</code></h1><p class=\"note\">" +
                      note + "</p></header>\n");
        put(out_, "<section id=\"timeline\"><h2>Timeline</h2><div class=\"scroll\">\n" +
                      timeline_svg(trace_) + "</div>\n");
        stepper();
        put(out_, "</section>\n");
        transcript();
        lost();
        put(out_, "<section id=\"tree\"><h2>Processes</h2><pre>" + escape(tree_.finish()) +
                      "</pre></section>\n");
        put(out_, "<script>" + std::string(page_script) + "</script>\n</body>\n</html>\n");
        static_cast<void>(std::fflush(out_));
    }

private:
    void stepper()
    {
        put(out_,
            "<div id=\"stepper\"><p class=\"what\"></p><input type=\"range\" min=\"0\" value=\"0\" "
            "aria-label=\"step\"><p class=\"note\">The slider or the arrow keys move from event "
            "to event.");
        if (steps_.left_out() != 0) {
            put(out_, " The first " + std::to_string(Steps::most) + " events only.");
        }
        put(out_,
            "</p><table class=\"buffers\"><thead><tr><th>process</th><th>its standard output "
            "buffer, as its last stop showed it</th></tr></thead><tbody></tbody></table><p>The "
            "output so far:</p><pre></pre></div>\n<script type=\"application/json\" "
            "id=\"steps\">" +
                steps_.json() + "</script>\n");
    }

    void transcript()
    {
        const std::vector<Lane> &lanes = trace_.lanes();
        put(out_, "<section id=\"transcript\"><h2>Transcript</h2>\n");
        if (trace_.writes().empty()) {
            put(out_, "<p class=\"note\">No output.</p></section>\n");
            return;
        }
        put(out_,
            "<p class=\"note\">Every line of output, with the process that wrote it, the one "
            "that printed it and the fork that copied it into the writer. Point at a line to "
            "light up its writer's lane in the timeline.</p>\n<table id=\"lines\"><thead><tr>"
            "<th>time</th><th>written by</th><th class=\"wide\">program</th><th "
            "class=\"wide\">write</th><th>printed by</th><th>copied by</th><th>line</th></tr>"
            "</thead>\n<tbody>\n");
        for (const WriteMark &write : trace_.writes()) {
            const Lane &lane = lanes[write.lane];
            const ForkMark *fork =
                lane.made_by < trace_.forks().size() ? &trace_.forks()[lane.made_by] : nullptr;
            bool first = true;
            const auto row = [&](const std::string &printed, const std::string &copied,
                                 const std::string &text) {
                std::string cells = "<tr tabindex=\"0\" data-lane=\"";
                cells += std::to_string(write.lane);
                cells += "\" data-write=\"";
                cells += std::to_string(write.number);
                cells += "\"><td class=\"num\">";
                cells += first ? duration(write.time) : "";
                cells += "</td><td class=\"num\">";
                cells += first ? std::to_string(lane.pid) : "";
                cells += "</td><td class=\"wide\">";
                cells += first ? escape(printable(program_at(lane, write.time))) : "";
                cells += "</td><td class=\"num wide\">";
                cells += first ? "#" + std::to_string(write.number) : "";
                cells += "</td><td>";
                cells += printed;
                cells += "</td><td>";
                cells += copied;
                cells += "</td><td class=\"line\">";
                cells += text;
                cells += "</td></tr>\n";
                put(out_, cells);
                first = false;
            };
            if (!write.error.empty()) {
                row("", "",
                    "<span class=\"failed\">[write failed: " + xml(write.error) + "]</span>");
                continue;
            }
            for (const LineMark &line : write.lines) {
                std::string printed = "unknown", copied;
                if (line.printer != no_lane) {
                    printed = line.copied ? std::to_string(lanes[line.printer].pid) : "itself";
                }
                if (line.copied && fork != nullptr) {
                    copied =
                        "the fork at " + duration(fork->time) + " into " + std::to_string(lane.pid);
                }
                row(printed, copied,
                    (line.stream == Stream::error ? "<span class=\"err\">2&gt; </span>" : "") +
                        std::string(line.copied ? "<span class=\"copied\">" : "<span>") +
                        xml(line.text) + "</span>" +
                        (line.newline ? "" : "<span class=\"partial\">[no newline]</span>"));
            }
        }
        put(out_, "</tbody></table>");
        if (trace_.not_kept() != 0) {
            put(out_, "<p class=\"note\">" + escape(lines(trace_.not_kept())) +
                          " more were counted but not kept.</p>");
        }
        put(out_, "</section>\n");
    }

    void lost()
    {
        put(out_, "<section id=\"lost\"><h2>Lines that never came out</h2>\n");
        if (trace_.losses().empty()) {
            put(out_,
                "<p class=\"note\">None: every line printed into a buffer was written, "
                "where the buffers could be read.</p></section>\n");
            return;
        }
        put(out_,
            "<p class=\"note\">Pending in a buffer that was thrown away: at a successful "
            "exec, which replaces the whole image, or at an end that did not write it "
            "(_exit, or a signal).</p>\n");
        for (const LossMark &loss : trace_.losses()) {
            const Lane &lane = trace_.lanes()[loss.lane];
            put(out_, "<h3>" + std::to_string(lane.pid) + ", " + escape(lines(loss.lines.size())) +
                          " lost " + escape(loss.when) + "</h3><ol class=\"lost\">");
            for (const std::string &line : loss.lines) {
                put(out_, "<li>" + escape(line) + "</li>");
            }
            put(out_, "</ol>\n");
        }
        put(out_, "</section>\n");
    }

    std::FILE *out_;
    Timeline trace_;
    TreeText tree_;
    Steps steps_;
};

}  // namespace
}  // namespace forktrace::picture

namespace forktrace {

std::unique_ptr<Report> html_report(std::FILE *out, const ReportOptions &options)
{
    return std::make_unique<picture::HtmlReport>(out, options);
}

}  // namespace forktrace
