-- Wireshark dissector for the N95 handset's trace, as n95host and n95sim capture it: pcap
-- with link type 147 (LINKTYPE_USER0), one packet per chunk read from the handset's port
-- (docs/capture-format.md).
--
-- Install: copy this file into ~/.local/lib/wireshark/plugins/ (Wireshark 4.0 reads Lua
-- plug-ins there), or load it for one run: tshark -X lua_script:wireshark/n95-trace.lua.
--
-- Each packet is cut into trace frames with the rules of the plug-in's parser
-- (trace/NokiaBryParse; docs/trace-frame.md): a frame starts at the chunk's first byte and
-- the next one right after it, also after an empty payload; a frame whose bytes do not all
-- lie inside the chunk makes the rest of the chunk an incomplete tail, which the plug-in
-- drops; a chunk of exactly CR LF "OK" CR LF is the AT reply, which it does not parse. There
-- is no start marker: garbage is read as a frame header, as the parser reads it.
--
-- The message code is what a record of the frame carries: the bundled WCDMA decoder library
-- takes the payload's first four bytes, big-endian, and rejects frames with fewer (they have
-- no code). The normalisation and the class table below are those of the library
-- (trace/MessageClass). They are copied, not generated, so that this file works on its
-- own, and they are held to the library by a test: scripts/clients.sh writes a capture with
-- one frame for every code in the library's class table, every code in the table below and
-- codes that reach every normalisation rule, and requires this dissector and
-- `n95host frames --csv` (which calls the library's functions) to agree on every frame's
-- code, normalised code and class. Change both together.
--
-- Fields (all filterable):
--   n95.frame, n95.tail, n95.at_reply   one item per trace frame, incomplete tail, AT reply
--   n95.offset   byte offset of the item in the chunk      n95.size  bytes it takes there
--   n95.key      message bytes 0..2 (the message key)     n95.throttle_key  the plug-in's
--                16-bit throttle key of them, (b0*4096 + b1*64 + b2) mod 65536
--   n95.form     "long" or "short"; n95.form_byte the header form byte (0x01 = long)
--   n95.ext      extension bytes (long header)            n95.len  payload length
--   n95.payload  the payload
--   n95.code     message code; n95.norm its normalised form; n95.class its class (0..3;
--                absent when the code has none)
-- Example: tshark -X lua_script:wireshark/n95-trace.lua -r drive.pcap -Y "n95.class == 3"

local n95 = Proto("n95", "N95 handset trace")

local f = {
    frame = ProtoField.none("n95.frame", "Trace frame"),
    tail = ProtoField.bytes("n95.tail", "Incomplete frame (dropped by the plug-in)"),
    at_reply = ProtoField.string("n95.at_reply", "AT reply (not parsed)"),
    offset = ProtoField.uint32("n95.offset", "Offset in chunk", base.DEC),
    size = ProtoField.uint32("n95.size", "Bytes in chunk", base.DEC),
    key = ProtoField.uint24("n95.key", "Message key", base.HEX),
    throttle_key = ProtoField.uint16("n95.throttle_key", "Throttle key", base.HEX),
    form = ProtoField.string("n95.form", "Header form"),
    form_byte = ProtoField.uint8("n95.form_byte", "Header form byte", base.HEX),
    ext = ProtoField.bytes("n95.ext", "Extension bytes"),
    len = ProtoField.uint16("n95.len", "Payload length", base.DEC),
    payload = ProtoField.bytes("n95.payload", "Payload"),
    code = ProtoField.uint32("n95.code", "Message code", base.HEX),
    norm = ProtoField.uint32("n95.norm", "Normalised code", base.HEX),
    class = ProtoField.uint8("n95.class", "Message class", base.DEC),
}
n95.fields = { f.frame, f.tail, f.at_reply, f.offset, f.size, f.key, f.throttle_key, f.form,
               f.form_byte, f.ext, f.len, f.payload, f.code, f.norm, f.class }

local e_tail = ProtoExpert.new("n95.tail.expert", "Incomplete frame: the plug-in drops it",
                               expert.group.MALFORMED, expert.severity.WARN)
local e_at = ProtoExpert.new("n95.at_reply.expert", "AT reply: the plug-in does not parse it",
                             expert.group.SEQUENCE, expert.severity.NOTE)
n95.experts = { e_tail, e_at }

local band, rshift = bit32.band, bit32.rshift

-- NormaliseMessageCode of trace/MessageClass.
local function normalise(c)
    if band(c, 0xFFFF) == 0 or rshift(c, 16) == 0x412F then
        return c
    end
    local g = band(rshift(c, 8), 0xF)
    if g == 0 or g == 1 then
        return 0x52260000 + band(c, 0xFFF)
    elseif g == 3 or g == 5 or g == 8 then
        return 0x713A0000 + band(c, 0xF3F)
    elseif g == 6 then
        return 0x512F0000 + band(c, 0xF7F)
    elseif g == 9 then
        return 0x713A0000 + band(c, 0xFFF)
    elseif g == 10 then
        return 0x713A0000 + band(c, 0xF7F)
    end
    return c
end

-- The class table of trace/MessageClass (normalised code -> class); scripts/clients.sh
-- reads the entries between the two marker lines.
-- class table begin
local classes = {
    [0x412F0112] = 0,
    [0x412F0310] = 0,
    [0x412F0401] = 0,
    [0x512F060D] = 0,
    [0x512F0619] = 0,
    [0x512F061A] = 0,
    [0x512F061B] = 0,
    [0x512F061C] = 0,
    [0x713A032A] = 0,
    [0x713A0301] = 1,
    [0x713A0307] = 2,
    [0x713A030F] = 2,
    [0x713A032D] = 3,
}
-- class table end

local LONG_FORM = 0x01
local AT_REPLY = "\r\nOK\r\n"

-- The header fields present in the `left` bytes from `off`; returns the header's size (0
-- when the length is not present) and the payload length.
local function add_header(tree, tvb, off, left)
    if left >= 3 then
        tree:add(f.key, tvb(off, 3))
        local b0, b1, b2 = tvb(off, 1):uint(), tvb(off + 1, 1):uint(), tvb(off + 2, 1):uint()
        tree:add(f.throttle_key, tvb(off, 3), (b0 * 4096 + b1 * 64 + b2) % 65536):set_generated()
    end
    if left < 4 then
        return 0, nil
    end
    local long = tvb(off + 3, 1):uint() == LONG_FORM
    tree:add(f.form, tvb(off + 3, 1), long and "long" or "short")
    tree:add(f.form_byte, tvb(off + 3, 1))
    local header = long and 10 or 6
    if long and left > 4 then
        tree:add(f.ext, tvb(off + 4, math.min(4, left - 4)))
    end
    if left < header then
        return 0, nil
    end
    local len_range = tvb(off + header - 2, 2)
    tree:add(f.len, len_range)
    return header, len_range:uint()
