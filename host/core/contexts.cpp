#include "host/core/contexts.h"

#include <exception>

#include "host/host.h"

namespace host {

namespace {
thread_local ThreadContexts* tl_thread = nullptr;
}

const char* context_kind_name(ContextKind kind) {
    switch (kind) {
        case ContextKind::Test: return "test";
        case ContextKind::DriverEntry: return "driver entry";
        case ContextKind::Handler: return "handler";
        case ContextKind::Timer: return "timer routine";
        case ContextKind::Completion: return "completion routine";
        case ContextKind::WorkItem: return "work item";
        case ContextKind::Shutdown: return "shutdown handler";
    }
    return "?";
}

void Contexts::bind_this_thread() {
    auto thread = std::make_unique<ThreadContexts>();
    auto cpu = std::make_unique<Cpu>();
    cpu->number = next_cpu_++;
    cpu->frames.push_back(Frame{ContextKind::Test, "(test)", nullptr, PASSIVE_LEVEL, 0});
    thread->cpus.push_back(std::move(cpu));
    tl_thread = thread.get();
    threads_.push_back(std::move(thread));
}

void Contexts::unbind_this_thread() { tl_thread = nullptr; }

ThreadContexts& Contexts::thread() {
    if (tl_thread == nullptr) bind_this_thread();
    return *tl_thread;
}

Cpu& Contexts::cpu() {
    if (Task* task = host_.processors().current()) return task->cpu;
    return *thread().cpus.back();
}

int Contexts::cpu_count_of_thread() { return static_cast<int>(thread().cpus.size()); }

Contexts::Scope::Scope(Contexts& contexts, ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql)
    : contexts_(contexts), cpu_(contexts.cpu()) {
    std::string name;
    if (!cpu_.spare_names.empty()) {
        name = std::move(cpu_.spare_names.back());
        cpu_.spare_names.pop_back();
    }
    name.assign(routine);
    cpu_.frames.push_back(Frame{kind, std::move(name), adapter, cpu_.irql, cpu_.interrupt_mask});
    cpu_.irql = irql;
    depth_ = cpu_.frames.size();
    if (Observer* observer = contexts_.host_.observer()) observer->frame_entered(cpu_, cpu_.frames.back(), irql);
}

void Contexts::Scope::finish() {
    finished_ = true;
    Host& host = contexts_.host_;
    const Frame& frame = cpu_.frames.back();
    auto leftover = host.locks().held_since(cpu_, depth_);
    int mask = cpu_.interrupt_mask;
    // Put things right first, so that the host stays usable whatever the policy does next.
    for (auto* lock : leftover) host.locks().force_release(lock);
    cpu_.interrupt_mask = frame.entry_mask;
    if (!leftover.empty()) {
        std::string names;
        for (auto* lock : leftover) names += (names.empty() ? "" : ", ") + lock->name();
        host.verifier().report(Rule::SpinLocks, "returned with " + names + " still held");
    }
    if (mask > frame.entry_mask) {
        host.verifier().report(Rule::Interrupts, "returned with interrupts still masked (" +
                                                     std::to_string(mask - frame.entry_mask) + " level(s))");
    } else if (mask < frame.entry_mask) {
        host.verifier().report(Rule::Interrupts, "unmasked interrupts that its caller had masked");
    }
}

Contexts::Scope::~Scope() {
    if (!finished_) {
        // Unwinding (a violation thrown inside): let go of what the frame took.
        for (auto* lock : contexts_.host_.locks().held_since(cpu_, depth_)) contexts_.host_.locks().force_release(lock);
    }
    const Frame& frame = cpu_.frames.back();
    if (Observer* observer = contexts_.host_.observer()) observer->frame_left(cpu_, frame);
    cpu_.irql = frame.entry_irql;
    cpu_.interrupt_mask = frame.entry_mask;
    cpu_.spare_names.push_back(std::move(cpu_.frames.back().routine));
    cpu_.frames.pop_back();
}

Contexts::OtherCpu::OtherCpu(Contexts& contexts) : contexts_(contexts), waiting_(contexts.cpu()) {
    waiting_.waiting = true;
    auto cpu = std::make_unique<Cpu>();
    cpu->number = contexts.next_cpu_++;
    // The other processor runs nothing of its own until an event gives it a frame.
    cpu->frames.push_back(Frame{ContextKind::Test, "(idle)", nullptr, PASSIVE_LEVEL, 0});
    contexts.thread().cpus.push_back(std::move(cpu));
    contexts.host_.locks().holders_changed();
}

Contexts::OtherCpu::~OtherCpu() {
    auto& cpus = contexts_.thread().cpus;
    for (auto* lock : contexts_.host_.locks().held_since(*cpus.back(), 0)) contexts_.host_.locks().force_release(lock);
    cpus.pop_back();
    waiting_.waiting = false;
    contexts_.host_.locks().holders_changed();
}

}  // namespace host
