-- Dissector for vela-host capture files (pcapng or classic pcap, link type 147, DLT_USER0), and
-- for live captures of vela-extcap.
--
-- Each packet is a 20-byte little-endian record header (format version, channel type,
-- direction, equipment, record number, time in microseconds, length) followed by the frame
-- bytes: a TVP frame for channel type 2, print-server text for channel type 5.
--
-- Load it with
--     tshark -X lua_script:tools/wireshark/vela.lua -r capture.pcapng
-- or copy it into the personal Lua plugins folder (~/.local/lib/wireshark/plugins/).
--
-- Every read is checked against the bytes present, so a short or inconsistent packet shows as
-- malformed (expert info) instead of stopping the dissector. A fault in this script itself is
-- caught and shown as the expert info "vela.dissector_fault".

local vela = Proto("vela", "Vela capture record")

-- BEGIN GENERATED CATALOGUE (tools/wireshark/gen_probe_names.py)
-- probe id -> name
local probe_names = {
    [0x002A] = "Dcch Message",
    [0x0093] = "CC State Message",
    [0x0094] = "MM State Message",
    [0x0095] = "SMS State Message",
    [0x0096] = "RR State",
    [0x0097] = "GMM State Message",
    [0x0098] = "Routing Area Update Rpt",
    [0x00A3] = "MPH State",
    [0x00AE] = "SL State Message",
    [0x00BD] = "NAS Message",
    [0x00C1] = "SM State Message",
    [0x00C2] = "Packet System Info DL",
    [0x00C3] = "Packet Channel Req",
    [0x00C4] = "Packet Ctrl Ack",
    [0x00C5] = "Packet Paging DL",
    [0x00C6] = "Packet Dummy Msg",
    [0x00C7] = "Packet Control Msg",
    [0x00E2] = "MPH Channel Rpt",
    [0x00E3] = "MPH Measurment Rpt",
    [0x00E4] = "Fch Rpt",
    [0x00E5] = "Sch Rpt",
    [0x00E6] = "Bcch Rpt",
    [0x00E7] = "Pch Rpt",
    [0x00E8] = "Cbch Rpt",
    [0x00E9] = "Rach Rpt",
    [0x00EA] = "Agch Rpt",
    [0x00EB] = "Sach Rpt",
    [0x00EC] = "Handover Access Message",
    [0x00EE] = "PTCCH UL",
    [0x00EF] = "PTCCH DL",
    [0x00F0] = "LLC State",
    [0x00F1] = "LLC Control Message",
    [0x00F3] = "LLC Data Message",
    [0x00F4] = "RLC/MAC State",
    [0x00F5] = "Packet Data Message",
    [0x0100] = "LAC Update Rpt",
    [0x0101] = "LCC Signaling Msg",
    [0x0102] = "PLMN List Rpt",
    [0x0103] = "Available PLMN List",
    [0x0125] = "BA List",
    [0x0126] = "Cell Reselection Measurement Rpt",
    [0x0129] = "Cell Report",
    [0x012A] = "RLC/MAC Throughput",
    [0x012B] = "CHANNEL Mode Rpt",
    [0x013B] = "PH Block Report UL",
    [0x013C] = "PH Block Report DL",
    [0x013E] = "PH Burst Report",
    [0x0160] = "CC Event Rpt",
    [0x0161] = "SM Event Rpt",
    [0x0162] = "MM Event Rpt",
    [0x0163] = "GMM Event Rpt",
    [0x0190] = "RRC DL UL DCCH",
    [0x0191] = "RRC DL UL CCCH",
    [0x0192] = "RRC_PCCH",
    [0x0193] = "System Info Msg",
    [0x0194] = "RRC State Message",
    [0x0195] = "WAS BCCH Message",
    [0x0196] = "RRC Measurement Rpt",
    [0x0197] = "WAS NAS System Information",
    [0x0199] = "Intra Freq Event FDD",
    [0x019A] = "Inter RAT Event FDD",
    [0x019C] = "IPC Message TX",
    [0x019D] = "IPC Message RX",
    [0x01A2] = "CELL SEL RESEL Message",
    [0x01A3] = "RSSI Scan",
    [0x01A4] = "Cell Search Rpt",
    [0x01A5] = "RRC RB Mapping Description",
    [0x01A6] = "TRSP Channel Description",
    [0x01A7] = "PHY Channel Description",
    [0x01A8] = "RRC Compressed Mode",
    [0x01A9] = "RLC Channel Bitrate",
    [0x01AA] = "RLC AM Header Rpt",
    [0x01AB] = "RLC UM Header Rpt",
    [0x01AC] = "RRC Radio Link Rpt",
    [0x01AD] = "RLC AM Control PDU Message",
    [0x01C2] = "TRCH Bitrate Message",
    [0x01C3] = "TX Power Rpt",
    [0x01C4] = "RACH Transmission Rpt",
    [0x01D3] = "WAS PDCP Config Rpt",
    [0x01D4] = "WAS RAB Config Rpt",
    [0x01D9] = "RR Cell Report",
    [0x0200] = "WAS PDCP Bitrate Rpt",
    [0x0219] = "WAS TFCI Rpt",
    [0x0498] = "DL IFrame Message",
    [0x0499] = "DL Event",
    [0x049A] = "LLC Bitrate",
    [0x049B] = "LLC Event",
    [0x049E] = "SNDCP State",
    [0x049F] = "SNDCP Bitrate",
    [0x04A1] = "RR Event Rpt",
    [0x04A2] = "RR GPRS TBF Rpt",
    [0x04A3] = "RR RATSCCH Message",
    [0x04A9] = "CB CBS Message",
}
-- probe id -> the catalogue item that holds it
local probe_groups = {
    [0x002A] = "GSM Layer 3 Reports",
    [0x0093] = "CAS",
    [0x0094] = "CAS",
    [0x0095] = "CAS",
    [0x0096] = "GSM Mode Reports",
    [0x0097] = "CAS",
    [0x0098] = "CAS",
    [0x00A3] = "GSM Mode Reports",
    [0x00AE] = "CAS",
    [0x00BD] = "WCDMA Layer 3 Reports",
    [0x00C1] = "CAS",
    [0x00C2] = "GSM Layer 3 Reports",
    [0x00C3] = "GSM Layer 3 Reports",
    [0x00C4] = "GSM Layer 3 Reports",
    [0x00C5] = "GSM Layer 3 Reports",
    [0x00C6] = "GSM Layer 3 Reports",
    [0x00C7] = "GSM Layer 3 Reports",
    [0x00E2] = "GSM Mode Reports",
    [0x00E3] = "GSM Mode Reports",
    [0x00E4] = "GSM Layer 3 Reports",
    [0x00E5] = "GSM Layer 3 Reports",
    [0x00E6] = "GSM Layer 3 Reports",
    [0x00E7] = "GSM Layer 3 Reports",
    [0x00E8] = "GSM Layer 3 Reports",
    [0x00E9] = "GSM Layer 3 Reports",
    [0x00EA] = "GSM Layer 3 Reports",
    [0x00EB] = "GSM Layer 3 Reports",
    [0x00EC] = "GSM Mode Reports",
    [0x00EE] = "GSM Layer 3 Reports",
    [0x00EF] = "GSM Layer 3 Reports",
    [0x00F0] = "GSM Mode Reports",
    [0x00F1] = "GSM Layer 3 Reports",
    [0x00F3] = "GSM Layer 3 Reports",
    [0x00F4] = "GSM Mode Reports",
    [0x00F5] = "GSM Layer 3 Reports",
    [0x0100] = "CAS",
    [0x0101] = "GSM Layer 3 Reports",
    [0x0102] = "CAS",
    [0x0103] = "CAS",
    [0x0125] = "GSM Mode Reports",
    [0x0126] = "GSM Mode Reports",
    [0x0129] = "GSM Mode Reports",
    [0x012A] = "GSM Mode Reports",
    [0x012B] = "GSM Mode Reports",
    [0x013B] = "GSM Mode Reports",
    [0x013C] = "GSM Mode Reports",
    [0x013E] = "GSM Mode Reports",
    [0x0160] = "CAS",
    [0x0161] = "CAS",
    [0x0162] = "CAS",
    [0x0163] = "CAS",
    [0x0190] = "WCDMA Layer 3 Reports",
    [0x0191] = "WCDMA Layer 3 Reports",
    [0x0192] = "WCDMA Layer 3 Reports",
    [0x0193] = "WCDMA Layer 3 Reports",
    [0x0194] = "WCDMA Mode Reports",
    [0x0195] = "WCDMA Layer 3 Reports",
    [0x0196] = "WCDMA Mode Reports",
    [0x0197] = "WCDMA Layer 3 Reports",
    [0x0199] = "WCDMA Mode Reports",
    [0x019A] = "WCDMA Mode Reports",
    [0x019C] = "WCDMA Mode Reports",
    [0x019D] = "WCDMA Mode Reports",
    [0x01A2] = "WCDMA Mode Reports",
    [0x01A3] = "WCDMA Mode Reports",
    [0x01A4] = "WCDMA Layer 3 Reports",
    [0x01A5] = "WCDMA Mode Reports",
    [0x01A6] = "WCDMA Mode Reports",
    [0x01A7] = "WCDMA Mode Reports",
    [0x01A8] = "WCDMA Mode Reports",
    [0x01A9] = "WCDMA Mode Reports",
    [0x01AA] = "WCDMA Layer 2 Reports",
    [0x01AB] = "WCDMA Layer 2 Reports",
    [0x01AC] = "WCDMA Mode Reports",
    [0x01AD] = "WCDMA Layer 2 Reports",
    [0x01C2] = "WCDMA Mode Reports",
    [0x01C3] = "WCDMA Mode Reports",
    [0x01C4] = "WCDMA Mode Reports",
    [0x01D3] = "WCDMA Mode Reports",
    [0x01D4] = "WCDMA Mode Reports",
    [0x01D9] = "GSM Mode Reports",
    [0x0200] = "WCDMA Mode Reports",
    [0x0219] = "WCDMA Mode Reports",
    [0x0498] = "GSM Layer 2 Reports",
    [0x0499] = "GSM Mode Reports",
    [0x049A] = "GSM Mode Reports",
    [0x049B] = "GSM Mode Reports",
    [0x049E] = "GSM Mode Reports",
    [0x049F] = "GSM Mode Reports",
    [0x04A1] = "GSM Mode Reports",
    [0x04A2] = "GSM Mode Reports",
    [0x04A3] = "GSM Layer 3 Reports",
    [0x04A9] = "GSM Layer 3 Reports",
}
-- argument of the Phy test codes -> name
local phy_names = {
    [0x0000] = "Activation Request",
    [0x0001] = "Synch Change",
    [0x0007] = "Measure Report",
    [0x0008] = "Active Set Update",
    [0x0300] = "Downlink Tr Ch Status",
    [0x0301] = "BLER",
    [0x0302] = "Uplink Tr Ch Status",
    [0x0602] = "Cell Searcher",
    [0x0603] = "Path Searcher Serving Cell",
    [0x0604] = "Path Searcher",
    [0x0607] = "Finger Delay",
    [0x0609] = "Combined SIR for Synch",
    [0x060A] = "Combined SIR for Power Control",
    [0x060B] = "Power Control",
    [0x060D] = "Tuning Tracking Events",
    [0x060F] = "BER",
    [0x0700] = "Path Searcher Extended Update",
    [0x0701] = "Uplink DPCCH",
    [0x0702] = "Downlink DPCCH",
    [0x2100] = "Uplink DPCCH Snapshot",
    [0x2101] = "Downlink DPCCH Snapshot",
}
-- bit of the system-capability mask -> name
local capability_names = {
    [0x01] = "WCDMA",
    [0x02] = "GSM",
}
-- END GENERATED CATALOGUE

