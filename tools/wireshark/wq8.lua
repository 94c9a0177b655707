-- wq8.lua: Wireshark/tshark dissector for the frames on a WQ8 channel.
--
-- Every frame starts with a 48-byte text header whose first 8 bytes are the
-- frame length in decimal digits and whose bytes 8-17 are "WQ8:global".
-- Behind it lies either an IPC record (header protocol "IPC") or a sequence
-- of key blocks (every other protocol, "NAT" included). The NAT data block
-- of a job report carries a "MELD" body with one job record.
--
-- Use:  tshark -X lua_script:wq8.lua -o wq8.port:4711 -r capture.pcap
-- or copy it into the personal Lua plugin folder of Wireshark.
--
-- The dissector never trusts a length field: every read is checked against
-- the bytes that are really in the frame, and anything that does not fit is
-- reported as expert information instead of raising a Lua error.

local wq8 = Proto("wq8", "WQ8 channel frame")

local HEADER_SIZE = 48
local EYE_CATCHER = "WQ8:global"

----------------------------------------------------------------------------
-- Fields
----------------------------------------------------------------------------

local KEY_NAMES = {
  [0x01] = "Destination name",
  [0x02] = "Destination access value",
  [0x03] = "Destination address",
  [0x04] = "Data (key 0x04)",
  [0x07] = "Data (key 0x07)",
  [0x3B] = "Data (key 0x3B)",
  [0x41] = "Data (key 0x41)",
  [0x44] = "Data (key 0x44)",
  [0xF9] = "Data (key 0xF9)",
  [0xFD] = "Callback block",
  [0xFE] = "NAT data (2-byte length)",
  [0xFF] = "NAT data (4-byte length)",
}

local CALLBACK_KEY_NAMES = {
  [0x01] = "Source name",
  [0x02] = "Source access value",
  [0x03] = "Source address",
}

