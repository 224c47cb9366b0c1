-- Wireshark dissector for the Hollowmarch sync protocol: the frames the
-- desktop peer and the device exchange over one TCP connection.
--
--   wireshark -X lua_script:tools/wireshark/hollowmarch.lua
--   tshark -X lua_script:hollowmarch.lua -o hollowmarch.port:40141 -Y hollowmarch
--
-- Every message is a frame: a first byte (the peer's message type, or the
-- device's reply status or change frame), a 16-bit big-endian length that
-- counts the 3 header bytes, and a payload that is a run of items (tag,
-- 16-bit big-endian length counting the 3 item-header bytes, payload). A
-- hello and its reply carry 4 fixed bytes before their items.
--
-- Frames are reassembled across TCP segments by their length field, and a
-- segment may hold several. Requests go to the device's port, replies and
-- change frames come from it; a reply is read as an answer to the request
-- before it on the same connection (or, when the capture does not hold that
-- request, by its shape).
--
-- Nothing is read past the captured bytes: a frame cut short, a length
-- under the header, an item whose length breaks the run, and a record whose
-- offsets point outside it are shown as expert info.

local hm = Proto("hollowmarch", "Hollowmarch sync protocol")

local DEFAULT_PORT = 40141
local HEADER_BYTES = 3        -- frame and item header: first byte, length
local DEVICE_BUFFER_BYTES = 2048
local HELLO_VERSION = 0x10
local IDENTIFICATION = "HM-HPCSERV-10"
local CHANGE_RECORD_BYTES = 21
local RECORD_HEADER_BYTES = 12
local ENTRY_BYTES = 16
local QUERY_ITEM_MIN = 9      -- a query's "I" item, its header included

local TAG_IDENTITY = 0x46
local TAG_HISTORY = 0x48
local TAG_INFO = 0x49

local MSG_HELLO = 0x80
local MSG_END_SESSION = 0x81
local MSG_COMMAND = 0x82
local MSG_QUERY = 0x83
local MSG_CHANGES = 0x02
local MSG_CHANGES_LAST = 0x82
local ACK_CONTINUE = 0x90
local STATUS_OK = 0xA0

------------------------------------------------------------------------
-- Names, one table per byte value

-- First bytes the peer sends.
local request_names = {
  [0x80] = "hello",
  [0x81] = "end of session",
  [0x82] = "command",
  [0x83] = "query",
  [0x90] = "acknowledge",
  [0xA0] = "acknowledge (done)",
}

-- First bytes the device sends.
local device_names = {
  [0x02] = "changes",
  [0x82] = "changes, the last frame",
  [0xA0] = "done",
  [0xC0] = "malformed or out of range",
  [0xD1] = "unrecognised",
  [0xD3] = "refused in this state",
}

local tag_names = {
  [0x46] = "F, identification",
  [0x48] = "H, change records (more frames follow)",
  [0x49] = "I, parameters or results",
}

local query_names = {
  [4] = "sync state",
  [5] = "changes",
  [8] = "time zone",
  [15] = "free space",
}

local command_names = {
  [2] = "suspend capture",
  [3] = "flush",
  [6] = "enable class",
  [7] = "resume capture",
  [9] = "alarm",
  [10] = "open database",
  [11] = "close database",
  [12] = "seek",
  [13] = "read records",
  [16] = "forget change",
  [17] = "disable class",
}

-- The wire's class index and the data class it names.
local class_names = {
  [0] = "class 24",
  [1] = "class 25",
  [2] = "class 26",
  [3] = "class 291",
  [4] = "class 5454",
}

-- Volumes of the free-space query; any other index names no directory.
local volume_names = {
  [0] = "Storage Card",
  [1] = "Program Files",
}

local function volume_text(index)
  return volume_names[index] or "no directory"
end

local answer_names = {
  [0] = "complete",
  [1] = "untracked",
  [2] = "incomplete",
}

local change_type_names = {
  [0] = "add",
  [1] = "delete",
  [3] = "modify",
}

local seek_names = {
  [0x01] = "by object identifier",
  [0x02] = "from the beginning",
  [0x04] = "back from the end",
  [0x08] = "from the current record",
  [0x10] = "value smaller",
  [0x20] = "value first equal",
  [0x40] = "value greater",
  [0x80] = "value next equal",
}

local prop_type_names = {
  [2] = "I2",
  [3] = "I4",
  [5] = "R8",
  [11] = "BOOL",
  [18] = "UI2",
  [19] = "UI4",
  [31] = "LPWSTR",
  [64] = "FILETIME",
  [65] = "BLOB",
}

------------------------------------------------------------------------
-- Fields

local f = {
  type = ProtoField.uint8("hollowmarch.type", "Type", base.HEX),
  length = ProtoField.uint16("hollowmarch.length", "Length", base.DEC),
  from_device = ProtoField.bool("hollowmarch.from_device", "From the device"),
  request_in = ProtoField.framenum("hollowmarch.request_in", "Answers the request in"),
  data = ProtoField.bytes("hollowmarch.data", "Bytes"),

  item = ProtoField.none("hollowmarch.item", "Item"),
  item_tag = ProtoField.uint8("hollowmarch.item.tag", "Tag", base.HEX, tag_names),
  item_length = ProtoField.uint16("hollowmarch.item.length", "Item length", base.DEC),
  item_data = ProtoField.bytes("hollowmarch.item.data", "Item payload"),

  hello_version = ProtoField.uint8("hollowmarch.hello.version", "Version", base.HEX),
  hello_unused = ProtoField.uint8("hollowmarch.hello.unused", "Not read", base.HEX),
  hello_buffer = ProtoField.uint16("hollowmarch.hello.buffer_size", "Buffer size", base.DEC),
  hello_id = ProtoField.string("hollowmarch.hello.identification", "Identification"),
  hello_info = ProtoField.uint8("hollowmarch.hello.info", "Reply info", base.HEX),

  end_shutdown = ProtoField.uint8("hollowmarch.end.shutdown", "Close the application", base.DEC),

  query_subcode = ProtoField.uint8("hollowmarch.query.subcode", "Query", base.DEC, query_names),
  query_class = ProtoField.uint8("hollowmarch.query.class_index", "Class index", base.DEC, class_names),
  query_volume = ProtoField.uint8("hollowmarch.query.volume", "Volume index", base.DEC),
  query_time = ProtoField.uint32("hollowmarch.query.time", "Time (seconds since 1970)", base.DEC),
  query_unused = ProtoField.bytes("hollowmarch.query.unused", "Not read"),
  query_answer = ProtoField.uint8("hollowmarch.query.answer", "Answer", base.DEC, answer_names),

  tz_bias = ProtoField.int32("hollowmarch.tz.bias", "Bias (minutes)", base.DEC),
  tz_std_name = ProtoField.string("hollowmarch.tz.standard_name", "Standard name"),
  tz_std_date = ProtoField.bytes("hollowmarch.tz.standard_date", "Standard date (SYSTEMTIME)"),
  tz_std_bias = ProtoField.int32("hollowmarch.tz.standard_bias", "Standard bias (minutes)", base.DEC),
  tz_dst_name = ProtoField.string("hollowmarch.tz.daylight_name", "Daylight name"),
  tz_dst_date = ProtoField.bytes("hollowmarch.tz.daylight_date", "Daylight date (SYSTEMTIME)"),
  tz_dst_bias = ProtoField.int32("hollowmarch.tz.daylight_bias", "Daylight bias (minutes)", base.DEC),

  free_volume = ProtoField.uint16("hollowmarch.free.volume", "Volume index", base.DEC),
  free_available = ProtoField.uint64("hollowmarch.free.available", "Bytes available to the caller", base.DEC),
  free_total = ProtoField.uint64("hollowmarch.free.total", "Total bytes", base.DEC),
  free_free = ProtoField.uint64("hollowmarch.free.free", "Total free bytes", base.DEC),

  command_subcode = ProtoField.uint8("hollowmarch.command.subcode", "Command", base.DEC, command_names),
  command_class = ProtoField.uint8("hollowmarch.command.class_index", "Class index", base.DEC, class_names),
  command_oid_rec = ProtoField.uint32("hollowmarch.command.oid_rec", "Record object identifier", base.HEX),
  command_unused = ProtoField.uint8("hollowmarch.command.unused", "Not used", base.HEX),
  command_time = ProtoField.uint32("hollowmarch.command.time", "Device time (seconds since 1970)", base.DEC),

  alarm_handle = ProtoField.uint32("hollowmarch.alarm.handle", "Notification handle", base.HEX),
  alarm_set = ProtoField.uint8("hollowmarch.alarm.set", "Set", base.DEC),
  alarm_flags = ProtoField.uint8("hollowmarch.alarm.action_flags", "Action flags", base.HEX),
  alarm_year = ProtoField.uint16("hollowmarch.alarm.year", "Year", base.DEC),
  alarm_month = ProtoField.uint16("hollowmarch.alarm.month", "Month", base.DEC),
  alarm_wday = ProtoField.uint16("hollowmarch.alarm.day_of_week", "Day of the week", base.DEC),
  alarm_day = ProtoField.uint16("hollowmarch.alarm.day", "Day", base.DEC),
  alarm_hour = ProtoField.uint16("hollowmarch.alarm.hour", "Hour", base.DEC),
  alarm_minute = ProtoField.uint16("hollowmarch.alarm.minute", "Minute", base.DEC),
  alarm_second = ProtoField.uint16("hollowmarch.alarm.second", "Second", base.DEC),
  alarm_ms = ProtoField.uint16("hollowmarch.alarm.milliseconds", "Milliseconds", base.DEC),
  alarm_app_len = ProtoField.uint16("hollowmarch.alarm.application_length", "Application name length", base.DEC),
  alarm_title_len = ProtoField.uint16("hollowmarch.alarm.title_length", "Dialog title length", base.DEC),
  alarm_text_len = ProtoField.uint16("hollowmarch.alarm.text_length", "Dialog text length", base.DEC),
  alarm_sound_len = ProtoField.uint16("hollowmarch.alarm.sound_length", "Sound name length", base.DEC),
  alarm_app = ProtoField.string("hollowmarch.alarm.application", "Application name"),
  alarm_title = ProtoField.string("hollowmarch.alarm.title", "Dialog title"),
  alarm_text = ProtoField.string("hollowmarch.alarm.text", "Dialog text"),
  alarm_sound = ProtoField.string("hollowmarch.alarm.sound", "Sound name"),

  db_oid = ProtoField.uint32("hollowmarch.db.oid", "Database object identifier", base.HEX),
  db_flags = ProtoField.uint32("hollowmarch.db.flags", "Open flags", base.HEX),
  db_unused = ProtoField.bytes("hollowmarch.db.unused", "Not read"),
  db_name = ProtoField.string("hollowmarch.db.name", "Database name"),
  db_handle = ProtoField.uint32("hollowmarch.db.handle", "Database handle", base.HEX),
  db_seek_type = ProtoField.uint32("hollowmarch.db.seek_type", "Seek type", base.HEX, seek_names),
  db_seek_value = ProtoField.uint32("hollowmarch.db.seek_value", "Seek value", base.HEX),
  db_index = ProtoField.uint32("hollowmarch.db.index", "Record index", base.DEC),
  db_oid_rec = ProtoField.uint32("hollowmarch.db.oid_rec", "Record object identifier", base.HEX),
  db_count = ProtoField.uint32("hollowmarch.db.record_count", "Records", base.DEC),
  db_size = ProtoField.uint32("hollowmarch.db.records_size", "Record bytes", base.DEC),

  record = ProtoField.none("hollowmarch.record", "Record"),
  record_oid = ProtoField.uint32("hollowmarch.record.oid", "Object identifier", base.HEX),
  record_props = ProtoField.uint32("hollowmarch.record.prop_count", "Properties", base.DEC),
  record_block = ProtoField.uint32("hollowmarch.record.block_size", "Property block size", base.DEC),

  prop = ProtoField.none("hollowmarch.prop", "Property"),
  prop_id = ProtoField.uint32("hollowmarch.prop.id", "Property identifier", base.HEX),
  prop_type = ProtoField.uint16("hollowmarch.prop.type", "Type", base.DEC, prop_type_names),
  prop_len = ProtoField.uint16("hollowmarch.prop.len_data", "wLenData", base.DEC),
  prop_flags = ProtoField.uint16("hollowmarch.prop.flags", "wFlags", base.HEX),
  prop_i2 = ProtoField.int16("hollowmarch.prop.i2", "Value (I2)", base.DEC),
  prop_ui2 = ProtoField.uint16("hollowmarch.prop.ui2", "Value (UI2)", base.DEC),
  prop_i4 = ProtoField.int32("hollowmarch.prop.i4", "Value (I4)", base.DEC),
  prop_ui4 = ProtoField.uint32("hollowmarch.prop.ui4", "Value (UI4)", base.DEC),
  prop_string_offset = ProtoField.uint32("hollowmarch.prop.string_offset", "String offset", base.DEC),
  prop_string = ProtoField.string("hollowmarch.prop.string", "Value (LPWSTR)"),
  prop_blob_count = ProtoField.uint32("hollowmarch.prop.blob_count", "Blob bytes", base.DEC),
  prop_blob_offset = ProtoField.uint32("hollowmarch.prop.blob_offset", "Blob offset", base.DEC),
  prop_blob = ProtoField.bytes("hollowmarch.prop.blob", "Value (BLOB)"),
  prop_value = ProtoField.bytes("hollowmarch.prop.value", "Value (as the device holds it)"),
  prop_data = ProtoField.bytes("hollowmarch.prop.data", "String and blob data"),

  change = ProtoField.none("hollowmarch.change", "Change"),
  change_count = ProtoField.uint32("hollowmarch.change.count", "Change records", base.DEC),
  change_type = ProtoField.uint8("hollowmarch.change.type", "Change type", base.DEC, change_type_names),
  change_time = ProtoField.uint32("hollowmarch.change.time", "Time (seconds since 1970)", base.DEC),
  change_reserved = ProtoField.uint32("hollowmarch.change.reserved", "Reserved", base.HEX),
  change_uid = ProtoField.uint32("hollowmarch.change.uid", "Uid", base.HEX),
  change_oid_db = ProtoField.uint32("hollowmarch.change.oid_db", "Database object identifier", base.HEX),
  change_oid_rec = ProtoField.uint32("hollowmarch.change.oid_rec", "Record object identifier", base.HEX),
}
hm.fields = f

local e = {
  frame_length = ProtoExpert.new("hollowmarch.frame_length.bad", "Frame length under the 3 header bytes",
                                 expert.group.MALFORMED, expert.severity.ERROR),
  cut_short = ProtoExpert.new("hollowmarch.cut_short", "Frame cut short",
                              expert.group.MALFORMED, expert.severity.ERROR),
  item_length = ProtoExpert.new("hollowmarch.item_length.bad", "Item length breaks the run",
                                expert.group.MALFORMED, expert.severity.ERROR),
  too_short = ProtoExpert.new("hollowmarch.too_short", "Too short for its fields",
                              expert.group.MALFORMED, expert.severity.ERROR),
  record = ProtoExpert.new("hollowmarch.record.bad", "Record does not hold together",
                           expert.group.MALFORMED, expert.severity.ERROR),
  change = ProtoExpert.new("hollowmarch.change.bad", "Change frame out of shape",
                           expert.group.MALFORMED, expert.severity.ERROR),
  refused = ProtoExpert.new("hollowmarch.refused", "The device refuses this",
                            expert.group.PROTOCOL, expert.severity.WARN),
  unknown = ProtoExpert.new("hollowmarch.unknown", "Not known to this dissector",
                            expert.group.UNDECODED, expert.severity.NOTE),
}
hm.experts = e

hm.prefs.port = Pref.uint("TCP port", DEFAULT_PORT, "The TCP port the device listens on")

------------------------------------------------------------------------
-- Helpers

local function name_of(names, value, unknown)
  return names[value] or (unknown or "unknown")
end

local function secs_text(secs)
  return os.date("!%Y-%m-%d %H:%M:%S UTC", secs)
end

local function utf8_char(u)
  if u < 0x80 then
    return string.char(u)
  elseif u < 0x800 then
    return string.char(0xC0 + math.floor(u / 0x40), 0x80 + u % 0x40)
  elseif u < 0x10000 then
    return string.char(0xE0 + math.floor(u / 0x1000), 0x80 + math.floor(u / 0x40) % 0x40, 0x80 + u % 0x40)
  end
  return string.char(0xF0 + math.floor(u / 0x40000), 0x80 + math.floor(u / 0x1000) % 0x40,
                     0x80 + math.floor(u / 0x40) % 0x40, 0x80 + u % 0x40)
end

-- The UTF-16LE string at the start of `raw` (a Lua string of bytes), up to
-- its NUL unit, as UTF-8; and the bytes it takes with its NUL, or nil when
-- `raw` holds no NUL unit.
local function utf16le(raw)
  local out = {}
  local i, n = 1, #raw
  while i + 1 <= n do
    local u = raw:byte(i) + raw:byte(i + 1) * 256
    i = i + 2
    if u == 0 then
      return table.concat(out), i - 1
    end
    if u >= 0xD800 and u <= 0xDBFF and i + 1 <= n then
      local low = raw:byte(i) + raw:byte(i + 1) * 256
      if low >= 0xDC00 and low <= 0xDFFF then
        u = 0x10000 + (u - 0xD800) * 0x400 + (low - 0xDC00)
        i = i + 2
      end
    end
    out[#out + 1] = utf8_char(u)
  end
  return table.concat(out), nil
end

-- A cursor over the bytes [at, stop) of `tvb` that adds fields one after
-- the other under `tree`. A field whose bytes are not all there is not
-- added; the first such field adds one expert info and stops the cursor.
local Cursor = {}
Cursor.__index = Cursor

local function cursor(tvb, at, stop, tree, what)
  return setmetatable({ tvb = tvb, at = at, stop = stop, tree = tree, what = what, short = false }, Cursor)
end

function Cursor:left()
  return self.stop - self.at
end

-- Checks that `n` bytes are there; false (once telling so) when not.
function Cursor:need(n, field_name)
  if self.short then return false end
  if self:left() < n then
    self.tree:add_proto_expert_info(e.too_short, string.format("%s too short: %s needs %d bytes, %d left",
                                                               self.what, field_name, n, self:left()))
    self.short = true
    return false
  end
  return true
end

-- Adds `field` over the next `n` bytes (little-endian when `le`); the
-- range and its tree item, or nil when the bytes are not there.
function Cursor:add(field, n, field_name, le)
  if not self:need(n, field_name) then return nil end
  local range = self.tvb(self.at, n)
  local item = le and self.tree:add_le(field, range) or self.tree:add(field, range)
  self.at = self.at + n
  return range, item
end

function Cursor:uint(field, n, field_name)
  local range, item = self:add(field, n, field_name)
  return range and range:uint(), item
end

-- The rest of the cursor's bytes as one field, when there are any.
function Cursor:rest(field)
  if self.short or self:left() <= 0 then return end
  self.tree:add(field, self.tvb(self.at, self:left()))
  self.at = self.stop
end

-- A time field in seconds since 1970, told as a date too.
function Cursor:time(field, field_name)
  local secs, item = self:uint(field, 4, field_name)
  if secs then item:append_text(" (" .. secs_text(secs) .. ")") end
  return secs
end

-- Adds the items of the run [at, stop) of `tvb` under `tree`; returns a
-- list of {tag, at, length, payload, payload_len, tree}. An item whose
-- length is under its header or runs past the run ends the list with an
-- expert info: the bytes after it cannot be told apart.
local function dissect_items(tvb, at, stop, tree)
  local items = {}
  while at < stop do
    local left = stop - at
    if left < HEADER_BYTES then
      tree:add_tvb_expert_info(e.item_length, tvb(at, left),
                               string.format("Item header cut short: %d bytes left in the run", left))
      break
    end
    local tag = tvb(at, 1):uint()
    local length = tvb(at + 1, 2):uint()
    if tag >= 0x80 then
      -- Only tags below 0x80 are known to carry a length; neither side
      -- sends others.
      local t = tree:add(f.item, tvb(at, left))
      t:set_text(string.format("Item 0x%02x of unknown layout, and the rest of the run", tag))
      t:add(f.item_tag, tvb(at, 1))
      t:add(f.item_data, tvb(at, left))
      t:add_proto_expert_info(e.unknown, string.format("Item tag 0x%02x: no known length field", tag))
      break
    end
    if length < HEADER_BYTES or length > left then
      local t = tree:add(f.item, tvb(at, left))
      t:set_text(string.format("Item 0x%02x, length %d breaks the run", tag, length))
      t:add(f.item_tag, tvb(at, 1))
      t:add(f.item_length, tvb(at + 1, 2))
      t:add_tvb_expert_info(e.item_length, tvb(at + 1, 2),
                            string.format("Item 0x%02x: length %d, %s", tag, length,
                                          length < HEADER_BYTES and "under the 3 header bytes"
                                          or string.format("but only %d bytes left in the run", left)))
      break
    end
    local t = tree:add(f.item, tvb(at, length))
    local letter = (tag >= 0x21 and tag <= 0x7E) and string.char(tag) or string.format("0x%02x", tag)
    t:set_text(string.format("Item %s, %d bytes", letter, length - HEADER_BYTES))
    t:add(f.item_tag, tvb(at, 1))
    t:add(f.item_length, tvb(at + 1, 2))
    items[#items + 1] = { tag = tag, at = at, length = length, payload = at + HEADER_BYTES,
                          payload_len = length - HEADER_BYTES, tree = t }
    at = at + length
  end
  return items
end

local function find_item(items, tag)
  for _, item in ipairs(items) do
    if item.tag == tag then return item end
  end
  return nil
end

-- Items whose content no message function took are shown as bytes.
local function show_other_items(tvb, items, taken)
  for _, item in ipairs(items) do
    if item ~= taken and item.payload_len > 0 then
      item.tree:add(f.item_data, tvb(item.payload, item.payload_len))
    end
  end
end

-- A cursor over the payload of the "I" item, or nil (with expert info)
-- when there is none.
local function info_cursor(tvb, items, tree, what)
  local item = find_item(items, TAG_INFO)
  show_other_items(tvb, items, item)
  if not item then
    tree:add_proto_expert_info(e.too_short, what .. " without an \"I\" item")
    return nil
  end
  return cursor(tvb, item.payload, item.payload + item.payload_len, item.tree, what), item
end

------------------------------------------------------------------------
-- Messages from the peer

local function dissect_hello(tvb, p, tree, ctx)
  local c = cursor(tvb, p.at, p.stop, tree, "Hello")
  local version, vitem = c:uint(f.hello_version, 1, "the version")
  c:add(f.hello_unused, 1, "a byte not read")
  local size, sitem = c:uint(f.hello_buffer, 2, "the buffer size")
  if version and version ~= HELLO_VERSION then
    vitem:add_proto_expert_info(e.refused, "The device answers 0xC0: the version must be 0x10")
  end
  if size and size < DEVICE_BUFFER_BYTES then
    sitem:add_proto_expert_info(e.refused, "The device answers 0xC0: the buffer must hold 2048 bytes")
  end
  if c.short then return "hello" end
  local items = dissect_items(tvb, c.at, c.stop, tree)
  local id = find_item(items, TAG_IDENTITY)
  show_other_items(tvb, items, id)
  if not id then
    tree:add_proto_expert_info(e.refused, "The device answers 0xD3: no \"F\" item")
    return "hello"
  end
  local text = id.payload_len > 0 and tvb(id.payload, id.payload_len):string() or ""
  if id.payload_len > 0 then
    id.tree:add(f.hello_id, tvb(id.payload, id.payload_len), text)
  end
  if text:sub(1, #IDENTIFICATION) ~= IDENTIFICATION then
    id.tree:add_proto_expert_info(e.refused, "The device answers 0xD3: the identification must begin " ..
                                  IDENTIFICATION)
  end
  return "hello, " .. text
end

local function dissect_end_session(tvb, p, tree, ctx)
  if p.stop == p.at then return "end of session" end
  local items = dissect_items(tvb, p.at, p.stop, tree)
  local first = items[1]
  show_other_items(tvb, items, first)
  if first and first.tag == TAG_INFO and first.payload_len >= 1 then
    local c = cursor(tvb, first.payload, first.payload + first.payload_len, first.tree, "End of session")
    local shutdown, item = c:uint(f.end_shutdown, 1, "the shutdown byte")
    c:rest(f.item_data)
    if shutdown ~= 0 then
      item:append_text(" (close the application)")
      return "end of session, closing the application"
    end
    item:append_text(" (leave it running)")
  end
  return "end of session"
end

local function dissect_query(tvb, p, tree, ctx)
  local items = dissect_items(tvb, p.at, p.stop, tree)
  local c, item = info_cursor(tvb, items, tree, "Query")
  if not c then return "query" end
  local sub = c:uint(f.query_subcode, 1, "the sub-code")
  ctx.subcode = sub
  if not sub then return "query" end
  local summary = string.format("query %d (%s)", sub, name_of(query_names, sub))
  if item.length < QUERY_ITEM_MIN then
    item.tree:add_proto_expert_info(e.refused, string.format(
      "The device answers 0xC0: a query's item is at least %d bytes long, this one %d", QUERY_ITEM_MIN,
      item.length))
  end
  if sub == 4 or sub == 5 then
    local index = c:uint(f.query_class, 1, "the class index")
    local secs = c:time(f.query_time, "the time")
    if index then summary = summary .. ", " .. name_of(class_names, index, "class index " .. index) end
    if secs then summary = summary .. " since " .. secs end
  elseif sub == 15 then
    local volume, vitem = c:uint(f.query_volume, 1, "the volume index")
    if volume then
      vitem:append_text(" (" .. volume_text(volume) .. ")")
      summary = summary .. ", volume " .. volume
    end
  elseif not query_names[sub] then
    item.tree:add_proto_expert_info(e.refused, "The device answers 0xC0: unknown query")
  end
  c:rest(f.query_unused)
  return summary
end

-- The four strings of an alarm: each non-empty one is its bytes and a NUL.
local function alarm_strings(c, lengths)
  local fields = { f.alarm_app, f.alarm_title, f.alarm_text, f.alarm_sound }
  local labels = { "the application name", "the dialog title", "the dialog text", "the sound name" }
  for i = 1, 4 do
    local n = lengths[i]
    if n and n > 0 then
      if not c:need(n, labels[i]) then return end
      c.tree:add(fields[i], c.tvb(c.at, n), c.tvb(c.at, n):string())
      c.at = c.at + n
      if not c:need(1, "the NUL after " .. labels[i]) then return end
      c.at = c.at + 1
    end
  end
end

local function dissect_command(tvb, p, tree, ctx)
  local items = dissect_items(tvb, p.at, p.stop, tree)
  local c, item = info_cursor(tvb, items, tree, "Command")
  if not c then return "command" end
  local sub = c:uint(f.command_subcode, 1, "the sub-code")
  ctx.subcode = sub
  if not sub then return "command" end
  local summary = string.format("command %d (%s)", sub, name_of(command_names, sub))
  if sub == 6 or sub == 16 or sub == 17 then
    local index = c:uint(f.command_class, 1, "the class index")
    if index then summary = summary .. ", " .. name_of(class_names, index, "class index " .. index) end
    if sub == 16 then
      local oid = c:uint(f.command_oid_rec, 4, "the record object identifier")
      if oid then summary = summary .. string.format(", record 0x%08x", oid) end
    end
  elseif sub == 9 then
    c:uint(f.alarm_handle, 4, "the notification handle")
    local set, sitem = c:uint(f.alarm_set, 1, "the set byte")
    if set then sitem:append_text(set ~= 0 and " (set the notification)" or " (clear it)") end
    c:add(f.alarm_flags, 1, "the action flags")
    for _, field in ipairs({ f.alarm_year, f.alarm_month, f.alarm_wday, f.alarm_day, f.alarm_hour,
                             f.alarm_minute, f.alarm_second, f.alarm_ms }) do
      c:add(field, 2, "the alarm time")
    end
    local lengths = {}
    for i, field in ipairs({ f.alarm_app_len, f.alarm_title_len, f.alarm_text_len, f.alarm_sound_len }) do
      lengths[i] = c:uint(field, 2, "the string lengths")
    end
    alarm_strings(c, lengths)
    if set then summary = summary .. (set ~= 0 and ", set" or ", clear") end
  elseif sub == 10 then
    local oid = c:uint(f.db_oid, 4, "the database object identifier")
    c:add(f.db_flags, 4, "the open flags")
    c:add(f.db_unused, 3, "three bytes not read")
    if not c.short and c:left() > 0 then
      local raw = c.tvb(c.at, c:left()):raw()
      local name, taken = utf16le(raw)
      local range = c.tvb(c.at, taken or c:left())
      local ni = c.tree:add(f.db_name, range, name)
      c.at = c.at + range:len()
      if not taken then
        ni:add_proto_expert_info(e.too_short, "Database name without its NUL")
      end
      if oid == 0 then summary = summary .. ", \"" .. name .. "\"" end
    end
    if oid and oid ~= 0 then summary = summary .. string.format(", database 0x%08x", oid) end
  elseif sub == 11 or sub == 13 then
    local handle = c:uint(f.db_handle, 4, "the database handle")
    if handle then summary = summary .. string.format(", handle 0x%08x", handle) end
  elseif sub == 12 then
    c:uint(f.db_handle, 4, "the database handle")
    local seek = c:uint(f.db_seek_type, 4, "the seek type")
    local value = c:uint(f.db_seek_value, 4, "the seek value")
    if seek and value then
      summary = summary .. string.format(", %s, value 0x%x", name_of(seek_names, seek, "type " .. seek), value)
    end
  elseif not command_names[sub] then
    item.tree:add_proto_expert_info(e.refused, "The device answers 0xC0: unknown command")
  end
  c:rest(f.item_data)
  return summary
end

local function dissect_ack(tvb, p, tree, ctx)
  if p.stop > p.at then
    local items = dissect_items(tvb, p.at, p.stop, tree)
    show_other_items(tvb, items, nil)
  end
  return name_of(request_names, ctx.type)
end

------------------------------------------------------------------------
-- Messages from the device

local function dissect_hello_reply(tvb, p, tree, ctx)
  local c = cursor(tvb, p.at, p.stop, tree, "Hello reply")
  c:add(f.hello_version, 1, "the version")
  c:add(f.hello_unused, 1, "a byte not read")
  c:add(f.hello_buffer, 2, "the buffer size")
  if c.short then return "hello" end
  local items = dissect_items(tvb, c.at, c.stop, tree)
  local info = find_item(items, TAG_INFO)
  show_other_items(tvb, items, info)
  if info and info.payload_len >= 1 then
    local ic = cursor(tvb, info.payload, info.payload + info.payload_len, info.tree, "Hello reply")
    ic:add(f.hello_info, 1, "the reply info")
    ic:rest(f.item_data)
  end
  return "hello"
end

-- The UTF-16LE name of `n` bytes at `at`, up to its NUL.
local function add_fixed_utf16(c, field, n, field_name)
  if not c:need(n, field_name) then return end
  local name = utf16le(c.tvb(c.at, n):raw())
  c.tree:add(field, c.tvb(c.at, n), name)
  c.at = c.at + n
end

local function dissect_time_zone(c)
  c:add(f.tz_bias, 4, "the bias", true)
  add_fixed_utf16(c, f.tz_std_name, 64, "the standard name")
  c:add(f.tz_std_date, 16, "the standard date")
  c:add(f.tz_std_bias, 4, "the standard bias", true)
  add_fixed_utf16(c, f.tz_dst_name, 64, "the daylight name")
  c:add(f.tz_dst_date, 16, "the daylight date")
  c:add(f.tz_dst_bias, 4, "the daylight bias", true)
  c:rest(f.item_data)
  return "query 8 (time zone)"
end

local function dissect_free_space(c)
  local range, item = c:add(f.free_volume, 2, "the volume index", true)
  if range then item:append_text(" (" .. volume_text(range:le_uint()) .. ")") end
  c:add(f.free_available, 8, "the bytes available", true)
  c:add(f.free_total, 8, "the total bytes", true)
  c:add(f.free_free, 8, "the free bytes", true)
  c:rest(f.item_data)
  return "query 15 (free space)"
end

-- One property entry of a record's block [block, block_stop): `i` counts
-- from 0. String and blob data are looked for inside the block only.
local function dissect_property(tvb, block, block_stop, i, tree)
  local at = block + ENTRY_BYTES * i
  local t = tree:add(f.prop, tvb(at, ENTRY_BYTES))
  local id = tvb(at, 4):le_uint()
  local ptype = tvb(at, 2):le_uint()
  t:add_le(f.prop_id, tvb(at, 4))
  t:add_le(f.prop_type, tvb(at, 2))
  t:add_le(f.prop_len, tvb(at + 4, 2))
  t:add_le(f.prop_flags, tvb(at + 6, 2))
  local v = at + 8
  local text = string.format("Property 0x%08x, %s", id, name_of(prop_type_names, ptype, "type " .. ptype))
  local function outside(what)
    t:add_proto_expert_info(e.record, string.format("Property %d: %s outside the record", i, what))
    t:set_text(text .. ": " .. what .. " outside the record")
  end
  if ptype == 2 then
    t:add(f.prop_i2, tvb(v, 2))
    text = text .. " = " .. tvb(v, 2):int()
  elseif ptype == 18 then
    t:add(f.prop_ui2, tvb(v, 2))
    text = text .. " = " .. tvb(v, 2):uint()
  elseif ptype == 3 then
    t:add(f.prop_i4, tvb(v, 4))
    text = text .. " = " .. tvb(v, 4):int()
  elseif ptype == 19 then
    t:add(f.prop_ui4, tvb(v, 4))
    text = text .. " = " .. tvb(v, 4):uint()
  elseif ptype == 31 then
    local offset = tvb(v, 4):le_uint()
    t:add_le(f.prop_string_offset, tvb(v, 4))
    local start = block + offset
    if offset >= block_stop - block then
      return outside("string")
    end
    local s, taken = utf16le(tvb(start, block_stop - start):raw())
    if not taken then
      return outside("string's end")
    end
    t:add(f.prop_string, tvb(start, taken), s)
    text = text .. " = \"" .. s .. "\""
  elseif ptype == 65 then
    local count = tvb(v, 4):uint()
    local offset = tvb(v + 4, 4):le_uint()
    t:add(f.prop_blob_count, tvb(v, 4))
    t:add_le(f.prop_blob_offset, tvb(v + 4, 4))
    if offset > block_stop - block or block_stop - block - offset < count then
      return outside("blob")
    end
    if count > 0 then t:add(f.prop_blob, tvb(block + offset, count)) end
    text = text .. string.format(", %d bytes", count)
  else
    t:add(f.prop_value, tvb(v, 8))
  end
  t:set_text(text)
end

-- The records of a read-records reply in [at, stop); `count` as the reply
-- gives it.
local function dissect_records(tvb, at, stop, count, tree)
  for r = 1, count do
    if at >= stop then
      tree:add_proto_expert_info(e.record, string.format("%d records announced, the bytes end after %d",
                                                         count, r - 1))
      return
    end
    local left = stop - at
    if left < RECORD_HEADER_BYTES then
      tree:add_tvb_expert_info(e.record, tvb(at, left), "Record header cut short")
      return
    end
    local oid = tvb(at, 4):uint()
    local props = tvb(at + 4, 4):uint()
    local size = tvb(at + 8, 4):uint()
    local block = at + RECORD_HEADER_BYTES
    local block_stop = block + size
    local complete = size <= left - RECORD_HEADER_BYTES
    if not complete then block_stop = stop end
    local t = tree:add(f.record, tvb(at, block_stop - at))
    t:set_text(string.format("Record 0x%08x, %d properties, %d bytes", oid, props, size))
    t:add(f.record_oid, tvb(at, 4))
    t:add(f.record_props, tvb(at + 4, 4))
    local si = t:add(f.record_block, tvb(at + 8, 4))
    if not complete then
      si:add_proto_expert_info(e.record, string.format("Property block of %d bytes runs past the reply (%d left)",
                                                       size, left - RECORD_HEADER_BYTES))
    end
    local fit = math.floor((block_stop - block) / ENTRY_BYTES)
    if props > fit then
      t:add_proto_expert_info(e.record, string.format("%d properties, the block holds %d", props, fit))
    end
    for i = 0, math.min(props, fit) - 1 do
      dissect_property(tvb, block, block_stop, i, t)
    end
    local data = block + ENTRY_BYTES * math.min(props, fit)
    if data < block_stop then t:add(f.prop_data, tvb(data, block_stop - data)) end
    if not complete then return end
    at = block_stop
  end
  if at < stop then
    tree:add_tvb_expert_info(e.record, tvb(at, stop - at),
                             string.format("%d bytes left after the last record", stop - at))
  end
end

-- Replies that carry an "I" item starting with their sub-code.
local function dissect_coded_reply(c, sub, kind)
  local summary = string.format("%s %d (%s)", kind, sub, name_of(kind == "query" and query_names or command_names, sub))
  c:add(kind == "query" and f.query_subcode or f.command_subcode, 1, "the sub-code")
  if kind == "query" and sub == 4 then
    local answer = c:uint(f.query_answer, 1, "the answer")
    if answer then summary = summary .. string.format(": %d (%s)", answer, name_of(answer_names, answer)) end
  elseif sub == 6 or sub == 16 then
    c:add(f.command_unused, 1, "the byte after the sub-code")
    local secs = c:time(f.command_time, "the device time")
    if secs then summary = summary .. ", device time " .. secs end
  elseif sub == 9 then
    local handle = c:uint(f.alarm_handle, 4, "the notification handle")
    if handle then summary = summary .. string.format(", handle 0x%08x", handle) end
  elseif sub == 10 then
    local handle = c:uint(f.db_handle, 4, "the database handle")
    local oid = c:uint(f.db_oid, 4, "the database object identifier")
    if handle and oid then summary = summary .. string.format(", handle 0x%08x, database 0x%08x", handle, oid) end
  elseif sub == 12 then
    local index = c:uint(f.db_index, 4, "the record index")
    local oid = c:uint(f.db_oid_rec, 4, "the record object identifier")
    if index and oid then summary = summary .. string.format(", index %d, record 0x%08x", index, oid) end
  elseif sub == 13 then
    local count = c:uint(f.db_count, 4, "the record count")
    local size, sitem = c:uint(f.db_size, 4, "the record bytes")
    if count and size then
      local stop = c.stop
      if size ~= c:left() then
        sitem:add_proto_expert_info(e.record, string.format("%d record bytes announced, %d in the item",
                                                            size, c:left()))
        if size < c:left() then stop = c.at + size end
      end
      dissect_records(c.tvb, c.at, stop, count, c.tree)
      c.at = stop
      summary = summary .. string.format(", %d records", count)
    end
  end
  c:rest(f.item_data)
  return summary
end

-- What a reply answers when the capture does not hold the request: a
-- hello's reply has the version where other replies have their first item,
-- the time-zone and free-space answers are known by their size, and every
-- other answer starts its item with the sub-code.
local function infer_request(tvb, p)
  local n = p.stop - p.at
  if n >= 1 and tvb(p.at, 1):uint() == HELLO_VERSION then
    return { type = MSG_HELLO }
  end
  if n >= HEADER_BYTES and tvb(p.at, 1):uint() == TAG_INFO then
    local length = tvb(p.at + 1, 2):uint()
    if length == 3 + 172 then return { type = MSG_QUERY, subcode = 8 } end
    if length == 3 + 26 then return { type = MSG_QUERY, subcode = 15 } end
    if n >= 4 then
      local sub = tvb(p.at + 3, 1):uint()
      if sub == 4 then return { type = MSG_QUERY, subcode = 4 } end
      if command_names[sub] then return { type = MSG_COMMAND, subcode = sub } end
    end
  end
  return nil
end

-- Whether a reply whose payload is [p.at, p.stop) can answer `request`.
-- A hello is always answered by a hello reply; any other request may get
-- a status-only reply.
local function answers(tvb, p, request)
  local n = p.stop - p.at
  if request.type == MSG_HELLO then
    return n >= 1 and tvb(p.at, 1):uint() == HELLO_VERSION
  end
  if n == 0 then return true end
  if n < HEADER_BYTES + 1 or tvb(p.at, 1):uint() ~= TAG_INFO then return false end
  local length = tvb(p.at + 1, 2):uint()
  if request.type == MSG_QUERY and request.subcode == 8 then return length == 3 + 172 end
  if request.type == MSG_QUERY and request.subcode == 15 then return length == 3 + 26 end
  return request.subcode ~= nil and tvb(p.at + 3, 1):uint() == request.subcode
end

local function dissect_reply(tvb, p, tree, ctx)
  local status = name_of(device_names, ctx.type, "unknown status")
  local request = ctx.request
  if request then
    tree:add(f.request_in, request.frame):set_generated()
  end
  if p.stop == p.at then
    if request and request.type == MSG_QUERY and request.subcode then
      return string.format("%s: query %d", status, request.subcode)
    elseif request and request.type == MSG_COMMAND and request.subcode then
      return string.format("%s: command %d", status, request.subcode)
    elseif request then
      return status .. ": " .. name_of(request_names, request.type)
    end
    return status
  end
  request = request or infer_request(tvb, p)
  if request and request.type == MSG_HELLO then
    return status .. ": " .. dissect_hello_reply(tvb, p, tree, ctx)
  end
  local items = dissect_items(tvb, p.at, p.stop, tree)
  local c = info_cursor(tvb, items, tree, "Reply")
  if not c then return status end
  if request and request.type == MSG_QUERY and request.subcode == 8 then
    return status .. ": " .. dissect_time_zone(c)
  elseif request and request.type == MSG_QUERY and request.subcode == 15 then
    return status .. ": " .. dissect_free_space(c)
  end
  if c:left() < 1 then return status end
  local kind = (request and request.type == MSG_QUERY) and "query" or "command"
  return status .. ": " .. dissect_coded_reply(c, c.tvb(c.at, 1):uint(), kind)
end

local function dissect_change_frame(tvb, p, tree, ctx)
  local last = ctx.type == MSG_CHANGES_LAST
  local kind = last and "changes, the last frame" or "changes"
  local items = dissect_items(tvb, p.at, p.stop, tree)
  local item = items[1]
  if not item then
    tree:add_proto_expert_info(e.change, "Change frame without its item")
    return kind
  end
  show_other_items(tvb, items, item)
  if #items > 1 or item.length ~= p.stop - p.at then
    tree:add_proto_expert_info(e.change, "A change frame holds one item, filling it")
  end
  local want = last and TAG_INFO or TAG_HISTORY
  if item.tag ~= want then
    item.tree:add_proto_expert_info(e.change, string.format("Tag 0x%02x in a %s frame, 0x%02x expected",
                                                            item.tag, last and "last" or "non-last", want))
  end
  local n = math.floor(item.payload_len / CHANGE_RECORD_BYTES)
  item.tree:add(f.change_count, n):set_generated()
  for i = 0, n - 1 do
    local at = item.payload + CHANGE_RECORD_BYTES * i
    local t = item.tree:add(f.change, tvb(at, CHANGE_RECORD_BYTES))
    local ctype = tvb(at, 1):uint()
    t:set_text(string.format("Change %s, record 0x%08x of database 0x%08x at %d",
                             name_of(change_type_names, ctype), tvb(at + 17, 4):uint(),
                             tvb(at + 13, 4):uint(), tvb(at + 1, 4):uint()))
    t:add(f.change_type, tvb(at, 1))
    t:add(f.change_time, tvb(at + 1, 4)):append_text(" (" .. secs_text(tvb(at + 1, 4):uint()) .. ")")
    t:add(f.change_reserved, tvb(at + 5, 4))
    t:add(f.change_uid, tvb(at + 9, 4))
    t:add(f.change_oid_db, tvb(at + 13, 4))
    t:add(f.change_oid_rec, tvb(at + 17, 4))
  end
  local extra = item.payload_len - CHANGE_RECORD_BYTES * n
  if extra > 0 then
    item.tree:add_tvb_expert_info(e.change, tvb(item.payload + CHANGE_RECORD_BYTES * n, extra),
                                  string.format("%d bytes after the last whole change record", extra))
  end
  return string.format("%s: %d record%s", kind, n, n == 1 and "" or "s")
end

------------------------------------------------------------------------
-- Frames and the TCP stream

local request_handlers = {
  [MSG_HELLO] = dissect_hello,
  [MSG_END_SESSION] = dissect_end_session,
  [MSG_COMMAND] = dissect_command,
  [MSG_QUERY] = dissect_query,
  [ACK_CONTINUE] = dissect_ack,
  [STATUS_OK] = dissect_ack,
}

local device_handlers = {
  [MSG_CHANGES] = dissect_change_frame,
  [MSG_CHANGES_LAST] = dissect_change_frame,
  [0xA0] = dissect_reply,
  [0xC0] = dissect_reply,
  [0xD1] = dissect_reply,
  [0xD3] = dissect_reply,
}

local tcp_stream = Field.new("tcp.stream")

-- Per TCP stream (first pass only): the requests not yet answered, oldest
-- first, and whether a change stream is under way ("streaming", or "last"
-- once its last frame is out). Per frame, what the first pass found: the
-- request a reply answers, and the requests the device drops.
local pending = {}
local streams = {}
local answering = {}
local dropped = {}
local MAX_PENDING = 16

function hm.init()
  pending = {}
  streams = {}
  answering = {}
  dropped = {}
end

-- The port the device listens on: the one the TCP port table matched
-- (the preference or a decode-as rule), else the preference.
local function device_port(pinfo)
  local matched = pinfo.match_uint
  if matched == pinfo.src_port or matched == pinfo.dst_port then return matched end
  local pref = hm.prefs.port
  if pref == pinfo.src_port or pref == pinfo.dst_port then return pref end
  return math.min(pinfo.src_port, pinfo.dst_port)
end

local function stream_of()
  local stream = tcp_stream()
  return stream and stream.value or -1
end

-- The request a device reply answers: on the first pass the oldest one
-- on its stream not yet answered whose answer it can be, passing over
-- those it cannot answer; kept for the later passes. A change frame
-- answers nothing.
local function request_answered(tvb, p, pinfo, key, type)
  if pinfo.visited then return answering[key] end
  local stream = stream_of()
  if type == MSG_CHANGES_LAST and streams[stream] then streams[stream] = "last" end
  if device_handlers[type] ~= dissect_reply then return nil end
  local queue = pending[stream] or {}
  while #queue > 0 do
    local request = table.remove(queue, 1)
    if answers(tvb, p, request) then
      answering[key] = request
      -- The acknowledgement of a change query: the stream begins.
      if request.type == MSG_QUERY and request.subcode == 5 and type == STATUS_OK and p.stop == p.at then
        streams[stream] = "streaming"
      end
      return request
    end
  end
  return nil
end

-- Notes a request of the peer; true when the device drops it unanswered
-- (anything but an acknowledgement while a change stream is under way).
local function note_request(pinfo, key, type, subcode)
  if pinfo.visited then return dropped[key] end
  local stream = stream_of()
  if type == ACK_CONTINUE or type == STATUS_OK then
    if streams[stream] == "last" then streams[stream] = nil end
    return false
  end
  if streams[stream] then
    dropped[key] = true
    return true
  end
  if type < MSG_HELLO or type > MSG_QUERY then return false end
  local queue = pending[stream] or {}
  pending[stream] = queue
  if #queue == MAX_PENDING then table.remove(queue, 1) end
  queue[#queue + 1] = { type = type, subcode = subcode, frame = pinfo.number }
  return false
end

-- One frame at `offset` of `tvb`, of which `avail` bytes are here (all of
-- them unless the frame is cut short); a summary for the Info column.
local function dissect_frame(tvb, pinfo, tree, offset, avail, from_device)
  local type = tvb(offset, 1):uint()
  local length = tvb(offset + 1, 2):uint()
  local names = from_device and device_names or request_names
  local name = name_of(names, type, from_device and "unknown status" or "unknown type")
  local t = tree:add(hm, tvb(offset, avail))
  t:add(f.type, tvb(offset, 1)):set_text(string.format("Type: %s (0x%02x)", name, type))
  t:add(f.length, tvb(offset + 1, 2))
  t:add(f.from_device, from_device):set_generated()
  local arrow = from_device and "<< " or ">> "
  if length < HEADER_BYTES then
    t:add_tvb_expert_info(e.frame_length, tvb(offset + 1, 2), string.format(
      "Length %d is under the 3 header bytes: the framing is lost for the rest of the segment", length))
    if avail > HEADER_BYTES then t:add(f.data, tvb(offset + HEADER_BYTES, avail - HEADER_BYTES)) end
    t:set_text(string.format("Hollowmarch, %s, length %d breaks the framing", name, length))
    return arrow .. name .. ", broken length"
  end
  if avail < length then
    t:add_proto_expert_info(e.cut_short, string.format("Frame cut short: %d of its %d bytes are here",
                                                       avail, length))
  end
  local ctx = { type = type, from_device = from_device }
  local p = { at = offset + HEADER_BYTES, stop = offset + avail }
  local handler = (from_device and device_handlers or request_handlers)[type]
  if from_device then
    ctx.request = request_answered(tvb, p, pinfo, pinfo.number .. ":" .. offset, type)
  end
  local summary
  if handler then
    summary = handler(tvb, p, t, ctx)
  else
    t:add_proto_expert_info(e.unknown, from_device and "Unknown status" or
                            "Unknown message type: the device answers 0xD1")
    if p.stop > p.at then t:add(f.data, tvb(p.at, p.stop - p.at)) end
    summary = name
  end
  if not from_device and note_request(pinfo, pinfo.number .. ":" .. offset, type, ctx.subcode) then
    t:add_proto_expert_info(e.refused, "Dropped by the device: a change stream is under way")
  end
  t:set_text("Hollowmarch, " .. summary)
  return arrow .. summary
end

function hm.dissector(tvb, pinfo, tree)
  local n = tvb:len()  -- the captured bytes; never read beyond
  if n == 0 then return 0 end
  local from_device = pinfo.src_port == device_port(pinfo)
  local whole = tvb:reported_len() == n
  local summaries = {}
  local offset = 0
  while offset < n do
    local left = n - offset
    local length = left >= HEADER_BYTES and tvb(offset + 1, 2):uint() or nil
    local complete = length and (length < HEADER_BYTES or length <= left)
    if not complete and whole and pinfo.can_desegment > 0 then
      -- The frame goes on in the next segments. The whole segment counts
      -- as taken: answering 0 would pass it on to other dissectors.
      pinfo.desegment_offset = offset
      pinfo.desegment_len = length and (length - left) or DESEGMENT_ONE_MORE_SEGMENT
      offset = n
      break
    end
    if not length then
      local t = tree:add(hm, tvb(offset, left))
      t:add_proto_expert_info(e.cut_short, string.format("Frame header cut short: %d of 3 bytes", left))
      summaries[#summaries + 1] = "frame header cut short"
      offset = n
      break
    end
    local avail = math.min(length < HEADER_BYTES and left or length, left)
    summaries[#summaries + 1] = dissect_frame(tvb, pinfo, tree, offset, avail, from_device)
    offset = offset + avail
  end
  if #summaries > 0 then
    pinfo.cols.protocol = "Hollowmarch"
    pinfo.cols.info = table.concat(summaries, "; ")
  end
  return offset
end

local registered_port = nil

local function register_port()
  local tcp_port = DissectorTable.get("tcp.port")
  if registered_port then tcp_port:remove(registered_port, hm) end
  registered_port = hm.prefs.port
  tcp_port:add(registered_port, hm)
end

function hm.prefs_changed()
  if registered_port ~= hm.prefs.port then register_port() end
end

register_port()