-- BEGIN GENERATED LAYOUT (tools/wireshark/gen_probe_names.py)
-- TVP frame layout (protocol/TvpLayout.h)
local TvpLayout = {
    kHeaderSize = 4,
    kSizeMask = 0x1FFFF,
    kSourceProcessorShift = 17,
    kDestProcessorShift = 20,
    kSourceNodeShift = 23,
    kDestNodeShift = 26,
    kDataIdShift = 29,
    kFieldMask = 0x7,
    kDataIdProbeInject = 0,
    kDataIdCommandReq = 1,
    kDataIdCommandAck = 2,
    kDataIdError = 3,
    kCommandIdOffset = 4,
    kCommandSeqNoOffset = 5,
    kCommandFixedSize = 6,
    kProbeInjectIdOffset = 4,
    kProbeTimeStampOffset = 5,
    kProbeSeqNoOffset = 9,
    kProbeIdOffset = 11,
    kProbeDataByteSizeOffset = 13,
    kProbeDataIdTypeOffset = 17,
    kProbeNumberOfDataElemOffset = 18,
    kProbeFixedSize = 20,
    kInjectFixedSize = 14,
}
-- END GENERATED LAYOUT

local RECORD_HEADER = 20
local CHANNEL_TVP = 2
local CHANNEL_PRINT = 5
local CC_CALLBACK = 0xAA
local PHY_CALLBACK = 160