local f = {
  -- protocol header
  length     = ProtoField.uint32("wq8.length", "Frame length (cLength)", base.DEC),
  eyecatch   = ProtoField.string("wq8.eyecatch", "Eye-catcher"),
  hversion   = ProtoField.string("wq8.hversion", "Header version"),
  protocol   = ProtoField.string("wq8.protocol", "Protocol"),
  coding     = ProtoField.string("wq8.coding", "Coding"),
  session    = ProtoField.string("wq8.session", "Session id"),
  -- key blocks
  key        = ProtoField.uint8("wq8.key", "Key", base.HEX, KEY_NAMES),
  block_len  = ProtoField.uint32("wq8.block_len", "Content length", base.DEC),
  dst_name   = ProtoField.string("wq8.dst_name", "Destination name"),
  dst_acv    = ProtoField.uint32("wq8.dst_acv", "Destination access value", base.HEX),
  dst_addr   = ProtoField.string("wq8.dst_addr", "Destination address"),
  cb_key     = ProtoField.uint8("wq8.cb_key", "Callback key", base.HEX, CALLBACK_KEY_NAMES),
  src_name   = ProtoField.string("wq8.src_name", "Source name"),
  src_acv    = ProtoField.uint32("wq8.src_acv", "Source access value", base.HEX),
  src_addr   = ProtoField.string("wq8.src_addr", "Source address"),
  proto_key  = ProtoField.uint8("wq8.protocol_key", "Protocol key", base.HEX),
  data       = ProtoField.bytes("wq8.data", "Data"),
  nat_len    = ProtoField.uint32("wq8.nat_len", "NAT payload length", base.DEC),
  payload    = ProtoField.bytes("wq8.payload", "Payload"),
  garbage    = ProtoField.bytes("wq8.undecoded", "Undecoded bytes"),
  -- MELD body
  msg_typ    = ProtoField.string("wq8.meld.type", "Message type"),
  msg_ver    = ProtoField.string("wq8.meld.version", "Message version"),
  mandant    = ProtoField.uint16("wq8.meld.client", "Client (i2Mandant)", base.DEC),
  usrid      = ProtoField.uint32("wq8.meld.usrid", "User id number", base.DEC),
  msgnr      = ProtoField.int32("wq8.meld.msgnr", "Message number", base.DEC),
  -- fields common to the three job records
  job_nr     = ProtoField.uint32("wq8.job.nr", "Job number", base.DEC),
  job_status = ProtoField.string("wq8.job.status", "Status"),
  job_info   = ProtoField.string("wq8.job.info", "Info text"),
  md_version = ProtoField.string("wq8.job.md_version", "Messenger version"),
  md_major   = ProtoField.int16("wq8.job.major", "Major", base.DEC),
  md_minor   = ProtoField.int16("wq8.job.minor", "Minor", base.DEC),
  md_patch   = ProtoField.int16("wq8.job.patch", "Patch", base.DEC),
  time_t     = ProtoField.int64("wq8.job.time_t", "Seconds since 1970", base.DEC),
  ts_text    = ProtoField.string("wq8.job.time", "Time stamp (UTC)"),
  ts_year    = ProtoField.int16("wq8.ts.year", "Year", base.DEC),
  ts_mon     = ProtoField.int16("wq8.ts.month", "Month", base.DEC),
  ts_day     = ProtoField.int16("wq8.ts.day", "Day", base.DEC),
  ts_hour    = ProtoField.int16("wq8.ts.hour", "Hour", base.DEC),
  ts_min     = ProtoField.int16("wq8.ts.minute", "Minute", base.DEC),
  ts_sec     = ProtoField.int16("wq8.ts.second", "Second", base.DEC),
  ts_ns      = ProtoField.int32("wq8.ts.ns", "Nanoseconds", base.DEC),
  -- job status record
  retcode    = ProtoField.int32("wq8.job.retcode", "Return code", base.DEC),
  cputime    = ProtoField.uint32("wq8.job.cputime", "CPU time", base.DEC),
  pid        = ProtoField.uint32("wq8.job.pid", "Process id", base.DEC),
  ppid       = ProtoField.uint32("wq8.job.ppid", "Parent process id", base.DEC),
  pgrp       = ProtoField.uint32("wq8.job.pgrp", "Process group", base.DEC),
  pgid       = ProtoField.uint32("wq8.job.pgid", "pgid", base.DEC),
  sid        = ProtoField.uint32("wq8.job.sid", "Session id (sid)", base.DEC),
  uid        = ProtoField.uint32("wq8.job.uid", "uid", base.DEC),
  euid       = ProtoField.uint32("wq8.job.euid", "euid", base.DEC),
  gid        = ProtoField.uint32("wq8.job.gid", "gid", base.DEC),
  egid       = ProtoField.uint32("wq8.job.egid", "egid", base.DEC),
  ucpu       = ProtoField.uint32("wq8.job.ucpu", "User CPU", base.DEC),
  scpu       = ProtoField.uint32("wq8.job.scpu", "System CPU", base.DEC),
  iocount    = ProtoField.uint32("wq8.job.iocount", "I/O count", base.DEC),
  -- output-file record
  out_login  = ProtoField.string("wq8.out.login", "Login check"),
  out_file   = ProtoField.string("wq8.out.file", "Output file"),
  -- variable record
  var_dist   = ProtoField.int32("wq8.var.dist", "Variable record distance", base.DEC),
  var_len    = ProtoField.int32("wq8.var.len", "Variable record length", base.DEC),
  var_name   = ProtoField.string("wq8.var.name", "Variable name"),
  var_value  = ProtoField.string("wq8.var.value", "Variable value"),
  var_type   = ProtoField.string("wq8.var.type", "Variable type"),
  -- IPC records
  ipc_type   = ProtoField.string("wq8.ipc.type", "IPC record type"),
  ipc_len    = ProtoField.int32("wq8.ipc.len", "Routed payload length", base.DEC),
  ipc_fd     = ProtoField.int32("wq8.ipc.fd", "Descriptor", base.DEC),
  ipc_agent  = ProtoField.int32("wq8.ipc.agent_id", "Agent id", base.DEC),
  ipc_lsnr   = ProtoField.int32("wq8.ipc.listener_id", "Listener id", base.DEC),
  ipc_name   = ProtoField.string("wq8.ipc.name", "Name"),
  ipc_msgnr  = ProtoField.int32("wq8.ipc.msgnr", "Message number", base.DEC),
  ipc_insert = ProtoField.string("wq8.ipc.insert", "Message insert"),
  ipc_chid   = ProtoField.int32("wq8.ipc.channel_id", "Channel id", base.DEC),
  ipc_record = ProtoField.bytes("wq8.ipc.record", "Record"),
  -- routing address inside a ROUTENAT record
  a_eyec     = ProtoField.string("wq8.addr.eyec", "Eye-catcher"),
  a_type     = ProtoField.int32("wq8.addr.type", "Type", base.DEC),
  a_dst_id   = ProtoField.int32("wq8.addr.dst_id", "Destination id", base.DEC),
  a_dst_addr = ProtoField.string("wq8.addr.dst_addr", "Destination address"),
  a_dst_name = ProtoField.string("wq8.addr.dst_name", "Destination name"),
  a_dst_acv  = ProtoField.uint32("wq8.addr.dst_acv", "Destination access value", base.HEX),
  a_src_id   = ProtoField.int32("wq8.addr.src_id", "Source id", base.DEC),
  a_src_addr = ProtoField.string("wq8.addr.src_addr", "Source address"),
  a_src_name = ProtoField.string("wq8.addr.src_name", "Source name"),
  a_src_acv  = ProtoField.uint32("wq8.addr.src_acv", "Source access value", base.HEX),
  a_src_type = ProtoField.int32("wq8.addr.src_type", "Source channel type", base.DEC),
}

