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
#include <ostream>

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
    sim->add_flag("--trace", o.trace, "With --seed: print the whole trace of the run")->needs(seed);
    sim->add_flag("--quiet", o.quiet, "Print only failures and the summary");
    sim->add_option("--processors", o.processors,
                    "Virtual processors of the host, 1 to 4 (default: each seed draws its own)")
        ->transform(whole_number(1, 4));
    seed->excludes(first)->excludes(count)->excludes(seconds)->excludes(soak);
    soak->excludes(count)->excludes(seconds);
    sim->footer("Interrupted (SIGINT, SIGTERM), a range prints the summary of the seeds run so far and exits 130.");
    return sim;
}

namespace {

int run_one_seed(const SimOptions& o, std::ostream& out, std::ostream& err) {
    sim::RunOptions options;
    options.keep_trace = o.trace;
    options.processors = o.processors;
    sim::Result r = sim::run_seed(o.seed, options);
    for (const std::string& line : r.trace) out << line << "\n";
    out << "seed " << r.seed << ": " << (r.ok ? "clean" : "FAILED") << ", " << r.trace_lines << " trace lines, "
        << r.virtual_us / 1000 << " ms virtual, trace hash " << hash_text(r.trace_hash) << "\n";
    if (!r.ok) err << sim::describe_failure(r);
    return r.ok ? 0 : 1;
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
};

}  // namespace

int run_sim_command(const SimOptions& o, std::ostream& out, std::ostream& err) {
    if (o.one_seed) return run_one_seed(o, out, err);
    return SeedRange(o, out, err).run();
}

}  // namespace usbeth