local channel_names = { [CHANNEL_TVP] = "TVP", [3] = "data modem", [CHANNEL_PRINT] = "print server",
    [7] = "AT" }
local direction_names = { [0] = "from the phone", [1] = "to the phone" }
local data_id_names = { [0] = "PROBE_INJECT", [1] = "COMMAND_REQ", [2] = "COMMAND_ACK",
    [3] = "TVP_ERROR", [4] = "INJECT_DATA_REQ", [5] = "APRINT", [6] = "BPRINT", [7] = "CPRINT" }
local pi_names = { [0] = "probe", [1] = "inject" }
-- BEGIN GENERATED COMMANDS (tools/wireshark/gen_probe_names.py)
-- command request id -> name
local request_names = { [1] = "SetProbeMode", [3] = "ExecuteTestCode", [7] = "SetTimeStamp" }
-- command request id -> fixed size, header included
local request_sizes = { [1] = 9, [3] = 11, [7] = 7 }
-- command ack id -> name
local ack_names = { [1] = "SetProbeMode", [3] = "ExecuteTestCode", [8] = "SetTimeStamp" }
-- command ack id -> fixed size, header included
local ack_sizes = { [1] = 10, [3] = 13, [8] = 8 }
-- the header word's 3-bit fields
local tvp_masks = { src_proc = 0x000E0000, dst_proc = 0x00700000, src_node = 0x03800000, dst_node = 0x1C000000, data_id = 0xE0000000 }
-- the Common Control header's fields (a 16-bit word)
local cc_masks = { op = 0x0001, function_id = 0x007E, block = 0x1F80, spare = 0xE000 }
-- END GENERATED COMMANDS
local probe_mode_names = { [1] = "off", [6] = "on" }
local time_type_names = { [16] = "session time stamp" }
local elem_type_names = { [0] = "unsigned short", [1] = "reserved (2 bytes)",
    [2] = "unsigned long", [3] = "reserved (4 bytes)", [4] = "unsigned char",
    [5] = "reserved (1 byte)", [6] = "string", [7] = "float", [8] = "undefined" }
local elem_widths = { [0] = 2, [2] = 4, [4] = 1, [7] = 4 }  -- 6 (string) is variable
local cc_op_names = { [0] = "SET", [1] = "GET" }
local cc_block_names = { [0] = "internal", [1] = "WAS", [2] = "GAS", [3] = "CAS" }
local cc_function_names = { [3] = { [1] = "System Capability Control" } }

