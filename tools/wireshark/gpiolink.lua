-- Wireshark dissector for the gpiolink serial protocol, as gpio-tap --pcap
-- writes it: link type USER0 (147), each record one direction byte
-- (0x00 host to controller, 0x01 controller to host) and then the wire
-- bytes of one frame or one run of noise, still stuffed.
--
-- Load it for one run:   wireshark -X lua_script:gpiolink.lua capture.pcap
--                        tshark -2 -X lua_script:gpiolink.lua -r capture.pcap
-- or for good: copy it into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/ on Linux).
--
-- A reply is paired with the request before it; pairing, the time between
-- them and the "no reply" flag need a second pass (tshark -2; Wireshark
-- always makes one).

local bit = bit32 or bit -- Lua 5.2 ships bit32; Wireshark also has bit

local STX, ETX, ESC = 0x02, 0x03, 0x7D
local UNESCAPED = { [0xE2] = 0x02, [0xE3] = 0x03, [0x5D] = 0x7D }

local gpiolink = Proto("gpiolink", "gpiolink serial protocol")

local directions = { [0] = "host to controller", [1] = "controller to host" }
local statuses = {
    [0x00] = "success",
    [0xFD] = "malformed request or I/O error",
    [0xFE] = "unknown command",
    [0xFF] = "port or bit out of range",
}

