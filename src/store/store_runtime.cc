// The runtime-information report: an XML document describing the running
// store and the schema that declares it, both handed out scrambled.
//
// Both texts are ISO-8859-1 with CR LF line ends and tab indentation. The
// document's times are written compactly ("20100315-132818" and
// "P1DT1H1M1S"); the schema names xs:dateTime and xs:duration for them and
// lists lastpacktime before timeup, while the document writes timeup first.
// Readers of the report rely on both texts as they are.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "store_maint.h"
#include "ts_format.h"

namespace {

constexpr uint32_t kWorkBuffer = 0xA000;

// The schema: 1679 characters (its size counts one more, the terminator).
// The root is the xs:schema element; inside it the schema vocabulary is
// also the default namespace, so the declarations carry no prefix, while
// "xs" names the built-in types they refer to. The length is part of the
// report's contract, so the layout below is fixed: change a character and
// the assertion fails.
constexpr uint32_t kSchemaLength = 1679;
const char kSchema[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
    "<!--Schema for TS runtime information-->\r\n"
    "\r\n"
    "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns=\"http://www.w3.org/2001/XMLSchema\">\r\n"
    "<element name=\"ktsruntimeinfo\">\r\n"
    "\t<complexType>\r\n"
    "\t\t<sequence>\r\n"
    "\t\t\t<element name=\"krplibbuildstring\" type=\"xs:string\"/>\r\n"
    "\t\t\t<element name=\"timestamps\"><complexType><sequence>\r\n"
    "\t\t\t\t<element name=\"loadtime\" type=\"xs:dateTime\"/>\r\n"
    "\t\t\t\t<element name=\"lastpacktime\" type=\"xs:dateTime\"/>\r\n"
    "\t\t\t\t<element name=\"timeup\" type=\"xs:duration\"/>\r\n"
    "\t\t\t</sequence></complexType></element>\r\n"
    "\t\t\t<element name=\"iorequests\"><complexType><sequence>\r\n"
    "\t\t\t\t<element name=\"reads\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"multireads\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"writes\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"deletes\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"getobjectinfo\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"listobjects\" type=\"xs:integer\"/>\r\n"
    "\t\t\t</sequence></complexType></element>\r\n"
    "\t\t\t<element name=\"dbinfo\"><complexType><sequence>\r\n"
    "\t\t\t\t<element name=\"tsfileformat\" type=\"xs:byte\"/>\r\n"
    "\t\t\t\t<element name=\"orderlyclose\" type=\"xs:boolean\"/>\r\n"
    "\t\t\t\t<element name=\"activeobjects\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"supersizedobjects\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"deletedobjects\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"databasesize\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"wastedspace\" type=\"xs:integer\"/>\r\n"
    "\t\t\t</sequence></complexType></element>\r\n"
    "\t\t\t<element name=\"failedrequests\"><complexType><sequence>\r\n"
    "\t\t\t\t<element name=\"reads\" type=\"xs:integer\"/>\r\n"
    "\t\t\t\t<element name=\"writes\" type=\"xs:integer\"/>\r\n"
    "\t\t\t</sequence></complexType></element>\r\n"
    "\t\t</sequence>\r\n"
    "\t</complexType>\r\n"
    "</element>\r\n"
    "</xs:schema>";
static_assert(sizeof kSchema - 1 == kSchemaLength, "the schema text has a fixed length");


// Appends formatted text to a bounded buffer; a text that would not fit is
// dropped whole and the buffer remembers the overflow.
struct Text {
  char *buf;
  uint32_t cap, len;
  bool overflow;
  void Add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf + len, cap - len, fmt, ap);
    va_end(ap);
    if (n < 0 || uint32_t(n) >= cap - len) {
      buf[len] = 0;
      overflow = true;
      return;
    }
    len += uint32_t(n);
  }
};

