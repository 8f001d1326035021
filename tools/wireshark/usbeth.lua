-- Wireshark and tshark dissector for the USB Ethernet controller that usbeth drives.
--
--   tshark -X lua_script:tools/wireshark/usbeth.lua -r usb.pcap        (in the repository)
--   tshark -X lua_script:/usr/local/share/usbeth/usbeth.lua -r usb.pcap (installed by cmake --install)
--   wireshark -X lua_script:PATH/usbeth.lua usb.pcap    (or copy it to ~/.local/lib/wireshark/plugins/)
--
-- It decodes what travels over the controller's USB interface in a usbmon capture:
--   * register reads (vendor request 0xF0) and writes (0xF1) by register name, with the bytes;
--     accesses to the four-register PHY window as MII operations, each read command paired with
--     the data that answers it; EEPROM accesses as word reads;
--   * bulk-out transfers: the 2-byte length prefix, the frame (handed to the Ethernet dissector),
--     the filler up to 60 bytes, the zero-length transfer that ends a transfer of whole 64-byte
--     packets, and the 32-byte keep-alive transfer;
--   * bulk-in transfers: the frame (handed to the Ethernet dissector), its CRC (checked), the four
--     trailer bytes with the receive status byte and its bits, runts and empty transfers;
--   * transfers that ended without data on a failure (a stalled register read, a bulk-in transfer
--     cancelled at halt), with the status that ended them.
--
-- It applies by itself: to the device whose descriptor carries the controller's vendor and
-- product identifiers, and to any device seen making the controller's register requests (0xF0
-- read with wLength up to 20, 0xF1 write) when the capture starts after enumeration.

local usbeth = Proto("usbeth", "USB Ethernet controller")

-- The device the controller model reports. Other identifiers may be added here.
local PRODUCTS = { 0xFFFF0001 }

local REQUEST_READ, REQUEST_WRITE = 0xF0, 0xF1
local ENDPOINT_BULK_IN, ENDPOINT_BULK_OUT = 0x81, 0x02
local TRAILER_BYTES = 8 -- four CRC bytes, then four status bytes
local KEEP_ALIVE_BYTES = 32
local RX_BAD_BITS = 0x1E
local URB_SUBMIT, URB_COMPLETE = string.byte("S"), string.byte("C")

-- Bit operations on Lua 5.2 (bit32) and later (native operators).
local band, bor, rshift, bxor
if bit32 then
    band, bor, rshift, bxor = bit32.band, bit32.bor, bit32.rshift, bit32.bxor
else
    band = load("return function(a, b) return a & b end")()
    bor = load("return function(a, b) return a | b end")()
    rshift = load("return function(a, b) return (a & 0xFFFFFFFF) >> b end")()
    bxor = load("return function(a, b) return a ~ b end")()
end

---------------------------------------------------------------------------------------------
-- Names

local function register_name(r)
    local fixed = {
        [0x00] = "control 0", [0x01] = "control 1", [0x02] = "control 2",
        [0x20] = "EEPROM word number", [0x21] = "EEPROM data low", [0x22] = "EEPROM data high",
        [0x23] = "EEPROM control", [0x24] = "after EEPROM control",
        [0x25] = "PHY address", [0x26] = "PHY data low", [0x27] = "PHY data high", [0x28] = "PHY control",
        [0x29] = "after PHY control",
        [0x78] = "wake-up control", [0x79] = "wake-up control 2",
        [0x7E] = "PHY power", [0x7F] = "PHY indicator", [0x80] = "general control", [0x81] = "general control 2",
    }
    if fixed[r] then return fixed[r] end
    if r >= 0x08 and r <= 0x0F then return "multicast hash " .. (r - 0x08) end
    if r >= 0x10 and r <= 0x15 then return "station address " .. (r - 0x10) end
    for slot, base in ipairs({ 0x30, 0x48, 0x60 }) do
        if r >= base and r < base + 16 then return "wake-up slot " .. (slot - 1) .. " mask " .. (r - base) end
    end
    return string.format("register 0x%02x", r)
