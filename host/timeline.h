// The run as a timeline in the Trace Event Format (the JSON that chrome://tracing and
// ui.perfetto.dev open): one track per processor with each driver routine a slice (its IRQL and
// adapter in the arguments), spin locks, IRPs and USB transfers as async slices paired by id,
// and instants on a track of their own for what the caller marks (the simulation's actions,
// link and cable changes, injected faults). Time is the host's virtual time in microseconds.
//
//   std::ofstream file("run.json");
//   host::Timeline timeline(file);
//   timeline.attach(host);  // before the first call into the driver
//   ... run ...
//   timeline.finish();      // closes what is still open and the JSON
#pragma once

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/core/observer.h"

namespace host {

class Timeline final : public Observer {
public:
    explicit Timeline(std::ostream& out, std::string marks_track = "simulation");
    ~Timeline() override;
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;

    // Observes this host from now on (and no other). detach() stops observing it.
    void attach(Host& host);
    void detach();
    // An instant on the marks track, at the host's time: a category and a name.
    void mark(const std::string& category, const std::string& name);
    // Ends every slice still open at the last time seen and closes the document. Idempotent.
    void finish();
    uint64_t events() const { return events_; }

    void frame_entered(const Cpu& cpu, const Frame& frame, KIRQL irql) override;
    void frame_left(const Cpu& cpu, const Frame& frame) override;
    void processor_left(const Cpu& cpu) override;
    void processor_taken(const Cpu& cpu) override;
    void lock_acquired(const Cpu& cpu, const void* lock, const std::string& name) override;
    void lock_released(const void* lock) override;
    void irp_sent(const void* irp, const std::string& device, const std::string& routine) override;
    void irp_completed(const void* irp, NTSTATUS status) override;
    void usb_record(const void* bus, const UsbRecord& record) override;

private:
    struct Open {
        uint64_t id;
        std::string name;
        const char* category;
    };
    Time now();
    void track(int tid, const std::string& name);
    void begin(int tid, const Frame& frame, KIRQL irql, bool resumed);
    void end(int tid, const std::string& name);
    void async(char phase, const char* category, const std::string& name, uint64_t id, int tid,
               const std::string& args);
    void event(const std::string& text);

    std::ostream& out_;
    std::string marks_track_;
    Host* host_ = nullptr;
    Time last_ = 0;
    bool finished_ = false;
    uint64_t events_ = 0;
    uint64_t next_id_ = 1;
    std::set<int> tracks_;
    std::map<int, std::vector<std::string>> stacks_;  // slices open on each processor's track
    std::set<const Cpu*> away_;                       // tasks off their processor, frames closed
    std::map<const void*, Open> locks_, irps_;
    std::map<std::pair<const void*, uint64_t>, Open> transfers_;
};

}  // namespace host
