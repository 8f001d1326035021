// The verifier: always on. Every rule violation names the rule, the running routine, the adapter
// and the virtual time, and is then thrown, printed before an abort, or recorded, by policy.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "host/core/types.h"

namespace host {

enum class Rule : int {
    Host = 0,              // misuse of the host itself, or a wait that can never end
    WaitAtDispatch = 1,    // waiting where waiting is not allowed
    SpinLocks = 2,         // lock misuse and lock order
    Interrupts = 3,        // interrupt masking balance
    Memory = 4,            // pool memory misuse and leaks
    Irps = 5,              // I/O request packet misuse and leaks
    Timers = 6,            // timers (and work items) outliving their adapter
    Packets = 7,           // send packet ownership and completion
    Requests = 8,          // information requests and resets
    Receive = 9,           // receive indications
    ShutdownHandler = 10,  // shutdown handler registration pairs
};

const char* rule_title(Rule rule);

enum class ViolationPolicy {
    Throw,   // throw VerifierViolation (tests)
    Abort,   // print the message on stderr and abort (the program)
    Record,  // keep the violation and carry on (simulations)
};

struct Violation {
    Rule rule = Rule::Host;
    std::string routine;  // the driver routine that was running
    std::string adapter;  // the adapter it ran for, or "-"
    Time time = 0;        // virtual time in microseconds
    std::string message;

    std::string text() const;
};

class VerifierViolation : public std::exception {
public:
    explicit VerifierViolation(Violation violation);
    const char* what() const noexcept override { return text_.c_str(); }
    const Violation& violation() const { return violation_; }
    Rule rule() const { return violation_.rule; }

private:
    Violation violation_;
    std::string text_;
};

class Verifier {
public:
    explicit Verifier(Host& host, ViolationPolicy policy) : host_(host), policy_(policy) {}

    void set_policy(ViolationPolicy policy) { policy_ = policy; }
    ViolationPolicy policy() const { return policy_; }

    // Reports a violation in the name of the context that is running now.
    void report(Rule rule, const std::string& message);
    // Reports a violation in the name of a given adapter and routine (end-of-run checks).
    void report_for(Rule rule, const Adapter* adapter, const std::string& routine, const std::string& message);

    const std::vector<Violation>& violations() const { return violations_; }
    size_t count(Rule rule) const;
    void clear() { violations_.clear(); }

private:
    void raise(Violation violation);

    Host& host_;
    ViolationPolicy policy_;
    std::vector<Violation> violations_;
};

}  // namespace host
