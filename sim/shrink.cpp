// Shrinking a failing run, as property-based testing shrinks a counterexample: smaller and
// smaller plans are tried (the run cut after the step that failed, halves of the steps dropped
// and then single steps, faults dropped one by one, fewer processors, a plainer schedule), and
// each that still fails the same check is kept, until nothing smaller fails or the budget of
// attempts and time is spent.
#include <cctype>
#include <chrono>

#include "sim/sim.h"

namespace sim {

std::string failure_signature(const Result& result) {
    if (result.ok) return {};
    // Numbers (decimal, or hexadecimal after 0x) become '#', so that the same check on other
    // sends, adapters or times compares equal.
    std::string masked;
    const std::string& d = result.detail;
    for (size_t i = 0; i < d.size() && masked.size() < 48; ++i) {
        const bool hex = d[i] == '0' && i + 1 < d.size() && d[i + 1] == 'x';
        if (std::isdigit(static_cast<unsigned char>(d[i])) != 0 || hex) {
            if (hex) ++i;
            while (i + 1 < d.size() && (std::isxdigit(static_cast<unsigned char>(d[i + 1])) != 0 || d[i + 1] == '.'))
                ++i;
            if (masked.empty() || masked.back() != '#') masked += '#';
            continue;
        }
        masked += d[i];
    }
    return result.invariant + ": " + masked;
}

namespace {

class Shrinker {
public:
    Shrinker(const Plan& plan, const Result& failure, const RunOptions& options, const ShrinkOptions& so)
        : options_(options), so_(so), want_(failure_signature(failure)) {
        options_.keep_trace = false;
        options_.record_plan = false;
        options_.timeline = nullptr;
        out_.before = plan;
        best_ = plan;
    }

    ShrinkResult run() {
        if (!try_plan(best_)) {
            out_.after = best_;
            out_.failure = last_;
            return finish();
        }
        out_.reproduced = true;
        out_.failure = last_;
        bool progress = true;
        while (progress && budget_left()) {
            progress = false;
            progress |= cut_after_failure();
            progress |= drop_steps();
            progress |= drop_faults();
            progress |= fewer_processors();
            progress |= plainer_schedule();
        }
        out_.after = best_;
        return finish();
    }

private:
    bool budget_left() const { return out_.attempts < so_.max_attempts && seconds() < so_.max_seconds; }
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
    ShrinkResult finish() {
        out_.seconds = seconds();
        return out_;
    }

    // Whether the plan fails with the same check; the run is kept in last_.
    bool try_plan(const Plan& candidate) {
        ++out_.attempts;
        last_ = run_plan(candidate, options_);
        return !last_.ok && failure_signature(last_) == want_;
    }
    bool attempt(const Plan& candidate, const char* what) {
        if (!budget_left() || !try_plan(candidate)) return false;
        best_ = candidate;
        out_.failure = last_;
        if (so_.progress) {
            so_.progress(std::string(what) + ": " + std::to_string(best_.actions()) + " actions, " +
                         std::to_string(best_.faults()) + " faults, " + std::to_string(best_.schedule.processors) +
                         " processor(s)");
        }
        return true;
    }

    // Steps after the one during which the check failed played no part.
    bool cut_after_failure() {
        const size_t begun = out_.failure.steps_begun;
        if (begun >= best_.steps.size()) return false;
        Plan candidate = best_;
        candidate.steps.resize(begun);
        return attempt(candidate, "cut after the failing step");
    }

    bool drop_steps() {
        bool any = false;
        for (size_t size = best_.steps.size() / 2; size >= 1 && budget_left(); size /= 2) {
            for (size_t i = 0; i < best_.steps.size() && budget_left();) {
                Plan candidate = best_;
                const size_t end = std::min(i + size, candidate.steps.size());
                candidate.steps.erase(candidate.steps.begin() + static_cast<std::ptrdiff_t>(i),
                                      candidate.steps.begin() + static_cast<std::ptrdiff_t>(end));
                if (attempt(candidate, size == 1 ? "dropped a step" : "dropped steps")) {
                    any = true;
                    cut_after_failure();
                } else {
                    i += size;
                }
            }
        }
        return any;
    }

    bool drop_faults() {
        bool any = false;
        for (size_t k = 0; k < best_.alloc_ppm.size(); ++k) {
            if (best_.alloc_ppm[k] == 0) continue;
            Plan candidate = best_;
            candidate.alloc_ppm[k] = 0;
            any |= attempt(candidate, "dropped an allocation failure");
        }
        for (size_t a = 0; a < best_.adapters.size(); ++a) {
            for (size_t r = 0; r < best_.adapters[a].rules.size();) {
                Plan candidate = best_;
                auto& rules = candidate.adapters[a].rules;
                rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(r));
                if (attempt(candidate, "dropped a USB fault")) {
                    any = true;
                } else {
                    ++r;
                }
            }
            for (bool PlanAdapter::*flag : {&PlanAdapter::bad_descriptor, &PlanAdapter::mii_garbage,
                                            &PlanAdapter::eeprom_never_done, &PlanAdapter::phy_never_done}) {
                if (!(best_.adapters[a].*flag)) continue;
                Plan candidate = best_;
                candidate.adapters[a].*flag = false;
                any |= attempt(candidate, "dropped a register fault");
            }
            for (uint64_t PlanAdapter::*from : {&PlanAdapter::eeprom_silent_from_us, &PlanAdapter::phy_silent_from_us,
                                                &PlanAdapter::phy_mute_from_us}) {
                if (best_.adapters[a].*from == model::RegisterBehaviour::kNever) continue;
                Plan candidate = best_;
                candidate.adapters[a].*from = model::RegisterBehaviour::kNever;
                any |= attempt(candidate, "dropped a part that stops working");
            }
        }
        if (best_.ending_halt) {
            Plan candidate = best_;
            candidate.ending_halt = false;
            any |= attempt(candidate, "dropped the halt before the recovery");
        }
        return any;
    }

    bool fewer_processors() {
        for (int p = 1; p < best_.schedule.processors; ++p) {
            Plan candidate = best_;
            candidate.schedule.processors = p;
            if (attempt(candidate, "fewer processors")) return true;
        }
        return false;
    }

    bool plainer_schedule() {
        bool any = false;
        if (best_.schedule.overlap_us != 0) {
            Plan candidate = best_;
            candidate.schedule.overlap_us = 0;
            any |= attempt(candidate, "no overlap");
        }
        if (best_.schedule.timer_latency_us != 0) {
            Plan candidate = best_;
            candidate.schedule.timer_latency_us = 0;
            any |= attempt(candidate, "no timer latency");
        }
        return any;
    }

    RunOptions options_;
    ShrinkOptions so_;
    const std::string want_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    ShrinkResult out_;
    Plan best_;
    Result last_;
};

}  // namespace

ShrinkResult shrink(const Plan& plan, const Result& failure, const RunOptions& options,
                    const ShrinkOptions& shrink_options) {
    return Shrinker(plan, failure, options, shrink_options).run();
}

}  // namespace sim
