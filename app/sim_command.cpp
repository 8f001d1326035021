#include "app/sim_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "host/timeline.h"
#include "sim/sim.h"

namespace usbeth {

namespace {

std::atomic<bool> g_soak_stop{false};

void stop_soak(int) { g_soak_stop = true; }

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string hash_text(uint64_t hash) {
    char b[24];
    std::snprintf(b, sizeof(b), "%016" PRIx64, hash);
    return b;
}

}  // namespace

CLI::Validator whole_number(uint64_t least, uint64_t most) {
    return CLI::Validator(
        [least, most](std::string& text) -> std::string {
            // Decimal, or hexadecimal after 0x as a scenario's numbers may be; never octal.
            const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const std::string digits = hex ? text.substr(2) : text;
            bool ok = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](unsigned char c) {
                return hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
            });
            errno = 0;
            unsigned long long value = ok ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
            if (!ok || errno == ERANGE || value < least || value > most) {
                return "expected a whole number from " + std::to_string(least) + " to " + std::to_string(most) +
                       ", not " + text;
            }
            text = std::to_string(value);  // what the option's conversion reads
            return {};
        },
        least ? "NUMBER>0" : "NUMBER");
}

CLI::Validator seconds_number(double most) {
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size() || !(value >= 0 && value <= most)) {
                return "expected a number of seconds from 0 to " + std::to_string(static_cast<uint64_t>(most)) +
                       ", not " + text;
            }
            return {};
        },
        "SECONDS");
}

CLI::App* add_sim_command(CLI::App& app, SimOptions& o) {
    CLI::App* sim =
        app.add_subcommand("sim", "Seeded simulation runs with injected faults, invariants checked throughout");
    // Seeds and counts are unsigned: "-1" is refused rather than read as 2^64 - 1.
    auto* seed = sim->add_option("--seed", o.seed, "Run this one seed (a failure prints the command that replays it)")
                     ->transform(whole_number())
                     ->each([&o](const std::string&) { o.one_seed = true; });
    auto* first = sim->add_option("--first", o.first, "The first seed of the range")
                      ->transform(whole_number())
                      ->capture_default_str();
    auto* count = sim->add_option("--count", o.count, "Run at least this many seeds")
                      ->transform(whole_number(1))
                      ->capture_default_str();
    auto* seconds =
        sim->add_option("--seconds", o.seconds, "Go on with further seeds until this much wall time has passed")
            ->check(seconds_number(1e7));
    auto* soak = sim->add_flag(
        "--soak", o.soak, "Run seeds from --first until SIGINT or SIGTERM; print seeds per second and fault coverage");
    sim->add_flag("--trace", o.trace, "With --seed or --plan: print the whole trace of the run");
    sim->add_flag("--quiet", o.quiet, "Print only failures and the summary");
    sim->add_option("--processors", o.processors,
                    "Virtual processors of the host, 1 to 4 (default: each seed draws its own)")
        ->transform(whole_number(1, 4));
    auto* plan = sim->add_option("--plan", o.plan,
                                 "Run the plan in this file (written by --write-plan or a shrink; the same file "
                                 "gives the same run)");
    sim->add_flag("--shrink", o.shrink,
                  "With --seed or --plan: when the run fails, shrink it to a small plan that fails the same check");
    sim->add_flag("--no-shrink", o.no_shrink, "A range does not shrink the failing seeds it finds");
    sim->add_option("--write-plan", o.write_plan,
                    "With --seed or --plan: write the run's plan to this file (with a shrink, the shrunk plan; "
                    "default sim-plan-SEED.json)");
    sim->add_option("--timeline", o.timeline,
                    "With --seed or --plan: write the run as a timeline (Trace Event Format JSON, for "
                    "chrome://tracing or ui.perfetto.dev) to this file");
    sim->add_option("--shrink-seconds", o.shrink_seconds, "The wall time a shrink may take (default 60)")
        ->check(seconds_number(1e6));
    seed->excludes(first)->excludes(count)->excludes(seconds)->excludes(soak);
    plan->excludes(seed)->excludes(first)->excludes(count)->excludes(seconds)->excludes(soak);
    soak->excludes(count)->excludes(seconds);
    sim->footer("Interrupted (SIGINT, SIGTERM), a range prints the summary of the seeds run so far and exits 130.");
    return sim;
}

namespace {

std::string plan_file_name(const SimOptions& o, uint64_t seed) {
    return o.write_plan.empty() ? "sim-plan-" + std::to_string(seed) + ".json" : o.write_plan;
}

bool write_file(const std::string& path, const std::string& text, std::ostream& err) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        err << "usbeth sim: cannot write " << path << "\n";
        return false;
    }
    return true;
}