local f = {
    direction = ProtoField.uint8("gpiolink.direction", "Direction", base.DEC, directions),
    kind = ProtoField.string("gpiolink.kind", "Kind"),
    address0 = ProtoField.uint8("gpiolink.address0", "First address byte", base.HEX),
    address1 = ProtoField.uint8("gpiolink.address1", "Second address byte", base.HEX),
    command = ProtoField.string("gpiolink.command", "Command"),
    port = ProtoField.uint8("gpiolink.port", "Port", base.DEC),
    bit = ProtoField.uint8("gpiolink.bit", "Bit", base.DEC),
    value = ProtoField.uint8("gpiolink.value", "Value", base.HEX),
    status = ProtoField.uint8("gpiolink.status", "Status", base.HEX, statuses),
    level = ProtoField.string("gpiolink.level", "Level"),
    version = ProtoField.string("gpiolink.version", "Version text"),
    data = ProtoField.bytes("gpiolink.data", "Data"),
    crc = ProtoField.uint16("gpiolink.crc", "CRC", base.HEX),
    crc_verdict = ProtoField.string("gpiolink.crc.verdict", "CRC verdict"),
    escapes = ProtoField.uint16("gpiolink.escapes", "Stuffed bytes", base.DEC),
    escape = ProtoField.bytes("gpiolink.escape", "Escape sequence"),
    noise = ProtoField.bytes("gpiolink.noise", "Noise"),
    request_in = ProtoField.framenum("gpiolink.request_in", "Request in frame", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("gpiolink.response_in", "Reply in frame", base.NONE, frametype.RESPONSE),
    time = ProtoField.relative_time("gpiolink.time", "Time since request"),
}
gpiolink.fields = f

local e = {
    bad_crc = ProtoExpert.new("gpiolink.bad_crc", "Bad CRC", expert.group.CHECKSUM, expert.severity.ERROR),
    no_reply = ProtoExpert.new("gpiolink.no_reply", "Request without reply", expert.group.SEQUENCE,
        expert.severity.WARN),
    unsolicited = ProtoExpert.new("gpiolink.unsolicited", "Reply without a request", expert.group.SEQUENCE,
        expert.severity.WARN),
    foreign = ProtoExpert.new("gpiolink.foreign", "Unexpected address bytes", expert.group.PROTOCOL,
        expert.severity.WARN),
    broken = ProtoExpert.new("gpiolink.broken", "Broken frame: cut short, bad escape or too short",
        expert.group.MALFORMED, expert.severity.ERROR),
    noise = ProtoExpert.new("gpiolink.noise_expert", "Bytes outside any frame", expert.group.PROTOCOL,
        expert.severity.NOTE),
    status = ProtoExpert.new("gpiolink.status_error", "Controller reported an error", expert.group.RESPONSE_CODE,
        expert.severity.WARN),
}
gpiolink.experts = { e.bad_crc, e.no_reply, e.unsolicited, e.foreign, e.broken, e.noise, e.status }

-- The requests, by command letters: name, payload length, operand names.
local commands = {
    I = { name = "input", length = 2, operands = { "port" } },
    O = { name = "output", length = 3, operands = { "port", "value" } },
    T = { name = "bit-test", length = 3, operands = { "port", "bit" } },
    BS = { name = "bit-set", length = 4, operands = { "port", "bit" } },
    BC = { name = "bit-reset", length = 4, operands = { "port", "bit" } },
    V = { name = "version", length = 1, operands = {} },
}

-- Pairing state, filled on the first pass in frame order.
local requests, reply_of, request_of, pending

function gpiolink.init()
    requests = {}   -- frame number -> { command = name, time = seconds }
    reply_of = {}   -- request frame -> reply frame
    request_of = {} -- reply frame -> request frame
    pending = nil   -- the request still waiting for its reply
end

-- CRC-16/CCITT-FALSE of bytes[first..last].
local function crc16(bytes, first, last)
    local crc = 0xFFFF
    for i = first, last do
        crc = bit.bxor(crc, bit.lshift(bytes[i], 8))
        for _ = 1, 8 do
            if bit.band(crc, 0x8000) ~= 0 then
                crc = bit.band(bit.bxor(bit.lshift(crc, 1), 0x1021), 0xFFFF)
            else
                crc = bit.band(bit.lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return crc
end

-- Undoes the stuffing of raw(1 .. len-2): the body bytes (a table from 1),
-- the offsets in `raw` of each escape sequence, or nil on a bad escape.
local function unstuff(raw)
    local body, escapes = {}, {}
    local i, last = 1, raw:len() - 2
    while i <= last do
        local byte = raw(i, 1):uint()
        if byte == ESC then
            if i == last then return nil end
            local plain = UNESCAPED[raw(i + 1, 1):uint()]
            if plain == nil then return nil end
            body[#body + 1] = plain
            escapes[#escapes + 1] = i
            i = i + 2
        else
            body[#body + 1] = byte
            i = i + 1
        end
    end
    return body, escapes
end

local function command_key(payload)
    if #payload == 0 then return nil end
    local first = string.char(payload[1])
    if first == "B" and #payload >= 2 then
        return first .. string.char(payload[2])
    end
    return first
end

-- The bytes as text that cannot control a terminal: control characters,
-- DEL, bytes outside ASCII and the backslash as \xNN.
local function printable(bytes)
    local text = {}
    for i = 0, bytes:len() - 1 do
        local byte = bytes:get_index(i)
        if byte < 0x20 or byte >= 0x7F or byte == 0x5C then
            text[#text + 1] = string.format("\\x%02X", byte)
        else
            text[#text + 1] = string.char(byte)
        end
    end
    return table.concat(text)
end

local function seconds_to_nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- A request's payload, at offset 3 of the unstuffed frame `u`.
local function dissect_request(u, payload, tree)
    local key = command_key(payload)
    local command = key and commands[key]
    if command == nil then
        tree:add(f.command, "unknown"):set_generated()
        return "unknown command", nil
    end
    local letters = #key
    tree:add(f.command, u(3, letters), command.name)
    local text = command.name
    for index, operand in ipairs(command.operands) do
        local at = letters + index - 1
        if at < #payload then
            tree:add(f[operand], u(3 + at, 1))
            text = text .. string.format(operand == "value" and " %s 0x%02X" or " %s %d", operand, payload[at + 1])
        end
    end
    if #payload ~= command.length then
        text = text .. string.format(" (length %d, not %d)", #payload, command.length)
    end
    return text, command.name
end

-- A reply's payload, read as the answer to `command` (nil: unknown).
local function dissect_reply(u, payload, tree, command)
    if #payload == 0 then
        return "empty reply"
    end
    if command ~= nil then
        tree:add(f.command, command):set_generated()
    end
    local status = payload[1]
    local status_item = tree:add(f.status, u(3, 1))
    if status ~= 0 then
        status_item:add_proto_expert_info(e.status)
        return string.format("status 0x%02X (%s)", status, statuses[status] or "unknown status")
    end
    local rest = #payload - 1
    if command == "input" and rest >= 1 then
        tree:add(f.value, u(4, 1))
        return string.format("ok value 0x%02X", payload[2])
    elseif command == "bit-test" and rest >= 1 then
        local level = ({ [0x48] = "H", [0x4C] = "L" })[payload[2]] or string.format("0x%02X", payload[2])
        tree:add(f.level, u(4, 1), level)
        return "ok level " .. level
    elseif command == "version" then
        local text = ""
        if rest > 0 then
            text = printable(u(4, rest):bytes())
            tree:add(f.version, u(4, rest), text)
        end
        return "ok version \"" .. text .. "\""
    elseif rest > 0 then
        tree:add(f.data, u(4, rest))
    end
    return "ok"
end

-- Pairs requests and replies on the first pass, and shows the pair. For a
-- reply, returns its request's command; for a request that never got a
-- reply (known on a later pass), "no reply".
local function pair(pinfo, tree, is_request, accepted, command_name)
    local number = pinfo.number
    if not pinfo.visited then
        if is_request and accepted then
            requests[number] = { command = command_name, time = pinfo.abs_ts }
            pending = number
        elseif not is_request and accepted and pending ~= nil then
            request_of[number] = pending
            reply_of[pending] = number
            pending = nil
        end
    end
    if is_request then
        if reply_of[number] ~= nil then
            tree:add(f.response_in, reply_of[number]):set_generated()
        elseif accepted and pinfo.visited then
            tree:add_proto_expert_info(e.no_reply)
            return "no reply"
        end
        return nil
    end
    local request = request_of[number]
    if request == nil then
        if accepted and pinfo.visited then
            tree:add_proto_expert_info(e.unsolicited)
        end
        return nil
    end
    tree:add(f.request_in, request):set_generated()
    tree:add(f.time, seconds_to_nstime(pinfo.abs_ts - requests[request].time)):set_generated()
    return requests[request].command
end

function gpiolink.dissector(tvb, pinfo, root)
    if tvb:len() < 1 then return 0 end
    pinfo.cols.protocol = "GPIOLINK"
    local direction = tvb(0, 1):uint()
    local is_request = direction == 0
    -- Wireshark's own notion of direction: 0 sent, 1 received (by the host).
    pinfo.p2p_dir = is_request and 0 or 1
    pinfo.cols.src = is_request and "host" or "controller"
    pinfo.cols.dst = is_request and "controller" or "host"
    local kind = is_request and "Request" or "Reply"
    local tree = root:add(gpiolink, tvb(), "gpiolink")
    tree:add(f.direction, tvb(0, 1))
    local raw = tvb(1):tvb()

    -- Noise: bytes that do not start a frame.
    if raw:len() == 0 or raw(0, 1):uint() ~= STX then
        tree:add(f.kind, "noise"):set_generated()
        tree:add(f.noise, tvb(1)):add_proto_expert_info(e.noise)
        pinfo.cols.info = string.format("NOISE: %d bytes outside frames", tvb:len() - 1)
        return tvb:len()
    end

    local body, escapes
    if raw:len() >= 2 and raw(raw:len() - 1, 1):uint() == ETX then
        body, escapes = unstuff(raw)
    end
    if body == nil or #body < 4 then
        tree:add(f.kind, "broken"):set_generated()
        tree:add_proto_expert_info(e.broken)
        pinfo.cols.info = "BROKEN FRAME"
        return tvb:len()
    end

    -- The unstuffed frame STX, body, ETX as a tab of its own.
    local n = #body + 2
    local bytes = ByteArray.new()
    bytes:set_size(n)
    bytes:set_index(0, STX)
    for i = 1, #body do
        bytes:set_index(i, body[i])
    end
    bytes:set_index(n - 1, ETX)
    local u = bytes:tvb("Unstuffed frame")

    local stuffed = tree:add(f.escapes, tvb(1), #escapes):set_generated()
    for _, at in ipairs(escapes) do
        stuffed:add(f.escape, raw(at, 2)):append_text(string.format(" (0x%02X)", UNESCAPED[raw(at + 1, 1):uint()]))
    end

    tree:add(f.kind, is_request and "request" or "reply"):set_generated()
    tree:add(f.address0, u(1, 1))
    local address_item = tree:add(f.address1, u(2, 1))
    local own_address = is_request and 0x40 or 0x00
    local addressed = body[1] == 0x00 and body[2] == own_address
    if not addressed then
        address_item:add_proto_expert_info(e.foreign)
    end

    local payload = {}
    for i = 3, #body - 2 do
        payload[#payload + 1] = body[i]
    end
    local computed = crc16(body, 1, #body - 2)
    local sent = body[#body - 1] * 256 + body[#body]
    local crc_ok = computed == sent

    local text, command_name
    local request_command = nil
    if is_request then
        text, command_name = dissect_request(u, payload, tree)
        if pair(pinfo, tree, true, crc_ok and addressed, command_name) then
            text = text .. " (NO REPLY)"
        end
    else
        -- The host takes a reply only with its own address, even one
        -- whose CRC then fails.
        request_command = pair(pinfo, tree, false, addressed, nil)
        text = dissect_reply(u, payload, tree, request_command)
        if request_command ~= nil then
            text = text .. " (" .. request_command .. ")"
        end
    end

    local crc_item = tree:add(f.crc, u(n - 3, 2))
    tree:add(f.crc_verdict, u(n - 3, 2), crc_ok and "good" or "bad"):set_generated()
    if crc_ok then
        crc_item:append_text(" [good]")
    else
        crc_item:append_text(string.format(" [bad, should be 0x%04X]", computed))
        crc_item:add_proto_expert_info(e.bad_crc)
        text = text .. " (BAD CRC)"
    end
    if not addressed then
        text = string.format("FOREIGN FRAME (address %02X %02X): %s", body[1], body[2], text)
    end
    pinfo.cols.info = kind .. ": " .. text
    tree:append_text(", " .. kind .. ": " .. text)
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER0, gpiolink)
