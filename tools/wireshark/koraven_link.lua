-- SPDX-License-Identifier: Apache-2.0
-- KORAVEN link: a Wireshark dissector for the UDP link between the cable plug-in and the
-- debugger front end (or quorbit-sim).
--
--   tshark -r link.pcap -Y koraven   (installed in Wireshark's global Lua plug-in folder)
--   tshark -X lua_script:tools/wireshark/koraven_link.lua -r link.pcap   (from the source tree)
--
-- Registered on UDP port 20000, and found on any other port from its handshake (the link magic);
-- "Decode As" (tshark: -d udp.port==N,koraven) for a capture that starts after the handshake.
--
-- Reassembly: Wireshark's Lua API (4.0) offers desegment_len/desegment_offset, which work only for
-- stream protocols; its datagram reassembly tables are not reachable from Lua. So the fragments of
-- a message are collected here, per link and direction and keyed by sequence number, on the first
-- pass over the capture; the frame with the last fragment shows the whole message in a
-- "Reassembled message" tab, every fragment names that frame, and the message names its fragments.
-- All analysis (gaps, repeats, request/reply pairs) is done on that first pass and kept per frame,
-- so that random access in the GUI and tshark's second pass (-2) show the same result.

local koraven = Proto("koraven", "KORAVEN link")

local LINK_PORT = 20000
local MAX_PACKET = 1472        -- the largest datagram of the link
local MAX_REQUEST = 15377      -- the largest request a client builds
local MAX_REPLY = 16640        -- the most a client takes as one reply
local MAX_RAW_BLOCK = 15360    -- the largest raw-shift block
local MAGIC = "KORAVEN\0"

local datagram_types = {
    [0x01] = "Reply fragment", [0x02] = "Sync request", [0x03] = "Connect request",
    [0x04] = "Disconnect", [0x05] = "Sync again", [0x06] = "Notification",
    [0x07] = "Acknowledgement", [0x11] = "Request fragment", [0x12] = "Sync reply",
    [0x13] = "Connect accept", [0x22] = "Sync confirm", [0x23] = "Connect refused",
    [0x2B] = "Flow token", [0x53] = "Connect denied",
}
-- What the client sends; everything else comes from the front end.
local from_client = { [0x02] = true, [0x03] = true, [0x04] = true, [0x07] = true, [0x11] = true,
                      [0x22] = true }
local handshake_lengths = { [0x02] = 16, [0x04] = 16, [0x05] = 16, [0x07] = 16, [0x12] = 16,
                            [0x22] = 16 }
local request_codes = { [0x71] = "attach", [0x72] = "command", [0x74] = "TAP access" }
local tap_subcodes = { [0x92] = "ends the TAP access", [0x93] = "TAP access continues" }
local statuses = {
    [0] = "success", [1] = "unknown command", [2] = "not attached", [3] = "JTAG pins disabled",
    [4] = "malformed request", [5] = "unknown request", [6] = "bad raw-shift block",
    [7] = "attach failed", [8] = "release failed", [254] = "still working",
}

local f = {
    type = ProtoField.uint8("koraven.type", "Type", base.HEX, datagram_types),
    direction = ProtoField.string("koraven.direction", "Direction"),
    continuation = ProtoField.uint8("koraven.continuation", "Continuation", base.DEC, {
        [0] = "last fragment", [1] = "more fragments follow",
        [2] = "more fragments follow, acknowledgement wanted" }),
    seq = ProtoField.uint16("koraven.seq", "Sequence number", base.DEC),
    fragment_data = ProtoField.bytes("koraven.fragment.data", "Fragment data"),
    peer_port = ProtoField.uint16("koraven.connect.peer_port", "Front end port", base.DEC),
    own_port = ProtoField.uint16("koraven.connect.own_port", "Client port", base.DEC),
    magic = ProtoField.string("koraven.magic", "Link magic"),
    packet_length = ProtoField.uint16("koraven.packet_length", "Packet length", base.DEC),
    refused_detail = ProtoField.bytes("koraven.refused.detail", "Refusal detail"),
    notify_kind = ProtoField.uint8("koraven.notify.kind", "Notification kind", base.HEX),
    notify_data = ProtoField.bytes("koraven.notify.data", "Notification data"),
    token = ProtoField.string("koraven.token", "Flow token"),

    fragment = ProtoField.framenum("koraven.fragment", "Fragment"),
    fragment_count = ProtoField.uint16("koraven.fragment.count", "Fragment count", base.DEC),
    reassembled_in = ProtoField.framenum("koraven.reassembled_in", "Reassembled in"),
    message_length = ProtoField.uint32("koraven.message.length", "Message length", base.DEC),
    gap_first = ProtoField.uint16("koraven.gap.first", "First missing sequence number", base.DEC),
    gap_count = ProtoField.uint16("koraven.gap.missing", "Missing fragments", base.DEC),
    repeat_of = ProtoField.framenum("koraven.repeat_of", "Repeats the message started in"),

    req_short = ProtoField.uint8("koraven.request.short_length", "Parameter length + 2", base.DEC),
    req_code = ProtoField.uint8("koraven.request.code", "Request code", base.HEX, request_codes),
    req_sub = ProtoField.uint8("koraven.request.subcode", "Sub-code", base.HEX),
    req_id = ProtoField.uint8("koraven.request.id", "Message id", base.DEC),
    req_long = ProtoField.uint16("koraven.request.long_length", "Parameter length + 4", base.DEC),
    req_params = ProtoField.bytes("koraven.request.parameters", "Parameters"),
    req_filler = ProtoField.bytes("koraven.request.filler", "Filler"),
    command = ProtoField.string("koraven.command", "Command"),

    tap_header = ProtoField.uint8("koraven.tap.header", "Size header", base.HEX),
    tap_flags = ProtoField.uint8("koraven.tap.flags", "Access flags", base.HEX, nil, 0xF0),
    tap_read = ProtoField.bool("koraven.tap.read_back", "Data read back", 8, nil, 0x10),
    tap_send = ProtoField.bool("koraven.tap.send", "Send data given", 8, nil, 0x20),
    tap_form = ProtoField.string("koraven.tap.size_form", "Bit count"),
    tap_bits = ProtoField.uint32("koraven.tap.bits", "Bits", base.DEC),
    tap_data = ProtoField.bytes("koraven.tap.data", "Send data"),
    tap_end = ProtoField.uint8("koraven.tap.end", "End of TAP access", base.HEX),

    raw_command = ProtoField.uint8("koraven.raw.command", "Raw shift", base.HEX),
    raw_options = ProtoField.uint16("koraven.raw.options", "Options", base.HEX),
    raw_tms = ProtoField.bool("koraven.raw.tms_present", "TMS present", 16, nil, 0x1),
    raw_tdi = ProtoField.bool("koraven.raw.tdi_present", "TDI present", 16, nil, 0x2),
    raw_tdo = ProtoField.bool("koraven.raw.tdo_wanted", "TDO wanted", 16, nil, 0x4),
    raw_exit = ProtoField.bool("koraven.raw.last_tms_high", "TMS 1 on the last bit", 16, nil, 0x8),
    raw_bits = ProtoField.uint32("koraven.raw.bits", "Bits", base.DEC),
    raw_tms_data = ProtoField.bytes("koraven.raw.tms", "TMS"),
    raw_tdi_data = ProtoField.bytes("koraven.raw.tdi", "TDI"),
    raw_filler = ProtoField.bytes("koraven.raw.filler", "Filler (room for TDO)"),

    rep_flags = ProtoField.uint8("koraven.reply.flags", "Flags", base.HEX),
    rep_valid = ProtoField.bool("koraven.reply.toggle_valid", "Toggle valid", 8, nil, 0x08),
    rep_toggle = ProtoField.uint8("koraven.reply.toggle", "Toggle", base.DEC, nil, 0x10),
    rep_length = ProtoField.uint16("koraven.reply.length", "Length field (not examined)", base.DEC),
    rep_status = ProtoField.uint8("koraven.reply.status", "Status", base.DEC, statuses),
    rep_id = ProtoField.uint8("koraven.reply.id", "Message id", base.DEC),
    rep_data = ProtoField.bytes("koraven.reply.data", "Data"),

    response_in = ProtoField.framenum("koraven.response_in", "Reply in", base.NONE,
                                      frametype.RESPONSE),
    response_to = ProtoField.framenum("koraven.response_to", "Request in", base.NONE,
                                      frametype.REQUEST),
    busy_for = ProtoField.framenum("koraven.busy_for", "Still working on the request in"),
    time = ProtoField.relative_time("koraven.time", "Time since request"),
}
koraven.fields = f

local e = {
    gap = ProtoExpert.new("koraven.expert.sequence_gap", "Sequence gap",
                          expert.group.SEQUENCE, expert.severity.WARN),
    repeated = ProtoExpert.new("koraven.expert.repeated_reply", "Repeated reply",
                               expert.group.SEQUENCE, expert.severity.WARN),
    resent = ProtoExpert.new("koraven.expert.request_sent_again", "Request sent again",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    late = ProtoExpert.new("koraven.expert.late_fragment", "Fragment out of order",
                           expert.group.SEQUENCE, expert.severity.NOTE),
    orphan = ProtoExpert.new("koraven.expert.reply_without_request", "Reply without a request",
                             expert.group.SEQUENCE, expert.severity.WARN),
    too_long = ProtoExpert.new("koraven.expert.too_long", "Over-long message",
                               expert.group.PROTOCOL, expert.severity.WARN),
    source = ProtoExpert.new("koraven.expert.unexpected_source", "Unexpected source",
                             expert.group.SECURITY, expert.severity.WARN),
    incomplete = ProtoExpert.new("koraven.expert.incomplete", "Incomplete message",
                                 expert.group.REASSEMBLE, expert.severity.WARN),
    bad = ProtoExpert.new("koraven.expert.bad", "Not what the link carries",
                          expert.group.PROTOCOL, expert.severity.WARN),
    busy = ProtoExpert.new("koraven.expert.still_working", "Status 254: still working",
                           expert.group.RESPONSE_CODE, expert.severity.CHAT),
    status = ProtoExpert.new("koraven.expert.status", "Request failed",
                             expert.group.RESPONSE_CODE, expert.severity.NOTE),
}
koraven.experts = { e.gap, e.repeated, e.resent, e.late, e.orphan, e.too_long, e.source,
                    e.incomplete, e.bad, e.busy, e.status }

-- ---- Helpers ---------------------------------------------------------------------------------

local function has(value, mask)
    return math.floor(value / mask) % 2 == 1
end

-- Signed distance between two 16-bit sequence numbers, across the wrap.
local function distance(from, to)
    local d = (to - from) % 65536
    if d >= 32768 then d = d - 65536 end
    return d
end

local function seq_after(seq)
    return (seq + 1) % 65536
end

local function endpoint(address, port)
    return tostring(address) .. ":" .. tostring(port)
end

-- ---- First-pass state ------------------------------------------------------------------------

local links   -- client endpoint -> link: peer endpoint, a stream per direction, tracking
local peers   -- front end endpoint -> the client endpoint it has a link with
local loose   -- "src>dst" -> stream, for datagrams from unexpected sources
local frames  -- frame number -> what the first pass found

function koraven.init()
    links, peers, loose, frames = {}, {}, {}, {}
end

local function new_stream()
    return { high = nil, pending = nil, copy = nil, done = nil, starts = {} }
end

-- A handshake tells the number the next fragment carries.
local function reset_stream(stream, expected)
    stream.high = expected
    stream.pending, stream.copy, stream.done = nil, nil, nil
    stream.starts = {}
end

local function link_of(client, peer)
    local link = links[client]
    if not link then
        link = { peer = peer, out = new_stream(), into = new_stream(), toggle = nil,
                 outstanding = nil, requests = {} }
        links[client] = link
    end
    if not peers[peer] then peers[peer] = client end
    return link
end

-- ---- Message tracking ------------------------------------------------------------------------

local function track_request(link, message, pinfo)
    if #message.data == 0 then return end  -- an empty message takes a number, wants no reply
    if message.again then return end       -- sent again: the first copy stays the request
    message.id = #message.data >= 9 and message.data:byte(9) or nil
    message.time = pinfo.abs_ts
    link.outstanding = message
    if message.id then link.requests[message.id] = message end
end

local function track_reply(link, message, record, pinfo)
    local data = message.data
    if #data < 5 then return end
    if message.again and message.original.complete_reply then return end  -- a repeat, flagged
    local flags, status, id = data:byte(1), data:byte(4), data:byte(5)
    local request = link.outstanding
    if request and request.id == id then
        message.request = request
        message.delay = pinfo.abs_ts - request.time
        if status == 254 then
            message.busy = true
            link.toggle = nil  -- the client then takes the next reply whatever its toggle
            return
        end
        local toggle = has(flags, 0x10) and 1 or 0
        if has(flags, 0x08) and link.toggle == toggle then
            record.same_toggle = true  -- the client sees its previous reply again
            return
        end
        link.toggle = toggle
        if not request.reply then request.reply = record.number end
        message.complete_reply = true
        link.outstanding = nil
        return
    end
    local earlier = link.requests[id]
    if earlier and earlier.reply then
        record.orphan = string.format("message id %d was answered in frame %d (stale reply)", id,
                                      earlier.reply)
    else
        record.orphan = string.format("no request with message id %d is waiting", id)
    end
end

-- ---- Reassembly ------------------------------------------------------------------------------
--
-- Fragments are collected by sequence number, so that a fragment that comes late (in a repeated
-- reply, say) fills the hole a lost one left, as it does in the client. A sequence gap is judged
-- against the highest number seen; numbers behind it belong to a copy of a message already seen
-- (a repeated reply, a request sent again) or fill a hole.

local MAX_SPAN = 4096  -- fragments one message may span: far beyond the largest

-- Whether a fragment's data can be the start of a message: what helps when the fragments before
-- it were lost and nothing else tells where the message began.
local function looks_like_start(payload, client_side)
    if client_side then return #payload == 0 or payload:sub(1, 5) == "\0\0\0\0\0" end
    local flags = payload:byte(1)
    return #payload >= 5 and (flags == 0x08 or flags == 0x18 or flags == 0x00 or flags == 0x10)
end

local function complete_in_order(message)
    if not message.last then return false end
    local seq = message.first
    while true do
        if not message.parts[seq] then return false end
        if seq == message.last then return true end
        seq = seq_after(seq)
    end
end

local function finish(message, record, on_complete)
    local parts, numbers = {}, {}
    local seq = message.first
    while true do
        parts[#parts + 1] = message.parts[seq]
        numbers[#numbers + 1] = message.frames[seq]
        if seq == message.last then break end
        seq = seq_after(seq)
    end
    message.data = table.concat(parts)
    message.parts = nil
    message.frames = numbers
    message.frame = record.number
    message.complete = true
    for _, number in ipairs(numbers) do frames[number].reassembled_in = record.number end
    record.message = message
    on_complete(message)
end

local function new_message(first)
    return { first = first, parts = {}, frames = {}, last = nil }
end

local function within(message, seq)
    local d = distance(message.first, seq)
    return d >= 0 and d < MAX_SPAN and (not message.last or distance(seq, message.last) >= 0)
end

-- One data fragment of a stream. on_complete is called with every message that completes.
local function add_fragment(stream, record, seq, last, payload, client_side, analyse,
                            on_complete)
    local behind = false
    if stream.high == nil then
        stream.high = seq_after(seq)
    else
        local d = distance(stream.high, seq)
        if d > 0 and analyse then record.gap = { first = stream.high, count = d } end
        if d >= 0 then stream.high = seq_after(seq) else behind = true end
    end

    -- A copy of a message already complete: a repeated reply, or a request sent again.
    local copy = stream.copy
    if behind and not (copy and within(copy, seq)) then
        local original = stream.starts[seq]
        if original and original.complete then
            copy = new_message(seq)
            copy.last, copy.again, copy.original = original.last, true, original
            stream.copy = copy
            record.repeat_start = original.frames[1]
        elseif stream.done and within(stream.done, seq) then
            record.repeat_of = stream.done.frames[1]  -- a stray copy of a fragment
            return
        else
            copy = nil
        end
    end
    if behind and copy then
        if copy.next and distance(copy.next, seq) > 0 and analyse then
            record.gap = { first = copy.next, count = distance(copy.next, seq) }
        end
        copy.next = seq_after(seq)
        record.repeat_of = copy.original.frames[1]
        copy.parts[seq], copy.frames[seq] = payload, record.number
        if seq == copy.last then
            stream.copy = nil
            if complete_in_order(copy) then finish(copy, record, on_complete) end
        end
        return
    end

    local message = stream.pending
    if message and behind and within(message, seq) then
        -- Sent again before it was complete (the front end repeats its reply): the copy's own
        -- gaps count too, and its fragments fill the holes of the first.
        if seq == message.first then
            message.again_next = seq
            if analyse then record.repeat_start = message.opened end
        end
        if message.again_next then
            local d = distance(message.again_next, seq)
            if d > 0 and analyse then record.gap = { first = message.again_next, count = d } end
            message.again_next = seq_after(seq)
        end
        if message.parts[seq] then
            record.repeat_of = message.opened
            return
        end
    end
    if message and not within(message, seq) then
        if behind then
            if analyse then record.late = true end
            return
        end
        record.abandoned = message.opened
        message = nil
    end
    if not message then
        if behind then
            if analyse then record.late = true end
            return
        end
        -- After a gap the message may have begun among the lost fragments.
        local first = seq
        if record.gap and not looks_like_start(payload, client_side) then first = record.gap.first end
        message = new_message(first)
        message.opened = record.number
        stream.pending = message
        stream.starts[first] = message
    end
    message.parts[seq], message.frames[seq] = payload, record.number
    if last then message.last = seq end
    if complete_in_order(message) then
        stream.pending = nil
        stream.done = message
        finish(message, record, on_complete)
    end
end

-- ---- First pass: roles, sources, sequence state ----------------------------------------------

local function payload_of(tvb)
    return tvb:len() > 4 and tvb:raw(4) or ""
end

local function analyse(tvb, pinfo, record)
    local length = tvb:len()
    if length == 0 then return end
    local kind = tvb(0, 1):uint()
    if length == 1 then return end  -- a flow token (or a stray byte): no state
    local src = endpoint(pinfo.src, pinfo.src_port)
    local dst = endpoint(pinfo.dst, pinfo.dst_port)
    local client_side = from_client[kind] == true
    local client, peer = src, dst
    if not client_side then client, peer = dst, src end

    if kind == 0x03 then
        links[client] = nil
        peers[peer] = client
        link_of(client, peer)
        return
    end
    local link
    if client_side then
        if peers[peer] and peers[peer] ~= client then
            record.unexpected = "the front end " .. peer .. " has a link with " .. peers[peer]
        end
        link = link_of(client, peer)
        if not record.unexpected and link.peer ~= peer then
            record.unexpected = "this client's link goes to " .. link.peer
        end
    else
        link = link_of(client, peer)
        if link.peer ~= peer then
            record.unexpected = "the client's link goes to " .. link.peer
        end
    end

    local handshake_seq = length >= 4 and tvb(2, 2):le_uint() or nil
    if record.unexpected then
        if (kind == 0x01 or kind == 0x11) and length >= 4 then
            local key = src .. ">" .. dst
            loose[key] = loose[key] or new_stream()
            add_fragment(loose[key], record, handshake_seq, tvb(1, 1):uint() == 0,
                         payload_of(tvb), client_side, false, function() end)
        end
        return
    end
    if kind == 0x13 or kind == 0x12 then
        reset_stream(link.into, handshake_seq)
        link.toggle, link.outstanding = nil, nil
    elseif kind == 0x02 or kind == 0x22 then
        reset_stream(link.out, handshake_seq)
    elseif kind == 0x04 then
        if peers[peer] == client then peers[peer] = nil end
        links[client] = nil
    elseif (kind == 0x01 or kind == 0x11) and length >= 4 then
        local stream = client_side and link.out or link.into
        add_fragment(stream, record, handshake_seq, tvb(1, 1):uint() == 0, payload_of(tvb),
                     client_side, true, function(message)
                if client_side then
                    track_request(link, message, pinfo)
                else
                    track_reply(link, message, record, pinfo)
                end
            end)
    end
end

-- ---- Display ---------------------------------------------------------------------------------

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

local function add_magic(tree, tvb, length)
    if length < 16 then return end
    local item = tree:add(f.magic, tvb(8, 8))
    if tvb(8, 8):raw() ~= MAGIC then
        item:add_proto_expert_info(e.bad, "the link magic is missing")
    end
end

local function dissect_raw_shift(range, tree)
    local length = range:len()
    local t = tree:add(f.raw_command, range(0, 1))
    if length < 8 then
        t:add_proto_expert_info(e.bad, "raw-shift block shorter than its 8-byte head")
        return "raw shift (short)"
    end
    local options = range(2, 2):le_uint()
    local bits = range(4, 4):le_uint()
    local o = t:add_le(f.raw_options, range(2, 2))
    o:add_le(f.raw_tms, range(2, 2))
    o:add_le(f.raw_tdi, range(2, 2))
    o:add_le(f.raw_tdo, range(2, 2))
    o:add_le(f.raw_exit, range(2, 2))
    t:add_le(f.raw_bits, range(4, 4))
    local n = math.floor((bits + 7) / 8)
    local offset = 8
    local streams = {}
    local function take(field, name)
        if offset + n > length then return false end
        if n > 0 then t:add(field, range(offset, n)) end
        offset = offset + n
        streams[#streams + 1] = name
        return true
    end
    local fits = true
    if has(options, 1) then fits = take(f.raw_tms_data, "TMS") and fits end
    if has(options, 2) then fits = take(f.raw_tdi_data, "TDI") and fits end
    if not has(options, 1) and not has(options, 2) then fits = take(f.raw_filler, "filler") end
    if has(options, 4) then streams[#streams + 1] = "TDO" end
    if not fits or offset ~= length then
        t:add_proto_expert_info(e.bad, string.format(
            "a raw shift of %d bits with these options takes %d bytes, not %d", bits,
            8 + n * math.max(1, (has(options, 1) and 1 or 0) + (has(options, 2) and 1 or 0)),
            length))
    end
    if length > MAX_RAW_BLOCK then
        t:add_proto_expert_info(e.too_long, string.format(
            "raw-shift block of %d bytes, more than %d", length, MAX_RAW_BLOCK))
    end
    t:append_text(string.format(": %d bits, %s%s", bits, table.concat(streams, " "),
                                has(options, 8) and ", TMS 1 on the last bit" or ""))
    return string.format("raw shift %d bits %s", bits, table.concat(streams, "+"))
end

local function dissect_tap(range, tree, subcode)
    local length = range:len()
    if length == 0 then
        tree:add_proto_expert_info(e.bad, "TAP access without parameters")
        return "TAP access"
    end
    if subcode == 0x92 and length == 1 and range(0, 1):uint() == 0 then
        tree:add(f.tap_end, range(0, 1)):append_text(" (no size header, no data)")
        return "end of TAP access"
    end
    local header = range(0, 1):uint()
    local flags = math.floor(header / 16)
    local bits, size = header % 16, 1
    local h = tree:add(f.tap_header, range(0, 1))
    h:add(f.tap_flags, range(0, 1))
    h:add(f.tap_read, range(0, 1))
    h:add(f.tap_send, range(0, 1))
    if bits < 15 then
        h:add(f.tap_form, range(0, 1), "in the low nibble")
        h:add(f.tap_bits, range(0, 1), bits)
    elseif length >= 2 and range(1, 1):uint() < 255 then
        bits, size = range(1, 1):uint(), 2
        h:add(f.tap_form, range(1, 1), "one byte")
        h:add(f.tap_bits, range(1, 1), bits)
    elseif length >= 6 then
        bits, size = range(2, 4):le_uint(), 6
        h:add(f.tap_form, range(1, 5), "0xFF and 32 bits")
        h:add_le(f.tap_bits, range(2, 4))
    else
        h:add_proto_expert_info(e.bad, "size header cut short")
        return "TAP access (cut short)"
    end
    local summary = "TAP access"
    local offset = size
    local data_bytes = has(flags, 2) and math.floor((bits + 7) / 8) or 0
    if offset + data_bytes > length then
        tree:add_proto_expert_info(e.bad, string.format(
            "%d bits of send data announced, %d bytes there", bits, length - offset))
        return summary
    end
    if data_bytes > 0 then
        local data = range(offset, data_bytes)
        local d = tree:add(f.tap_data, data)
        if data(0, 1):uint() == 0x90 then summary = dissect_raw_shift(data:tvb()(), d) end
        offset = offset + data_bytes
    end
    if subcode == 0x92 then
        if offset < length then
            tree:add(f.tap_end, range(offset, 1))
            offset = offset + 1
        else
            tree:add_proto_expert_info(e.bad, "the ending zero byte is missing")
        end
    end
    if offset ~= length then
        tree:add_proto_expert_info(e.bad, string.format("%d bytes after the parameter block",
                                                        length - offset))
    end
    return summary
end

local function dissect_request(m, tree)
    local length = m:len()
    if length == 0 then
        tree:append_text(": empty message (no reply expected)")
        return "empty message"
    end
    if length < 9 then
        tree:add_proto_expert_info(e.bad, "shorter than a request envelope")
        return "request (short)"
    end
    local short = m(5, 1):uint()
    local code, subcode, id = m(6, 1):uint(), m(7, 1):uint(), m(8, 1):uint()
    tree:add(f.req_short, m(5, 1))
    tree:add(f.req_code, m(6, 1))
    local s = tree:add(f.req_sub, m(7, 1))
    if code == 0x74 and tap_subcodes[subcode] then s:append_text(" (" .. tap_subcodes[subcode] .. ")") end
    tree:add(f.req_id, m(8, 1))
    local first, count
    if short ~= 0 then
        first, count = 9, short - 2
    elseif length >= 11 then
        tree:add_le(f.req_long, m(9, 2))
        first, count = 11, m(9, 2):le_uint() - 4
    else
        tree:add_proto_expert_info(e.bad, "long form without its length")
        return "request (short)"
    end
    if count < 0 or first + count > length then
        tree:add_proto_expert_info(e.bad, string.format(
            "%d parameter bytes announced, %d there", count, length - first))
        count = math.max(0, math.min(count, length - first))
    end
    local params = count > 0 and m(first, count) or nil
    local name = request_codes[code] or string.format("request 0x%02X", code)
    local summary = name
    if params then
        local p = tree:add(f.req_params, params)
        if code == 0x72 then
            -- The text ends at its NUL; a text without one is shown whole.
            local text = params:raw()
            local nul = text:find("\0", 1, true)
            if nul then text = text:sub(1, nul - 1) end
            p:add(f.command, params(0, nul or count), text)
            if not nul then p:add_proto_expert_info(e.bad, "command without its ending NUL") end
            summary = "command \"" .. text .. "\""
        elseif code == 0x74 then
            summary = dissect_tap(params:tvb()(), p, subcode)
        end
    end
    local body_end = first + count
    if length - body_end == 1 then
        tree:add(f.req_filler, m(body_end, 1))
    elseif length > body_end then
        tree:add_proto_expert_info(e.bad, string.format("%d bytes after the parameters",
                                                        length - body_end))
    end
    if length > MAX_REQUEST then
        tree:add_proto_expert_info(e.too_long, string.format(
            "request of %d bytes, more than the %d a client sends", length, MAX_REQUEST))
    end
    return string.format("id %d %s", id, summary)
end

local function dissect_reply(m, tree)
    local length = m:len()
    if length < 5 then
        tree:add_proto_expert_info(e.bad, "shorter than a reply envelope")
        return "reply (short)"
    end
    local flags = tree:add(f.rep_flags, m(0, 1))
    flags:add(f.rep_valid, m(0, 1))
    flags:add(f.rep_toggle, m(0, 1))
    tree:add_le(f.rep_length, m(1, 2))
    local status, id = m(3, 1):uint(), m(4, 1):uint()
    local s = tree:add(f.rep_status, m(3, 1))
    if status == 254 then
        s:add_proto_expert_info(e.busy)
    elseif status ~= 0 then
        s:add_proto_expert_info(e.status, "status " .. status .. " (" ..
                                (statuses[status] or "the front end's own code") .. ")")
    end
    tree:add(f.rep_id, m(4, 1))
    if length > 5 then tree:add(f.rep_data, m(5, length - 5)) end
    if length > MAX_REPLY then
        tree:add_proto_expert_info(e.too_long, string.format(
            "reply of %d bytes, more than the %d a client takes", length, MAX_REPLY))
    end
    return string.format("id %d status %d%s, %d data bytes", id, status,
                         status == 254 and " (still working)" or "", length - 5)
end

local function show_message(tvb, tree, record, kind)
    local message = record.message
    local m
    if #message.frames == 1 then
        m = tvb(4):tvb()
    else
        m = ByteArray.new(message.data, true):tvb("Reassembled message")
    end
    local request = kind == 0x11
    local t = tree:add(koraven, m(), request and "Request" or "Reply")
    if #message.frames > 1 then
        t:add(f.fragment_count, #message.frames):set_generated()
        for _, number in ipairs(message.frames) do t:add(f.fragment, number):set_generated() end
    end
    t:add(f.message_length, m:len()):set_generated()
    local summary = request and dissect_request(m, t) or dissect_reply(m, t)
    if request and message.reply then t:add(f.response_in, message.reply):set_generated() end
    if message.request then
        local field = message.busy and f.busy_for or f.response_to
        t:add(field, message.request.frame):set_generated()
        t:add(f.time, nstime(message.delay)):set_generated()
    end
    if record.orphan then t:add_proto_expert_info(e.orphan, record.orphan) end
    if record.same_toggle then
        t:add_proto_expert_info(e.repeated, "same toggle as the reply the client took last")
    end
    return (request and "Request " or "Reply ") .. summary
end

function koraven.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    pinfo.cols.protocol = "KORAVEN"
    local record = frames[pinfo.number]
    if not pinfo.visited or not record then
        record = { number = pinfo.number }
        frames[pinfo.number] = record
        analyse(tvb, pinfo, record)
    end
    local root = tree:add(koraven, tvb())
    if length == 0 then
        root:add_proto_expert_info(e.bad, "empty datagram")
        pinfo.cols.info = "Empty datagram"
        return length
    end
    local kind = tvb(0, 1):uint()
    root:add(f.type, tvb(0, 1))
    if record.unexpected then root:add_proto_expert_info(e.source, record.unexpected) end
    if length > MAX_PACKET then
        root:add_proto_expert_info(e.too_long, string.format(
            "datagram of %d bytes, more than the %d a packet may have", length, MAX_PACKET))
    end
    local info
    if length == 1 then
        if kind == 0x2B then
            root:add(f.token, tvb(0, 1))
            info = "Flow token"
        else
            root:add_proto_expert_info(e.bad, "a single byte other than \"+\"")
            info = "Stray byte"
        end
    elseif kind == 0x01 or kind == 0x11 then
        local client = kind == 0x11
        root:add(f.direction, client and "client to front end" or "front end to client")
            :set_generated()
        if length < 4 then
            root:add_proto_expert_info(e.bad, "shorter than a fragment header")
            pinfo.cols.info = datagram_types[kind] .. " (short)"
            return length
        end
        local continuation = tvb(1, 1):uint()
        local c = root:add(f.continuation, tvb(1, 1))
        if continuation > (client and 1 or 2) then
            c:add_proto_expert_info(e.bad, "continuation the other side does not expect")
        end
        root:add_le(f.seq, tvb(2, 2))
        if length > 4 then root:add(f.fragment_data, tvb(4)) end
        if not client and length == 4 then
            root:add_proto_expert_info(e.bad, "a reply fragment without data")
        end
        if record.gap then
            root:add(f.gap_first, record.gap.first):set_generated()
            root:add(f.gap_count, record.gap.count):set_generated()
            root:add_proto_expert_info(e.gap, string.format(
                "%d fragment(s) missing from %d on", record.gap.count, record.gap.first))
        end
        if record.repeat_start then
            root:add_proto_expert_info(client and e.resent or e.repeated, string.format(
                "same sequence numbers as the message that started in frame %d",
                record.repeat_start))
        end
        if record.repeat_of or record.repeat_start then
            root:add(f.repeat_of, record.repeat_of or record.repeat_start):set_generated()
        end
        if record.abandoned then
            root:add_proto_expert_info(e.incomplete, string.format(
                "the message begun in frame %d was never completed", record.abandoned))
        end
        if record.late then
            root:add_proto_expert_info(e.late, "a sequence number already passed")
        end
        if record.reassembled_in and not record.message then
            root:add(f.reassembled_in, record.reassembled_in):set_generated()
        end
        info = string.format("%s seq=%d%s", datagram_types[kind], tvb(2, 2):le_uint(),
                             continuation == 0 and "" or
                             (continuation == 2 and " more, ack wanted" or " more"))
        if record.repeat_of or record.repeat_start then
            info = info .. string.format(" (again, as in frame %d)",
                                         record.repeat_of or record.repeat_start)
        end
        if record.message then
            info = info .. " [" .. show_message(tvb, tree, record, kind) .. "]"
        end
    elseif kind == 0x06 then
        if length < 5 then root:add_proto_expert_info(e.bad, "notification shorter than 5 bytes") end
        root:add(f.notify_kind, tvb(1, 1))
        if length > 2 then root:add(f.notify_data, tvb(2)) end
        info = "Notification"
    elseif kind == 0x03 or kind == 0x13 or kind == 0x23 or kind == 0x53 then
        if length < 16 then
            root:add_proto_expert_info(e.bad, "handshake datagram shorter than 16 bytes")
            info = datagram_types[kind] .. " (short)"
        else
            root:add_le(f.seq, tvb(2, 2))
            if kind == 0x03 then
                root:add_le(f.peer_port, tvb(4, 2))
                root:add_le(f.own_port, tvb(6, 2))
            elseif kind == 0x23 then
                root:add(f.refused_detail, tvb(4, 4))
            end
            add_magic(root, tvb, length)
            info = datagram_types[kind]
            if kind == 0x03 or kind == 0x13 then
                root:add(f.packet_length, length):set_generated()
                info = string.format("%s, packet length %d", info, length)
            end
        end
    elseif handshake_lengths[kind] then
        if length ~= 16 then
            root:add_proto_expert_info(e.bad, string.format("%d bytes, not 16", length))
        end
        if length >= 4 and kind ~= 0x04 and kind ~= 0x07 then root:add_le(f.seq, tvb(2, 2)) end
        add_magic(root, tvb, length)
        info = datagram_types[kind]
        if length >= 4 and (kind == 0x02 or kind == 0x12 or kind == 0x22) then
            info = string.format("%s seq=%d", info, tvb(2, 2):le_uint())
        end
    else
        root:add_proto_expert_info(e.bad, string.format("unknown datagram type 0x%02X", kind))
        info = string.format("Unknown type 0x%02X", kind)
    end
    if length >= 2 and length <= 4 and kind ~= 0x11 and not (kind == 0x01 and length == 4) then
        root:add_proto_expert_info(e.bad, "2 to 4 bytes: the client refuses such a datagram")
    end
    if record.unexpected then info = info .. " (unexpected source)" end
    root:append_text(", " .. info)
    pinfo.cols.info = info
    return length
end

-- Handshake datagrams (connect, sync, disconnect) carry the link magic: they reveal a link on any
-- port, and every later datagram between its endpoints is taken.
local handshake_kinds = { [0x02] = true, [0x03] = true, [0x04] = true, [0x05] = true,
                          [0x12] = true, [0x13] = true, [0x22] = true, [0x23] = true,
                          [0x53] = true }

local function is_handshake(tvb)
    return tvb:len() >= 16 and handshake_kinds[tvb(0, 1):uint()] and tvb(8, 8):raw() == MAGIC
end

-- Datagrams to or from a known link endpoint on other ports (a second socket answering in the
-- front end's place, say) are taken too, so that their source can be judged.
local function heuristic(tvb, pinfo, tree)
    if not frames[pinfo.number] then
        if pinfo.visited then return false end
        local src = endpoint(pinfo.src, pinfo.src_port)
        local dst = endpoint(pinfo.dst, pinfo.dst_port)
        if not (links[src] or links[dst] or peers[src] or peers[dst] or is_handshake(tvb)) then
            return false
        end
    end
    koraven.dissector(tvb, pinfo, tree)
    return true
end
koraven:register_heuristic("udp", heuristic)

local udp_port = DissectorTable.get("udp.port")
udp_port:add(LINK_PORT, koraven)
udp_port:add_for_decode_as(koraven)
