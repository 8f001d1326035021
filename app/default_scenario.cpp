// The scenario `usbeth run` runs when given none: two adapters on one cable at USB full speed
// and 10 Mbit/s, frames both ways, a throughput burst, the link down and up, a reset during
// traffic, statistics, and a halt.
#include "app/scenario.h"

namespace usbeth {

const char* default_scenario_json() {
    return R"json({
  "name": "two adapters on one cable",
  "timing": "full_speed",
  "adapters": [
    {"name": "A", "station_address": "02:00:5e:10:00:01",
     "phys": [{"address": 1, "id": "0x00406211", "link": true,
               "timeline": [{"at_ms": 5000, "up": false}, {"at_ms": 12000, "up": true}]}]},
    {"name": "B", "station_address": "02:00:5e:10:00:02",
     "phys": [{"address": 1, "id": "0x00406211", "link": true}]}
  ],
  "cables": [{"adapter": "A", "peer": "B"}],
  "timeline": [
    {"at_ms": 1000, "label": "A to B", "send": {"from": "A", "buffers": [14, 26],
      "sizes": [14, 59, 60, 62, 126, 190, 254, 500, 1000, 1470, 1514]}},
    {"at_ms": 1000, "label": "B to A", "send": {"from": "B", "buffers": [14, 26],
      "sizes": [14, 59, 60, 62, 126, 190, 254, 500, 1000, 1470, 1514]}},
    {"at_ms": 2000, "label": "burst", "send": {"from": "A", "size": 1514, "count": 400, "throughput": true}},
    {"at_ms": 4000, "label": "A's XMIT_OK", "query": {"adapter": "A", "oid": "OID_GEN_XMIT_OK", "length": 4}},
    {"at_ms": 4000, "label": "B's RCV_OK", "query": {"adapter": "B", "oid": "OID_GEN_RCV_OK", "length": 4}},
    {"at_ms": 7000, "label": "A while down", "query": {"adapter": "A", "oid": "OID_GEN_MEDIA_CONNECT_STATUS", "length": 4}},
    {"at_ms": 19000, "label": "B during reset", "send": {"from": "B", "sizes": [64, 128, 1514]}},
    {"at_ms": 19000, "label": "reset", "reset": "A"},
    {"at_ms": 19500, "label": "A after reset", "send": {"from": "A", "sizes": [64, 128, 1514]}},
    {"at_ms": 19500, "label": "B after reset", "send": {"from": "B", "sizes": [64, 128, 1514]}},
    {"at_ms": 21000, "halt": "A"},
    {"at_ms": 21000, "halt": "B"}
  ],
  "expect": [
    {"adapter": "A", "initialize": "success", "media_disconnect": 1, "media_connect": 3, "halted": true},
    {"adapter": "B", "initialize": "success", "media_disconnect": 0, "halted": true},
    {"label": "A to B", "delivered": 10},
    {"label": "B to A", "delivered": 10},
    {"label": "burst", "accepted": 400, "delivered": {"min": 1}},
    {"label": "A while down", "value": 1},
    {"label": "reset", "reset": "success"},
    {"label": "A after reset", "delivered": 3},
    {"label": "B after reset", "delivered": 3}
  ]
})json";
}

}  // namespace usbeth
