// The runtime-information document and its schema.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store_fixture.h"
#include "store_maint.h"

namespace {

class Runtime : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_EQ(Open(), 0u);
  }
  struct Texts {
    uint32_t rc;
    std::string schema, doc;
    uint32_t schema_size = 0, doc_size = 0;
  };
  // Unscrambles both blocks; each must end in exactly one zero byte that
  // its size counts.
  Texts Get(uint32_t now, const char *style = nullptr) {
    Texts t;
    char *schema = nullptr, *doc = nullptr;
    t.rc = TsRuntimeInfoAt(s_, now, &schema, &t.schema_size, &doc, &t.doc_size, style);
    if (t.rc) return t;
    KstUnscrambleData(KST_SCRAMBLE_KEY, schema, t.schema_size);
    KstUnscrambleData(KST_SCRAMBLE_KEY, doc, t.doc_size);
    EXPECT_EQ(std::strlen(schema) + 1, t.schema_size);
    EXPECT_EQ(std::strlen(doc) + 1, t.doc_size);
    t.schema.assign(schema, t.schema_size - 1);
    t.doc.assign(doc, t.doc_size - 1);
    KstFreeMem(schema, 0);
    KstFreeMem(doc, 0);
    return t;
  }
  static bool Has(const std::string &s, const std::string &what) {
    return s.find(what) != std::string::npos;
  }
  // xmllint --noout over a text; true when it is well-formed.
  bool WellFormed(const std::string &text) {
    std::string p = env_.dir() + "/x.xml";
    krptest::WriteFile(p, text);
    std::string cmd = "xmllint --noout '" + p + "' 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
};

TEST_F(Runtime, DocumentLines) {
  ASSERT_EQ(Write("a.b", "1"), 0u);
  std::string got;
  ASSERT_EQ(Read("a.b", &got), 0u);
  ASSERT_EQ(Read("a.b", &got), 0u);
  const uint32_t reads = s_->reads, writes = s_->writes;
  Texts t = Get(s_->load_time);
  ASSERT_EQ(t.rc, 0u);
  // Right after the open: no timeup; never packed: no lastpacktime; no
  // stylesheet line without a reference.
  EXPECT_FALSE(Has(t.doc, "timeup"));
  EXPECT_FALSE(Has(t.doc, "lastpacktime"));
  EXPECT_FALSE(Has(t.doc, "xml-stylesheet"));
  EXPECT_EQ(t.doc.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<ktsruntimeinfo>\r\n", 0),
            0u);
  EXPECT_TRUE(Has(t.doc, "\t<krplibbuildstring>Build 7.4.4.1003 "));
  EXPECT_TRUE(Has(t.doc, "\t\t<reads>2</reads>\r\n"));
  EXPECT_TRUE(Has(t.doc, "\t\t<writes>1</writes>\r\n"));
  EXPECT_TRUE(Has(t.doc, "\t\t<tsfileformat>4</tsfileformat>\r\n"));
  EXPECT_TRUE(Has(t.doc, "\t\t<activeobjects>1</activeobjects>\r\n"));
  EXPECT_TRUE(Has(t.doc, "\t</failedrequests>\r\n</ktsruntimeinfo>\r\n"));
  EXPECT_EQ(t.doc.size() - t.doc.find("</ktsruntimeinfo>"), std::strlen("</ktsruntimeinfo>\r\n"));
  EXPECT_EQ(s_->reads, reads);  // the report changes no counter
  EXPECT_EQ(s_->writes, writes);
  // Load time as "%d%02d%02d-%02d%02d%02d" of local time.
  time_t lt = s_->load_time;
  struct tm tmv;
  localtime_r(&lt, &tmv);
  char want[64];
  std::snprintf(want, sizeof want, "\t\t<loadtime>%d%02d%02d-%02d%02d%02d</loadtime>\r\n",
                tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                tmv.tm_sec);
  EXPECT_TRUE(Has(t.doc, want)) << t.doc;
  EXPECT_TRUE(WellFormed(t.doc));
  EXPECT_TRUE(WellFormed(t.schema));

  // 90061 seconds up.
  t = Get(s_->load_time + 90061);
  EXPECT_TRUE(Has(t.doc, "\t\t<timeup>P1DT1H1M1S</timeup>\r\n"));
  // A clock that went back writes no timeup.
  EXPECT_FALSE(Has(Get(s_->load_time - 5).doc, "timeup"));
}