local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
wq8.fields = field_list

local ef = {
  malformed = ProtoExpert.new("wq8.malformed", "Malformed WQ8 frame",
                              expert.group.MALFORMED, expert.severity.ERROR),
  bad_key   = ProtoExpert.new("wq8.bad_key", "Unknown key byte: a receiver rejects the frame",
                              expert.group.MALFORMED, expert.severity.ERROR),
  short     = ProtoExpert.new("wq8.short", "Data missing (frame cut or not captured)",
                              expert.group.MALFORMED, expert.severity.WARN),
  limit     = ProtoExpert.new("wq8.limit", "Value beyond the receiver's limits",
                              expert.group.PROTOCOL, expert.severity.WARN),
  cut       = ProtoExpert.new("wq8.cut", "Text cut by the frame length",
                              expert.group.PROTOCOL, expert.severity.NOTE),
}
wq8.experts = { ef.malformed, ef.bad_key, ef.short, ef.limit, ef.cut }

wq8.prefs.port = Pref.uint("TCP port", 0,
  "TCP port of the agent whose traffic is decoded as WQ8 (0: only the heuristic)")

----------------------------------------------------------------------------
-- Bounded readers: each returns nil when the bytes are not all there.
----------------------------------------------------------------------------

local function have(tvb, off, n)
  return off >= 0 and n >= 0 and off + n <= tvb:len()
end

local function raw(tvb, off, n)
  if n <= 0 or not have(tvb, off, n) then return "" end
  return tvb:raw(off, n)
end

-- Text of a fixed-size field, cut at its first NUL byte.
local function ztext(tvb, off, n)
  local s = raw(tvb, off, n)
  local z = s:find("\0", 1, true)
  if z then s = s:sub(1, z - 1) end
  return s
end

local function strip(s)
  return (s:gsub("^ +", ""):gsub(" +$", ""))
end

-- Adds a text field over [off, off+n), cut to what the frame holds.
-- Returns the text shown, or nil when no byte of it is there.
local function add_text(tree, field, tvb, off, n, text_fn)
  local avail = math.min(n, tvb:len() - off)
  if avail <= 0 then return nil end
  local s = (text_fn or ztext)(tvb, off, avail)
  tree:add(field, tvb:range(off, avail), s)
  return s
end

-- Adds a little-endian integer field when all its bytes are there.
local function add_le(tree, field, tvb, off, n)
  if not have(tvb, off, n) then return nil end
  local r = tvb:range(off, n)
  tree:add_le(field, r)
  if n == 8 then return r:le_int64() end
  if n == 2 then
    local v = r:le_uint()
    if v >= 0x8000 and field ~= f.mandant then v = v - 0x10000 end
    return v
  end
  if field == f.retcode or field == f.msgnr or field == f.var_dist
     or field == f.var_len or field == f.ipc_len then
    return r:le_int()
  end
  return r:le_uint()
end

local function le_u32(tvb, off)
  if not have(tvb, off, 4) then return nil end
  return tvb:range(off, 4):le_uint()
end

local function le_i32(tvb, off)
  if not have(tvb, off, 4) then return nil end
  return tvb:range(off, 4):le_int()
end

----------------------------------------------------------------------------
-- Header
----------------------------------------------------------------------------

-- Frame length as the receiver reads it (strtol over the 8 digits: leading
-- blanks and a sign accepted, stops at the first non-digit), or nil.
local function frame_length(tvb, off)
  if not have(tvb, off, 8) then return nil end
  local digits = tvb:raw(off, 8):match("^[ \t]*%+?(%d+)")
  if not digits then return nil end
  return tonumber(digits)
