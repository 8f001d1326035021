#include "host/timeline.h"

#include <cstdio>

#include "host/host.h"
#include "host/usb/bus_driver.h"

namespace host {

namespace {

constexpr int kMarksTid = 100;  // after the processors

std::string quoted(const std::string& text) {
    std::string q = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            q += b;
        } else {
            q += static_cast<char>(c);
        }
    }
    return q + "\"";
}

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

}  // namespace

Timeline::Timeline(std::ostream& out, std::string marks_track) : out_(out), marks_track_(std::move(marks_track)) {
    out_ << "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    out_ << "{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{\"name\":\"usbeth host\"}}";
    track(kMarksTid, marks_track_);
}

Timeline::~Timeline() {
    detach();
    finish();
}

void Timeline::attach(Host& host) {
    detach();
    host_ = &host;
    host.set_observer(this);
}

void Timeline::detach() {
    if (host_ != nullptr && host_->observer() == this) host_->set_observer(nullptr);
    host_ = nullptr;
}

Time Timeline::now() {
    if (host_ != nullptr) last_ = std::max(last_, host_->now());
    return last_;
}

void Timeline::event(const std::string& text) {
    if (finished_) return;
    out_ << ",\n" << text;
    ++events_;
}

void Timeline::track(int tid, const std::string& name) {
    if (!tracks_.insert(tid).second) return;
    out_ << ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":" << tid
         << ",\"args\":{\"name\":" << quoted(name) << "}}";
    out_ << ",\n{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":" << tid
         << ",\"args\":{\"sort_index\":" << tid << "}}";
}

void Timeline::begin(int tid, const Frame& frame, KIRQL irql, bool resumed) {
    if (frame.kind == ContextKind::Test) return;  // the caller's own frame, and idle processors
    track(tid, "processor " + std::to_string(tid));
    std::string args = "{\"irql\":" + std::to_string(irql) + ",\"kind\":" + quoted(context_kind_name(frame.kind)) +
                       ",\"adapter\":" + quoted(frame.adapter != nullptr ? frame.adapter->name : "-");
    if (resumed) args += ",\"resumed\":true";
    event("{\"name\":" + quoted(frame.routine) + ",\"cat\":\"routine\",\"ph\":\"B\",\"ts\":" + std::to_string(now()) +
          ",\"pid\":1,\"tid\":" + std::to_string(tid) + ",\"args\":" + args + "}}");
    stacks_[tid].push_back(frame.routine);
}

// The slice of the named routine ends: named after the routine that ends, not after whatever
// the track has open, so that a slice ended on the wrong track shows in the document.
void Timeline::end(int tid, const std::string& name) {
    auto& stack = stacks_[tid];
    if (stack.empty()) return;
    event("{\"name\":" + quoted(name) + ",\"cat\":\"routine\",\"ph\":\"E\",\"ts\":" + std::to_string(now()) +
          ",\"pid\":1,\"tid\":" + std::to_string(tid) + "}");
    stack.pop_back();
}

void Timeline::frame_entered(const Cpu& cpu, const Frame& frame, KIRQL irql) { begin(cpu.number, frame, irql, false); }

void Timeline::frame_left(const Cpu& cpu, const Frame& frame) {
    if (frame.kind == ContextKind::Test || away_.count(&cpu) != 0) return;
    end(cpu.number, frame.routine);
}

// A task that gives its processor up ends its slices there and begins them again where it
// resumes, so that each processor's track nests properly.
void Timeline::processor_left(const Cpu& cpu) {
    for (auto it = cpu.frames.rbegin(); it != cpu.frames.rend(); ++it) {
        if (it->kind != ContextKind::Test) end(cpu.number, it->routine);
    }
    away_.insert(&cpu);
}

void Timeline::processor_taken(const Cpu& cpu) {
    if (away_.erase(&cpu) == 0) return;
    KIRQL irql = cpu.irql;
    for (size_t i = 0; i < cpu.frames.size(); ++i) {
        // The level a frame runs at is the next frame's entry level, or the processor's own.
        const KIRQL level = i + 1 < cpu.frames.size() ? cpu.frames[i + 1].entry_irql : irql;
        begin(cpu.number, cpu.frames[i], level, true);
    }
}

void Timeline::async(char phase, const char* category, const std::string& name, uint64_t id, int tid,
                     const std::string& args) {
    event(std::string("{\"name\":") + quoted(name) + ",\"cat\":\"" + category + "\",\"ph\":\"" + phase +
          "\",\"id\":" + std::to_string(id) + ",\"ts\":" + std::to_string(now()) +
          ",\"pid\":1,\"tid\":" + std::to_string(tid) + (args.empty() ? "" : ",\"args\":" + args) + "}");
}

void Timeline::lock_acquired(const Cpu& cpu, const void* lock, const std::string& name) {
    const Open open{next_id_++, name, "spin lock"};
    async('b', open.category, name, open.id, cpu.number, "{\"processor\":" + std::to_string(cpu.number) + "}");
    locks_[lock] = open;
}

void Timeline::lock_released(const void* lock) {
    auto it = locks_.find(lock);
    if (it == locks_.end()) return;
    async('e', it->second.category, it->second.name, it->second.id, kMarksTid, "");
    locks_.erase(it);
}

void Timeline::irp_sent(const void* irp, const std::string& device, const std::string& routine) {
    if (irps_.count(irp) != 0) return;  // passed on below: the first send's slice covers it
    const Open open{next_id_++, "IRP to " + device, "IRP"};
    async('b', open.category, open.name, open.id, kMarksTid, "{\"sent by\":" + quoted(routine) + "}");
    irps_[irp] = open;
}

void Timeline::irp_completed(const void* irp, NTSTATUS status) {
    auto it = irps_.find(irp);
    if (it == irps_.end()) return;
    async('e', it->second.category, it->second.name, it->second.id, kMarksTid,
          "{\"status\":\"" + hex32(static_cast<uint32_t>(status)) + "\"}");
    irps_.erase(it);
}

void Timeline::usb_record(const void* bus, const UsbRecord& r) {
    std::string name = r.transfer_type == 3 ? ((r.endpoint & 0x80) != 0 ? "bulk-in" : "bulk-out") : "control";
    if (r.type == 'E') {
        event("{\"name\":" + quoted(name + " refused") + ",\"cat\":\"usb\",\"ph\":\"i\",\"s\":\"t\",\"ts\":" +
              std::to_string(now()) + ",\"pid\":1,\"tid\":" + std::to_string(kMarksTid) + "}");
        return;
    }
    const auto key = std::make_pair(bus, r.id);
    if (r.type == 'S') {
        const Open open{next_id_++, name, "usb"};
        async('b', open.category, name, open.id, kMarksTid,
              "{\"endpoint\":" + std::to_string(r.endpoint) + ",\"length\":" + std::to_string(r.length) + "}");
        transfers_[key] = open;
        return;
    }
    auto it = transfers_.find(key);
    if (it == transfers_.end()) return;
    async('e', it->second.category, it->second.name, it->second.id, kMarksTid,
          "{\"status\":" + std::to_string(r.status) + ",\"length\":" + std::to_string(r.length) + "}");
    transfers_.erase(it);
}

void Timeline::mark(const std::string& category, const std::string& name) {
    event("{\"name\":" + quoted(name) + ",\"cat\":" + quoted(category) + ",\"ph\":\"i\",\"s\":\"t\",\"ts\":" +
          std::to_string(now()) + ",\"pid\":1,\"tid\":" + std::to_string(kMarksTid) + "}");
}

void Timeline::finish() {
    if (finished_) return;
    for (auto& [tid, stack] : stacks_) {
        while (!stack.empty()) end(tid, stack.back());
    }
    for (auto* open : {&locks_, &irps_}) {
        for (const auto& [key, o] : *open) async('e', o.category, o.name, o.id, kMarksTid, "");
        open->clear();
    }
    for (const auto& [key, o] : transfers_) async('e', o.category, o.name, o.id, kMarksTid, "");
    transfers_.clear();
    out_ << "\n]}\n";
    out_.flush();
    finished_ = true;
}

}  // namespace host
