// The text dump's writer and reader on their own: tricky values survive the
// round trip byte for byte, and every fault in a text names its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dump_text.h"
#include "commands.h"
#include "krplib.h"

namespace {

using krpctl::DumpRecord;

std::string Text(const std::string &s) { return s + std::string(1, '\0'); }

struct ValueCase {
  const char *label;
  DumpRecord record;
  const char *expected_value;  // the value's text form on its line
};

std::vector<ValueCase> ValueCases() {
  std::string all_name_bytes;
  for (int c = 0x21; c < 0x7f; ++c)
    if (c != '.') all_name_bytes.push_back(char(c));
  std::string large(70000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = char(i * 7 + 3);
  return {
      {"empty text", {"a.t", KRT_TEXT, 0, 0, Text("")}, "\"\""},
      {"quotes and backslashes", {"a.t", KRT_TEXT, 0, 0, Text("say \"hi\" \\o/")},
       "\"say \\\"hi\\\" \\\\o/\""},
      {"newlines and tabs", {"a.t", KRT_TEXT, 0, 0, Text("a\nb\r\tc")}, "\"a\\nb\\r\\tc\""},
      {"control bytes", {"a.t", KRT_TEXT, 0, 0, Text("\x01\x1f\x7f")}, "\"\\x01\\x1f\\x7f\""},
      {"non-UTF-8 bytes", {"a.t", KRT_TEXT, 0, 0, Text("\xff\xfe\xc3")}, "\"\\xff\\xfe\\xc3\""},
      {"text without terminator", {"a.t", KRT_TEXT, 0, 0, "ab"}, "b64:YWI="},
      {"text with an inner zero byte", {"a.t", KRT_TEXT, 0, 0, std::string("a\0b\0", 4)},
       "b64:YQBiAA=="},
      {"integer", {"a.i", KRT_INTEGER, 0, 0, Text("-42")}, "\"-42\""},
      {"boolean", {"a.b", KRT_BOOLEAN, 0, 0, Text("1")}, "\"1\""},
      {"utc", {"a.u", KRT_UTC, 0, 0, Text("20261211000000")}, "\"20261211000000\""},
      {"trigger", {"a.g", KRT_TRIGGER, 0, 0, Text("")}, "\"\""},
      {"list with empty items", {"a.l", KRT_LIST, 0, 0, krpctl::EncodeList({"x", "", "y"})},
       "[\"x\", \"\", \"y\"]"},
      {"list with one empty item", {"a.l", KRT_LIST, 0, 0, krpctl::EncodeList({""})}, "[\"\"]"},
      {"empty list", {"a.l", KRT_LIST, 0, 0, krpctl::EncodeList({})}, "[]"},
      {"list item with a quote and a comma",
       {"a.l", KRT_LIST, 0, 0, krpctl::EncodeList({"a\", \"b", "\n"})},
       "[\"a\\\", \\\"b\", \"\\n\"]"},
      {"list bytes that are no list", {"a.l", KRT_LIST, 0, 0, "\x05"}, "b64:BQ=="},
      {"zero-length binary", {"a.y", KRT_BYTEARRAY, 0, 0, ""}, "b64:"},
      {"binary of one byte", {"a.y", KRT_BYTEARRAY, 0, 0, "M"}, "b64:TQ=="},
      {"binary of two bytes", {"a.y", KRT_IMAGE, 0, 0, "Ma"}, "b64:TWE="},
      {"large binary", {"a.y", KRT_IMAGE, 0, 0, large}, nullptr},
      {"unknown type code", {"a.z", 77, 0, 0, Text("v")}, "\"v\""},
      {"name with every allowed byte", {"a." + all_name_bytes, KRT_TEXT, 0, 0, Text("v")},
       nullptr},
      {"name with a space", {"a.b c", KRT_TEXT, 0, 0, Text("v")}, "\"v\""},
      {"all attribute bits and the latest stamp",
       {"a.t", KRT_TEXT, 0xffffffffu, 0xffffffffu, Text("v")}, "\"v\""},
  };
}

TEST(DumpText, EveryTrickyValueRoundTripsExactly) {
  for (const ValueCase &c : ValueCases()) {
    const std::string text = krpctl::WriteDump({c.record});
    std::vector<DumpRecord> back;
    std::string error;
    ASSERT_TRUE(krpctl::ReadDump(text, &back, &error)) << c.label << ": " << error << "\n" << text;
    ASSERT_EQ(1u, back.size()) << c.label;
    EXPECT_TRUE(back[0] == c.record) << c.label << "\n" << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n') - 1) << c.label << ": one line";
    if (c.expected_value) {
      const std::string tail = std::string(" ") + c.expected_value + "\n";
      EXPECT_EQ(tail, text.substr(text.size() - tail.size())) << c.label;
    }
  }
}

TEST(DumpText, LinesCarryNameTypeAttributesAndStampSortedByName) {
  const std::string text = krpctl::WriteDump({
      {"vendor.b", KRT_INTEGER, 0x100, 86400, Text("7")},
      {"a b", KRT_TEXT, 0x2, 0, Text("x")},
      {"vendor.a", KRT_BYTEARRAY, 0, 1765411200, "\x01\x02"},
  });
  EXPECT_EQ(std::string(krpctl::kDumpVersionLine) + "\n" +
                "\"a b\" text 0x00000002 1970-01-01T00:00:00Z \"x\"\n"
                "vendor.a bytearray 0x00000000 2025-12-11T00:00:00Z b64:AQI=\n"
                "vendor.b integer 0x00000100 1970-01-02T00:00:00Z \"7\"\n",
            text);
}

TEST(DumpText, BlankLinesAndCommentsAreSkipped) {
  std::vector<DumpRecord> back;
  std::string error;
  ASSERT_TRUE(krpctl::ReadDump("krpdump 1\n\n# note\nn text 0x00000000 1970-01-01T00:00:01Z \"v\"",
                               &back, &error))
      << error;
  ASSERT_EQ(1u, back.size());
  EXPECT_EQ(1u, back[0].timestamp);
}

TEST(DumpText, FaultsNameTheirLineAndWhatIsWrong) {
  const std::string ok = "n text 0x00000000 1970-01-01T00:00:00Z \"v\"\n";
  struct Case {
    std::string text;
    const char *error;
  } cases[] = {
      {"", "line 1: not a dump"},
      {"krpdump 2\n", "line 1: not a dump"},
      {"krpdump 1\n" + ok + "n text 0x00000000 1970-01-01T00:00:00Z \"v\n",
       "line 3: unterminated quoted text"},
      {"krpdump 1\nn word 0x00000000 1970-01-01T00:00:00Z \"v\"\n", "line 2: unknown type 'word'"},
      {"krpdump 1\nn text 0x0 1970-01-01T00:00:00Z \"v\"\n", "line 2: attributes must be"},
      {"krpdump 1\nn text 0x0000000g 1970-01-01T00:00:00Z \"v\"\n", "line 2: attributes must be"},
      {"krpdump 1\nn text 0x00000000 yesterday \"v\"\n", "line 2: time stamp must be"},
      {"krpdump 1\nn text 0x00000000 2200-01-01T00:00:00Z \"v\"\n", "line 2: time stamp out of"},
      {"krpdump 1\nn text 0x00000000 1970-01-01T00:00:00Z \"\\q\"\n", "line 2: unknown escape \\q"},
      {"krpdump 1\nn text 0x00000000 1970-01-01T00:00:00Z \"\\x4\"\n", "line 2: \\x needs two"},
      {"krpdump 1\nn text 0x00000000 1970-01-01T00:00:00Z \"\\x00\"\n",
       "line 2: a quoted text cannot hold"},
      {"krpdump 1\nn text 0x00000000 1970-01-01T00:00:00Z \"v\" x\n", "line 2: unexpected text"},
      {"krpdump 1\nn image 0x00000000 1970-01-01T00:00:00Z \"v\"\n", "line 2: an image or"},
      {"krpdump 1\nn image 0x00000000 1970-01-01T00:00:00Z b64:AQ\n", "line 2: base64 length"},
      {"krpdump 1\nn image 0x00000000 1970-01-01T00:00:00Z b64:A=QI\n", "line 2: bad base64"},
      {"krpdump 1\nn list 0x00000000 1970-01-01T00:00:00Z [\"a\",\"b\"]\n", "line 2: expected ', '"},
      {"krpdump 1\nn list 0x00000000 1970-01-01T00:00:00Z \"a\"\n", "line 2: a list value must"},
      {"krpdump 1\nn text 0x00000000 1970-01-01T00:00:00Z [\"a\"]\n", "line 2: a [list] value"},
      {"krpdump 1\n\"\" text 0x00000000 1970-01-01T00:00:00Z \"v\"\n", "line 2: empty name"},
      {"krpdump 1\nn  text 0x00000000 1970-01-01T00:00:00Z \"v\"\n", "line 2: unknown type ''"},
  };
  for (const Case &c : cases) {
    std::vector<DumpRecord> back;
    std::string error;
    EXPECT_FALSE(krpctl::ReadDump(c.text, &back, &error)) << c.text;
    EXPECT_EQ(0u, error.find(c.error)) << "text:\n" << c.text << "error: " << error;
  }
}

}  // namespace