// Shrinks a failing run from its plan and says what came of it: the shrunk plan's file, the
// command that replays it, and how much smaller it is.
void shrink_and_report(const SimOptions& o, const sim::Plan& plan, const sim::Result& failure, std::ostream& err) {
    sim::RunOptions options;
    options.processors = o.processors;
    sim::ShrinkOptions so;
    so.max_seconds = o.shrink_seconds;
    so.progress = [&err](const std::string& line) { err << "  shrink: " << line << "\n" << std::flush; };
    err << "shrinking the failure of seed " << plan.seed << " (" << sim::failure_signature(failure)
        << "): " << plan.actions() << " actions, " << plan.faults() << " faults, " << plan.schedule.processors
        << " processor(s)\n";
    const sim::ShrinkResult s = sim::shrink(plan, failure, options, so);
    if (!s.reproduced) {
        err << "  the plan did not fail as the run did ("
            << (s.failure.ok ? "clean" : sim::failure_signature(s.failure)) << "); nothing shrunk\n";
        return;
    }
    const std::string path = plan_file_name(o, plan.seed);
    if (!write_file(path, sim::plan_to_json(s.after), err)) return;
    err << "shrunk in " << s.attempts << " attempts, " << static_cast<int>(s.seconds * 10) / 10.0 << " s: actions "
        << s.before.actions() << " \u2192 " << s.after.actions() << ", faults " << s.before.faults() << " \u2192 "
        << s.after.faults() << ", processors " << s.before.schedule.processors << " \u2192 "
        << s.after.schedule.processors << "\n"
        << "  still fails: " << s.failure.invariant << ": " << s.failure.detail << "\n"
        << "  plan written to " << path << "\n"
        << "  replay: usbeth sim --plan " << path << " --trace\n"
        << std::flush;
}

int run_one(const SimOptions& o, std::ostream& out, std::ostream& err) {
    sim::RunOptions options;
    options.keep_trace = o.trace;
    options.processors = o.processors;
    options.record_plan = true;
    std::optional<sim::Plan> plan;
    if (!o.plan.empty()) {
        std::ifstream file(o.plan, std::ios::binary);
        if (!file) {
            err << "usbeth sim: cannot read " << o.plan << "\n";
            return 2;
        }
        std::stringstream text;
        text << file.rdbuf();
        try {
            plan = sim::plan_from_json(text.str());
        } catch (const std::runtime_error& e) {
            err << "usbeth sim: " << o.plan << ": " << e.what() << "\n";
            return 2;
        }
        options.plan_file = o.plan;
    }
    std::ofstream timeline_file;
    std::optional<host::Timeline> timeline;
    if (!o.timeline.empty()) {
        timeline_file.open(o.timeline, std::ios::binary | std::ios::trunc);
        if (!timeline_file) {
            err << "usbeth sim: cannot write " << o.timeline << "\n";
            return 2;
        }
        timeline.emplace(timeline_file);
        options.timeline = &*timeline;
    }
    sim::Result r = plan ? sim::run_plan(*plan, options) : sim::run_seed(o.seed, options);
    if (!plan) plan = *r.plan;
    if (timeline) {
        timeline->finish();
        out << "timeline written to " << o.timeline << " (" << timeline->events() << " events)\n";
    }
    for (const std::string& line : r.trace) out << line << "\n";
    if (!o.plan.empty()) out << "plan " << o.plan << " (" << plan->actions() << " actions) of ";
    out << "seed " << r.seed << ": " << (r.ok ? "clean" : "FAILED") << ", " << r.trace_lines << " trace lines, "
        << r.virtual_us / 1000 << " ms virtual, trace hash " << hash_text(r.trace_hash) << "\n";
    for (const std::string& w : r.witnesses) out << "  met: " << w << "\n";
    if (!o.write_plan.empty() && !(o.shrink && !r.ok)) {
        if (!write_file(o.write_plan, sim::plan_to_json(*plan), err)) return 2;
        out << "plan written to " << o.write_plan << "\n";
    }
    if (r.ok) return 0;
    err << sim::describe_failure(r);
    if (o.shrink) {
        shrink_and_report(o, *plan, r, err);
    } else {
        err << "  shrink: "
            << (o.plan.empty() ? "usbeth sim --seed " + std::to_string(r.seed) : "usbeth sim --plan " + o.plan)
            << " --shrink\n";
    }
    return 1;
}

