// json: JSON Lines, one object per event, written as the events come, so that
// memory does not grow with the trace.
#include "events.hpp"

namespace forktrace {
namespace {

class JsonReport final : public Report {
public:
    explicit JsonReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override
    {
        write_json(event, [this](std::string_view piece) {
            static_cast<void>(std::fwrite(piece.data(), 1, piece.size(), out_));
        });
        static_cast<void>(std::fputc('\n', out_));
    }

    void finish() override { static_cast<void>(std::fflush(out_)); }

private:
    std::FILE *out_;
};

}  // namespace

std::unique_ptr<Report> json_report(std::FILE *out) { return std::make_unique<JsonReport>(out); }

}  // namespace forktrace
