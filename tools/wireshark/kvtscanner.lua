-- Wireshark decoder for the plug-in's two channels on 127.0.0.1: the command channel (TCP port
-- 2003; the plug-in sends command codes, some with an argument, and reads fixed-size replies)
-- and the data channel (TCP port 2002; the console sends typed messages, the plug-in answers
-- some with an acknowledgement and a reply record).
--
-- Load it with  tshark -X lua_script:kvtscanner.lua -r CAPTURE  or copy it into Wireshark's
-- personal Lua plugins folder.
--
-- Neither channel says how long all of its messages are: a reply's length follows from the
-- command before it, a point block's from the pose header before it. Each direction's stream is
-- therefore read in order on the first pass, and the state at the start of each call (the
-- replies awaited, the last header's point count) is kept by frame, so that the frames decode
-- the same when Wireshark dissects them again later, in any order.

local COMMAND_PORT = 2003
local DATA_PORT = 2002
local POINT_SIZE = 12
local MAX_BLOCK_POINTS = 10000

---------------------------------------------------------------------------------------------
-- Names, as the plug-in's code spells them.

local command_names = {
  [3872] = "CMD_SCAN_START", [3873] = "CMD_SCAN_STOP", [3904] = "CMD_ACQUIRE_STOP",
  [3905] = "CMD_ACQUIRE_START", [3920] = "CMD_MOVER_DIAGNOSTICS",
  [3921] = "CMD_MOVER_FUNCTIONS", [3923] = "CMD_HANDSHAKE_C", [3924] = "CMD_MOUSE_SET",
  [3925] = "CMD_HANDSHAKE_A", [3927] = "CMD_PROBE_QUERY", [3928] = "CMD_HANDSHAKE_B",
  [3936] = "CMD_SOUND_QUERY", [3937] = "CMD_SOUND_SET", [3952] = "CMD_SENSOR_SET",
  [3953] = "CMD_CALIBRATE", [3954] = "CMD_AUTOEXPOSURE", [3955] = "CMD_IDM_SETTINGS",
  [3956] = "CMD_TOOLBAR_SHOW", [3957] = "CMD_TOOLBAR_HIDE", [3958] = "CMD_STATUS_SHOW",
  [3959] = "CMD_STATUS_HIDE", [3961] = "CMD_MODEL_START", [3967] = "CMD_USER_OPTIONS",
  [3968] = "CMD_MOVER_CONNECT", [3969] = "CMD_MOVER_DISCONNECT", [3971] = "CMD_SENSOR_QUERY",
}
-- Codes followed by a 4-byte argument, and codes answered by a reply of so many bytes.
local command_argument = { [3924] = true, [3937] = true, [3961] = true }
local command_reply = {
  [3923] = 4, [3925] = 4, [3928] = 4, [3936] = 4, [3971] = 4, [3927] = 32,
}

local data_names = {
  [3328] = "DATA_BEGIN", [3344] = "DATA_SCAN_BEGIN", [3360] = "DATA_ACQUIRE_BEGIN",
  [3376] = "DATA_LASER_HEADER", [3392] = "DATA_LASER_POINTS",
  [3410] = "DATA_PROBE_VECTOR_HEADER", [3411] = "DATA_PROBE_VECTOR",
  [3412] = "DATA_PROBE_POINT_HEADER", [3413] = "DATA_PROBE_POINT", [3584] = "DATA_END",
  [3600] = "DATA_SCAN_END", [3616] = "DATA_ACQUIRE_END", [3874] = "DATA_OTHER_HEADER",
  [3875] = "DATA_OTHER_POINTS", [3904] = "DATA_ACQUIRE_OFF", [3905] = "DATA_ACQUIRE_ON",
  [3962] = "DATA_BUTTON_FINAL", [3963] = "DATA_BUTTON", [3986] = "DATA_ECHO_FINAL",
  [3987] = "DATA_ECHO",
}
local ack_names = {
  [3329] = "DATA_BEGIN ack", [3345] = "DATA_SCAN_BEGIN ack", [3361] = "DATA_ACQUIRE_BEGIN ack",
  [3585] = "DATA_END ack", [3601] = "DATA_SCAN_END ack", [3617] = "DATA_ACQUIRE_END ack",
  [3964] = "DATA_BUTTON ack", [3988] = "DATA_ECHO ack",
}
-- What follows each type on the wire: a fixed payload length, or "header"/"points".
local TEXT, TEXT_VALUE, HEADER = 260, 264, 296
local data_payload = {
  [3328] = TEXT_VALUE, [3344] = TEXT, [3360] = TEXT_VALUE, [3584] = TEXT_VALUE,
  [3600] = TEXT, [3616] = TEXT_VALUE, [3376] = "header", [3410] = "header",
  [3412] = "header", [3874] = "header", [3392] = "points", [3411] = "points",
  [3413] = "points", [3875] = "points", [3962] = 4, [3963] = 4, [3986] = 24, [3987] = 24,
}
-- The reply record after each acknowledgement.
local ack_reply = {
  [3329] = 268, [3345] = 264, [3361] = 268, [3585] = 268, [3601] = 264, [3617] = 268,
  [3964] = 8, [3988] = 28,
}

---------------------------------------------------------------------------------------------
-- Fields.

local kvtcmd = Proto("kvtcmd", "KvtScanner command channel")
local cmd = {
  code = ProtoField.int32("kvtcmd.code", "Command", base.DEC, command_names),
  argument = ProtoField.int32("kvtcmd.argument", "Argument"),
  reply_to = ProtoField.int32("kvtcmd.reply_to", "Reply to", base.DEC, command_names),
  reply_value = ProtoField.int32("kvtcmd.reply.value", "Reply value"),
  reply_bytes = ProtoField.bytes("kvtcmd.reply.bytes", "Reply bytes"),
  probe_diameter = ProtoField.float("kvtcmd.probe.diameter", "Probe diameter"),
  unexpected = ProtoField.bytes("kvtcmd.unexpected", "Bytes without a command awaiting them"),
}
kvtcmd.fields = { cmd.code, cmd.argument, cmd.reply_to, cmd.reply_value, cmd.reply_bytes,
                  cmd.probe_diameter, cmd.unexpected }

local kvtdata = Proto("kvtdata", "KvtScanner data channel")
local data = {
  type = ProtoField.int32("kvtdata.type", "Message type", base.DEC, data_names),
  ack = ProtoField.int32("kvtdata.ack", "Acknowledgement", base.DEC, ack_names),
  tag = ProtoField.int32("kvtdata.text.tag", "Text tag"),
  text = ProtoField.stringz("kvtdata.text", "Text"),
  value = ProtoField.int32("kvtdata.text.value", "Text value"),
  reply_result = ProtoField.int32("kvtdata.reply.result", "Reply result"),
  reply = ProtoField.bytes("kvtdata.reply", "Reply record"),
  button = ProtoField.int32("kvtdata.button", "Button code"),
  echo = ProtoField.bytes("kvtdata.echo", "Echo payload"),
  pose_count = ProtoField.int32("kvtdata.pose.count", "Point count"),
  pose_mark = ProtoField.int32("kvtdata.pose.mark", "Mark"),
  pose_x = ProtoField.float("kvtdata.pose.x", "X"),
  pose_y = ProtoField.float("kvtdata.pose.y", "Y"),
  pose_z = ProtoField.float("kvtdata.pose.z", "Z"),
  pose_rx = ProtoField.float("kvtdata.pose.rx", "Rx (degrees)"),
  pose_ry = ProtoField.float("kvtdata.pose.ry", "Ry (degrees)"),
  pose_rz = ProtoField.float("kvtdata.pose.rz", "Rz (degrees)"),
  points_count = ProtoField.int32("kvtdata.points.count", "Points"),
  points_dropped = ProtoField.bool("kvtdata.points.dropped", "Count outside 0 to 10000: read and dropped"),
  first_x = ProtoField.float("kvtdata.points.first.x", "First point X"),
  first_y = ProtoField.float("kvtdata.points.first.y", "First point Y"),
  first_z = ProtoField.float("kvtdata.points.first.z", "First point Z"),
  last_x = ProtoField.float("kvtdata.points.last.x", "Last point X"),
  last_y = ProtoField.float("kvtdata.points.last.y", "Last point Y"),
  last_z = ProtoField.float("kvtdata.points.last.z", "Last point Z"),
  block = ProtoField.bytes("kvtdata.points.block", "Point block"),
}
local data_list = {}
for _, field in pairs(data) do data_list[#data_list + 1] = field end
kvtdata.fields = data_list

---------------------------------------------------------------------------------------------
-- Reading a stream in order.

-- Per conversation and direction: the state as the stream's reading left it (live), and the
-- state each call started from, by frame number and call within the frame (at).
local streams = {}

local function copy(t)
  local c = {}
  for k, v in pairs(t) do
    if type(v) == "table" then c[k] = copy(v) else c[k] = v end
  end
  return c
end

local call_frame, call_index = -1, 0

-- The state this call starts from: on the first pass the live state of its direction, kept for
-- later passes; afterwards the kept one. key names the conversation; initial makes a new state.
local function state_at_start(pinfo, key, initial)
  local stream = streams[key]
  if stream == nil then
    stream = { live = initial(), at = {} }
    streams[key] = stream
  end
  if call_frame ~= pinfo.number then call_frame, call_index = pinfo.number, 0 end
  call_index = call_index + 1
  local at = pinfo.number .. ":" .. call_index
  if not pinfo.visited then stream.at[at] = copy(stream.live) end
  return stream, copy(stream.at[at] or stream.live)
end

-- Splits tvb into messages: measure(tvb, offset, state) gives a message's length (nil while its
-- first bytes are missing); decode(tvb range, tree, state) shows it and advances the state.
-- A message that continues in a later segment is left to TCP's reassembly.
local function read_stream(tvb, pinfo, tree, stream, state, measure, decode)
  local offset, length = 0, tvb:len()
  local names = {}
  while offset < length do
    local need = measure(tvb, offset, state)
    if need == nil or offset + need > length then
      pinfo.desegment_offset = offset
      pinfo.desegment_len = need and (offset + need - length) or DESEGMENT_ONE_MORE_SEGMENT
      break
    end
    names[#names + 1] = decode(tvb:range(offset, need), tree, state)
    offset = offset + need
  end
  if #names > 4 then
    pinfo.cols.info = table.concat(names, ", ", 1, 4) .. string.format(" and %d more", #names - 4)
  elseif #names > 0 then
    pinfo.cols.info = table.concat(names, ", ")
  end
  if not pinfo.visited then stream.live = state end
  -- Everything is taken: what is left over is waiting for reassembly.
  return length
end

local function key_of(pinfo, server_port)
  local client = pinfo.src_port == server_port and pinfo.dst_port or pinfo.src_port
  return server_port .. ":" .. client
end

---------------------------------------------------------------------------------------------
-- Command channel. The two directions share one state: the replies the commands await.

-- awaited[first..last]: the codes whose replies are still to come, oldest first.
local function command_state() return { awaited = {}, first = 1, last = 0 } end

local function measure_command(tvb, offset, state)
  if tvb:len() - offset < 4 then return nil end
  return command_argument[tvb:range(offset, 4):le_int()] and 8 or 4
end

local function decode_command(range, tree, state)
  local code = range:range(0, 4):le_int()
  local name = command_names[code] or "unknown command"
  local item = tree:add(kvtcmd, range, name)
  item:add_le(cmd.code, range:range(0, 4))
  if range:len() == 8 then
    item:add_le(cmd.argument, range:range(4, 4))
    item:append_text(" " .. range:range(4, 4):le_int())
  end
  if command_reply[code] then
    state.last = state.last + 1
    state.awaited[state.last] = code
  end
  return name
end

local function measure_reply(tvb, offset, state)
  local code = state.awaited[state.first]
  if code == nil then return tvb:len() - offset end
  return command_reply[code]
end

local function decode_reply(range, tree, state)
  local code = state.awaited[state.first]
  if code == nil then
    tree:add(kvtcmd, range, "Bytes without a command awaiting them"):add(cmd.unexpected, range)
    return "unexpected bytes"
  end
  state.awaited[state.first] = nil
  state.first = state.first + 1
  local item = tree:add(kvtcmd, range, "Reply to " .. command_names[code])
  item:add(cmd.reply_to, code):set_generated()
  if range:len() == 4 then
    item:add_le(cmd.reply_value, range)
    item:append_text(": " .. range:le_int())
  else
    item:add(cmd.reply_bytes, range)
    item:add_le(cmd.probe_diameter, range:range(4, 4))
    item:append_text(string.format(": diameter %g", range:range(4, 4):le_float()))
  end
  return "reply to " .. command_names[code]
end

function kvtcmd.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "KVTCMD"
  local stream, state = state_at_start(pinfo, key_of(pinfo, COMMAND_PORT), command_state)
  if pinfo.dst_port == COMMAND_PORT then
    return read_stream(tvb, pinfo, tree, stream, state, measure_command, decode_command)
  end
  return read_stream(tvb, pinfo, tree, stream, state, measure_reply, decode_reply)
end

---------------------------------------------------------------------------------------------
-- Data channel. The console's direction keeps the last pose header's point count.

local function data_state() return { points = 0 } end

local function block_length(points)
  if points < 0 then return 0 end
  return points * POINT_SIZE
end

local function measure_message(tvb, offset, state)
  if tvb:len() - offset < 4 then return nil end
  local payload = data_payload[tvb:range(offset, 4):le_int()]
  if payload == nil then return 4 end
  if payload == "header" then return 4 + HEADER end
  if payload == "points" then return 4 + block_length(state.points) end
  return 4 + payload
end

local function add_text(item, range, with_value)
  item:add_le(data.tag, range:range(0, 4))
  item:add(data.text, range:range(4, 256))
  if with_value then item:add_le(data.value, range:range(260, 4)) end
end

local function decode_message(range, tree, state)
  local code = range:range(0, 4):le_int()
  local name = data_names[code] or "unknown type"
  local item = tree:add(kvtdata, range, name)
  item:add_le(data.type, range:range(0, 4))
  local payload = data_payload[code]
  local body = range:len() > 4 and range:range(4) or nil
  if payload == TEXT or payload == TEXT_VALUE then
    add_text(item, body, payload == TEXT_VALUE)
  elseif payload == "header" then
    state.points = body:range(260, 4):le_int()
    item:add_le(data.pose_count, body:range(260, 4))
    item:add_le(data.pose_mark, body:range(264, 4))
    item:add_le(data.pose_x, body:range(272, 4))
    item:add_le(data.pose_y, body:range(276, 4))
    item:add_le(data.pose_z, body:range(280, 4))
    item:add_le(data.pose_rx, body:range(284, 4))
    item:add_le(data.pose_ry, body:range(288, 4))
    item:add_le(data.pose_rz, body:range(292, 4))
    item:append_text(string.format(": %d points at (%g, %g, %g)", state.points,
                                   body:range(272, 4):le_float(), body:range(276, 4):le_float(),
                                   body:range(280, 4):le_float()))
  elseif payload == "points" then
    item:add(data.points_count, state.points):set_generated()
    item:append_text(": " .. state.points .. " points")
    if state.points < 0 or state.points > MAX_BLOCK_POINTS then
      item:add(data.points_dropped, true):set_generated()
    end
    if body ~= nil then
      item:add(data.block, body)
      local last = body:len() - POINT_SIZE
      item:add_le(data.first_x, body:range(0, 4))
      item:add_le(data.first_y, body:range(4, 4))
      item:add_le(data.first_z, body:range(8, 4))
      item:add_le(data.last_x, body:range(last, 4))
      item:add_le(data.last_y, body:range(last + 4, 4))
      item:add_le(data.last_z, body:range(last + 8, 4))
    end
  elseif payload == 4 then
    item:add_le(data.button, body)
    item:append_text(": " .. body:le_int())
  elseif payload == 24 then
    item:add(data.echo, body)
  end
  return name
end

local function measure_answer(tvb, offset, state)
  if tvb:len() - offset < 4 then return nil end
  local reply = ack_reply[tvb:range(offset, 4):le_int()]
  if reply == nil then return tvb:len() - offset end
  return 4 + reply
end

local function decode_answer(range, tree, state)
  local code = range:range(0, 4):le_int()
  local item = tree:add(kvtdata, range, ack_names[code] or "unknown answer")
  item:add_le(data.ack, range:range(0, 4))
  local name = ack_names[code] or "unknown answer"
  if ack_reply[code] == nil or range:len() <= 4 then return name end
  local reply = range:range(4)
  item:add(data.reply, reply)
  item:add_le(data.reply_result, reply:range(0, 4))
  if code == 3964 then
    item:add_le(data.button, reply:range(4, 4))
  elseif code == 3988 then
    item:add(data.echo, reply:range(4))
  else
    add_text(item, reply:range(4), reply:len() == 268)
  end
  return name
end

function kvtdata.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "KVTDATA"
  local direction = pinfo.dst_port == DATA_PORT and ">" or "<"
  local stream, state = state_at_start(pinfo, key_of(pinfo, DATA_PORT) .. direction, data_state)
  if direction == ">" then
    return read_stream(tvb, pinfo, tree, stream, state, measure_message, decode_message)
  end
  return read_stream(tvb, pinfo, tree, stream, state, measure_answer, decode_answer)
end

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add(COMMAND_PORT, kvtcmd)
tcp_port:add(DATA_PORT, kvtdata)