end

local function header_valid(tvb, off)
  return frame_length(tvb, off) ~= nil and raw(tvb, off + 8, 10) == EYE_CATCHER
end

----------------------------------------------------------------------------
-- MELD body and job records
----------------------------------------------------------------------------

local function dissect_timestamp(tree, tvb, off, limit)
  if off >= limit then return end
  local n = math.min(16, limit - off)
  local st = tree:add(wq8, tvb:range(off, n), "Time stamp")
  local v = {}
  local fields = { f.ts_year, f.ts_mon, f.ts_day, f.ts_hour, f.ts_min, f.ts_sec }
  for i, fld in ipairs(fields) do
    local o = off + (i - 1) * 2
    if o + 2 > limit then break end
    v[i] = add_le(st, fld, tvb, o, 2)
  end
  if off + 16 <= limit then add_le(st, f.ts_ns, tvb, off + 12, 4) end
  if #v == 6 then
    local text = string.format("%04d-%02d-%02d %02d:%02d:%02d", v[1], v[2], v[3], v[4], v[5], v[6])
    st:append_text(": " .. text)
    st:add(f.ts_text, tvb:range(off, math.min(12, limit - off)), text)
  end
end

-- Adds the field when its bytes lie inside the body (which ends at limit).
local function body_le(tree, field, tvb, off, n, limit)
  if off + n > limit then return nil end
  return add_le(tree, field, tvb, off, n)
end

local function body_text(tree, field, tvb, off, n, limit, text_fn)
  if off >= limit then return nil end
  return add_text(tree, field, tvb, off, math.min(n, limit - off), text_fn)
end

-- Seconds since 1970 (64-bit), shown with their UTC date as well.
local function dissect_time_t(tree, tvb, off, limit)
  if off + 8 > limit or not have(tvb, off, 8) then return end
  local item = tree:add_le(f.time_t, tvb:range(off, 8))
  local ok, text = pcall(function()
    local n = tvb:range(off, 8):le_int64():tonumber()
    if n < 0 or n > 253402300799 then return nil end  -- up to the year 9999
    return os.date("!%Y-%m-%d %H:%M:%S UTC", n)
  end)
  if ok and text then item:append_text(" (" .. text .. ")") end
end

local function dissect_version_fields(tree, tvb, off, limit)
  body_text(tree, f.md_version, tvb, off, 32, limit, function(t, o, n) return strip(ztext(t, o, n)) end)
  body_le(tree, f.md_major, tvb, off + 33, 2, limit)
  body_le(tree, f.md_minor, tvb, off + 35, 2, limit)
  body_le(tree, f.md_patch, tvb, off + 37, 2, limit)
end

