// The machine-readable outputs: JSON text as collectors parse it (escapes, bytes that are not
// UTF-8, times in UTC), a record of replay --format jsonl, and the lists of probes and devices.
#include <gtest/gtest.h>

#include <sstream>

#include "host/DeviceList.h"
#include "host/JsonWriter.h"
#include "host/ProbeSelection.h"
#include "host/Replay.h"

namespace {

TEST(JsonOutput, StringsNumbersAndNesting) {
    EXPECT_EQ(host::jsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    // UTF-8 stays as it is; a byte that is not UTF-8 becomes its code point.
    EXPECT_EQ(host::jsonString("\xC3\xA9t\xE9"), "\"\xC3\xA9t\\u00E9\"");
    EXPECT_EQ(host::jsonString("\xF0\x9F\x93\xB1"), "\"\xF0\x9F\x93\xB1\"");
    EXPECT_EQ(host::jsonString("\xED\xA0\x80"), "\"\\u00ED\\u00A0\\u0080\"") << "a surrogate";
    host::JsonWriter json;
    json.beginObject();
    json.key("a").value(std::uint64_t{18446744073709551615ull});
    json.key("b").beginArray().value(-1).value(2.5, 1).value(true).null().endArray();
    json.key("c").beginObject().endObject();
    json.endObject();
    EXPECT_EQ(json.text(), "{\"a\":18446744073709551615,\"b\":[-1,2.5,true,null],\"c\":{}}");
    EXPECT_EQ(host::isoTime(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(host::isoTime(1700000000123456ull), "2023-11-14T22:13:20.123456Z");
    EXPECT_EQ(host::isoTime(951782400000001ull), "2000-02-29T00:00:00.000001Z");
}

TEST(JsonOutput, RecordsOfReplay) {
    host::CaptureRecord probe;
    probe.channelType = 2;
    probe.equipment = 1;
    probe.recordNumber = 7;
    probe.timeMicros = 1700000000123456ull;
    probe.bytes = {0x16, 0x00, 0x02, 0x0C, 0x00, 0x04, 0x03, 0x02, 0x01, 0x05, 0x00,
                   0x96, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x02, 0x00, 0xDE, 0xAD};
    probe.dropCount = 2;
    probe.comments = {"the session came up again (session 2)"};
    EXPECT_EQ(host::recordJson(probe, "COM7"),
              "{\"record\":7,\"time\":\"2023-11-14T22:13:20.123456Z\",\"time_us\":1700000000123456,"
              "\"phone\":2,\"equipment\":1,\"port\":\"COM7\",\"channel\":\"TVP\",\"direction\":"
              "\"from phone\",\"kind\":\"probe\",\"probe_id\":150,\"probe_name\":\"RR State\","
              "\"seq\":5,\"length\":22,\"data\":\"1600020c0004030201050096000200000004020"
              "0dead\",\"lost_before\":2,\"comments\":[\"the session came up again (session "
              "2)\"]}");
    host::CaptureRecord ack = probe;
    ack.bytes = {0x0A, 0x00, 0x02, 0x4C, 0x01, 0x03, 0x96, 0x00, 0x01, 0x00};
    ack.dropCount = 0;
    ack.comments.clear();
    const std::string json = host::recordJson(ack);
    EXPECT_NE(json.find("\"kind\":\"ack\",\"command\":\"SetProbeMode\",\"probe_id\":150,"
                        "\"probe_name\":\"RR State\",\"seq\":3,\"result\":1,"),
              std::string::npos)
        << json;
    host::CaptureRecord text;
    text.channelType = 5;
    text.bytes = {'o', 'k', '\n', 0xFF};
    EXPECT_NE(host::recordJson(text).find("\"channel\":\"print server\",\"direction\":\"from "
                                          "phone\",\"kind\":\"text\",\"text\":\"ok\\n\\u00FF\","),
              std::string::npos)
        << host::recordJson(text);
}

TEST(JsonOutput, ProbesAndDevicesAsOneDocument) {
    std::ostringstream probes;
    host::listSettingsJson(probes);
    EXPECT_EQ(probes.str().rfind("[{\"name\":\"System Capability Control\",\"identity\":424692,"
                                 "\"values\":[{\"name\":\"WCDMA\",",
                                 0),
              0u)
        << probes.str().substr(0, 200);
    EXPECT_NE(probes.str().find("{\"name\":\"RR State\",\"value\":150}"), std::string::npos);
    EXPECT_EQ(probes.str().back(), '\n');

    // Without the plug-in no detector knows a device: each is listed without a phone.
    host::UsbScan scan;
    scan.looked = "looked at 1 USB device";
    core::RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "0403";
    device->productId = "6001";
    device->product = "FT232R \"UART\"";
    device->ports.push_back({"/dev/ttyUSB0", "", ""});
    scan.devices.push_back(device);
    std::ostringstream devices;
    host::printDevicesJson(scan, devices);
    EXPECT_EQ(devices.str(),
              "{\"looked\":\"looked at 1 USB device\",\"devices\":[{\"vendor_id\":\"0403\","
              "\"product_id\":\"6001\",\"vendor\":\"\",\"product\":\"FT232R \\\"UART\\\"\","
              "\"serial\":\"\",\"ports\":[{\"port\":\"/dev/ttyUSB0\",\"role\":\"\"}],"
              "\"phone\":null}]}\n");
}

}  // namespace