end

local MII_NAMES = { [0] = "BMCR", [1] = "BMSR", [2] = "PHYSID1", [3] = "PHYSID2", [4] = "ANAR", [5] = "ANLPAR",
                    [6] = "ANER" }
local function mii_text(phy, reg)
    local name = MII_NAMES[reg]
    return string.format("PHY %d register %d%s", phy, reg, name and (" (" .. name .. ")") or "")
end

---------------------------------------------------------------------------------------------
-- Fields

local requests = { [REQUEST_READ] = "read registers", [REQUEST_WRITE] = "write registers" }
local f = {
    request = ProtoField.uint8("usbeth.request", "Request", base.HEX, requests),
    value = ProtoField.uint16("usbeth.value", "wValue", base.HEX),
    first = ProtoField.uint16("usbeth.register", "First register", base.HEX),
    count = ProtoField.uint16("usbeth.count", "Registers", base.DEC),
    reg = ProtoField.uint8("usbeth.reg", "Register", base.HEX),
    mii_phy = ProtoField.uint8("usbeth.mii.phy", "PHY address", base.DEC),
    mii_reg = ProtoField.uint8("usbeth.mii.register", "MII register", base.DEC),
    mii_value = ProtoField.uint16("usbeth.mii.value", "MII value", base.HEX),
    mii_control = ProtoField.uint8("usbeth.mii.control", "PHY control", base.HEX),
    mii_op = ProtoField.string("usbeth.mii.operation", "MII operation"),
    eeprom_word = ProtoField.uint8("usbeth.eeprom.word", "EEPROM word", base.DEC),
    eeprom_value = ProtoField.uint16("usbeth.eeprom.value", "EEPROM value", base.HEX),
    prefix = ProtoField.uint16("usbeth.length", "Length prefix", base.DEC),
    frame = ProtoField.bytes("usbeth.frame", "Frame"),
    direction = ProtoField.string("usbeth.direction", "Direction"),
    filler = ProtoField.bytes("usbeth.filler", "Filler"),
    zlp = ProtoField.none("usbeth.zero_length", "Zero-length transfer"),
    keep_alive = ProtoField.bytes("usbeth.keep_alive", "Keep-alive"),
    crc = ProtoField.uint32("usbeth.crc", "CRC", base.HEX),
    crc_good = ProtoField.bool("usbeth.crc.good", "CRC good"),
    trailer = ProtoField.bytes("usbeth.trailer", "Status bytes"),
    rx_status = ProtoField.uint8("usbeth.rx_status", "Receive status", base.HEX),
    rx_bad_02 = ProtoField.bool("usbeth.rx_status.bad_02", "Bad frame (0x02)", 8, nil, 0x02),
    rx_bad_04 = ProtoField.bool("usbeth.rx_status.bad_04", "Bad frame (0x04)", 8, nil, 0x04),
    rx_bad_08 = ProtoField.bool("usbeth.rx_status.bad_08", "Bad frame, counted as a receive error (0x08)", 8, nil, 0x08),
    rx_bad_10 = ProtoField.bool("usbeth.rx_status.bad_10", "Bad frame (0x10)", 8, nil, 0x10),
    rx_other = ProtoField.uint8("usbeth.rx_status.other", "Bits the driver does not examine", base.HEX, nil, 0xE1),
    rx_good = ProtoField.bool("usbeth.rx_good", "Frame good"),
    runt = ProtoField.bytes("usbeth.runt", "Runt"),
    empty = ProtoField.none("usbeth.empty", "Empty transfer"),
    request_in = ProtoField.framenum("usbeth.request_in", "Request in", base.NONE, frametype.REQUEST),
    failure = ProtoField.string("usbeth.failure", "Ended by"),
}
usbeth.fields = f

local e_short = ProtoExpert.new("usbeth.short", "Transfer shorter than its length prefix", expert.group.PROTOCOL,
    expert.severity.WARN)