-- Job status record ('E', 'R' or any other status byte); base = body start.
local function dissect_job_status(tree, tvb, base, limit, info)
  local t = tree:add(wq8, tvb:range(base + 20, math.min(160, limit - base - 20)), "Job status record")
  body_le(t, f.job_nr, tvb, base + 20, 4, limit)
  body_text(t, f.job_status, tvb, base + 24, 1, limit, raw)
  body_text(t, f.job_info, tvb, base + 25, 32, limit)
  dissect_version_fields(t, tvb, base + 57, limit)
  local rc = body_le(t, f.retcode, tvb, base + 100, 4, limit)
  body_le(t, f.cputime, tvb, base + 104, 4, limit)
  dissect_timestamp(t, tvb, base + 108, limit)
  dissect_time_t(t, tvb, base + 124, limit)
  local ids = { f.pid, f.ppid, f.pgrp, f.pgid, f.sid, f.uid, f.euid, f.gid,
                f.egid, f.ucpu, f.scpu, f.iocount }
  for i, fld in ipairs(ids) do
    body_le(t, fld, tvb, base + 132 + (i - 1) * 4, 4, limit)
  end
  if rc then info[#info + 1] = "rc=" .. rc end
end

-- Output-file record ('O'): the file name runs to the end of the body.
local function dissect_output_file(tree, tvb, base, limit, info)
  local t = tree:add(wq8, tvb:range(base + 20, math.min(592, limit - base - 20)), "Output-file record")
  body_le(t, f.job_nr, tvb, base + 20, 4, limit)
  body_text(t, f.job_status, tvb, base + 24, 1, limit, raw)
  dissect_version_fields(t, tvb, base + 25, limit)
  dissect_timestamp(t, tvb, base + 68, limit)
  dissect_time_t(t, tvb, base + 84, limit)
  body_text(t, f.out_login, tvb, base + 92, 1, limit, raw)
  local name_off = base + 93
  if name_off < limit then
    local n = math.min(512, limit - name_off)
    local name = body_text(t, f.out_file, tvb, name_off, n, limit)
    if name and #name == n and n < 512 then
      t:add_proto_expert_info(ef.cut, string.format(
        "File name cut to %d bytes by the message length, no terminator", n))
    end
    if name then info[#info + 1] = "file=" .. name end
  end
end

-- Variable record ('V') and the MSG_TYPE_STATUS_VALUE record it points to.
local function dissect_variable(tree, tvb, base, limit, info)
  local t = tree:add(wq8, tvb:range(base + 20, math.min(112, limit - base - 20)), "Variable record")
  body_le(t, f.job_nr, tvb, base + 20, 4, limit)
  body_text(t, f.job_status, tvb, base + 24, 1, limit, raw)
  body_text(t, f.job_info, tvb, base + 25, 32, limit)
  dissect_version_fields(t, tvb, base + 57, limit)
  dissect_timestamp(t, tvb, base + 100, limit)
  dissect_time_t(t, tvb, base + 116, limit)
  local dist = body_le(t, f.var_dist, tvb, base + 124, 4, limit)
  local vlen = body_le(t, f.var_len, tvb, base + 128, 4, limit)
  if not dist or not vlen or dist == 0 or vlen == 0 then return end
  local start = base + 20 + dist
  if dist < 0 or vlen < 0 or start >= limit then
    t:add_proto_expert_info(ef.malformed, "Variable record lies outside the message")
    return
  end
  local vend = math.min(limit, start + vlen)
  local vt = tree:add(wq8, tvb:range(start, vend - start), "Variable value record")
  local name = body_text(vt, f.var_name, tvb, start, 200, vend)
  local value = body_text(vt, f.var_value, tvb, start + 200, 1024, vend)
  body_text(vt, f.var_type, tvb, start + 1224, 1, vend, raw)
  if start + vlen > limit then
    vt:add_proto_expert_info(ef.short, "Variable record runs past the message")
  end
  if name then info[#info + 1] = name .. "=" .. (value or "") end
end

-- MELD body at [off, off+len) of the frame.
local function dissect_meld(tree, tvb, off, len, info)
  local limit = math.min(off + len, tvb:len())
  if limit - off < 16 then return false end
  local t = tree:add(wq8, tvb:range(off, limit - off), "MELD body")
  local typ = strip(ztext(tvb, off, 8))
  t:add(f.msg_typ, tvb:range(off, 8), typ)
  add_text(t, f.msg_ver, tvb, off + 8, 2, raw)
  add_le(t, f.mandant, tvb, off + 10, 2)
  add_le(t, f.usrid, tvb, off + 12, 4)
  body_le(t, f.msgnr, tvb, off + 16, 4, limit)
  info[#info + 1] = typ
  if off + 25 > limit then
    t:add_proto_expert_info(ef.short, "No job record in the message")
    return true
  end
  local status = tvb:raw(off + 24, 1)
  local jobnr = le_u32(tvb, off + 20)
  info[#info + 1] = "job=" .. tostring(jobnr) .. " status=" .. status
  if status == "O" then
    dissect_output_file(t, tvb, off, limit, info)
  elseif status == "V" then
    dissect_variable(t, tvb, off, limit, info)
  else
    dissect_job_status(t, tvb, off, limit, info)
  end
  return true
end

-- A payload: a MELD body when it starts so, else raw bytes.
local function dissect_payload(tree, tvb, off, len, info)
  if len <= 0 then return end
  if raw(tvb, off, 4) == "MELD" and dissect_meld(tree, tvb, off, len, info) then
    return
  end
  local n = math.min(len, tvb:len() - off)
  if n > 0 then tree:add(f.payload, tvb:range(off, n)) end
end

----------------------------------------------------------------------------
-- Key blocks
----------------------------------------------------------------------------

-- Size of the length field that follows each key byte.
local KEY_LEN_SIZE = {
  [0x01] = 1, [0x02] = 1, [0x03] = 1, [0x04] = 1, [0x07] = 1,
  [0x3B] = 2, [0x41] = 7, [0x44] = 7, [0xF9] = 2, [0xFD] = 2,
  [0xFE] = 2, [0xFF] = 4,
}

-- Content length of a block whose length field of `size` bytes is at off;
-- the 7-byte form is a decimal number read like atoi. nil when unusable.
local function block_content_length(tvb, off, size)
  if not have(tvb, off, size) then return nil end
  if size == 1 then return tvb:range(off, 1):uint() end
  if size == 2 or size == 4 then return tvb:range(off, size):le_uint() end
  local s = tvb:raw(off, size)
  local sign, digits = s:match("^[ \t]*([+-]?)(%d*)")
  if digits == nil or digits == "" then return 0 end
  local v = tonumber(digits)
  if sign == "-" and v ~= 0 then return nil end
  return v
end

local function add_acv(tree, field, tvb, off, n)
  if n == 4 then
    tree:add_le(field, tvb:range(off, 4))
  else
    tree:add(f.data, tvb:range(off, n))
    tree:add_proto_expert_info(ef.limit, "Access value block is not 4 bytes long")
  end
end

local function add_name(tree, field, tvb, off, n, do_strip)
  local s = ztext(tvb, off, n)
  if do_strip then s = strip(s) end
  tree:add(field, tvb:range(off, n), s)
  if n > 63 then
    tree:add_proto_expert_info(ef.limit, "Longer than the 63 characters a receiver keeps")
  end
  return s
end

local function dissect_callback(tree, tvb, off, n, state)
  if n > 256 then
    tree:add_proto_expert_info(ef.limit, "Callback block longer than the 256 bytes a receiver takes")
  end
  local pos, stop = off, off + n
  while pos < stop do
    local key = tvb:range(pos, 1):uint()
    if not CALLBACK_KEY_NAMES[key] then
      local st = tree:add(f.cb_key, tvb:range(pos, 1))
      st:add_proto_expert_info(ef.malformed, "Invalid callback key (a receiver logs \"invalid kz\")")
      return
    end
    if pos + 2 > stop then
      tree:add_proto_expert_info(ef.short, "Callback sub-block without its length byte")
      return
    end
    local clen = tvb:range(pos + 1, 1):uint()
    local cend = pos + 2 + clen
    local sub = tree:add(wq8, tvb:range(pos, math.min(cend, stop) - pos), CALLBACK_KEY_NAMES[key])
    sub:add(f.cb_key, tvb:range(pos, 1))
    sub:add(f.block_len, tvb:range(pos + 1, 1))
    if cend > stop then
      sub:add_proto_expert_info(ef.malformed, "Callback sub-block runs past its block")
      return
    end
    if clen > 0 then
      if key == 0x01 then
        state.src_name = add_name(sub, f.src_name, tvb, pos + 2, clen, false)
        sub:append_text(": " .. state.src_name)
      elseif key == 0x02 then
        add_acv(sub, f.src_acv, tvb, pos + 2, clen)
      else
        local s = add_name(sub, f.src_addr, tvb, pos + 2, clen, false)
        sub:append_text(": " .. s)
      end
    end
    pos = cend
  end
end

-- Walks the key blocks of a native or NAT frame over [off, stop).
local function dissect_key_blocks(tree, tvb, off, stop, info)
  local state = {}
  local pos = off
  while pos < stop do
    local key = tvb:range(pos, 1):uint()
    local size = KEY_LEN_SIZE[key]
    if not size then
      local bt = tree:add(f.key, tvb:range(pos, 1))
      bt:add_proto_expert_info(ef.bad_key, string.format("Invalid key 0x%02X", key))
      tree:add(f.garbage, tvb:range(pos, stop - pos))
      info[#info + 1] = string.format("invalid key 0x%02X", key)
      return state
    end
    local clen = nil
    if pos + 1 + size <= stop then clen = block_content_length(tvb, pos + 1, size) end
    local content = pos + 1 + size
    local bend = clen and content + clen or stop
    local bt = tree:add(wq8, tvb:range(pos, math.min(bend, stop) - pos), KEY_NAMES[key])
    bt:add(f.key, tvb:range(pos, 1))
    if not clen then
      bt:add_proto_expert_info(ef.malformed, "Block length missing or unreadable")
      return state
    end
    if size == 7 then
      bt:add(f.block_len, tvb:range(pos + 1, size), clen)
    else
      bt:add_le(f.block_len, tvb:range(pos + 1, size))
    end
    local n = clen
    if bend > stop then
      bt:add_proto_expert_info(ef.malformed, string.format(
        "Block of %d bytes runs %d bytes past the frame", clen, bend - stop))
      n = stop - content
    end
    if n > 0 then
      if key == 0x01 then
        state.dst_name = add_name(bt, f.dst_name, tvb, content, n, true)
        bt:append_text(": " .. state.dst_name)
      elseif key == 0x02 then
        add_acv(bt, f.dst_acv, tvb, content, n)
      elseif key == 0x03 then
        local s = add_name(bt, f.dst_addr, tvb, content, n, true)
        bt:append_text(": " .. s)
      elseif key == 0xFD then
        dissect_callback(bt, tvb, content, n, state)
      elseif key == 0xFE or key == 0xFF then
        state.nat = true
        bt:add(f.nat_len, tvb:range(pos + 1, size), clen)
        dissect_payload(bt, tvb, content, n, info)
      else
        state.protocol_key = key
        bt:add(f.proto_key, tvb:range(pos, 1))
        bt:add(f.data, tvb:range(content, n))
        local meld = {}
        if raw(tvb, content, 4) == "MELD" then dissect_meld(bt, tvb, content, n, meld) end
      end
    elseif key == 0xFE or key == 0xFF then
      state.nat = true
      bt:add(f.nat_len, tvb:range(pos + 1, size), clen)
    elseif KEY_NAMES[key]:find("^Data") then
      state.protocol_key = key
      bt:add(f.proto_key, tvb:range(pos, 1))
    end
    if bend > stop then return state end
    pos = bend
  end
  return state
end

----------------------------------------------------------------------------
-- IPC records
----------------------------------------------------------------------------

local function dissect_routing_address(tree, tvb, off, stop)
  local t = tree:add(wq8, tvb:range(off, math.min(288, stop - off)), "Routing address")
  body_text(t, f.a_eyec, tvb, off, 8, stop, raw)
  body_le(t, f.a_type, tvb, off + 8, 4, stop)
  body_le(t, f.a_dst_id, tvb, off + 12, 4, stop)
  body_text(t, f.a_dst_addr, tvb, off + 16, 64, stop)
  body_text(t, f.a_dst_name, tvb, off + 80, 64, stop)
  body_le(t, f.a_dst_acv, tvb, off + 144, 4, stop)
  body_le(t, f.a_src_id, tvb, off + 148, 4, stop)
  body_text(t, f.a_src_addr, tvb, off + 152, 64, stop)
  body_text(t, f.a_src_name, tvb, off + 216, 64, stop)
  body_le(t, f.a_src_acv, tvb, off + 280, 4, stop)
  body_le(t, f.a_src_type, tvb, off + 284, 4, stop)
end

local function dissect_ipc(tree, tvb, off, stop, info)
  if stop - off < 16 then
    tree:add_proto_expert_info(ef.short, "IPC record shorter than its 16-byte type name")
    return
  end
  local t = tree:add(wq8, tvb:range(off, stop - off), "IPC record")
  local name = ztext(tvb, off, 16)
  t:add(f.ipc_type, tvb:range(off, 16), name)
  t:append_text(": " .. name)
  info[#info + 1] = name
  local b = off + 16
  if name == "ROUTENAT" then
    dissect_routing_address(t, tvb, b, stop)
    local len = body_le(t, f.ipc_len, tvb, off + 304, 4, stop)
    if len and len > 0 then
      local p = off + 308
      if p + len > stop then
        t:add_proto_expert_info(ef.malformed, "Routed payload runs past the frame")
      end
      dissect_payload(t, tvb, p, math.min(len, stop - p), info)
    end
  elseif name == "PASSFD" then
    body_le(t, f.ipc_fd, tvb, b, 4, stop)
    body_le(t, f.ipc_agent, tvb, b + 4, 4, stop)
    body_le(t, f.ipc_lsnr, tvb, b + 8, 4, stop)
    body_text(t, f.ipc_name, tvb, b + 12, 128, stop)
  elseif name == "LOGGING" then
    local nr = body_le(t, f.ipc_msgnr, tvb, b, 4, stop)
    body_text(t, f.ipc_insert, tvb, b + 4, 1024, stop)
    if nr then info[#info + 1] = "msgnr=" .. nr end
  elseif name == "CHANNEL_ACCEPT" then
    local id = body_le(t, f.ipc_chid, tvb, b, 4, stop)
    if id then info[#info + 1] = "ID=" .. id end
  elseif b < stop then
    -- CHANNEL_CLOSE carries a memory copy of a channel record; other
    -- records are unknown to the receiver's dispatcher.
    t:add(f.ipc_record, tvb:range(b, stop - b))
  end
end

----------------------------------------------------------------------------
-- One frame
----------------------------------------------------------------------------

local first_in_packet = true

local function set_info(pinfo, text)
  if first_in_packet then
    pinfo.cols.info:set(text)
    first_in_packet = false
  else
    pinfo.cols.info:append(" | " .. text)
  end
end

local function dissect_frame(tvb, pinfo, tree)
  pinfo.cols.protocol:set("WQ8")
  local total = tvb:len()
  local flen = frame_length(tvb, 0)
  local t = tree:add(wq8, tvb:range(0, total))
  if not header_valid(tvb, 0) or flen < HEADER_SIZE then
    t:append_text(", not a frame")
    t:add(f.garbage, tvb:range(0, total))
    t:add_proto_expert_info(ef.malformed, "No valid WQ8 header (length digits and \"WQ8:global\")")
    set_info(pinfo, "undecodable bytes")
    return total
  end
  t:add(f.length, tvb:range(0, 8), flen)
  t:add(f.eyecatch, tvb:range(8, 10), raw(tvb, 8, 10))
  add_text(t, f.hversion, tvb, 18, 3, raw)
  local proto = raw(tvb, 21, 3)
  add_text(t, f.protocol, tvb, 21, 3, raw)
  add_text(t, f.coding, tvb, 24, 8, raw)
  add_text(t, f.session, tvb, 32, 16, raw)
  local stop = math.min(flen, total)
  if total < flen then
    t:add_proto_expert_info(ef.short, string.format(
      "Frame of %d bytes, %d captured", flen, total))
  end
  if total < HEADER_SIZE then
    set_info(pinfo, "cut header")
    return total
  end
  local info = { proto }
  if proto == "IPC" then
    dissect_ipc(t, tvb, HEADER_SIZE, stop, info)
  else
    local state = dissect_key_blocks(t, tvb, HEADER_SIZE, stop, info)
    if state.dst_name and state.dst_name ~= "" then
      table.insert(info, 2, "to " .. state.dst_name)
    end
    if state.protocol_key then
      table.insert(info, 2, string.format("key 0x%02X", state.protocol_key))
    end
  end
  t:append_text(string.format(", %s, %d bytes", proto, flen))
  set_info(pinfo, table.concat(info, " "))
  return total
end

-- Never lets a Lua error escape: what cannot be decoded is reported.
local function dissect_frame_safely(tvb, pinfo, tree)
  local ok, result = pcall(dissect_frame, tvb, pinfo, tree)
  if ok then return result end
  local t = tree:add(wq8, tvb:range(0, tvb:len()))
  t:add_proto_expert_info(ef.malformed, "Frame could not be decoded: " .. tostring(result))
  return tvb:len()
end

-- PDU length for TCP reassembly: cLength of a valid header, else the rest
-- of the data (it is shown as undecodable, since no frame boundary is known).
local function pdu_length(tvb, pinfo, offset)
  local n = frame_length(tvb, offset)
  if n and n >= HEADER_SIZE then return n end
  return tvb:len() - offset
end

function wq8.dissector(tvb, pinfo, tree)
  first_in_packet = true
  if tvb:len() == 0 then return 0 end
  dissect_tcp_pdus(tvb, tree, 8, pdu_length, dissect_frame_safely, true)
  return tvb:len()
end

-- Heuristic: length digits, then the eye-catcher at offset 8.
local function heuristic(tvb, pinfo, tree)
  if tvb:len() < 18 or not header_valid(tvb, 0) then return false end
  pinfo.conversation = wq8
  wq8.dissector(tvb, pinfo, tree)
  return true
end
wq8:register_heuristic("tcp", heuristic)

local registered_port = 0
function wq8.prefs_changed()
  local tcp_port = DissectorTable.get("tcp.port")
  if registered_port ~= 0 then tcp_port:remove(registered_port, wq8) end
  registered_port = wq8.prefs.port
  if registered_port ~= 0 then tcp_port:add(registered_port, wq8) end
end

DissectorTable.get("tcp.port"):add_for_decode_as(wq8)
