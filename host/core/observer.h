// Watching the host run, for a timeline of what ran where (host/timeline.h). The host calls an
// observer only when one is set (Host::set_observer); without one each place costs a test of a
// pointer and nothing else, and a run is the same run, event for event.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/types.h"

namespace host {

struct Cpu;
struct Frame;
struct UsbRecord;

class Observer {
public:
    virtual ~Observer() = default;
    // A routine of the driver begins or ends in a frame on the processor.
    virtual void frame_entered(const Cpu& cpu, const Frame& frame, KIRQL irql) = 0;
    virtual void frame_left(const Cpu& cpu, const Frame& frame) = 0;
    // A task that waited at passive level gives its processor up with its frames still open, and
    // later takes one again (maybe another).
    virtual void processor_left(const Cpu& cpu) = 0;
    virtual void processor_taken(const Cpu& cpu) = 0;
    virtual void lock_acquired(const Cpu& cpu, const void* lock, const std::string& name) = 0;
    virtual void lock_released(const void* lock) = 0;
    // An IRP sent down with IofCallDriver, and its completion.
    virtual void irp_sent(const void* irp, const std::string& device, const std::string& routine) = 0;
    virtual void irp_completed(const void* irp, NTSTATUS status) = 0;
    // A transfer as the USB bus driver records it: submitted, completed or refused at once.
    virtual void usb_record(const void* bus, const UsbRecord& record) = 0;
};

}  // namespace host