void Compact(uint32_t t, char *out, size_t size) {
  time_t tt = t;
  struct tm tmv;
  if (!localtime_r(&tt, &tmv)) {
    std::snprintf(out, size, "%u", t);
    return;
  }
  std::snprintf(out, size, "%d%02d%02d-%02d%02d%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

// A copy of the text with its terminator, scrambled over its whole size.
uint32_t HandOut(const char *text, uint32_t len, char **out, uint32_t *out_size) {
  void *mem = nullptr;
  if (KstAllocMem(len + 1, 0, &mem, nullptr)) return KST_HEAP_FULL;
  std::memcpy(mem, text, len + 1);
  KstScrambleData(KST_SCRAMBLE_KEY, mem, len + 1);
  *out = static_cast<char *>(mem);
  *out_size = len + 1;
  return KST_OK;
}

}  // namespace

uint32_t TsRuntimeInfoAt(TsStore *s, uint32_t now, char **schema, uint32_t *schema_size,
                         char **doc, uint32_t *doc_size, const char *stylesheet) {
  if (!s || !schema || !schema_size || !doc || !doc_size) return KST_ERR_INVALID_PARAMETER;
  *schema = *doc = nullptr;
  *schema_size = *doc_size = 0;
  // The reference comes from any client; it must not break the document.
  if (stylesheet && std::strpbrk(stylesheet, "\"<>&")) return KST_ERR_INVALID_PARAMETER;
  void *mem = nullptr;
  if (KstAllocMem(kWorkBuffer, 0, &mem, nullptr)) return KST_HEAP_FULL;
  Text t{static_cast<char *>(mem), kWorkBuffer, 0, false};
  t.buf[0] = 0;
  char when[64];

  t.Add("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n");
  if (stylesheet && *stylesheet)
    t.Add("<?xml-stylesheet type=\"text/xsl\" href=\"%s\"?>\r\n", stylesheet);
  t.Add("<ktsruntimeinfo>\r\n");
  t.Add("\t<krplibbuildstring>Build %d.%d.%d.%d %s %s</krplibbuildstring>\r\n", kTsEngineV1,
        kTsEngineV2, kTsEngineV3, kTsEngineV4, kTsBuildDate, kTsBuildTime);
  t.Add("\t<timestamps>\r\n");
  Compact(s->load_time, when, sizeof when);
  t.Add("\t\t<loadtime>%s</loadtime>\r\n", when);
  if (now > s->load_time) {
    uint32_t up = now - s->load_time;
    t.Add("\t\t<timeup>P%dDT%dH%dM%dS</timeup>\r\n", int(up / 86400), int(up / 3600 % 24),
          int(up / 60 % 60), int(up % 60));
  }
  if (s->last_pack_time) {
    Compact(s->last_pack_time, when, sizeof when);
    t.Add("\t\t<lastpacktime>%s</lastpacktime>\r\n", when);
  }
  t.Add("\t</timestamps>\r\n");
  t.Add("\t<iorequests>\r\n");
  t.Add("\t\t<reads>%d</reads>\r\n", int(s->reads));
  t.Add("\t\t<multireads>%d</multireads>\r\n", int(s->read_multiples));
  t.Add("\t\t<writes>%d</writes>\r\n", int(s->writes));
  t.Add("\t\t<deletes>%d</deletes>\r\n", int(s->deletes));
  t.Add("\t\t<getobjectinfo>%d</getobjectinfo>\r\n", int(s->infos));
  t.Add("\t\t<listobjects>%d</listobjects>\r\n", int(s->lists));
  t.Add("\t</iorequests>\r\n");
  t.Add("\t<dbinfo>\r\n");
  t.Add("\t\t<tsfileformat>%d</tsfileformat>\r\n", int(s->version));
  t.Add("\t\t<orderlyclose>%s</orderlyclose>\r\n", s->close_tag_seen ? "true" : "false");
  t.Add("\t\t<activeobjects>%d</activeobjects>\r\n", int(s->active));
  t.Add("\t\t<supersizedobjects>%d</supersizedobjects>\r\n", int(s->supersized));
  t.Add("\t\t<deletedobjects>%d</deletedobjects>\r\n", int(s->deleted));
  t.Add("\t\t<databasesize>%d</databasesize>\r\n", int(s->db_size));
  t.Add("\t\t<wastedspace>%d</wastedspace>\r\n", int(s->wasted));
  t.Add("\t</dbinfo>\r\n");
  t.Add("\t<failedrequests>\r\n");
  t.Add("\t\t<reads>%d</reads>\r\n", int(s->failed_reads));
  t.Add("\t\t<writes>%d</writes>\r\n", int(s->failed_writes));
  t.Add("\t</failedrequests>\r\n");
  t.Add("</ktsruntimeinfo>\r\n");

  uint32_t rc = t.overflow ? KST_ERR_INVALID_PARAMETER : KST_OK;  // only a huge reference
  if (!rc) rc = HandOut(kSchema, uint32_t(sizeof kSchema - 1), schema, schema_size);
  if (!rc) {
    rc = HandOut(t.buf, t.len, doc, doc_size);
    if (rc) {
      KstFreeMem(*schema, 0);
      *schema = nullptr;
      *schema_size = 0;
    }
  }
  KstFreeMem(mem, 0);
  return rc;
}

uint32_t StoreGetRuntimeInfo(TsStore *s, char **schema, uint32_t *schema_size, char **doc,
                             uint32_t *doc_size, const char *stylesheet) {
  return TsRuntimeInfoAt(s, static_cast<uint32_t>(std::time(nullptr)), schema, schema_size, doc,
                         doc_size, stylesheet);
}
