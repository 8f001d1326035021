#include "app/sim_command.h"

#include <CLI/CLI.hpp>

#include <atomic>
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

CLI::App* add_sim_command(CLI::App& app, SimOptions& o) {
    CLI::App* sim = app.add_subcommand("sim", "Seeded simulation runs with injected faults, invariants checked throughout");
    sim->add_option("--seed", o.seed, "Run this one seed (a failure prints the command that replays it)")
        ->each([&o](const std::string&) { o.one_seed = true; });
    sim->add_option("--first", o.first, "The first seed of the range")->capture_default_str();
    sim->add_option("--count", o.count, "Run at least this many seeds")->capture_default_str();
    sim->add_option("--seconds", o.seconds, "Go on with further seeds until this much wall time has passed");
    sim->add_flag("--soak", o.soak, "Run seeds from --first until SIGINT or SIGTERM; print seeds per second and fault coverage");
    sim->add_flag("--trace", o.trace, "With --seed: print the whole trace of the run");
    sim->add_flag("--quiet", o.quiet, "Print only failures and the summary");
    sim->add_option("--processors", o.processors,
                    "Virtual processors of the host, 1 to 4 (default: each seed draws its own)")
        ->check(CLI::Range(1, 4));
    return sim;
}

int run_sim_command(const SimOptions& o, std::ostream& out, std::ostream& err) {
    if (o.one_seed) {
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

    if (o.soak) {
        std::signal(SIGINT, stop_soak);
        std::signal(SIGTERM, stop_soak);
    }
    const auto start = std::chrono::steady_clock::now();
    auto last_report = start;
    sim::Coverage coverage;
    uint64_t runs = 0, failures = 0, seed = o.first;
    uint64_t virtual_us = 0;
    auto report = [&] {
        double wall = since(start);
        out << "seeds " << o.first << ".." << (seed - 1) << ": " << runs << " run, " << failures << " failed, "
            << static_cast<uint64_t>(runs / (wall > 0 ? wall : 1)) << " seeds/s, " << virtual_us / 1000000 << " s virtual in "
            << static_cast<uint64_t>(wall) << " s\n";
    };
    for (;;) {
        if (o.soak) {
            if (g_soak_stop) break;
        } else if (runs >= o.count && since(start) >= o.seconds) {
            break;
        }
        const auto began = std::chrono::steady_clock::now();
        sim::RunOptions options;
        options.processors = o.processors;
        sim::Result r = sim::run_seed(seed++, options);
        if (since(began) > 2.0) err << "seed " << r.seed << " took " << since(began) << " s\n" << std::flush;
        ++runs;
        virtual_us += r.virtual_us;
        coverage.add(r.coverage);
        if (!r.ok) {
            ++failures;
            err << sim::describe_failure(r) << std::flush;
        }
        if (o.soak && std::chrono::steady_clock::now() - last_report >= std::chrono::seconds(10)) {
            last_report = std::chrono::steady_clock::now();
            report();
            out << coverage.table() << std::flush;
        }
    }
    report();
    if (!o.quiet || o.soak) out << "fault coverage (times injected, runs that had it):\n" << coverage.table();
    if (failures) out << failures << " seed(s) failed; each prints the command that replays it\n";
    return failures ? 1 : 0;
}

}  // namespace usbeth