end

function n95.dissector(tvb, pinfo, tree)
    local size = tvb:len()
    pinfo.cols.protocol = "N95"
    if size == 0 then
        pinfo.cols.info = "empty chunk"
        return 0
    end
    local root = tree:add(n95, tvb())
    if size == #AT_REPLY and tvb(0, size):string() == AT_REPLY then
        local item = root:add(f.at_reply, tvb(0, size), "OK")
        item:add(f.offset, tvb(0, size), 0):set_generated()
        item:add(f.size, tvb(0, size), size):set_generated()
        item:add_proto_expert_info(e_at)
        pinfo.cols.info = "AT reply OK"
        return size
    end

    local off, frames, info = 0, 0, nil
    while off < size do
        local left = size - off
        -- Decide first whether a whole frame lies here, as the parser does.
        local long = left >= 4 and tvb(off + 3, 1):uint() == LONG_FORM
        local header = long and 10 or 6
        local len = left >= header and tvb(off + header - 2, 2):uint() or nil
        if len ~= nil and left - header >= len then
            local item = root:add(f.frame, tvb(off, header + len))
            item:add(f.offset, tvb(off, header + len), off):set_generated()
            item:add(f.size, tvb(off, header + len), header + len):set_generated()
            add_header(item, tvb, off, left)
            if len > 0 then
                item:add(f.payload, tvb(off + header, len))
            end
            local text = ""
            if len >= 4 then
                local code_range = tvb(off + header, 4)
                local code = code_range:uint()
                local norm = normalise(code)
                local class = classes[norm]
                item:add(f.code, code_range)
                item:add(f.norm, code_range, norm):set_generated()
                if class ~= nil then
                    item:add(f.class, code_range, class):set_generated()
                end
                text = string.format(", code 0x%08X, class %s", code,
                                     class ~= nil and tostring(class) or "none")
            end
            item:set_text(string.format(
                "Trace frame at %d: %s header, key 0x%06X, %d payload bytes%s", off,
                long and "long" or "short", tvb(off, 3):uint(), len, text))
            frames = frames + 1
            off = off + header + len
        else
            local item = root:add(f.tail, tvb(off, left))
            item:add(f.offset, tvb(off, left), off):set_generated()
            item:add(f.size, tvb(off, left), left):set_generated()
            local have = add_header(item, tvb, off, left)
            item:add_proto_expert_info(e_tail)
            local detail
            if have > 0 then
                detail = string.format("%d of %d bytes", left, have + len)
            else
                detail = string.format("%d bytes, header cut", left)
            end
            item:set_text(string.format("Incomplete frame at %d (dropped by the plug-in): %s",
                                        off, detail))
            info = string.format("incomplete frame at %d: %s", off, detail)
            off = size
        end
    end
    local text = string.format("%d trace frame%s", frames, frames == 1 and "" or "s")
    if info ~= nil then
        text = text .. ", " .. info
    end
    pinfo.cols.info = text
    root:append_text(", " .. text)
    return size
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, n95)