local e_crc = ProtoExpert.new("usbeth.crc.bad", "CRC does not match the frame", expert.group.CHECKSUM,
    expert.severity.WARN)
local e_bad = ProtoExpert.new("usbeth.rx_bad", "Receive status marks the frame bad: the driver drops it",
    expert.group.SEQUENCE, expert.severity.NOTE)
local e_runt = ProtoExpert.new("usbeth.runt.expert", "Transfer too short for a frame and its trailer",
    expert.group.PROTOCOL, expert.severity.NOTE)
local e_mii = ProtoExpert.new("usbeth.mii.not_done", "PHY access not done", expert.group.RESPONSE_CODE,
    expert.severity.NOTE)
local e_failed = ProtoExpert.new("usbeth.failed", "Transfer ended on a failure, without data",
    expert.group.RESPONSE_CODE, expert.severity.NOTE)
usbeth.experts = { e_short, e_crc, e_bad, e_runt, e_mii, e_failed }

local usb_fields = {
    bus = Field.new("usb.bus_id"),
    device = Field.new("usb.device_address"),
    urb_id = Field.new("usb.urb_id"),
    urb_type = Field.new("usb.urb_type"),
    transfer_type = Field.new("usb.transfer_type"),
    endpoint = Field.new("usb.endpoint_address"),
    data_len = Field.new("usb.data_len"),
    status = Field.new("usb.urb_status"),
}

local ethernet = Dissector.get("eth_withoutfcs")

---------------------------------------------------------------------------------------------
-- State: known devices, requests in flight, the PHY window and EEPROM per device, and what
-- each packet was found to be (Wireshark may dissect packets again, in any order).

local known = {}      -- "bus:device" -> true
local pending = {}    -- "bus:device:urb" -> the submission of a control request
local window = {}     -- "bus:device" -> {phy, reg}: the last PHY read command
local eeprom = {}     -- "bus:device" -> word number of the last EEPROM read started
local seen = {}       -- frame number -> {submission, mii read command}

function usbeth.init()
    known, pending, window, eeprom, seen = {}, {}, {}, {}, {}
end

local function value(field)
    local v = field()
    return v and v.value or nil
end

local function device_key()
    return tostring(value(usb_fields.bus)) .. ":" .. tostring(value(usb_fields.device))
end

local function urb_key()
    return device_key() .. ":" .. tostring(value(usb_fields.urb_id))
end

-- What the status of a completion that is not a success means (Linux error numbers, as usbmon
-- records them).
local function failure_text(status)
    local names = { [-2] = "cancelled", [-104] = "cancelled", [-32] = "stalled", [-71] = "protocol error",
                    [-110] = "timed out", [-108] = "device gone", [-19] = "device gone" }
    return string.format("%s (status %d)", names[status] or "failed", status)
end

---------------------------------------------------------------------------------------------
-- CRC-32 of IEEE 802.3 (reflected, 0xEDB88320)

local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if band(c, 1) == 1 then c = bxor(rshift(c, 1), 0xEDB88320) else c = rshift(c, 1) end
    end
    crc_table[i] = c
end

local function crc32(range)
    local bytes = range:bytes()
    local c = 0xFFFFFFFF
    for i = 0, bytes:len() - 1 do
        c = bxor(crc_table[band(bxor(c, bytes:get_index(i)), 0xFF)], rshift(c, 8))
    end
    return bxor(c, 0xFFFFFFFF)
end

---------------------------------------------------------------------------------------------
-- Register requests

local function add_registers(tree, tvb, offset, first, count)
    for i = 0, count - 1 do
        local r = first + i
        tree:add(f.reg, tvb(offset + i, 1)):set_text(string.format("0x%02x %s = 0x%02x", r, register_name(r),
            tvb(offset + i, 1):uint()))
    end
end

local function range_text(first, count)
    if count == 1 then return string.format("0x%02x (%s)", first, register_name(first)) end
    return string.format("0x%02x-0x%02x (%s ...)", first, first + count - 1, register_name(first))