TEST_F(Runtime, Stylesheet) {
  Texts t = Get(s_->load_time, "style.xsl");
  ASSERT_EQ(t.rc, 0u);
  EXPECT_EQ(t.doc.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
                        "<?xml-stylesheet type=\"text/xsl\" href=\"style.xsl\"?>\r\n"
                        "<ktsruntimeinfo>\r\n",
                        0),
            0u);
  EXPECT_TRUE(WellFormed(t.doc));
  EXPECT_FALSE(Has(Get(s_->load_time, "").doc, "xml-stylesheet"));
  for (const char *bad : {"a\"b", "<x>", "a>b", "a&b"})
    EXPECT_EQ(Get(s_->load_time, bad).rc, KST_ERR_INVALID_PARAMETER) << bad;
  char *schema = nullptr, *doc = nullptr;
  uint32_t ss, ds;
  EXPECT_EQ(StoreGetRuntimeInfo(nullptr, &schema, &ss, &doc, &ds, nullptr),
            KST_ERR_INVALID_PARAMETER);
}

TEST_F(Runtime, PackTimeAndOrderlyClose) {
  // Opened after an orderly close: true. A fresh file was never closed.
  EXPECT_TRUE(Has(Get(s_->load_time).doc, "<orderlyclose>false</orderlyclose>"));
  Reopen();
  EXPECT_TRUE(Has(Get(s_->load_time).doc, "<orderlyclose>true</orderlyclose>"));
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  Texts t = Get(s_->load_time);
  EXPECT_TRUE(Has(t.doc, "\t\t<lastpacktime>"));
  EXPECT_LT(t.doc.find("<loadtime>"), t.doc.find("<lastpacktime>"));
  EXPECT_TRUE(WellFormed(t.doc));
  // A crash leaves the tag missing: the next open reports false.
  std::string b = Bytes();
  PutU32(&b, kTsHdrOffCloseTag, 0);
  Close();
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  EXPECT_TRUE(Has(Get(s_->load_time).doc, "<orderlyclose>false</orderlyclose>"));
}

TEST_F(Runtime, Schema) {
  Texts t = Get(s_->load_time);
  ASSERT_EQ(t.rc, 0u);
  EXPECT_EQ(t.schema.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
                           "<!--Schema for TS runtime information-->\r\n\r\n<xs:schema "
                           "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"",
                           0),
            0u);
  // 1679 characters; the handed-out size counts the terminator too.
  EXPECT_EQ(t.schema.size(), 1679u);
  // Every element with its declared type, in the declared order.
  const char *const order[][2] = {
      {"krplibbuildstring", "xs:string"}, {"loadtime", "xs:dateTime"},
      {"lastpacktime", "xs:dateTime"},    {"timeup", "xs:duration"},
      {"reads", "xs:integer"},            {"multireads", "xs:integer"},
      {"writes", "xs:integer"},           {"deletes", "xs:integer"},
      {"getobjectinfo", "xs:integer"},    {"listobjects", "xs:integer"},
      {"tsfileformat", "xs:byte"},        {"orderlyclose", "xs:boolean"},
      {"activeobjects", "xs:integer"},    {"supersizedobjects", "xs:integer"},
      {"deletedobjects", "xs:integer"},   {"databasesize", "xs:integer"},
      {"wastedspace", "xs:integer"},      {"reads", "xs:integer"},
      {"writes", "xs:integer"}};
  size_t at = 0;
  for (auto &e : order) {
    std::string decl = std::string("<element name=\"") + e[0] + "\" type=\"" + e[1] + "\"/>";
    size_t p = t.schema.find(decl, at);
    ASSERT_NE(p, std::string::npos) << decl;
    at = p + 1;
  }
  EXPECT_TRUE(WellFormed(t.schema));
}

}  // namespace