// Seeds run one after another, from the first of the range on, and what they came to.
class SeedRange {
public:
    SeedRange(const SimOptions& o, std::ostream& out, std::ostream& err)
        : o_(o), out_(out), err_(err), seed_(o.first) {}

    // Runs until the range is done, or, for a soak, until stopped; returns the exit status.
    int run() {
        // A soak ends at SIGINT or SIGTERM; a range ends early at one, with the summary so far.
        g_soak_stop = false;
        std::signal(SIGINT, stop_soak);
        std::signal(SIGTERM, stop_soak);
        while (!done()) {
            run_next();
            progress();
            if (o_.soak && std::chrono::steady_clock::now() - last_report_ >= std::chrono::seconds(10)) {
                last_report_ = std::chrono::steady_clock::now();
                report();
                out_ << coverage_.table() << std::flush;
            }
        }
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        clear_progress();
        return finish();
    }

private:
    // The seed reached, the seeds run of those asked for, the failures and the rate, at most
    // every 200 ms, on a line of its own that anything else printed first clears.
    void progress() {
        if (!o_.progress || o_.soak) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_progress_ < std::chrono::milliseconds(200)) return;
        last_progress_ = now;
        const double wall = since(start_);
        char line[200];
        std::snprintf(line, sizeof(line),
                      "\rusbeth: seed %" PRIu64 ", %" PRIu64 " of %" PRIu64 " run (%.0f%%), %" PRIu64
                      " failed, %.0f seeds/s\033[K",
                      seed_ - 1, runs_, o_.count,
                      100.0 * static_cast<double>(std::min(runs_, o_.count)) / static_cast<double>(o_.count), failures_,
                      wall > 0 ? static_cast<double>(runs_) / wall : 0.0);
        err_ << line << std::flush;
        progress_shown_ = true;
    }
    void clear_progress() {
        if (progress_shown_) err_ << "\r\033[K" << std::flush;
        progress_shown_ = false;
    }

    bool done() {
        if (o_.soak) return g_soak_stop;
        interrupted_ = g_soak_stop;
        return interrupted_ || (runs_ >= o_.count && since(start_) >= o_.seconds);
    }

    void run_next() {
        const auto began = std::chrono::steady_clock::now();
        sim::RunOptions options;
        options.processors = o_.processors;
        sim::Result r = sim::run_seed(seed_++, options);
        if (since(began) > 2.0) {
            clear_progress();
            err_ << "seed " << r.seed << " took " << since(began) << " s\n" << std::flush;
        }
        ++runs_;
        virtual_us_ += r.virtual_us;
        coverage_.add(r.coverage);
        if (!r.ok) {
            ++failures_;
            clear_progress();
            err_ << sim::describe_failure(r) << std::flush;
            // The first few failures shrink on the spot (the rest print their seed only).
            if (!o_.no_shrink && shrunk_ < kShrinksPerRange) {
                ++shrunk_;
                options.record_plan = true;
                const sim::Result again = sim::run_seed(r.seed, options);
                shrink_and_report(o_, *again.plan, again, err_);
            }
        }
    }

    void report() {
        double wall = since(start_);
        out_ << "seeds " << o_.first << ".." << (seed_ - 1) << ": " << runs_ << " run, " << failures_ << " failed, "
             << static_cast<uint64_t>(runs_ / (wall > 0 ? wall : 1)) << " seeds/s, " << virtual_us_ / 1000000
             << " s virtual in " << static_cast<uint64_t>(wall) << " s\n";
    }

    int finish() {
        if (interrupted_) out_ << "interrupted after " << runs_ << " of " << o_.count << " seeds\n";
        report();
        if (!o_.quiet || o_.soak) out_ << "fault coverage (times injected, runs that had it):\n" << coverage_.table();
        if (failures_) out_ << failures_ << " seed(s) failed; each prints the command that replays it\n";
        if (failures_) return 1;
        return interrupted_ ? 130 : 0;
    }

    const SimOptions& o_;
    std::ostream& out_;
    std::ostream& err_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_report_ = start_, last_progress_ = start_;
    bool progress_shown_ = false;
    sim::Coverage coverage_;
    uint64_t runs_ = 0, failures_ = 0, seed_;
    uint64_t virtual_us_ = 0;
    bool interrupted_ = false;
    static constexpr int kShrinksPerRange = 3;
    int shrunk_ = 0;
};

}  // namespace

int run_sim_command(const SimOptions& o, std::ostream& out, std::ostream& err) {
    if (o.one_seed || !o.plan.empty()) return run_one(o, out, err);
    return SeedRange(o, out, err).run();
}

}  // namespace usbeth
