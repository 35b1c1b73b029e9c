#include "explore.hpp"

#include <algorithm>
#include <deque>
#include <set>
#include <utility>

namespace forktrace {
namespace {

std::string place_text(const Place &place)
{
    std::string text;
    for (const std::size_t fork : place) {
        text += std::to_string(fork) + ".";
    }
    return text;
}

// A plan as one string, to tell plans, and runs by their choices, apart.
std::string key_of(const std::vector<PlannedReap> &plan)
{
    std::set<std::string> parts;
    for (const PlannedReap &reap : plan) {
        parts.insert(place_text(reap.waiter) + "#" + std::to_string(static_cast<int>(reap.what)) +
                     "." + std::to_string(reap.number) + ">" + place_text(reap.child) + "." +
                     std::to_string(reap.second));
    }
    std::string key;
    for (const std::string &part : parts) {
        key += part + ";";
    }
    return key;
}

// The other ways the choice `made` could have gone: each other child a wait
// could have collected (or none, for a poll), the other answer of a
// getppid(), the other finding of a poll for one child.
std::vector<PlannedReap> others_of(const PlannedReap &made, const Choice &choice)
{
    if (made.what == PlannedReap::What::poll_one) {
        return {{made.waiter, 1 - made.number, made.child, made.what}};
    }
    if (made.what == PlannedReap::What::pipe_first) {
        return {{made.child, made.second, made.waiter, made.what, made.number}};
    }
    std::vector<PlannedReap> others(choice.others.size());
    std::transform(choice.others.begin(), choice.others.end(), others.begin(),
                   [&](const Place &other) {
                       return PlannedReap{made.waiter, made.number, other, made.what};
                   });
    return others;
}

// The runs explored so far, and the plans still to run.
class Explorer {
public:
    // `most`: the most runs to be made; plans past those left are never run,
    // and are not kept (only the fact that there were more).
    Explorer(Runs &runs, std::size_t most) : runs_(runs), most_(most) {}

    // A run made with `plan`: kept if no run before it made the same
    // choices, and each choice it made freely gives plans to take the others,
    // each with the plan's choices and those the run made before it (the
    // plan's may have come later: a wait of another process).
    void add(std::vector<Event> events, const std::vector<PlannedReap> &plan)
    {
        std::vector<Choice> choices = choices_of(events);
        const std::vector<PlannedReap> made = plan_of(choices);
        if (!seen_.insert(key_of(made)).second) {
            return;
        }
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (std::find(plan.begin(), plan.end(), made[i]) != plan.end()) {
                continue;  // the run that planned it tried its others
            }
            for (const PlannedReap &other : others_of(made[i], choices[i])) {
                if (runs_.tried + plans_.size() >= most_) {
                    left_out_ = true;
                    break;
                }
                std::vector<PlannedReap> other_plan = plan;
                for (std::size_t before = 0; before < i; ++before) {
                    if (std::find(plan.begin(), plan.end(), made[before]) == plan.end()) {
                        other_plan.push_back(made[before]);
                    }
                }
                other_plan.push_back(other);
                if (planned_.insert(key_of(other_plan)).second) {
                    plans_.push_back(std::move(other_plan));
                }
            }
        }
        // The others' places served the plans; their IDs are what is told.
        for (Choice &choice : choices) {
            std::vector<Place>().swap(choice.others);
        }
        runs_.events.push_back(std::move(events));
        runs_.choices.push_back(std::move(choices));
    }

    bool done() const { return plans_.empty(); }
    // Whether some plans were left out, past the runs that may be made.
    bool left_out() const { return left_out_; }

    std::vector<PlannedReap> next()
    {
        std::vector<PlannedReap> plan = std::move(plans_.front());
        plans_.pop_front();
        return plan;
    }

private:
    Runs &runs_;
    std::size_t most_;
    bool left_out_ = false;
    std::set<std::string> seen_, planned_;
    std::deque<std::vector<PlannedReap>> plans_;
};

}  // namespace

std::vector<PlannedReap> plan_of(const std::vector<Choice> &choices)
{
    std::vector<PlannedReap> plan(choices.size());
    std::transform(choices.begin(), choices.end(), plan.begin(), [](const Choice &choice) {
        using What = PlannedReap::What;
        return PlannedReap{choice.waiter, choice.number, choice.reaped,
                           choice.kind == Choice::Kind::parent       ? What::parent
                           : choice.kind == Choice::Kind::poll_one   ? What::poll_one
                           : choice.kind == Choice::Kind::pipe_first ? What::pipe_first
                                                                     : What::reap,
                           choice.second};
    });
    return plan;
}

int explore(const Options &options, const std::string &file, Run first, Runs &runs)
{
    std::vector<Event> events;
    std::string typed;
    const std::function<void(const Event &)> shown = first.emit;
    first.emit = [&](const Event &event) {
        events.push_back(event);
        if (shown) {
            shown(event);
        }
    };
    if (!options.input && first.typed == nullptr) {
        first.typed = &typed;
    }
    const int status = run_command(options, file, first);
    runs.tried = 1;
    runs.budget = options.runs;
    if (status == status_failed || interrupted() != 0) {
        runs.complete = false;
        return status;
    }
    Explorer explorer(runs, options.runs);
    explorer.add(std::move(events), {});
    Options again = options;
    again.output.clear();
    if (!options.input) {
        again.input = *first.typed;
    }
    while (!explorer.done()) {
        if (runs.tried >= options.runs) {
            runs.complete = false;
            break;
        }
        Run steered;
        steered.reaps = explorer.next();
        steered.quiet = true;
        steered.show_on = -1;
        std::vector<Event> these;
        steered.emit = [&these](const Event &event) { these.push_back(event); };
        bool gave_up = false;
        steered.steer_gave_up = &gave_up;
        const int again_status = run_command(again, file, steered);
        runs.gave_up = runs.gave_up || gave_up;
        ++runs.tried;
        if (again_status == status_failed || interrupted() != 0) {
            runs.complete = false;
            return again_status;  // the run that failed, or the signal that ended it
        }
        explorer.add(std::move(these), steered.reaps);
    }
    runs.complete = runs.complete && !explorer.left_out();
    return status;
}

}  // namespace forktrace
