#include "host/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>

#include "host/host.h"

namespace host {

const char* rule_title(Rule rule) {
    switch (rule) {
        case Rule::Host: return "host";
        case Rule::WaitAtDispatch: return "rule 1 (waiting at dispatch level)";
        case Rule::SpinLocks: return "rule 2 (spin locks)";
        case Rule::Interrupts: return "rule 3 (interrupt masking)";
        case Rule::Memory: return "rule 4 (memory)";
        case Rule::Irps: return "rule 5 (IRPs)";
        case Rule::Timers: return "rule 6 (timers)";
        case Rule::Packets: return "rule 7 (packets)";
        case Rule::Requests: return "rule 8 (requests)";
        case Rule::Receive: return "rule 9 (receive)";
        case Rule::ShutdownHandler: return "rule 10 (shutdown handler)";
    }
    return "unknown rule";
}

std::string Violation::text() const {
    char when[64];
    std::snprintf(when, sizeof when, "%llu.%06llu s", static_cast<unsigned long long>(time / 1000000),
                  static_cast<unsigned long long>(time % 1000000));
    return std::string("verifier: ") + rule_title(rule) + " in " + routine + " for " + adapter + " at " + when + ": " +
           message;
}

VerifierViolation::VerifierViolation(Violation violation)
    : violation_(std::move(violation)), text_(violation_.text()) {}

size_t Verifier::count(Rule rule) const {
    size_t n = 0;
    for (const auto& v : violations_) n += v.rule == rule;
    return n;
}

void Verifier::report(Rule rule, const std::string& message) {
    const Frame& frame = host_.contexts().current();
    report_for(rule, frame.adapter, frame.routine, message);
}

void Verifier::report_for(Rule rule, const Adapter* adapter, const std::string& routine, const std::string& message) {
    Violation v;
    v.rule = rule;
    v.routine = routine.empty() ? "(host)" : routine;
    v.adapter = adapter ? adapter->name : "-";
    v.time = host_.now();
    v.message = message;
    raise(std::move(v));
}

void Verifier::raise(Violation violation) {
    violations_.push_back(violation);
    switch (policy_) {
        case ViolationPolicy::Throw: throw VerifierViolation(std::move(violation));
        case ViolationPolicy::Abort:
            std::fprintf(stderr, "%s\n", violation.text().c_str());
            std::fflush(stderr);
            std::abort();
        case ViolationPolicy::Record: break;
    }
}

}  // namespace host