local F = {
    version = ProtoField.uint8("vela.version", "Format version", base.DEC),
    channel = ProtoField.uint8("vela.channel", "Channel type", base.DEC, channel_names),
    direction = ProtoField.uint8("vela.direction", "Direction", base.DEC, direction_names),
    equipment = ProtoField.uint8("vela.equipment", "Equipment", base.DEC),
    record = ProtoField.uint32("vela.record", "Record number", base.DEC),
    time = ProtoField.absolute_time("vela.time", "Time", base.UTC),
    time_us = ProtoField.uint64("vela.time_us", "Time (microseconds since 1970)", base.DEC),
    length = ProtoField.uint32("vela.length", "Frame length", base.DEC),
    valid = ProtoField.bool("vela.valid", "Record is well-formed"),
    data = ProtoField.bytes("vela.data", "Undecoded bytes"),

    tvp_header = ProtoField.uint32("vela.tvp.header", "TVP header", base.HEX),
    tvp_size = ProtoField.uint32("vela.tvp.size", "Size", base.DEC, nil, TvpLayout.kSizeMask),
    tvp_src_proc = ProtoField.uint32("vela.tvp.src_proc", "Source processor", base.DEC, nil, tvp_masks.src_proc),
    tvp_dst_proc = ProtoField.uint32("vela.tvp.dst_proc", "Destination processor", base.DEC, nil, tvp_masks.dst_proc),
    tvp_src_node = ProtoField.uint32("vela.tvp.src_node", "Source node", base.DEC, nil, tvp_masks.src_node),
    tvp_dst_node = ProtoField.uint32("vela.tvp.dst_node", "Destination node", base.DEC, nil, tvp_masks.dst_node),
    tvp_data_id = ProtoField.uint32("vela.tvp.data_id", "Data id", base.DEC, data_id_names, tvp_masks.data_id),
    tvp_kind = ProtoField.string("vela.tvp.kind", "Frame kind"),
    tvp_accepted = ProtoField.bool("vela.tvp.accepted", "Taken by the component's frame factory"),

    pi_id = ProtoField.uint8("vela.tvp.pi_id", "Probe/inject id", base.DEC, pi_names),
    timestamp = ProtoField.uint32("vela.tvp.timestamp", "Time stamp", base.DEC),
    probe_seq = ProtoField.uint16("vela.tvp.probe_seq", "Probe sequence number", base.DEC),
    probe_id = ProtoField.uint16("vela.tvp.probe_id", "Probe id", base.HEX, probe_names),
    probe_name = ProtoField.string("vela.tvp.probe_name", "Probe name"),
    probe_group = ProtoField.string("vela.tvp.probe_group", "Catalogue item"),
    data_byte_size = ProtoField.uint32("vela.tvp.data_byte_size", "Data byte size (as stated)", base.DEC),
    elem_type = ProtoField.uint8("vela.tvp.elem_type", "Element type", base.DEC, elem_type_names),
    num_elem = ProtoField.uint16("vela.tvp.num_elem", "Number of elements (as stated)", base.DEC),
    payload = ProtoField.bytes("vela.tvp.payload", "Data"),
    payload_size = ProtoField.uint32("vela.tvp.payload_size", "Data length", base.DEC),

    req_id = ProtoField.uint8("vela.tvp.req_id", "Command request id", base.DEC, request_names),
    ack_id = ProtoField.uint8("vela.tvp.ack_id", "Command acknowledgement id", base.DEC, ack_names),
    command = ProtoField.string("vela.tvp.command", "Command"),
    seq = ProtoField.uint8("vela.tvp.seq", "Sequence number", base.DEC),
    probe_mode = ProtoField.uint8("vela.tvp.probe_mode", "Probe mode", base.DEC, probe_mode_names),
    result = ProtoField.uint16("vela.tvp.result", "Result", base.DEC),
    time_type = ProtoField.uint8("vela.tvp.time_type", "Time stamp function", base.DEC, time_type_names),
    callback_id = ProtoField.uint8("vela.tvp.callback_id", "Callback id", base.DEC),
    test_code = ProtoField.uint16("vela.tvp.test_code", "Test code number", base.DEC),
    size_of_args = ProtoField.uint16("vela.tvp.size_of_args", "Size of arguments", base.DEC),
    num_args = ProtoField.uint16("vela.tvp.num_args", "Number of arguments (as stated)", base.DEC),
    cmd_data = ProtoField.bytes("vela.tvp.cmd_data", "Command data"),
    error_data = ProtoField.bytes("vela.tvp.error_data", "Error data"),

    args = ProtoField.bytes("vela.args", "Test-code arguments"),
    arg_number = ProtoField.uint16("vela.arg.number", "Number", base.DEC),
    arg_length = ProtoField.uint32("vela.arg.length", "Length", base.DEC),
    arg_type = ProtoField.uint8("vela.arg.elem_type", "Element type", base.DEC, elem_type_names),
    arg_count = ProtoField.uint16("vela.arg.count", "Number of elements", base.DEC),
    arg_u16 = ProtoField.uint16("vela.arg.u16", "Element", base.DEC),
    arg_u32 = ProtoField.uint32("vela.arg.u32", "Element", base.DEC),
    arg_u8 = ProtoField.uint8("vela.arg.u8", "Element", base.DEC),
    arg_string = ProtoField.string("vela.arg.string", "Element"),
    arg_float = ProtoField.float("vela.arg.float", "Element"),
    arg_phy = ProtoField.string("vela.arg.phy_name", "Phy probe"),
    terminator = ProtoField.uint16("vela.args.terminator", "Terminator", base.HEX),

    cc_header = ProtoField.uint16("vela.cc.header", "Common Control header", base.HEX),
    cc_op = ProtoField.uint16("vela.cc.op", "Operation type", base.DEC, cc_op_names, cc_masks.op),
    cc_function = ProtoField.uint16("vela.cc.function", "Function id", base.DEC, nil, cc_masks.function_id),
    cc_block = ProtoField.uint16("vela.cc.block", "Block id", base.DEC, cc_block_names, cc_masks.block),
    cc_spare = ProtoField.uint16("vela.cc.spare", "Spare", base.DEC, nil, cc_masks.spare),
    cc_function_name = ProtoField.string("vela.cc.function_name", "Function"),
    cc_ie_bytes = ProtoField.uint16("vela.cc.ie_bytes", "IE byte count", base.DEC),
    cc_ie = ProtoField.bytes("vela.cc.ie", "Information element"),
    cc_iei = ProtoField.uint8("vela.cc.iei", "IEI", base.DEC),
    cc_ie_length = ProtoField.uint8("vela.cc.ie_length", "Length", base.DEC),
    cc_ie_value = ProtoField.bytes("vela.cc.ie_value", "Value"),
    cc_capability = ProtoField.string("vela.cc.capability", "System capability"),

    ps_line = ProtoField.string("vela.ps.line", "Line"),
    ps_lines = ProtoField.uint32("vela.ps.lines", "Lines", base.DEC),
}

local E = {
    malformed = ProtoExpert.new("vela.malformed", "Malformed", expert.group.MALFORMED,
        expert.severity.ERROR),
    unknown = ProtoExpert.new("vela.unknown", "Not known to the component",
        expert.group.UNDECODED, expert.severity.WARN),
    failed = ProtoExpert.new("vela.failed", "Command failed", expert.group.RESPONSE_CODE,
        expert.severity.WARN),
    fault = ProtoExpert.new("vela.dissector_fault", "Dissector fault", expert.group.MALFORMED,
        expert.severity.ERROR),
}

