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
-- Loaded twice (an installed copy and one given with -X lua_script:), the copy loaded last wins:
-- Wireshark loads its plug-in folders first and -X scripts after them, so the script a user names
-- is the one that dissects. The first copy registers the protocol, its fields and its dissectors,
-- which call whatever implementation was loaded last; a later copy keeps the registered fields
-- (adding those the first lacks) and puts its own implementation in place.
--
-- Reassembly: Wireshark's Lua API (4.0) offers desegment_len/desegment_offset, which work only for
-- stream protocols; its datagram reassembly tables are not reachable from Lua. So the fragments of
-- a message are collected here, per link and direction and keyed by sequence number, on the first
-- pass over the capture; the frame with the last fragment shows the whole message in a
-- "Reassembled message" tab, every fragment names that frame, and the message names its fragments.
-- All analysis (gaps, repeats, request/reply pairs) is done on that first pass and kept per frame,
-- so that random access in the GUI and tshark's second pass (-2) show the same result.
--
-- Cost: a capture of a million datagrams must not need gigabytes. What the first pass keeps per
-- frame is one array slot (the paired request or reply) and, for replies, the delay; anything
-- unusual (a gap, a repeat, a fragment of a longer message) gets a small record of its own. The
-- bytes of a one-datagram message are not kept: they are read from the frame when it is shown.
-- Without a protocol tree (tshark's plain listing) nothing but the Info column is built.

-- Lua collects garbage once its heap has grown by this many per cent since the last collection
-- (200 by default). The first pass keeps a table slot per frame, which every collection walks
-- again; collecting at 4 times the kept data instead of 2 takes about a tenth off the time of a
-- large capture for about a third more memory. The setting is the whole Lua state's.
collectgarbage("setpause", 400)

local registry = rawget(_G, "koraven_link_dissector")  -- set by a copy loaded earlier
local koraven = registry and registry.proto
if not koraven then
    local made, proto = pcall(Proto, "koraven", "KORAVEN link")
    if not made then
        error("an older KORAVEN link dissector is loaded already and cannot hand over to this " ..
              "copy; remove it from the plug-in folder to use this one (" .. tostring(proto) .. ")")
    end
    koraven = proto
end

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
-- Byte 4 of a refusal (0x23, 0x53) that answers a sync or a request fragment.
local refusal_reasons = { [1] = "another client holds the link", [2] = "no link with the sender" }
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
    -- A front end without our link answers a sync or a request fragment with 0x23 or 0x53.
    refusal_reason = ProtoField.uint8("koraven.refusal.reason", "Refusal reason", base.DEC,
        refusal_reasons),
    refusal_answers = ProtoField.uint16("koraven.refusal.answers", "Answers sequence number",
        base.DEC),
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

-- A field or expert item the first copy registered stays registered (Wireshark takes each name
-- once): a later copy uses the registered one and registers only what is new.
local function registered(defined, known, assign)
    local kept, added = {}, {}
    for key, item in pairs(defined) do
        if known and known[key] then
            kept[key] = known[key]
        else
            kept[key] = item
            added[#added + 1] = item
        end
    end
    if #added > 0 then assign(added) end
    return kept
end

f = registered(f, registry and registry.fields, function(list) koraven.fields = list end)

local e = {
    gap = ProtoExpert.new("koraven.expert.sequence_gap", "Sequence gap",
                          expert.group.SEQUENCE, expert.severity.WARN),
    repeated = ProtoExpert.new("koraven.expert.repeated_reply", "Repeated reply",
                               expert.group.SEQUENCE, expert.severity.WARN),
    resent = ProtoExpert.new("koraven.expert.request_sent_again", "Request sent again",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    answered_again = ProtoExpert.new("koraven.expert.reply_to_request_sent_again",
                                     "Reply repeated for a request sent again",
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
e = registered(e, registry and registry.experts, function(list) koraven.experts = list end)

-- ---- Helpers ---------------------------------------------------------------------------------

local byte, format, concat = string.byte, string.format, table.concat

local band = bit32.band

local function has(value, mask)
    return band(value, mask) ~= 0
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

local function le16(s, i)
    local a, b = byte(s, i, i + 1)
    return a + b * 256
end

local function le32(s, i)
    local a, b, c, d = byte(s, i, i + 3)
    return a + b * 256 + c * 65536 + d * 16777216
end

-- ---- First-pass state ------------------------------------------------------------------------

local links   -- client endpoint -> link: peer endpoint, a stream per direction, tracking
local peers   -- front end endpoint -> the client endpoint it has a link with
local loose   -- "src>dst" -> stream, for datagrams from unexpected sources
-- Per frame, for every frame the dissector took: false, or where a message completes, true or
-- the frame of its pair (a request's reply, a reply's request; negative for a busy reply).
local paired
local delays  -- reply frame -> seconds since its request
local notes   -- frame -> what else the first pass found there (rare: gaps, repeats, fragments)

local function init()
    links, peers, loose, paired, delays, notes = {}, {}, {}, {}, {}, {}
end
local ports_taken = {}  -- front-end ports put into the port table (kept: Wireshark keeps them)
init()

-- What the analysis of the current frame found about its message: whether one completes here, its
-- pair and the reply's delay (kept out of the frame's record, which most frames do not need).
local found_completes, found_pair, found_delay

local function note_of(number)
    local note = notes[number]
    if not note then
        note = {}
        notes[number] = note
    end
    return note
end

local function new_stream()
    return { high = nil, pending = nil, copy = nil, done = nil, starts = {} }
end

-- A handshake tells the number the next fragment carries.
local function reset_stream(stream, expected)
    stream.high = expected
    stream.pending, stream.copy, stream.done, stream.done_single = nil, nil, nil, nil
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

-- A request that completed in frame `number`, its bytes from data[o + 1] on; message is nil for a
-- one-datagram message (data is then the datagram, o 4), which keeps no table of its own until it
-- turns out to be a request that waits for its reply.
local function track_request(link, message, data, o, number, abs_ts)
    local length = #data - o
    if length == 0 then return end  -- an empty message takes a number, wants no reply
    if message and message.again then return end  -- sent again: the first copy stays the request
    local request = message or { frame = number }
    request.id = length >= 9 and byte(data, o + 9) or nil
    request.time = abs_ts
    link.outstanding = request
    if request.id then link.requests[request.id] = request end
end

-- A reply that completed in frame `number` (message nil: one datagram). True when it is the reply
-- the client takes, which a later copy of it then repeats.
local function track_reply(link, message, data, o, record, number, abs_ts)
    if #data - o < 5 then return false end
    if message and message.again and message.original.complete_reply then return false end
    local flags, status, id = byte(data, o + 1), byte(data, o + 4), byte(data, o + 5)
    local request = link.outstanding
    if request and request.id == id then
        found_delay = abs_ts - request.time
        if status == 254 then
            found_pair = -request.frame
            link.toggle = nil  -- the client then takes the next reply whatever its toggle
            return
        end
        found_pair = request.frame
        local toggle = has(flags, 0x10) and 1 or 0
        if has(flags, 0x08) and link.toggle == toggle then
            record.same_toggle = true  -- the client sees its previous reply again
            return false
        end
        link.toggle = toggle
        if not request.reply then
            request.reply = number
            paired[request.frame] = number
        end
        if message then message.complete_reply = true end
        link.outstanding = nil
        return true
    end
    local earlier = link.requests[id]
    if earlier and earlier.reply then
        record.orphan = format("message id %d was answered in frame %d (stale reply)", id,
                               earlier.reply)
    else
        record.orphan = format("no request with message id %d is waiting", id)
    end
    return false
end

-- ---- Reassembly ------------------------------------------------------------------------------
--
-- Fragments are collected by sequence number, so that a fragment that comes late (in a repeated
-- reply, say) fills the hole a lost one left, as it does in the client. A sequence gap is judged
-- against the highest number seen; numbers behind it belong to a copy of a message already seen
-- (a repeated reply, a request sent again) or fill a hole.

local MAX_SPAN = 4096  -- fragments one message may span: far beyond the largest
-- Messages whose copies are still recognised: a client repeats only its last request and a front
-- end its last reply, so the starts of messages further back are let go.
local STARTS_KEPT = 2048

-- Whether a fragment's data can be the start of a message: what helps when the fragments before
-- it were lost and nothing else tells where the message began.
local function looks_like_start(datagram, client_side)
    if client_side then return #datagram == 4 or datagram:sub(5, 9) == "\0\0\0\0\0" end
    local flags = byte(datagram, 5)
    return #datagram >= 9 and (flags == 0x08 or flags == 0x18 or flags == 0x00 or flags == 0x10)
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

-- A message's fragments in order: its bytes, and the frames that brought them (the display of a
-- longer message lists them; a one-datagram message is read from its own frame).
local function finish(message, record, number, on_complete)
    local parts, numbers = {}, {}
    local seq = message.first
    while true do
        parts[#parts + 1] = message.parts[seq]
        numbers[#numbers + 1] = message.frames[seq]
        if seq == message.last then break end
        seq = seq_after(seq)
    end
    message.data = concat(parts)
    message.parts, message.frames = nil, nil
    message.frame, message.frame1 = number, numbers[1]
    message.complete = true
    found_completes = true
    if #numbers > 1 then
        for _, fragment in ipairs(numbers) do
            if fragment ~= number then note_of(fragment).reassembled_in = number end
        end
        record.message = { frames = numbers, data = message.data }
    end
    on_complete(message, message.data, 0)
    if #numbers == 1 then message.data = nil end
end

local function new_message(first)
    return { first = first, parts = {}, frames = {}, last = nil }
end

local function within(message, seq)
    local d = distance(message.first, seq)
    return d >= 0 and d < MAX_SPAN and (not message.last or distance(seq, message.last) >= 0)
end

-- starts[first]: the message that began there, or for a one-datagram message its frame (negative
-- unless it was the reply the client took).
local function remember_start(stream, first, message)
    stream.starts[first] = message
    stream.starts[(first - STARTS_KEPT) % 65536] = nil
end

-- The message that began at seq, as a table (a one-datagram message gets one only here, for the
-- rare copy of it).
local function started(stream, seq)
    local original = stream.starts[seq]
    if type(original) ~= "number" then return original end
    return { first = seq, last = seq, frame1 = math.abs(original), complete = true,
             complete_reply = original > 0 }
end

-- A copy of a fragment behind the highest number seen. True when it was taken as such.
local function add_copy(stream, record, seq, datagram, analyse, number, on_complete)
    local copy = stream.copy
    if not (copy and within(copy, seq)) then
        local original = started(stream, seq)
        if original and original.complete then
            copy = new_message(seq)
            copy.last, copy.again, copy.original = original.last, true, original
            stream.copy = copy
            record.repeat_start = original.frame1
        elseif stream.done and within(stream.done, seq) then
            record.repeat_of = stream.done.frame1  -- a stray copy of a fragment
            return true
        elseif stream.done_single == seq then
            record.repeat_of = stream.done_frame
            return true
        else
            return false
        end
    end
    if copy.next and distance(copy.next, seq) > 0 and analyse then
        record.gap = { first = copy.next, count = distance(copy.next, seq) }
    end
    copy.next = seq_after(seq)
    record.repeat_of = copy.original.frame1
    copy.parts[seq], copy.frames[seq] = datagram:sub(5), number
    if seq == copy.last then
        stream.copy = nil
        if complete_in_order(copy) then finish(copy, record, number, on_complete) end
    end
    return true
end

-- One data fragment of a stream (the datagram, its payload from byte 5 on). on_complete is called
-- with every message that completes: (message, bytes, offset of the message in them).
local function add_fragment(stream, record, number, seq, last, datagram, client_side, analyse,
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
    if behind and add_copy(stream, record, seq, datagram, analyse, number, on_complete) then
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
        if record.gap and not looks_like_start(datagram, client_side) then
            first = record.gap.first
        end
        if last and first == seq then
            -- The common case, one datagram that is the whole message: no table at all.
            stream.pending, stream.done = nil, nil
            stream.done_single, stream.done_frame = seq, number
            found_completes = true
            remember_start(stream, seq, on_complete(nil, datagram, 4) and number or -number)
            return
        end
        message = new_message(first)
        message.opened = number
        stream.pending = message
        remember_start(stream, first, message)
    end
    message.parts[seq], message.frames[seq] = datagram:sub(5), number
    if last then message.last = seq end
    if complete_in_order(message) then
        stream.pending = nil
        stream.done, stream.done_single = message, nil
        finish(message, record, number, on_complete)
    end
end

-- ---- First pass: roles, sources, sequence state ----------------------------------------------

-- The frame whose fragment is being added, for the message it may complete (one table for all
-- frames: a closure per frame would cost a million allocations).
local completing = {}

local function request_completes(message, data, o)
    track_request(completing.link, message, data, o, completing.number, completing.pinfo.abs_ts)
end

local function reply_completes(message, data, o)
    return track_reply(completing.link, message, data, o, completing.record, completing.number,
                       completing.pinfo.abs_ts)
end

local function ignore_message() end

local function analyse(bytes, pinfo, record, number, src, dst)
    local length = #bytes
    if length <= 1 then return end  -- a flow token (or a stray byte): no state
    local kind = byte(bytes, 1)
    local client_side = from_client[kind] == true
    local client, peer = src, dst
    if not client_side then client, peer = dst, src end

    if kind == 0x03 then
        links[client] = nil
        peers[peer] = client
        link_of(client, peer)
        -- The front end's port goes into the port table, as "Decode As" would put it: the rest
        -- of the link is then handed over without the heuristic being asked for every datagram.
        local port = pinfo.dst_port
        if port ~= LINK_PORT and not ports_taken[port] then
            ports_taken[port] = true
            DissectorTable.get("udp.port"):add(port, koraven)
        end
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

    local handshake_seq = length >= 4 and le16(bytes, 3) or nil
    local fragment = (kind == 0x01 or kind == 0x11) and length >= 4
    if record.unexpected then
        if fragment then
            local key = src .. ">" .. dst
            loose[key] = loose[key] or new_stream()
            add_fragment(loose[key], record, number, handshake_seq, byte(bytes, 2) == 0, bytes,
                         client_side, false, ignore_message)
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
    elseif fragment then
        local stream = client_side and link.out or link.into
        completing.link, completing.record, completing.number = link, record, number
        completing.pinfo = pinfo
        add_fragment(stream, record, number, handshake_seq, byte(bytes, 2) == 0, bytes,
                     client_side, true, client_side and request_completes or reply_completes)
        -- A reply repeated after the client sent its request again answers that request: the
        -- front end had carried it out already (its reply was lost or late).
        if client_side then
            if record.repeat_start then
                link.resent = true
            elseif not record.repeat_of then
                link.resent = false
            end
        elseif record.repeat_start and link.resent then
            record.answers_resend = true
        end
    end
end

-- ---- Display ---------------------------------------------------------------------------------
--
-- Every function below takes the message's bytes as a Lua string (s, 1-based) for the values,
-- and, when a protocol tree is wanted, its tree item (t) and the TvbRange of the same bytes (m,
-- 0-based) for the items. Without a tree (t nil) only the summary for the Info column is made.

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

local function add_magic(tree, tvb, bytes)
    if #bytes < 16 then return end
    local item = tree:add(f.magic, tvb(8, 8))
    if bytes:sub(9, 16) ~= MAGIC then
        item:add_proto_expert_info(e.bad, "the link magic is missing")
    end
end

-- The streams of a raw shift as the Info column lists them ("TMS+TDI+TDO").
local function listed(streams, name)
    return streams and streams .. "+" .. name or name
end

local function dissect_raw_shift(s, o, base, length, m, t)
    if t then t = t:add(f.raw_command, m(base, 1)) end
    if length < 8 then
        if t then t:add_proto_expert_info(e.bad, "raw-shift block shorter than its 8-byte head") end
        return "raw shift (short)"
    end
    local options = le16(s, o + base + 3)
    local bits = le32(s, o + base + 5)
    if t then
        local o = t:add_le(f.raw_options, m(base + 2, 2))
        o:add_le(f.raw_tms, m(base + 2, 2))
        o:add_le(f.raw_tdi, m(base + 2, 2))
        o:add_le(f.raw_tdo, m(base + 2, 2))
        o:add_le(f.raw_exit, m(base + 2, 2))
        t:add_le(f.raw_bits, m(base + 4, 4))
    end
    local n = math.floor((bits + 7) / 8)
    local tms, tdi, tdo = has(options, 1), has(options, 2), has(options, 4)
    local offset, fits, streams = 8, true, nil
    if tms then
        fits = offset + n <= length
        if fits then
            if t and n > 0 then t:add(f.raw_tms_data, m(base + offset, n)) end
            offset = offset + n
            streams = listed(streams, "TMS")
        end
    end
    if tdi then
        if offset + n <= length then
            if t and n > 0 then t:add(f.raw_tdi_data, m(base + offset, n)) end
            offset = offset + n
            streams = listed(streams, "TDI")
        else
            fits = false
        end
    end
    if not tms and not tdi then
        fits = offset + n <= length
        if fits then
            if t and n > 0 then t:add(f.raw_filler, m(base + offset, n)) end
            offset = offset + n
            streams = listed(streams, "filler")
        end
    end
    if tdo then streams = listed(streams, "TDO") end
    streams = streams or ""
    if t then
        if not fits or offset ~= length then
            t:add_proto_expert_info(e.bad, format(
                "a raw shift of %d bits with these options takes %d bytes, not %d", bits,
                8 + n * math.max(1, (tms and 1 or 0) + (tdi and 1 or 0)), length))
        end
        if length > MAX_RAW_BLOCK then
            t:add_proto_expert_info(e.too_long, format(
                "raw-shift block of %d bytes, more than %d", length, MAX_RAW_BLOCK))
        end
        t:append_text(format(": %d bits, %s%s", bits, (streams:gsub("%+", " ")),
                             has(options, 8) and ", TMS 1 on the last bit" or ""))
    end
    return format("raw shift %d bits %s", bits, streams)
end

local function dissect_tap(s, o, base, length, m, t, subcode)
    if length == 0 then
        if t then t:add_proto_expert_info(e.bad, "TAP access without parameters") end
        return "TAP access"
    end
    if subcode == 0x92 and length == 1 and byte(s, o + base + 1) == 0 then
        if t then t:add(f.tap_end, m(base, 1)):append_text(" (no size header, no data)") end
        return "end of TAP access"
    end
    local header = byte(s, o + base + 1)
    local flags = math.floor(header / 16)
    local bits, size = header % 16, 1
    local h = t and t:add(f.tap_header, m(base, 1))
    if h then
        h:add(f.tap_flags, m(base, 1))
        h:add(f.tap_read, m(base, 1))
        h:add(f.tap_send, m(base, 1))
    end
    if bits < 15 then
        if h then
            h:add(f.tap_form, m(base, 1), "in the low nibble")
            h:add(f.tap_bits, m(base, 1), bits)
        end
    elseif length >= 2 and byte(s, o + base + 2) < 255 then
        bits, size = byte(s, o + base + 2), 2
        if h then
            h:add(f.tap_form, m(base + 1, 1), "one byte")
            h:add(f.tap_bits, m(base + 1, 1), bits)
        end
    elseif length >= 6 then
        bits, size = le32(s, o + base + 3), 6
        if h then
            h:add(f.tap_form, m(base + 1, 5), "0xFF and 32 bits")
            h:add_le(f.tap_bits, m(base + 2, 4))
        end
    else
        if h then h:add_proto_expert_info(e.bad, "size header cut short") end
        return "TAP access (cut short)"
    end
    local summary = "TAP access"
    local offset = size
    local data_bytes = has(flags, 2) and math.floor((bits + 7) / 8) or 0
    if offset + data_bytes > length then
        if t then
            t:add_proto_expert_info(e.bad, format(
                "%d bits of send data announced, %d bytes there", bits, length - offset))
        end
        return summary
    end
    if data_bytes > 0 then
        local d = t and t:add(f.tap_data, m(base + offset, data_bytes))
        if byte(s, o + base + offset + 1) == 0x90 then
            summary = dissect_raw_shift(s, o, base + offset, data_bytes, m, d)
        end
        offset = offset + data_bytes
    end
    if subcode == 0x92 then
        if offset < length then
            if t then t:add(f.tap_end, m(base + offset, 1)) end
            offset = offset + 1
        elseif t then
            t:add_proto_expert_info(e.bad, "the ending zero byte is missing")
        end
    end
    if offset ~= length and t then
        t:add_proto_expert_info(e.bad, format("%d bytes after the parameter block",
                                              length - offset))
    end
    return summary
end

local function dissect_request(s, o, m, t)
    local length = #s - o
    if length == 0 then
        if t then t:append_text(": empty message (no reply expected)") end
        return "empty message"
    end
    if length < 9 then
        if t then t:add_proto_expert_info(e.bad, "shorter than a request envelope") end
        return "request (short)"
    end
    local short, code, subcode, id = byte(s, o + 6, o + 9)
    if t then
        t:add(f.req_short, m(5, 1))
        t:add(f.req_code, m(6, 1))
        local sub = t:add(f.req_sub, m(7, 1))
        if code == 0x74 and tap_subcodes[subcode] then
            sub:append_text(" (" .. tap_subcodes[subcode] .. ")")
        end
        t:add(f.req_id, m(8, 1))
    end
    local first, count
    if short ~= 0 then
        first, count = 9, short - 2
    elseif length >= 11 then
        if t then t:add_le(f.req_long, m(9, 2)) end
        first, count = 11, le16(s, o + 10) - 4
    else
        if t then t:add_proto_expert_info(e.bad, "long form without its length") end
        return "request (short)"
    end
    if count < 0 or first + count > length then
        if t then
            t:add_proto_expert_info(e.bad, format(
                "%d parameter bytes announced, %d there", count, length - first))
        end
        count = math.max(0, math.min(count, length - first))
    end
    local name = request_codes[code] or format("request 0x%02X", code)
    local summary = name
    if count > 0 then
        local p = t and t:add(f.req_params, m(first, count))
        if code == 0x72 then
            -- The text ends at its NUL; a text without one is shown whole.
            local text = s:sub(o + first + 1, o + first + count)
            local nul = text:find("\0", 1, true)
            if nul then text = text:sub(1, nul - 1) end
            if p then
                p:add(f.command, m(first, nul or count), text)
                if not nul then p:add_proto_expert_info(e.bad, "command without its ending NUL") end
            end
            summary = "command \"" .. text .. "\""
        elseif code == 0x74 then
            summary = dissect_tap(s, o, first, count, m, p, subcode)
        end
    end
    if t then
        local body_end = first + count
        if length - body_end == 1 then
            t:add(f.req_filler, m(body_end, 1))
        elseif length > body_end then
            t:add_proto_expert_info(e.bad, format("%d bytes after the parameters",
                                                  length - body_end))
        end
        if length > MAX_REQUEST then
            t:add_proto_expert_info(e.too_long, format(
                "request of %d bytes, more than the %d a client sends", length, MAX_REQUEST))
        end
    end
    return format("id %d %s", id, summary)
end

local function dissect_reply(s, o, m, t)
    local length = #s - o
    if length < 5 then
        if t then t:add_proto_expert_info(e.bad, "shorter than a reply envelope") end
        return "reply (short)"
    end
    local status, id = byte(s, o + 4, o + 5)
    if t then
        local flags = t:add(f.rep_flags, m(0, 1))
        flags:add(f.rep_valid, m(0, 1))
        flags:add(f.rep_toggle, m(0, 1))
        t:add_le(f.rep_length, m(1, 2))
        local item = t:add(f.rep_status, m(3, 1))
        if status == 254 then
            item:add_proto_expert_info(e.busy)
        elseif status ~= 0 then
            item:add_proto_expert_info(e.status, "status " .. status .. " (" ..
                                       (statuses[status] or "the front end's own code") .. ")")
        end
        t:add(f.rep_id, m(4, 1))
        if length > 5 then t:add(f.rep_data, m(5, length - 5)) end
        if length > MAX_REPLY then
            t:add_proto_expert_info(e.too_long, format(
                "reply of %d bytes, more than the %d a client takes", length, MAX_REPLY))
        end
    end
    return format("id %d status %d%s, %d data bytes", id, status,
                  status == 254 and " (still working)" or "", length - 5)
end

-- The message that completes in this frame: its summary, and with a tree its own subtree.
local function show_message(tvb, bytes, tree, number, note, kind)
    local whole = note and note.message
    -- A longer message from its reassembled bytes; one datagram read in place, past its header.
    local s, o = bytes, 4
    if whole then s, o = whole.data, 0 end
    local m, t
    if tree then
        m = whole and ByteArray.new(whole.data, true):tvb("Reassembled message") or tvb(4):tvb()
        t = tree:add(koraven, m(), kind == 0x11 and "Request" or "Reply")
        if whole then
            t:add(f.fragment_count, #whole.frames):set_generated()
            for _, fragment in ipairs(whole.frames) do t:add(f.fragment, fragment):set_generated() end
        end
        t:add(f.message_length, #s - o):set_generated()
    end
    local request = kind == 0x11
    local summary = request and dissect_request(s, o, m, t) or dissect_reply(s, o, m, t)
    if t then
        local pair = paired[number]
        if type(pair) == "number" then
            if request then
                t:add(f.response_in, pair):set_generated()
            else
                t:add(pair < 0 and f.busy_for or f.response_to, math.abs(pair)):set_generated()
                t:add(f.time, nstime(delays[number])):set_generated()
            end
        end
        if note and note.orphan then t:add_proto_expert_info(e.orphan, note.orphan) end
        if note and note.same_toggle then
            t:add_proto_expert_info(e.repeated, "same toggle as the reply the client took last")
        end
    end
    return (request and "Request " or "Reply ") .. summary
end

-- The findings of the first pass on a data fragment, into its tree.
local function show_fragment_notes(root, note, client)
    if note.gap then
        root:add(f.gap_first, note.gap.first):set_generated()
        root:add(f.gap_count, note.gap.count):set_generated()
        root:add_proto_expert_info(e.gap, format(
            "%d fragment(s) missing from %d on", note.gap.count, note.gap.first))
    end
    if note.repeat_start then
        local kind = client and e.resent or note.answers_resend and e.answered_again or e.repeated
        root:add_proto_expert_info(kind, format(
            "same sequence numbers as the message that started in frame %d", note.repeat_start))
    end
    if note.repeat_of or note.repeat_start then
        root:add(f.repeat_of, note.repeat_of or note.repeat_start):set_generated()
    end
    if note.abandoned then
        root:add_proto_expert_info(e.incomplete, format(
            "the message begun in frame %d was never completed", note.abandoned))
    end
    if note.late then
        root:add_proto_expert_info(e.late, "a sequence number already passed")
    end
    if note.reassembled_in and not note.message then
        root:add(f.reassembled_in, note.reassembled_in):set_generated()
    end
end

local function dissect_fragment(tvb, bytes, tree, root, number, note, kind)
    local length = #bytes
    local client = kind == 0x11
    if root then
        root:add(f.direction, client and "client to front end" or "front end to client")
            :set_generated()
    end
    if length < 4 then
        if root then root:add_proto_expert_info(e.bad, "shorter than a fragment header") end
        return datagram_types[kind] .. " (short)"
    end
    local continuation = byte(bytes, 2)
    if root then
        local c = root:add(f.continuation, tvb(1, 1))
        if continuation > (client and 1 or 2) then
            c:add_proto_expert_info(e.bad, "continuation the other side does not expect")
        end
        root:add_le(f.seq, tvb(2, 2))
        if length > 4 then root:add(f.fragment_data, tvb(4)) end
        if not client and length == 4 then
            root:add_proto_expert_info(e.bad, "a reply fragment without data")
        end
        if note then show_fragment_notes(root, note, client) end
    end
    local info = format("%s seq=%d%s", datagram_types[kind], le16(bytes, 3),
                        continuation == 0 and "" or
                        (continuation == 2 and " more, ack wanted" or " more"))
    local again = note and (note.repeat_of or note.repeat_start)
    if again then info = info .. format(" (again, as in frame %d)", again) end
    if paired[number] then
        info = info .. " [" .. show_message(tvb, bytes, root and tree, number, note, kind) .. "]"
    end
    return info
end

local function dissect_other(tvb, bytes, root, kind)
    local length = #bytes
    if kind == 0x06 then
        if root then
            if length < 5 then root:add_proto_expert_info(e.bad, "notification shorter than 5 bytes") end
            root:add(f.notify_kind, tvb(1, 1))
            if length > 2 then root:add(f.notify_data, tvb(2)) end
        end
        return "Notification"
    elseif kind == 0x03 or kind == 0x13 or kind == 0x23 or kind == 0x53 then
        if length < 16 then
            if root then root:add_proto_expert_info(e.bad, "handshake datagram shorter than 16 bytes") end
            return datagram_types[kind] .. " (short)"
        end
        if root then
            root:add_le(f.seq, tvb(2, 2))
            if kind == 0x03 then
                root:add_le(f.peer_port, tvb(4, 2))
                root:add_le(f.own_port, tvb(6, 2))
            elseif kind == 0x23 then
                root:add(f.refused_detail, tvb(4, 4))
            end
            if kind == 0x23 or kind == 0x53 then
                root:add(f.refusal_reason, tvb(4, 1))
                root:add_le(f.refusal_answers, tvb(6, 2))
            end
            add_magic(root, tvb, bytes)
        end
        if kind == 0x03 or kind == 0x13 then
            if root then root:add(f.packet_length, length):set_generated() end
            return format("%s, packet length %d", datagram_types[kind], length)
        end
        local reason = refusal_reasons[byte(bytes, 5)]
        if reason then
            return format("%s: %s, answers %d", datagram_types[kind], reason, le16(bytes, 7))
        end
        return datagram_types[kind]
    elseif handshake_lengths[kind] then
        if root then
            if length ~= 16 then
                root:add_proto_expert_info(e.bad, format("%d bytes, not 16", length))
            end
            if length >= 4 and kind ~= 0x04 and kind ~= 0x07 then root:add_le(f.seq, tvb(2, 2)) end
            add_magic(root, tvb, bytes)
        end
        if length >= 4 and (kind == 0x02 or kind == 0x12 or kind == 0x22) then
            return format("%s seq=%d", datagram_types[kind], le16(bytes, 3))
        end
        return datagram_types[kind]
    end
    if root then root:add_proto_expert_info(e.bad, format("unknown datagram type 0x%02X", kind)) end
    return format("Unknown type 0x%02X", kind)
end

-- "address:port" of both ends, made once per pair of ports and reused while the addresses match:
-- turning addresses into text for every datagram costs more than comparing them.
local named = {}

local function endpoints(pinfo)
    local src_port, dst_port = pinfo.src_port, pinfo.dst_port
    local key = src_port * 65536 + dst_port
    local known = named[key]
    local src_address, dst_address = pinfo.src, pinfo.dst
    if known and known[1] == src_address and known[2] == dst_address then
        return known[3], known[4]
    end
    local src = tostring(src_address) .. ":" .. src_port
    local dst = tostring(dst_address) .. ":" .. dst_port
    named[key] = { src_address, dst_address, src, dst }
    return src, dst
end

-- The findings of the frame being analysed; empty again once they are kept.
local scratch = {}

local function dissect(tvb, pinfo, tree, src, dst, number)
    local bytes = tvb:raw()
    local length = #bytes
    number = number or pinfo.number
    local cols = pinfo.cols
    cols.protocol = "KORAVEN"
    if paired[number] == nil then
        found_completes, found_pair, found_delay = false, nil, nil
        if not src then src, dst = endpoints(pinfo) end
        analyse(bytes, pinfo, scratch, number, src, dst)
        paired[number] = found_pair or found_completes
        if found_delay then delays[number] = found_delay end
        if next(scratch) then  -- something unusual: the frame keeps a record of its own
            local note = note_of(number)
            for key, value in pairs(scratch) do
                note[key] = value
                scratch[key] = nil
            end
        end
    end
    local note = notes[number]
    -- Without a protocol tree (tshark's plain listing) only the Info column is made.
    local root = tree.text ~= nil and tree:add(koraven, tvb()) or nil
    if length == 0 then
        if root then root:add_proto_expert_info(e.bad, "empty datagram") end
        cols.info = "Empty datagram"
        return length
    end
    local kind = byte(bytes, 1)
    if root then
        root:add(f.type, tvb(0, 1))
        if note and note.unexpected then root:add_proto_expert_info(e.source, note.unexpected) end
        if length > MAX_PACKET then
            root:add_proto_expert_info(e.too_long, format(
                "datagram of %d bytes, more than the %d a packet may have", length, MAX_PACKET))
        end
    end
    local info
    if length == 1 then
        if kind == 0x2B then
            if root then root:add(f.token, tvb(0, 1)) end
            info = "Flow token"
        else
            if root then root:add_proto_expert_info(e.bad, "a single byte other than \"+\"") end
            info = "Stray byte"
        end
    elseif kind == 0x01 or kind == 0x11 then
        info = dissect_fragment(tvb, bytes, tree, root, number, note, kind)
        if length < 4 then
            cols.info = info
            return length
        end
    else
        info = dissect_other(tvb, bytes, root, kind)
    end
    if root and length >= 2 and length <= 4 and kind ~= 0x11 and not (kind == 0x01 and length == 4) then
        root:add_proto_expert_info(e.bad, "2 to 4 bytes: the client refuses such a datagram")
    end
    if note and note.unexpected then info = info .. " (unexpected source)" end
    if root then root:append_text(", " .. info) end
    cols.info = info
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
    local src, dst
    local number = pinfo.number
    if paired[number] == nil then
        if pinfo.visited then return false end
        src, dst = endpoints(pinfo)
        if not (links[src] or links[dst] or peers[src] or peers[dst] or is_handshake(tvb)) then
            return false
        end
    end
    dissect(tvb, pinfo, tree, src, dst, number)
    return true
end

-- ---- Registration ----------------------------------------------------------------------------

local implementation = { init = init, dissector = dissect, heuristic = heuristic }
if registry then
    registry.implementation = implementation
else
    registry = { proto = koraven, implementation = implementation }
    _G.koraven_link_dissector = registry
    function koraven.init()
        registry.implementation.init()
    end
    function koraven.dissector(tvb, pinfo, tree)
        return registry.implementation.dissector(tvb, pinfo, tree)
    end
    koraven:register_heuristic("udp", function(tvb, pinfo, tree)
        return registry.implementation.heuristic(tvb, pinfo, tree)
    end)
    local udp_port = DissectorTable.get("udp.port")
    udp_port:add(LINK_PORT, koraven)
    udp_port:add_for_decode_as(koraven)
end
registry.fields, registry.experts = f, e
