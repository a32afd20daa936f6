// The table of result codes in krplib.h and dll_KrpResultText: read from the
// header itself, so that a code added without its text, or a value defined
// twice, fails here.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "krplib.h"
#include "platform.h"
#include "store.h"

namespace {

// name -> value of every "#define KRP_OK / KRP_ERR_... <number>u" of the
// public header.
std::map<std::string, uint32_t> HeaderTable() {
  const std::string path = KRP_PUBLIC_HEADER;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  static const std::regex kDefine(R"(#define (KRP_OK|KRP_ERR_\w+)\s+(0x[0-9A-Fa-f]+|[0-9]+)u)");
  std::map<std::string, uint32_t> out;
  for (std::sregex_iterator it(s.begin(), s.end(), kDefine), end; it != end; ++it)
    out[(*it)[1]] = static_cast<uint32_t>(std::stoul((*it)[2], nullptr, 0));
  return out;
}

TEST(ResultCodes, EveryCodeOfTheTableIsDefinedOnceAndHasItsOwnText) {
  const std::map<std::string, uint32_t> table = HeaderTable();
  ASSERT_GE(table.size(), 40u);
  std::set<uint32_t> values;
  std::map<std::string, std::string> texts;  // text -> name
  for (const auto &[name, code] : table) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(values.insert(code).second) << "value defined twice: " << code;
    const char *t = dll_KrpResultText(code);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(std::string(t), "");
    EXPECT_NE(std::string(t), "unknown result code");
    auto [it, fresh] = texts.emplace(t, name);
    EXPECT_TRUE(fresh) << "same text as " << it->second << ": " << t;
  }
}

TEST(ResultCodes, TheTableHoldsTheDocumentedValues) {
  const std::map<std::string, uint32_t> table = HeaderTable();
  const std::set<uint32_t> documented = {
      0,        1,        2,        3,        5,        6,        32,       38,
      87,       121,      123,      186,      207,      0x1005,   0x2000,   0x2001,
      0x141000, 0x141001, 0x370001, 0x370002, 0x370003, 0x370004, 0x370005, 0x370006,
      0x370008, 0x370009, 0x37000A, 0x37000C, 0x37000E, 0x37000F, 0x370010, 0x370011,
      0x370012, 0x370013, 0x370014, 0x37F0FF};
  std::set<uint32_t> defined;
  for (const auto &[name, code] : table) defined.insert(code);
  for (uint32_t code : documented) EXPECT_TRUE(defined.count(code)) << std::hex << code;
  // A few names against their values, and the layers' names as aliases.
  EXPECT_EQ(table.at("KRP_ERR_NOT_FOUND"), 0x370001u);
  EXPECT_EQ(table.at("KRP_ERR_IS_CONTAINER"), 0x370010u);
  EXPECT_EQ(table.at("KRP_ERR_NO_SERVER"), 0x141001u);
  static_assert(KST_ERR_INVALID_PARAMETER == KRP_ERR_INVALID_PARAMETER);
  static_assert(KST_HEAP_FULL == KRP_ERR_HEAP_FULL && KRP_ERR_HEAP_FULL == 8192);
  static_assert(TS_ERR_NOT_FOUND == KRP_ERR_NOT_FOUND && TS_ERR_CORRUPT == 0x37F0FF);
}

TEST(ResultCodes, UnknownCodesGiveAFixedText) {
  for (uint32_t code : {7u, 0x370007u, 0x37000Du, 0x370015u, 0xFFFFFFFFu})
    EXPECT_STREQ(dll_KrpResultText(code), "unknown result code") << std::hex << code;
  EXPECT_STREQ(dll_KrpResultText(KRP_ERR_NOT_FOUND), "not found");
}

}  // namespace