end

-- The submission of a vendor request: bRequest, wValue, wIndex, wLength, then the data of a write.
local function dissect_submission(tvb, pinfo, tree)
    local request = tvb(0, 1):uint()
    local first = tvb(3, 2):le_uint()
    local count = tvb(5, 2):le_uint()
    local key = device_key()
    local t = tree:add(usbeth, tvb(), "USB Ethernet controller: " .. requests[request])
    t:add(f.request, tvb(0, 1))
    t:add_le(f.value, tvb(1, 2))
    t:add_le(f.first, tvb(3, 2)):append_text(" (" .. register_name(first) .. ")")
    t:add_le(f.count, tvb(5, 2))

    local info
    local record = seen[pinfo.number]
    if not record then
        record = { request = request, first = first, count = count, frame = pinfo.number }
        seen[pinfo.number] = record
        pending[urb_key()] = record
    end
    if request == REQUEST_READ then
        info = "read " .. count .. " from " .. range_text(first, count)
    else
        local data_len = math.min(count, tvb:len() - 7)
        if data_len > 0 then add_registers(t, tvb, 7, first, data_len) end
        local bytes = {}
        for i = 0, data_len - 1 do bytes[#bytes + 1] = string.format("%02x", tvb(7 + i, 1):uint()) end
        info = "write " .. range_text(first, count) .. " = " .. table.concat(bytes, " ")

        -- The PHY window: address, data low, data high, control.
        if first == 0x25 and data_len >= 4 then
            local phy, lo, hi, control = tvb(7, 1):uint(), tvb(8, 1):uint(), tvb(9, 1):uint(), tvb(10, 1):uint()
            local reg = band(control, 0x1F)
            local op
            if band(control, 0x20) ~= 0 then
                op = string.format("write %s = 0x%04x", mii_text(phy, reg), hi * 256 + lo)
                t:add(f.mii_value, tvb(8, 2), hi * 256 + lo)
            elseif band(control, 0x40) ~= 0 then
                op = "read command for " .. mii_text(phy, reg)
                if not record.mii then record.mii = { phy = phy, reg = reg } end
                window[key] = record.mii
            end
            t:add(f.mii_phy, tvb(7, 1))
            t:add(f.mii_reg, tvb(10, 1), reg)
            t:add(f.mii_control, tvb(10, 1))
            if op then
                t:add(f.mii_op, tvb(7, 4), op)
                info = op
            end
        elseif first == 0x20 and data_len >= 4 and band(tvb(10, 1):uint(), 0x02) ~= 0 then
            local word = tvb(7, 1):uint()
            eeprom[key] = word
            record.eeprom = word
            t:add(f.eeprom_word, tvb(7, 1))
            info = "EEPROM: read word " .. word .. " started"
        end
    end
    pinfo.cols.info:set(info)
    return tvb:len()
end

-- The completion of a vendor request: the data of a read. A completion without data (a write's,
-- or one that failed) is the post-dissector's, which runs once for it.
local function dissect_completion(tvb, pinfo, tree)
    if tvb:len() == 0 then return 0 end
    local record = pending[urb_key()]
    local t = tree:add(usbeth, tvb(), "USB Ethernet controller")
    if not record then
        t:append_text(": register data (the request is not in the capture)")
        return tvb:len()
    end
    t:add(f.request_in, record.frame)
    t:append_text(": " .. requests[record.request] .. " answered")
    if record.request ~= REQUEST_READ then
        pinfo.cols.info:set("write " .. range_text(record.first, record.count) .. " done")
        return tvb:len()
    end
    local n = math.min(record.count, tvb:len())
    add_registers(t, tvb, 0, record.first, n)
    local bytes = {}
    for i = 0, n - 1 do bytes[#bytes + 1] = string.format("%02x", tvb(i, 1):uint()) end
    local info = "read " .. range_text(record.first, record.count) .. " = " .. table.concat(bytes, " ")

    -- Which PHY read command this data answers: the one before it on the same device, kept per
    -- packet so that a second dissection finds the same one.
    local answer = seen[pinfo.number]
    if not answer then
        answer = { mii = window[device_key()], eeprom = eeprom[device_key()] }
        seen[pinfo.number] = answer
    end
    local mii = answer.mii
    if record.first == 0x25 and n >= 4 then
        local control = tvb(3, 1):uint()
        local reg = band(control, 0x1F)
        local text = mii_text(tvb(0, 1):uint(), reg)
        if band(control, 0x80) ~= 0 then
            info = string.format("read %s = 0x%04x", text, tvb(1, 2):le_uint())
            t:add_le(f.mii_value, tvb(1, 2))
        else
            info = "read " .. text .. ": not done"
            t:add_proto_expert_info(e_mii)
        end
        t:add(f.mii_phy, tvb(0, 1))
        t:add(f.mii_reg, tvb(3, 1), reg)
        t:add(f.mii_op, tvb(0, 4), info)
    elseif record.first == 0x26 and n >= 2 and mii then
        info = string.format("read %s = 0x%04x", mii_text(mii.phy, mii.reg), tvb(0, 2):le_uint())
        t:add(f.mii_phy, mii.phy):set_generated()
        t:add(f.mii_reg, mii.reg):set_generated()
        t:add_le(f.mii_value, tvb(0, 2))
        t:add(f.mii_op, tvb(0, 2), info)
    elseif record.first == 0x28 and n >= 1 then
        local done = band(tvb(0, 1):uint(), 0x80) ~= 0
        info = "PHY write " .. (done and "done" or "not done")
        if not done then t:add_proto_expert_info(e_mii) end
    elseif record.first == 0x23 and n >= 1 then
        info = "EEPROM read " .. (band(tvb(0, 1):uint(), 0x04) ~= 0 and "done" or "not done yet")
    elseif record.first == 0x21 and n >= 2 then
        local word = answer.eeprom
        info = string.format("EEPROM word %s = 0x%04x", word and tostring(word) or "?", tvb(0, 2):le_uint())
        if word then t:add(f.eeprom_word, word):set_generated() end
        t:add_le(f.eeprom_value, tvb(0, 2))
    end
    pinfo.cols.info:set(info)
    return tvb:len()
end

---------------------------------------------------------------------------------------------
-- Bulk transfers

-- The frame a bulk transfer carries goes to Wireshark's Ethernet dissector; one shorter than an
-- Ethernet header is shown as a runt.
local function add_frame(t, frame, pinfo, tree, direction)
    t:add(f.frame, frame)
    if frame:len() >= 14 then
        ethernet:call(frame:tvb(), pinfo, tree)
    else
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set(direction .. ": runt frame of " .. frame:len() .. (frame:len() == 1 and " byte" or " bytes"))
    end
end

local function dissect_bulk_out(tvb, pinfo, tree)
    local n = tvb:len()
    local t = tree:add(usbeth, tvb(), "USB Ethernet controller: bulk out")
    t:add(f.direction, "out"):set_generated()
    if n < 2 then
        t:add(f.runt, tvb())
        t:add_proto_expert_info(e_short)
        pinfo.cols.info:set("bulk out: " .. n .. " byte, too short for a length prefix")
        return n
    end
    local prefix = tvb(0, 2):le_uint()
    if n == KEEP_ALIVE_BYTES and prefix == KEEP_ALIVE_BYTES then
        t:add_le(f.prefix, tvb(0, 2)):append_text(" (the whole transfer)")
        t:add(f.keep_alive, tvb())
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set("keep-alive")
        return n
    end
    t:add_le(f.prefix, tvb(0, 2))
    if prefix + 2 > n then
        t:add(f.runt, tvb(2))
        t:add_proto_expert_info(e_short, string.format("length prefix %d, but only %d bytes follow", prefix, n - 2))
        pinfo.cols.info:set(string.format("bulk out: prefix %d, %d bytes follow", prefix, n - 2))
        return n
    end
    if prefix + 2 < n then t:add(f.filler, tvb(prefix + 2)) end
    local whole = (prefix + 2) % 64 == 0
    if whole then t:add(f.zlp, tvb(0, 0)):set_text("A zero-length transfer follows: the transfer is whole 64-byte packets") end
    if prefix == 0 then
        pinfo.cols.info:set("bulk out: empty frame")
        return n
    end
    add_frame(t, tvb(2, prefix), pinfo, tree, "bulk out")
    return n
end

local function dissect_bulk_in(tvb, pinfo, tree)
    local n = tvb:len()
    local t = tree:add(usbeth, tvb(), "USB Ethernet controller: bulk in")
    t:add(f.direction, "in"):set_generated()
    if n < TRAILER_BYTES then
        t:add(f.runt, tvb())
        t:add_proto_expert_info(e_runt)
        local text = "bulk in: runt transfer of " .. n .. " bytes"
        if n >= 2 then
            t:add(f.rx_status, tvb(n - 2, 1))
            text = text .. string.format(", status 0x%02x", tvb(n - 2, 1):uint())
        end
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set(text)
        return n
    end
    local length = n - TRAILER_BYTES
    local status = tvb(n - 2, 1):uint()
    local good = band(status, RX_BAD_BITS) == 0
    local crc_range = tvb(length, 4)
    local crc_good = length > 0 and crc_range:le_uint() == crc32(tvb(0, length))
    local trailer = t:add(f.trailer, tvb(length + 4, 4))
    local s = trailer:add(f.rx_status, tvb(n - 2, 1))
    s:add(f.rx_bad_02, tvb(n - 2, 1))
    s:add(f.rx_bad_04, tvb(n - 2, 1))
    s:add(f.rx_bad_08, tvb(n - 2, 1))
    s:add(f.rx_bad_10, tvb(n - 2, 1))
    s:add(f.rx_other, tvb(n - 2, 1))
    t:add(f.rx_good, good):set_generated()
    if not good then t:add_proto_expert_info(e_bad) end
    if length == 0 then
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set(string.format("bulk in: empty frame, status 0x%02x", status))
        return n
    end
    local crc = t:add_le(f.crc, crc_range)
    crc:add(f.crc_good, crc_good):set_generated()
    if not crc_good then crc:add_proto_expert_info(e_crc) end
    add_frame(t, tvb(0, length), pinfo, tree, "bulk in")
    if not good then pinfo.cols.info:prepend(string.format("[bad, status 0x%02x] ", status)) end
    return n
end

---------------------------------------------------------------------------------------------
-- Entry points

function usbeth.dissector(tvb, pinfo, tree)
    known[device_key()] = true
    local transfer_type = value(usb_fields.transfer_type)
    local urb_type = value(usb_fields.urb_type)
    local endpoint = value(usb_fields.endpoint)
    if transfer_type == 2 then
        pinfo.cols.protocol:set("usbeth")
        if urb_type == URB_SUBMIT then
            if tvb:len() < 7 then return 0 end
            local request = tvb(0, 1):uint()
            if request ~= REQUEST_READ and request ~= REQUEST_WRITE then return 0 end
            return dissect_submission(tvb, pinfo, tree)
        end
        return dissect_completion(tvb, pinfo, tree)
    elseif transfer_type == 3 then
        if endpoint == ENDPOINT_BULK_OUT and urb_type == URB_SUBMIT then return dissect_bulk_out(tvb, pinfo, tree) end
        if endpoint == ENDPOINT_BULK_IN and urb_type == URB_COMPLETE then return dissect_bulk_in(tvb, pinfo, tree) end
    end
    return 0
end

local products = DissectorTable.get("usb.product")
for _, id in ipairs(PRODUCTS) do products:add(id, usbeth) end

-- Without the device descriptor in the capture: a vendor request shaped like the controller's
-- marks its device; its later control and bulk transfers are then ours.
local function heuristic_control(tvb, pinfo, tree)
    if not known[device_key()] then
        if value(usb_fields.urb_type) ~= URB_SUBMIT or tvb:len() < 7 then return false end
        local request = tvb(0, 1):uint()
        local count = tvb(5, 2):le_uint()
        local first = tvb(3, 2):le_uint()
        if not ((request == REQUEST_READ and count <= 20) or request == REQUEST_WRITE) or first > 0xFF then
            return false
        end
    end
    return usbeth.dissector(tvb, pinfo, tree) > 0
end

local function heuristic_bulk(tvb, pinfo, tree)
    if not known[device_key()] then return false end
    return usbeth.dissector(tvb, pinfo, tree) > 0
end

usbeth:register_heuristic("usb.control", heuristic_control)
usbeth:register_heuristic("usb.bulk", heuristic_bulk)

-- Transfers without data are not always handed to a dissector, and some are handed more than
-- once: the zero-length bulk-out transfer, an empty bulk-in transfer, the completion of a register
-- write, and any transfer that ended on a failure. A post-dissector, which runs once a packet,
-- names them.
local usbeth_empty = Proto("usbeth_empty", "USB Ethernet controller, transfers without data")

local function failed(t, status)
    t:add(f.failure, failure_text(status)):set_generated()
    t:add_proto_expert_info(e_failed)
end

-- A completion of a register request without data: a write's, or a read or write that failed.
local function empty_control_completion(tvb, pinfo, tree, status)
    local record = pending[urb_key()]
    if not record then return end
    local t = tree:add(usbeth, tvb(0, 0), "USB Ethernet controller: " .. requests[record.request] .. " answered")
    t:add(f.request_in, record.frame)
    local verb = record.request == REQUEST_READ and "read " or "write "
    local info = verb .. range_text(record.first, record.count)
    if status ~= 0 then
        failed(t, status)
        info = info .. ": " .. failure_text(status) .. ", no data"
    elseif record.request == REQUEST_READ then
        info = info .. ": no data"
    else
        info = info .. " done"
    end
    pinfo.cols.protocol:set("usbeth")
    pinfo.cols.info:set(info)
end

function usbeth_empty.dissector(tvb, pinfo, tree)
    local transfer_type = value(usb_fields.transfer_type)
    if transfer_type == nil or not known[device_key()] then return end
    local data_len = value(usb_fields.data_len)
    if data_len ~= 0 then return end
    local urb_type = value(usb_fields.urb_type)
    local endpoint = value(usb_fields.endpoint)
    local status = value(usb_fields.status) or 0
    if transfer_type == 3 and endpoint == ENDPOINT_BULK_OUT and urb_type == URB_SUBMIT then
        tree:add(usbeth, tvb(0, 0), "USB Ethernet controller: zero-length transfer"):add(f.zlp, tvb(0, 0))
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set("bulk out: zero-length transfer (ends a transfer of whole 64-byte packets)")
    elseif transfer_type == 3 and urb_type == URB_COMPLETE and status ~= 0 then
        local direction = endpoint == ENDPOINT_BULK_IN and "bulk in" or "bulk out"
        local t = tree:add(usbeth, tvb(0, 0), "USB Ethernet controller: " .. direction .. " transfer ended")
        failed(t, status)
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set(direction .. ": " .. failure_text(status) .. ", no data")
    elseif transfer_type == 3 and endpoint == ENDPOINT_BULK_IN and urb_type == URB_COMPLETE then
        tree:add(usbeth, tvb(0, 0), "USB Ethernet controller: empty bulk-in transfer"):add(f.empty, tvb(0, 0))
        pinfo.cols.protocol:set("usbeth")
        pinfo.cols.info:set("bulk in: empty transfer")
    elseif transfer_type == 2 and urb_type == URB_COMPLETE then
        empty_control_completion(tvb, pinfo, tree, status)
    end
end
register_postdissector(usbeth_empty)
