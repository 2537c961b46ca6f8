-- Wireshark and tshark read the lamp units' two protocols with this file:
--   lampframe     8-byte lamp frames over TCP (port 20000; more ports in the
--                 protocol's preferences, others with "Decode As")
--   lampsettings  46-byte settings records over UDP (broadcast to port 50000,
--                 answered to port 50001)
-- Lua 5.2 as Wireshark 4.0 embeds it. What ties a reply to its request is
-- learnt on the first pass over a capture; what needs a later packet (a
-- request's reply, or that none came; a reply that stayed short) shows on
-- the next pass: in Wireshark once a packet is selected, in tshark with -2.

------------------------------------------------------------------------------
-- The units' catalogue: model names and the names of each model's sounds.

local MODELS = {
  [0] = "Type-A", "Type-B", "Type-C(1)", "Type-D(1)", "Type-E", "Type-F", "Type-C(8)", "Type-D(8)",
}

local SOUNDS = {
  [0] = { "Fire A-WANG", "Emergency", "Ambulance", "PI-PI-PI  ", "PI_contiune" },
  { "Fire A_WANG", "Abandon Alarm", "PI-PI-PI", "PI_contiune", "General Alarm" },
  { "Sweet Home", "For Elise", "Cukoos Waltaz", "Piano Sonata", "Turkish March" },
  { "Beep_intermittent", "Door Chime", "Phone Ring   ", "PI-PI-PI", "Tripping Bead" },
  { "PI --  --  --", "PI -- - -- - --", "PI -- - - -- -", "PI - - - - -", "PI ----------" },
  { "PI --  --  --", "PI -- - -- - --", "PI -- - - -- -", "PI - - - - -", "PI ----------" },
  { "Sweet Home", "For Elise", "Cukoos Waltaz", "Piano Sonata", "Turkish March" },
  { "Beep_intermittent", "Door Chime", "Phon Ring   ", "PI-PI-PI", "Tripping Bead" },
}

------------------------------------------------------------------------------
-- Lamp frames

local FRAME_SIZE = 8
local UNCHANGED = 0x64
local OP_WRITE, OP_READ = 0x57, 0x52
local LAMPS = { "red", "yellow", "green", "blue", "white" }
local LAMP_LETTERS = { "R", "Y", "G", "B", "W" }

local lampframe = Proto("lampframe", "Lamp frame")

local OPERATIONS = {
  [OP_WRITE] = "'W' write",
  [OP_READ] = "'R' read status",
  [1] = "1 write, as the console builds it (the library sends 'W')",
}
local LAMP_CODES = { [0] = "off", [1] = "on", [2] = "blink", [UNCHANGED] = "unchanged" }

local ff = {
  op = ProtoField.uint8("lampframe.op", "Operation", base.HEX, OPERATIONS),
  model = ProtoField.uint8("lampframe.model", "Model", base.DEC, MODELS),
  sound = ProtoField.uint8("lampframe.sound", "Sound", base.DEC),
  status = ProtoField.string("lampframe.status", "Status words"),
  request = ProtoField.bool("lampframe.request", "Request", base.NONE),
  reply = ProtoField.bool("lampframe.reply", "Reply", base.NONE),
  response_in = ProtoField.framenum("lampframe.response_in", "Reply in", base.NONE, frametype.RESPONSE),
  response_to = ProtoField.framenum("lampframe.response_to", "Request in", base.NONE, frametype.REQUEST),
  time = ProtoField.relative_time("lampframe.time", "Time since request"),
  extra = ProtoField.bytes("lampframe.extra", "Bytes past the frame"),
}
for _, name in ipairs(LAMPS) do
  ff[name] = ProtoField.uint8("lampframe." .. name, name:sub(1, 1):upper() .. name:sub(2), base.DEC,
    LAMP_CODES)
end
lampframe.fields = ff

local fe = {
  short = ProtoExpert.new("lampframe.short_reply", "Short reply", expert.group.MALFORMED,
    expert.severity.WARN),
  long = ProtoExpert.new("lampframe.long_reply", "Long reply", expert.group.MALFORMED,
    expert.severity.WARN),
  unanswered = ProtoExpert.new("lampframe.unanswered", "Request not answered",
    expert.group.SEQUENCE, expert.severity.WARN),
  late = ProtoExpert.new("lampframe.late_reply", "Late reply", expert.group.SEQUENCE,
    expert.severity.WARN),
  no_request = ProtoExpert.new("lampframe.no_request", "Reply to no request",
    expert.group.SEQUENCE, expert.severity.WARN),
  code = ProtoExpert.new("lampframe.bad_code", "Value outside the protocol's codes",
    expert.group.PROTOCOL, expert.severity.WARN),
}
lampframe.experts = { fe.short, fe.long, fe.unanswered, fe.late, fe.no_request, fe.code }

-- The library waits this long for a reply: a 100 ms pause, then 200 ms.
local REPLY_WAIT = 0.3

lampframe.prefs.ports = Pref.range("TCP ports", "20000", "TCP ports the units serve lamp frames on",
  65535)

-- What the first pass learnt. Connections by their two ends (client first);
-- requests by the place of their bytes (a frame may hold several, and TCP
-- may hand a reassembled request and the rest of a segment in two calls);
-- replies by frame number. Wireshark builds no tree on tshark's first pass,
-- so nothing here depends on another protocol's fields.
local connections = {}
local requests = {}
local replies = {}

local function connection(pinfo, isRequest)
  local client = tostring(pinfo.src) .. ":" .. pinfo.src_port
  local unit = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  if not isRequest then client, unit = unit, client end
  local id = client .. ">" .. unit
  if not connections[id] then connections[id] = { pending = {}, first = 1, partial = nil } end
  return connections[id]
end

-- The settings records' own: the last request of each kind from each sender,
-- and the request each answer belongs to.
local sent = {}
local answers = {}

-- Wireshark starts each pass over a capture afresh (init runs before both
-- of tshark -2's passes), so what was learnt is dropped only when a first
-- pass starts again from the top: a new or reloaded capture.
local learntUpTo = 0
local function forget_if_restarted(pinfo)
  if pinfo.visited then return end
  if pinfo.number < learntUpTo then
    connections, requests, replies, sent, answers = {}, {}, {}, {}, {}
  end
  learntUpTo = pinfo.number
end

local function seconds_between(earlier, later)
  local delta = later - earlier
  if delta < 0 then delta = 0 end
  local whole = math.floor(delta)
  return NSTime.new(whole, math.floor((delta - whole) * 1e9 + 0.5))
end

local function sound_text(model, code)
  if code == 0 then return "off" end
  if code == UNCHANGED then return "unchanged" end
  local names = SOUNDS[model]
  if code >= 1 and code <= 5 and names then return code .. " (" .. names[code] .. ")" end
  return tostring(code)
end

-- The status words the console shows for a reply: a lamp byte 0 is off, 1
-- on, anything else blinking; the sound byte 0 off, anything else on.
local function status_words(bytes)
  local words = {}
  for i = 1, 5 do
    local b = bytes:byte(2 + i)
    local state = (b == 0 and "OF") or (b == 1 and "ON") or "BL"
    words[#words + 1] = LAMP_LETTERS[i] .. "-" .. state .. "/"
  end
  words[#words + 1] = "(S)-" .. (bytes:byte(8) == 0 and "OF" or "ON") .. "/"
  return table.concat(words)
end

local function op_letter(op)
  if op == OP_WRITE then return "W" end
  if op == OP_READ then return "R" end
  return string.format("0x%02x", op)
end

local function request_summary(bytes)
  local op, model = bytes:byte(1), bytes:byte(2)
  if op == OP_READ then return "R status" end
  local parts = { op == 1 and "1" or op_letter(op) }
  for i, name in ipairs(LAMPS) do
    local code = bytes:byte(2 + i)
    if code ~= UNCHANGED then
      parts[#parts + 1] = name .. "=" .. (LAMP_CODES[code] or string.format("0x%02x", code))
    end
  end
  local sound = bytes:byte(8)
  if sound ~= UNCHANGED then parts[#parts + 1] = "sound=" .. sound_text(model, sound) end
  if #parts == 1 then parts[#parts + 1] = "(nothing changes)" end
  return table.concat(parts, " ")
end

-- The first frame of a packet replaces what TCP wrote; the next join it.
local function add_info(pinfo, text)
  if not pinfo.private.lampframe_info then
    pinfo.cols.info:set(text)
  else
    pinfo.cols.info:append(" | " .. text)
  end
  pinfo.private.lampframe_info = "1"
end

-- The eight bytes as fields; the request's codes are checked, a reply's are
-- read as the console reads them.
local function add_frame_fields(tree, range, isRequest, model)
  local op = range(0, 1):uint()
  local item = tree:add(ff.op, range(0, 1))
  if isRequest and not OPERATIONS[op] then
    item:add_proto_expert_info(fe.code, "Operation " .. string.format("0x%02x", op) ..
      " is neither 'W' nor 'R': a unit reads it as a status read")
  end
  item = tree:add(ff.model, range(1, 1))
  if not MODELS[range(1, 1):uint()] then
    item:add_proto_expert_info(fe.code, "Model " .. range(1, 1):uint() .. " is none of the eight")
  end
  for i, name in ipairs(LAMPS) do
    local code = range(1 + i, 1):uint()
    item = tree:add(ff[name], range(1 + i, 1))
    if isRequest and not LAMP_CODES[code] then
      item:add_proto_expert_info(fe.code, string.format("Lamp code 0x%02x is none of off, on, blink, unchanged", code))
    elseif not isRequest and code > 2 then
      item:append_text(" [read as blinking]")
    end
  end
  local sound = range(7, 1):uint()
  item = tree:add(ff.sound, range(7, 1))
  item:set_text("Sound: " .. sound_text(model, sound))
  if isRequest and sound > 5 and sound ~= UNCHANGED then
    item:add_proto_expert_info(fe.code, "Sound code " .. sound .. " is none of off, 1 to 5, unchanged")
  end
end

local function show_request(tvb, offset, pinfo, root, key)
  local record = requests[key]
  local range = tvb(offset, FRAME_SIZE)
  local bytes = range:raw()
  local summary = request_summary(bytes)
  local tree = root:add(lampframe, range)
  tree:append_text(", request: " .. summary)
  tree:add(ff.request, range, true):set_generated()
  add_frame_fields(tree, range, true, bytes:byte(2))
  if record and record.reply then
    tree:add(ff.response_in, range, record.reply):set_generated()
  end
  if record and not record.reply and pinfo.visited then
    tree:add_proto_expert_info(fe.unanswered, "The unit did not answer this request (no reply follows in the capture)")
  end
  add_info(pinfo, summary)
end

local function take_request(tvb, offset, pinfo, root, state)
  local key = pinfo.number .. ":" .. tvb:offset() .. ":" .. tvb:len() .. ":" .. offset
  if not pinfo.visited and not requests[key] then
    local record = { frame = pinfo.number, time = pinfo.abs_ts, bytes = tvb:raw(offset, FRAME_SIZE) }
    requests[key] = record
    state.pending[#state.pending + 1] = record
  end
  show_request(tvb, offset, pinfo, root, key)
end

-- First pass: the reply bytes of a packet join what the connection holds
-- of a reply; every eight make a reply to the oldest request waiting. Bytes
-- past the last reply with no request left waiting are a long reply's.
local function learn_replies(tvb, pinfo, state)
  local record = { pdus = {} }
  replies[pinfo.number] = record
  local held = state.partial
  local start = held and -#held.bytes or 0  -- where held bytes would begin in this packet
  local data = (held and held.bytes or "") .. tvb:raw()
  local at = 0
  while #data - at >= FRAME_SIZE do
    local request = state.pending[state.first]
    local pdu = { bytes = data:sub(at + 1, at + FRAME_SIZE), offset = start + at, request = request }
    if request then
      state.first = state.first + 1
      request.reply = pinfo.number
      pdu.time = seconds_between(request.time, pinfo.abs_ts)
      pdu.late = pinfo.abs_ts - request.time > REPLY_WAIT
    end
    if held and at == 0 then held.completedIn = pinfo.number end
    record.pdus[#record.pdus + 1] = pdu
    at = at + FRAME_SIZE
  end
  local left = #data - at
  if at > 0 then held = nil end
  state.partial = nil
  if left == 0 then return end
  if state.pending[state.first] == nil and #record.pdus > 0 then
    record.pdus[#record.pdus].extra = { offset = start + at, length = left }
    return
  end
  -- The start of a reply, shared by the packets that carry a share of it:
  -- flagged as short if nothing completes it.
  if not held then
    held = { request = state.pending[state.first] }
    if held.request then held.request.reply = pinfo.number end
  end
  held.bytes = data:sub(at + 1)
  state.partial = held
  local offset = math.max(0, start + at)
  record.partial = { offset = offset, length = tvb:len() - offset, whole = held }
end

local function show_replies(tvb, pinfo, root)
  local record = replies[pinfo.number]
  if not record then return end
  for _, pdu in ipairs(record.pdus) do
    local range
    if pdu.offset >= 0 then
      range = tvb(pdu.offset, FRAME_SIZE)
    else
      range = ByteArray.new(pdu.bytes, true):tvb("Reassembled reply")(0, FRAME_SIZE)
    end
    local words = status_words(pdu.bytes)
    local letter = pdu.request and op_letter(pdu.request.bytes:byte(1)) or op_letter(pdu.bytes:byte(1))
    local model = (pdu.request and pdu.request.bytes or pdu.bytes):byte(2)
    local tree = root:add(lampframe, range)
    tree:append_text(", reply: " .. words)
    tree:add(ff.reply, range, true):set_generated()
    add_frame_fields(tree, range, false, model)
    tree:add(ff.status, range, words):set_generated()
    if pdu.request then
      tree:add(ff.response_to, range, pdu.request.frame):set_generated()
      tree:add(ff.time, range, pdu.time):set_generated()
    else
      tree:add_proto_expert_info(fe.no_request, "Reply to no request of this connection")
    end
    if pdu.late then
      tree:add_proto_expert_info(fe.late, "Late reply: the library waits 300 ms for a reply")
    end
    if pdu.extra then
      local extra = tvb(pdu.extra.offset, pdu.extra.length)
      tree:add(ff.extra, extra)
      tree:add_proto_expert_info(fe.long, "Long reply: " .. pdu.extra.length ..
        " bytes past the 8-byte frame")
    end
    add_info(pinfo, letter .. " reply " .. words)
  end
  local partial = record.partial
  if not partial then return end
  local whole = partial.whole
  local range = tvb(partial.offset, partial.length)
  local tree = root:add(lampframe, range)
  tree:add(ff.reply, range, true):set_generated()
  if whole.completedIn then
    tree:append_text(", part of a reply, completed in frame " .. whole.completedIn)
    add_info(pinfo, "reply, part (completed in frame " .. whole.completedIn .. ")")
  elseif not pinfo.visited then
    tree:append_text(", part of a reply")
    add_info(pinfo, "reply, " .. #whole.bytes .. " bytes of 8 so far")
  else
    -- Nothing more came: what the console shows is the reply's bytes over
    -- its request's, still in its buffer.
    local request = whole.request and whole.request.bytes or string.rep("\0", FRAME_SIZE)
    local words = status_words(whole.bytes .. request:sub(#whole.bytes + 1))
    local letter = whole.request and op_letter(request:byte(1)) or "?"
    tree:append_text(", short reply: " .. #whole.bytes .. " of 8 bytes")
    tree:add(ff.status, range, words):set_generated()
    if whole.request then
      tree:add(ff.response_to, range, whole.request.frame):set_generated()
    end
    tree:add_proto_expert_info(fe.short, "Short reply: " .. #whole.bytes .. " of 8 bytes, and no more came")
    add_info(pinfo, letter .. " reply, short: " .. #whole.bytes .. " of 8 bytes " .. words)
  end
end

local function in_ports(port)
  for piece in string.gmatch(lampframe.prefs.ports, "[^,]+") do
    local low, high = piece:match("^%s*(%d+)%s*%-%s*(%d+)%s*$")
    if not low then low = piece:match("^%s*(%d+)%s*$") high = low end
    if low and port >= tonumber(low) and port <= tonumber(high) then return true end
  end
  return false
end

-- Requests go to the unit's port: the one the table matched (a preference's
-- or one given with "Decode As").
local function is_request(pinfo)
  local match = pinfo.match_uint
  if match and match ~= 0 and (pinfo.dst_port == match or pinfo.src_port == match) then
    return pinfo.dst_port == match
  end
  return in_ports(pinfo.dst_port)
end

function lampframe.dissector(tvb, pinfo, root)
  local length = tvb:len()
  if length == 0 then return 0 end
  forget_if_restarted(pinfo)
  pinfo.cols.protocol = "LampFrame"
  local isRequest = is_request(pinfo)
  local state = connection(pinfo, isRequest)
  if isRequest then
    local offset = 0
    while offset < length do
      if length - offset < FRAME_SIZE then
        -- The rest of this request is in a later segment.
        pinfo.desegment_offset = offset
        pinfo.desegment_len = FRAME_SIZE - (length - offset)
        return length
      end
      take_request(tvb, offset, pinfo, root, state)
      offset = offset + FRAME_SIZE
    end
    return length
  end
  if not pinfo.visited and not replies[pinfo.number] then learn_replies(tvb, pinfo, state) end
  show_replies(tvb, pinfo, root)
  return length
end

local registered_ports = ""
local function register_ports()
  local tcp = DissectorTable.get("tcp.port")
  if registered_ports ~= "" then tcp:remove(registered_ports, lampframe) end
  registered_ports = lampframe.prefs.ports
  if registered_ports ~= "" then tcp:add(registered_ports, lampframe) end
end
lampframe.prefs_changed = register_ports
register_ports()
DissectorTable.get("tcp.port"):add_for_decode_as(lampframe)

------------------------------------------------------------------------------
-- Settings records

local RECORD_SIZE = 46
local SETTINGS_PORT, REPLY_PORT = 50000, 50001

local lampsettings = Proto("lampsettings", "Lamp unit settings record")

local sf = {
  command = ProtoField.string("lampsettings.command", "Command"),
  mac = ProtoField.ether("lampsettings.mac", "MAC address"),
  ip = ProtoField.ipv4("lampsettings.ip", "IP address"),
  mask = ProtoField.ipv4("lampsettings.mask", "Subnet mask"),
  gateway = ProtoField.ipv4("lampsettings.gateway", "Gateway"),
  port = ProtoField.uint16("lampsettings.port", "Port"),
  t = ProtoField.uint8("lampsettings.t", "T value (MT)"),
  xtag = ProtoField.string("lampsettings.xtag", "X tag"),
  x = ProtoField.ether("lampsettings.x", "X value"),
  request = ProtoField.bool("lampsettings.request", "Request", base.NONE),
  reply = ProtoField.bool("lampsettings.reply", "Reply", base.NONE),
  response_to = ProtoField.framenum("lampsettings.response_to", "Request in", base.NONE,
    frametype.REQUEST),
}
lampsettings.fields = sf

local se = {
  length = ProtoExpert.new("lampsettings.bad_length", "Record of the wrong length",
    expert.group.MALFORMED, expert.severity.ERROR),
  start = ProtoExpert.new("lampsettings.no_start", "No '$' at the start", expert.group.MALFORMED,
    expert.severity.ERROR),
  tag = ProtoExpert.new("lampsettings.bad_tag", "Wrong separator or tag", expert.group.MALFORMED,
    expert.severity.ERROR),
  finish = ProtoExpert.new("lampsettings.no_crlf", "No CR LF at the end", expert.group.MALFORMED,
    expert.severity.ERROR),
  command = ProtoExpert.new("lampsettings.bad_command", "Unknown command", expert.group.MALFORMED,
    expert.severity.ERROR),
  stray = ProtoExpert.new("lampsettings.stray", "Answer from a unit the request did not name",
    expert.group.SEQUENCE, expert.severity.WARN),
}
lampsettings.experts = { se.length, se.start, se.tag, se.finish, se.command, se.stray }

local COMMANDS = { MR = "Mac Find", IR = "read", IW = "write" }
-- Separator and tag before each value: offset of the ',' and the tag.
local TAGS = { { 3, "M" }, { 11, "I" }, { 17, "S" }, { 23, "G" }, { 29, "P" }, { 33, "T" }, { 36, "X" } }


local function mac_text(raw)
  return (raw:gsub(".", function(c) return string.format("%02x:", c:byte()) end):sub(1, -2))
end
local function dotted_decimal(raw)
  local parts = {}
  for i = 1, #raw do parts[i] = tostring(raw:byte(i)) end
  return table.concat(parts, ".")
end
local function prefix_or_mask(raw)
  local bits, value = 0, 0
  for i = 1, 4 do value = value * 256 + raw:byte(i) end
  while bits < 32 and value >= 2 ^ (31 - bits) do
    value = value - 2 ^ (31 - bits)
    bits = bits + 1
  end
  if value == 0 then return "/" .. bits end
  return " mask " .. dotted_decimal(raw)
end

local function settings_text(raw)
  return dotted_decimal(raw:sub(14, 17)) .. prefix_or_mask(raw:sub(20, 23)) .. " gw " ..
    dotted_decimal(raw:sub(26, 29)) .. " port " .. (raw:byte(32) * 256 + raw:byte(33))
end

function lampsettings.dissector(tvb, pinfo, root)
  local length = tvb:len()
  forget_if_restarted(pinfo)
  pinfo.cols.protocol = "LampSettings"
  local isReply = pinfo.dst_port == REPLY_PORT or
    (pinfo.dst_port ~= SETTINGS_PORT and pinfo.src_port == SETTINGS_PORT)
  local tree = root:add(lampsettings, tvb())
  tree:add(isReply and sf.reply or sf.request, tvb(0, 0), true):set_generated()
  local raw = tvb:raw()
  local function has(offset, width) return length >= offset + width end

  if length ~= RECORD_SIZE then
    tree:add_proto_expert_info(se.length, "Record of " .. length .. " bytes; a record has 46")
  end
  if length == 0 then
    pinfo.cols.info = (isReply and "empty answer" or "empty request")
    return 0
  end
  if raw:byte(1) ~= 0x24 then
    tree:add_proto_expert_info(se.start, "No '$' at the start")
  end
  local command = has(1, 2) and raw:sub(2, 3) or raw:sub(2)
  local item = tree:add(sf.command, tvb(1, math.min(2, length - 1)))
  local sett = has(37, 1) and raw:byte(38) == 0x4D and command == "IW"
  if COMMANDS[command] then
    item:append_text(" (" .. (sett and "SETT: write, and the MAC address from X" or COMMANDS[command]) .. ")")
  else
    item:add_proto_expert_info(se.command, "Unknown command")
  end
  for _, tag in ipairs(TAGS) do
    local at, letter = tag[1], tag[2]
    if has(at, 2) then
      local found = raw:sub(at + 1, at + 2)
      local good = found == "," .. letter or (at == 36 and found == ",M")
      if not good then
        tree:add_proto_expert_info(se.tag, string.format("Expected ',%s' at offset %d, found %q", letter, at, found))
      end
    end
  end
  if has(5, 6) then tree:add(sf.mac, tvb(5, 6)):append_text(" (" .. dotted_decimal(raw:sub(6, 11)) .. ")") end
  if has(13, 4) then tree:add(sf.ip, tvb(13, 4)) end
  if has(19, 4) then tree:add(sf.mask, tvb(19, 4)) end
  if has(25, 4) then tree:add(sf.gateway, tvb(25, 4)) end
  if has(31, 2) then tree:add(sf.port, tvb(31, 2)) end
  if has(35, 1) then tree:add(sf.t, tvb(35, 1)) end
  if has(37, 1) then tree:add(sf.xtag, tvb(37, 1)) end
  if has(38, 6) then tree:add(sf.x, tvb(38, 6)):append_text(" (" .. dotted_decimal(raw:sub(39, 44)) .. ")") end
  if not (has(46, 0) and raw:sub(45, 46) == "\r\n") then
    tree:add_proto_expert_info(se.finish, "No CR LF at the end")
  end

  local complete = has(46, 0)
  local mac = has(5, 6) and mac_text(raw:sub(6, 11)) or nil
  local info = command
  if isReply then
    if not pinfo.visited then
      local request = sent[tostring(pinfo.dst) .. " " .. command]
      if request then
        answers[pinfo.number] = request
      end
    end
    local request = answers[pinfo.number]
    if request then
      tree:add(sf.response_to, tvb(0, 0), request.frame):set_generated()
      if command ~= "MR" and mac and request.mac and mac ~= request.mac then
        tree:add_proto_expert_info(se.stray, "Answer from " .. mac .. " to a request for " .. request.mac)
      end
    end
    if command == "MR" and mac then
      info = "MR " .. mac
    elseif complete and COMMANDS[command] then
      info = command .. " " .. mac .. " → " .. settings_text(raw)
    end
  else
    if not pinfo.visited and COMMANDS[command] then
      sent[tostring(pinfo.src) .. " " .. command] = { frame = pinfo.number, mac = mac }
    end
    if command == "MR" then
      info = "MR find"
    elseif command == "IR" and mac then
      info = "IR read " .. mac
    elseif command == "IW" and complete then
      info = (sett and "IW SETT " or "IW write ") .. mac .. " ← " .. settings_text(raw)
      if sett then info = info .. " mac " .. mac_text(raw:sub(39, 44)) end
    end
  end
  if not complete then info = info .. " [" .. length .. " bytes]" end
  pinfo.cols.info = info
  return length
end

local udp = DissectorTable.get("udp.port")
udp:add(SETTINGS_PORT, lampsettings)
udp:add(REPLY_PORT, lampsettings)