local field_list = {}
for _, f in pairs(F) do field_list[#field_list + 1] = f end
vela.fields = field_list
vela.experts = { E.malformed, E.unknown, E.failed, E.fault }

-- Helpers -----------------------------------------------------------------------------------

-- Adds a little-endian field of len bytes at off if the bytes are there; returns the range or
-- nil.
local function put(tree, field, tvb, off, len)
    if off < 0 or len <= 0 or off + len > tvb:len() then return nil end
    local range = tvb(off, len)
    return range, tree:add_le(field, range)
end

-- The range from off to the end (nil when empty).
local function rest(tvb, off)
    if off >= tvb:len() then return nil end
    return tvb(off, tvb:len() - off)
end

local function malformed(item, range, text)
    if range then
        item:add_tvb_expert_info(E.malformed, range, text)
    else
        item:add_proto_expert_info(E.malformed, text)
    end
end

local function generated(tree, field, value)
    tree:add(field, value):set_generated()
end

local function hex(range, most)
    most = most or 24
    local n = range:len()
    local parts = {}
    for i = 0, math.min(n, most) - 1 do parts[#parts + 1] = string.format("%02X", range(i, 1):uint()) end
    local text = table.concat(parts, " ")
    if n > most then text = text .. " ..." end
    return text
end

local function probe_text(id)
    local name = probe_names[id]
    if name then return string.format('0x%04X "%s"', id, name) end
    return string.format("0x%04X (not in the catalogue)", id)
end

local function add_probe_name(tree, id)
    local name = probe_names[id]
    if name then
        generated(tree, F.probe_name, name)
        generated(tree, F.probe_group, probe_groups[id])
    end
end

local function add_result(tree, tvb, off, what)
    local range, item = put(tree, F.result, tvb, off, 2)
    if not range then return nil end
    local result = range:le_uint()
    if result == 0 then
        item:append_text(" (OK)")
    else
        item:append_text(" (failed)")
        item:add_proto_expert_info(E.failed, string.format("%s failed: result %d", what, result))
    end
    return result
end

local function capability_text(mask)
    local parts = {}
    for bit, name in pairs(capability_names) do
        if mask % (bit * 2) >= bit then parts[#parts + 1] = { bit, name } end
    end
    table.sort(parts, function(a, b) return a[1] < b[1] end)
    local names = {}
    for _, p in ipairs(parts) do names[#names + 1] = p[2] end
    return #names > 0 and table.concat(names, ", ") or "none"
end

-- Test-code arguments -----------------------------------------------------------------------

-- One argument of a test-code argument list at pos of the block (a Tvb of n bytes). Returns
-- the position after it, or nil and the reason it does not decode. The elements must fill
-- exactly Length bytes, as the component requires.
local function dissect_argument(tree, block, pos, index, phy)
    local n = block:len()
    local left = n - pos
    if left < 9 then
        return nil, string.format("argument %d: %d bytes left, an argument needs at least 9", index, left)
    end
    local length = block(pos + 2, 4):le_uint()
    local etype = block(pos + 6, 1):uint()
    local count = block(pos + 7, 2):le_uint()
    local span = 9 + math.min(length, left - 9)
    local sub = tree:add(F.args, block(pos, span))
    sub:set_text(string.format("Argument %d: %s, %d element%s", index,
        elem_type_names[etype] or ("type " .. etype), count, count == 1 and "" or "s"))
    put(sub, F.arg_number, block, pos, 2)
    put(sub, F.arg_length, block, pos + 2, 4)
    put(sub, F.arg_type, block, pos + 6, 1)
    put(sub, F.arg_count, block, pos + 7, 2)
    if length > left - 9 then
        return nil, string.format("argument %d: Length %d runs past the block (%d bytes left)",
            index, length, left - 9), sub
    end
    local width = elem_widths[etype]
    if not width and etype ~= 6 then
        return nil, string.format("argument %d: element type %d has no element values", index, etype), sub
    end
    local p = pos + 9
    local stop = p + length
    for i = 1, count do
        if p >= stop then
            return nil, string.format("argument %d: %d elements stated, %d fit in Length %d",
                index, count, i - 1, length), sub
        end
        if etype == 6 then
            local raw = block(p, stop - p):raw()
            local zero = string.find(raw, "\0", 1, true)
            if not zero then
                return nil, string.format("argument %d: string element %d has no terminating zero", index, i), sub
            end
            sub:add(F.arg_string, block(p, zero), string.sub(raw, 1, zero - 1))
            p = p + zero
        else
            if stop - p < width then
                return nil, string.format("argument %d: element %d cut short", index, i), sub
            end
            local range = block(p, width)
            if etype == 0 then
                local item = sub:add_le(F.arg_u16, range)
                local value = range:le_uint()
                if phy and phy_names[value] then
                    item:append_text(' "' .. phy_names[value] .. '"')
                    sub:add(F.arg_phy, range, phy_names[value]):set_generated()
                end
            elseif etype == 2 then
                sub:add_le(F.arg_u32, range)
            elseif etype == 4 then
                sub:add_le(F.arg_u8, range)
            else
                sub:add_le(F.arg_float, range)
            end
            p = p + width
        end
    end
    if p ~= stop then
        return nil, string.format("argument %d: elements take %d bytes, Length says %d",
            index, p - pos - 9, length), sub
    end
    return stop
end

-- One Common Control argument: the argument header, the IE byte count and the IEs.
local function dissect_cc_argument(tree, block, pos, index, function_key)
    local n = block:len()
    local left = n - pos
    if left < 9 then
        return nil, string.format("argument %d: %d bytes left, an argument needs at least 9", index, left)
    end
    local length = block(pos + 2, 4):le_uint()
    local sub = tree:add(F.args, block(pos, math.min(left, 9 + math.min(length, left - 9))))
    sub:set_text(string.format("Common Control argument %d", index))
    put(sub, F.arg_number, block, pos, 2)
    put(sub, F.arg_length, block, pos + 2, 4)
    put(sub, F.arg_type, block, pos + 6, 1)
    if left - 6 < length then
        return nil, string.format("argument %d: Length %d runs past the block", index, length), sub
    end
    local after_type = left - 7
    if after_type < 3 then
        if length ~= 0 then
            return nil, string.format("argument %d: Length %d but no room for IEs", index, length), sub
        end
        return pos + 7
    end
    local _, count_item = put(sub, F.cc_ie_bytes, block, pos + 7, 2)
    local ie_bytes = block(pos + 7, 2):le_uint()
    local budget_left = after_type - 2
    if ie_bytes >= budget_left then
        return nil, string.format("IE byte count %d leaves no room for the list terminator (%d bytes left)",
            ie_bytes, budget_left), count_item
    end
    if length ~= ie_bytes then
        return nil, string.format("Length %d and IE byte count %d disagree", length, ie_bytes), count_item
    end
    local p = pos + 9
    local stop = p + ie_bytes
    local k = 0
    while p < stop do
        k = k + 1
        if stop - p < 2 then
            return nil, string.format("IE %d: 1 byte left of the IE byte count, an IE needs 2", k),
                sub:add(F.cc_ie, block(p, stop - p))
        end
        local ie_len = block(p + 1, 1):uint()
        local span = math.min(2 + ie_len, stop - p)
        local iesub = sub:add(F.cc_ie, block(p, span))
        local iei = block(p, 1):uint()
        iesub:set_text(string.format("IE %d: IEI %d, %d value byte%s", k, iei, ie_len, ie_len == 1 and "" or "s"))
        put(iesub, F.cc_iei, block, p, 1)
        put(iesub, F.cc_ie_length, block, p + 1, 1)
        if 2 + ie_len > stop - p then
            return nil, string.format("IE %d: Length %d runs past the IE byte count", k, ie_len), iesub
        end
        if ie_len > 0 then
            local value = block(p + 2, ie_len)
            iesub:add(F.cc_ie_value, value)
            if function_key == "3/1" and iei == 0 and ie_len == 1 then
                iesub:add(F.cc_capability, value, capability_text(value:uint())):set_generated()
            end
        end
        p = p + 2 + ie_len
    end
    return stop
end

-- An argument block (Tvb) of a test-code frame. kind "cc" for a Common Control message.
local function dissect_arguments(tree, block, cc, phy, function_key)
    local n = block:len()
    local sub = tree:add(F.args, block(0, n))
    local pos, index = 0, 0
    while pos < n do
        if n - pos == 2 then
            local range, item = put(sub, F.terminator, block, pos, 2)
            if range:le_uint() ~= 0xFFFF then
                malformed(item, range, "the last 2 bytes of the argument list are not the terminator FF FF")
            end
            sub:append_text(string.format(" (%d argument%s)", index, index == 1 and "" or "s"))
            return true
        end
        local after, why, where
        if cc then
            after, why, where = dissect_cc_argument(sub, block, pos, index, function_key)
        else
            after, why, where = dissect_argument(sub, block, pos, index, phy)
        end
        if not after then
            malformed(where or sub, nil, "arguments do not decode: " .. why)
            return false
        end
        pos = after
        index = index + 1
    end
    sub:append_text(string.format(" (%d argument%s, no terminator)", index, index == 1 and "" or "s"))
    return true
end

-- TVP ---------------------------------------------------------------------------------------

-- Each returns the text for the info column. t is the TVP frame (a Tvb), tree its subtree.

local function dissect_probe_inject(t, tree, top, state)
    local L = t:len()
    local range = put(tree, F.pi_id, t, TvpLayout.kProbeInjectIdOffset, 1)
    if not range then
        state.accepted = false
        malformed(top, nil, "a probe/inject frame needs 5 bytes, this one has " .. L)
        return "probe/inject", "probe/inject frame cut short"
    end
    local selector = range:uint()
    if selector == 0 then
        local P = TvpLayout
        put(tree, F.timestamp, t, P.kProbeTimeStampOffset, 4)
        put(tree, F.probe_seq, t, P.kProbeSeqNoOffset, 2)
        local id_range = put(tree, F.probe_id, t, P.kProbeIdOffset, 2)
        put(tree, F.data_byte_size, t, P.kProbeDataByteSizeOffset, 4)
        put(tree, F.elem_type, t, P.kProbeDataIdTypeOffset, 1)
        put(tree, F.num_elem, t, P.kProbeNumberOfDataElemOffset, 2)
        if id_range then add_probe_name(tree, id_range:le_uint()) end
        if L < P.kProbeFixedSize then
            state.accepted = false
            malformed(top, nil, "a probe frame needs " .. P.kProbeFixedSize .. " bytes, this one has " .. L)
            return "probe", "probe frame cut short"
        end
        local payload = rest(t, P.kProbeFixedSize)
        if payload then tree:add(F.payload, payload) end
        generated(tree, F.payload_size, L - P.kProbeFixedSize)
        return "probe", string.format("probe %s seq=%d time=%d payload=%d", probe_text(id_range:le_uint()),
            t(P.kProbeSeqNoOffset, 2):le_uint(), t(P.kProbeTimeStampOffset, 4):le_uint(),
            L - P.kProbeFixedSize)
    elseif selector == 1 then
        local id_range = put(tree, F.probe_id, t, 5, 2)
        put(tree, F.data_byte_size, t, 7, 4)
        put(tree, F.elem_type, t, 11, 1)
        put(tree, F.num_elem, t, 12, 2)
        if id_range then add_probe_name(tree, id_range:le_uint()) end
        if L < 14 then
            state.accepted = false
            malformed(top, nil, "an inject frame needs 14 bytes, this one has " .. L)
            return "inject", "inject frame cut short"
        end
        local payload = rest(t, 14)
        if payload then tree:add(F.payload, payload) end
        generated(tree, F.payload_size, L - 14)
        return "inject", string.format("inject %s payload=%d", probe_text(id_range:le_uint()), L - 14)
    end
    state.accepted = false
    top:add_tvb_expert_info(E.unknown, range,
        string.format("probe/inject id %d is neither probe (0) nor inject (1)", selector))
    return "probe/inject", string.format("probe/inject frame with id %d", selector)
end

local function dissect_test_code_args(t, tree, top, off, length, callback, test_code)
    if callback == CC_CALLBACK then
        local cc = tree:add(F.cc_header, t(7, 2))
        cc:add_le(F.cc_op, t(7, 2))
        cc:add_le(F.cc_function, t(7, 2))
        cc:add_le(F.cc_block, t(7, 2))
        cc:add_le(F.cc_spare, t(7, 2))
        local block_id = math.floor(test_code / 128) % 64
        local function_id = math.floor(test_code / 2) % 64
        local names = cc_function_names[block_id]
        if names and names[function_id] then
            cc:add(F.cc_function_name, t(7, 2), names[function_id]):set_generated()
        end
        if length > 0 then
            dissect_arguments(tree, t(off, length):tvb(), true, false, block_id .. "/" .. function_id)
        end
    elseif length > 0 then
        dissect_arguments(tree, t(off, length):tvb(), false, callback == PHY_CALLBACK)
    end
end

local function dissect_request(t, tree, top, state)
    local L = t:len()
    if L < 6 then
        state.accepted = false
        malformed(top, nil, "a command request needs 6 bytes, this one has " .. L)
        put(tree, F.req_id, t, 4, 1)
        return "request", "command request cut short"
    end
    local id = put(tree, F.req_id, t, 4, 1):uint()
    local seq = put(tree, F.seq, t, 5, 1):uint()
    local name = request_names[id]
    if not name then
        state.accepted = false
        top:add_tvb_expert_info(E.unknown, t(4, 1), string.format("command request id %d has no class", id))
        local data = rest(t, 6)
        if data then tree:add(F.cmd_data, data) end
        return "request", string.format("request id %d seq=%d", id, seq)
    end
    generated(tree, F.command, name)
    local info = string.format("request %s seq=%d", name, seq)
    if L < request_sizes[id] then
        state.accepted = false
        malformed(top, nil, string.format("a %s request needs %d bytes, this one has %d", name,
            request_sizes[id], L))
    end
    if id == 1 then
        local probe = put(tree, F.probe_id, t, 6, 2)
        local mode = put(tree, F.probe_mode, t, 8, 1)
        if probe then
            add_probe_name(tree, probe:le_uint())
            info = info .. " probe " .. probe_text(probe:le_uint())
        end
        if mode then info = info .. " mode=" .. mode:uint() end
    elseif id == 7 then
        local tt = put(tree, F.time_type, t, 6, 1)
        if tt then info = info .. " function=" .. tt:uint() end
    else
        local cb = put(tree, F.callback_id, t, 6, 1)
        local tc = put(tree, F.test_code, t, 7, 2)
        local sz, sz_item = put(tree, F.size_of_args, t, 9, 2)
        if sz then
            local stated = sz:le_uint()
            local present = L - 11
            if stated ~= present then
                malformed(sz_item, sz, string.format("Size of arguments says %d bytes, the frame holds %d",
                    stated, present))
            end
            info = string.format("%s callback=%d testcode=%d", info, cb:uint(), tc:le_uint())
            dissect_test_code_args(t, tree, top, 11, math.min(stated, present), cb:uint(), tc:le_uint())
        end
    end
    return "request", info
end

local function dissect_ack(t, tree, top, state)
    local L = t:len()
    if L < 6 then
        state.accepted = false
        malformed(top, nil, "a command acknowledgement needs 6 bytes, this one has " .. L)
        put(tree, F.ack_id, t, 4, 1)
        return "ack", "command acknowledgement cut short"
    end
    local id = put(tree, F.ack_id, t, 4, 1):uint()
    local seq = put(tree, F.seq, t, 5, 1):uint()
    local name = ack_names[id]
    if not name then
        -- The component still takes it, as a plain acknowledgement.
        top:add_tvb_expert_info(E.unknown, t(4, 1), string.format("command acknowledgement id %d has no class", id))
        local data = rest(t, 6)
        if data then tree:add(F.cmd_data, data) end
        return "ack", string.format("ack unknown acknowledgement seq=%d", seq)
    end
    generated(tree, F.command, name)
    local info = string.format("ack %s seq=%d", name, seq)
    if L < ack_sizes[id] then
        state.accepted = false
        malformed(top, nil, string.format("a %s acknowledgement needs %d bytes, this one has %d", name,
            ack_sizes[id], L))
    end
    if id == 1 then
        local probe = put(tree, F.probe_id, t, 6, 2)
        if probe then
            add_probe_name(tree, probe:le_uint())
            info = info .. " probe " .. probe_text(probe:le_uint())
        end
        local result = add_result(tree, t, 8, name)
        if result then info = info .. " result=" .. result end
    elseif id == 8 then
        local result = add_result(tree, t, 6, name)
        if result then info = info .. " result=" .. result end
    else
        local cb = put(tree, F.callback_id, t, 6, 1)
        local tc = put(tree, F.test_code, t, 7, 2)
        local result = add_result(tree, t, 9, name)
        local na = put(tree, F.num_args, t, 11, 2)
        if na then
            info = string.format("%s callback=%d testcode=%d result=%d args=%d", info, cb:uint(),
                tc:le_uint(), result, na:le_uint())
            generated(tree, F.size_of_args, L - 13)
            dissect_test_code_args(t, tree, top, 13, L - 13, cb:uint(), tc:le_uint())
        end
    end
    return "ack", info
end

local function dissect_tvp(t, pinfo, tree, top)
    pinfo.cols.protocol = "TVP"
    local L = t:len()
    local state = { accepted = true }
    local sub = tree:add(vela, t(0, L), "TVP frame")
    if L < TvpLayout.kHeaderSize then
        malformed(sub, nil, string.format("a TVP frame needs its 4-byte header, this one has %d bytes", L))
        generated(sub, F.tvp_accepted, false)
        return string.format("malformed %d bytes: %s", L, hex(t(0, L)))
    end
    local hrange = t(0, 4)
    local h = sub:add_le(F.tvp_header, hrange)
    h:add_le(F.tvp_size, hrange)
    h:add_le(F.tvp_src_proc, hrange)
    h:add_le(F.tvp_dst_proc, hrange)
    h:add_le(F.tvp_src_node, hrange)
    h:add_le(F.tvp_dst_node, hrange)
    h:add_le(F.tvp_data_id, hrange)
    local word = hrange:le_uint()
    local size = word % (TvpLayout.kSizeMask + 1)
    local data_id = math.floor(word / 2 ^ TvpLayout.kDataIdShift)
    if size ~= L then
        state.accepted = false
        malformed(h, hrange, string.format("size field says %d bytes, the frame has %d", size, L))
    end
    local kind, info
    if data_id == 0 then
        kind, info = dissect_probe_inject(t, sub, sub, state)
    elseif data_id == 1 then
        kind, info = dissect_request(t, sub, sub, state)
    elseif data_id == 2 then
        kind, info = dissect_ack(t, sub, sub, state)
    elseif data_id == 3 then
        kind = "error"
        local data = rest(t, 4)
        if data then
            sub:add(F.error_data, data)
            info = "error frame: " .. hex(data)
        else
            info = "error frame: "
        end
    else
        state.accepted = false
        kind = data_id == 4 and "inject data request" or "print"
        sub:add_tvb_expert_info(E.unknown, hrange,
            string.format("frames of kind %s are not taken from the phone", data_id_names[data_id]))
        local data = rest(t, 4)
        if data then sub:add(F.cmd_data, data) end
        info = "frame of kind " .. data_id_names[data_id]
    end
    generated(sub, F.tvp_kind, kind)
    generated(sub, F.tvp_accepted, state.accepted)
    sub:append_text(": " .. info)
    if not state.accepted then
        info = string.format("malformed %d bytes (%s)", L, info)
    end
    return info .. " size=" .. L
end

-- Print server ------------------------------------------------------------------------------

local function dissect_print(t, pinfo, tree)
    pinfo.cols.protocol = "Vela PS"
    local L = t:len()
    local sub = tree:add(vela, t(0, L), string.format("Print-server text, %d bytes", L))
    local raw = t(0, L):raw()
    local pos, lines, first = 1, 0, nil
    while pos <= #raw do
        local lf = string.find(raw, "\n", pos, true)
        local last = lf and lf - 1 or #raw
        local line = string.sub(raw, pos, last)
        -- A block that starts with a line feed ends the previous block's last line.
        if not (pos == 1 and lf == 1) then
            local span = (lf or #raw) - pos + 1
            -- A zero byte would end the shown text early.
            sub:add(F.ps_line, t(pos - 1, span), (string.gsub(line, "%z", "\\0")))
            lines = lines + 1
            first = first or line
        end
        if not lf then break end
        pos = lf + 1
    end
    generated(sub, F.ps_lines, lines)
    local info = string.format("text %d bytes, %d line%s", L, lines, lines == 1 and "" or "s")
    if first then info = info .. ": " .. first end
    return info
end

-- Record ------------------------------------------------------------------------------------

local function dissect_record(tvb, pinfo, tree)
    pinfo.cols.protocol = "Vela"
    local cap = tvb:len()
    local root = cap > 0 and tree:add(vela, tvb(0, cap)) or tree:add(vela)
    local ok, err = pcall(function()
        local header_fields = {
            { F.version, 0, 1 }, { F.channel, 1, 1 }, { F.direction, 2, 1 }, { F.equipment, 3, 1 },
            { F.record, 4, 4 }, { F.time_us, 8, 8 }, { F.length, 16, 4 } }
        for _, f in ipairs(header_fields) do put(root, f[1], tvb, f[2], f[3]) end
        if cap < RECORD_HEADER then
            malformed(root, nil, string.format("record header cut short: %d of %d bytes", cap, RECORD_HEADER))
            generated(root, F.valid, false)
            pinfo.cols.info = string.format("not a record: %d bytes", cap)
            return
        end
        local us = tvb(8, 8):le_uint64()
        local secs = (us / 1000000):tonumber()
        local micros = (us % 1000000):tonumber()
        root:add(F.time, tvb(8, 8), NSTime.new(secs, micros * 1000))

        local version = tvb(0, 1):uint()
        local channel = tvb(1, 1):uint()
        local direction = tvb(2, 1):uint()
        local equipment = tvb(3, 1):uint()
        local number = tvb(4, 4):le_uint()
        local length = tvb(16, 4):le_uint()
        local why
        if tvb:reported_len() > cap then
            why = string.format("packet cut short in the capture: %d of %d bytes", cap, tvb:reported_len())
        elseif version ~= 1 then
            why = "unknown record format version " .. version
        elseif length ~= cap - RECORD_HEADER then
            why = string.format("record length %d does not match the %d bytes that follow", length,
                cap - RECORD_HEADER)
        end
        if why then
            malformed(root, nil, why)
            generated(root, F.valid, false)
            local data = rest(tvb, RECORD_HEADER)
            if data then root:add(F.data, data) end
            pinfo.cols.info = "not a record: " .. why
            return
        end
        generated(root, F.valid, true)
        root:set_text(string.format("Vela record #%d, phone %d, %s, %s", number, equipment,
            channel_names[channel] or ("channel " .. channel), direction_names[direction] or
            ("direction " .. direction)))
        local prefix = string.format("#%d phone%d%s ", number, equipment, direction ~= 0 and " to-phone" or "")
        local frame = length > 0 and tvb(RECORD_HEADER, length):tvb() or nil
        local info
        if channel == CHANNEL_TVP then
            if frame then
                info = dissect_tvp(frame, pinfo, root, root)
            else
                malformed(root, nil, "empty TVP record")
                generated(root, F.tvp_accepted, false)
                info = "malformed 0 bytes: "
            end
        elseif channel == CHANNEL_PRINT then
            if frame then
                info = dissect_print(frame, pinfo, root)
            else
                generated(root, F.ps_lines, 0)
                info = "text 0 bytes"
            end
        else
            root:add_proto_expert_info(E.unknown, "channel type " .. channel .. " is not decoded")
            if frame then root:add(F.data, frame(0, length)) end
            info = string.format("channel %d %d bytes", channel, length)
        end
        pinfo.cols.info = prefix .. info
    end)
    if not ok then
        root:add_proto_expert_info(E.fault, "dissector fault: " .. tostring(err))
    end
end

function vela.dissector(tvb, pinfo, tree)
    dissect_record(tvb, pinfo, tree)
    return tvb:len()
end

-- Captures of link type 147 (DLT_USER0) come to wiretap's USER0 encapsulation.
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, vela)
