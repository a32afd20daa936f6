// "krpctl get | access | locale": resources read through the library, as any
// process of the product reads them: through the host when one admits this
// process, otherwise straight from the store file.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "krplib.h"

namespace krpctl {

namespace {
struct TypeWord {
  const char *word;
  uint32_t code;
};
constexpr TypeWord kTypes[] = {{"text", KRT_TEXT},       {"image", KRT_IMAGE},
                               {"integer", KRT_INTEGER}, {"boolean", KRT_BOOLEAN},
                               {"list", KRT_LIST},       {"bytearray", KRT_BYTEARRAY},
                               {"any", KRT_ANY},         {"container", KRT_CONTAINER},
                               {"trigger", KRT_TRIGGER}, {"utc", KRT_UTC}};
}  // namespace

const char *TypeWordOf(uint32_t code) {
  for (const auto &t : kTypes)
    if (t.code == code) return t.word;
  return "unknown";
}

std::string CodeText(uint32_t rc) {
  char code[16];
  std::snprintf(code, sizeof code, " (0x%08x)", rc);
  return dll_KrpResultText(rc) + std::string(code);
}

int Fail(const char *what, const std::string &name, uint32_t rc) {
  std::fprintf(stderr, "krpctl: %s %s: %s\n", what, name.c_str(), CodeText(rc).c_str());
  return kExitBad;
}

std::string FullName(const std::string &container, const std::string &entry) {
  return container.empty() ? entry : container + "." + entry;
}

bool TypeCodeOf(const std::string &word, uint32_t *code) {
  for (const auto &t : kTypes)
    if (word == t.word) {
      *code = t.code;
      return true;
    }
  return false;
}

namespace {

void PrintHex(const uint8_t *p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) std::printf("%02x%s", p[i], (i % 32 == 31) ? "\n" : "");
  if (n % 32) std::printf("\n");
}

// A LIST value or a listing, one item a line (an empty item is an empty
// line). False, with nothing printed, when the bytes are not a list.
bool PrintList(const uint8_t *p, uint32_t n) {
  std::vector<std::string> items;
  if (!DecodeList(p, n, &items)) return false;
  for (const std::string &item : items) {
    std::fwrite(item.data(), 1, item.size(), stdout);
    std::printf("\n");
  }
  return true;
}

int Get(const std::string &name, const std::string &type_word, const std::string &locale,
        bool raw, bool attr) {
  uint32_t type = KRT_ANY;
  if (!TypeCodeOf(type_word, &type)) {
    std::fprintf(stderr, "krpctl: unknown type '%s'\n", type_word.c_str());
    return kExitUsage;
  }
  uint32_t size = 0, found = 0, ares = 0;
  KrpAttributes a{0, 0};
  char access[3] = {0, 0, 0};
  uint32_t rc = dll_KrpGetResourceForLocale(type, name.c_str(), &size, nullptr, access, &found,
                                            locale.c_str(), &a, &ares);
  if (rc != 0) return Fail("get", name, rc);
  std::string buf(size ? size : 1, '\0');
  rc = dll_KrpGetResourceForLocale(type, name.c_str(), &size, buf.data(), access, &found,
                                   locale.c_str(), &a, &ares);
  if (rc != 0) return Fail("get", name, rc);
  const uint8_t *p = reinterpret_cast<const uint8_t *>(buf.data());
  if (attr) {
    std::printf("type: %s\ntimestamp: %u\nattributes: 0x%08x\naccess: %s\nsize: %u\n",
                TypeWordOf(found), a.timestamp, a.attributes, access, size);
  }
  if (raw) {
    std::fwrite(p, 1, size, stdout);
    return kExitOk;
  }
  switch (found) {
    case KRT_LIST:
    case KRT_CONTAINER:
      if (!PrintList(p, size)) PrintHex(p, size);
      break;
    case KRT_IMAGE:
    case KRT_BYTEARRAY:
      PrintHex(p, size);
      break;
    default: {
      uint32_t len = static_cast<uint32_t>(strnlen(buf.data(), size));
      std::fwrite(p, 1, len, stdout);
      std::printf("\n");
    }
  }
  return kExitOk;
}

}  // namespace

void AddResourceCommands(CLI::App &app, Action *action) {
  // The options live as long as the program (the actions run after parsing).
  static std::string name, type = "any", locale = "zz", aname;
  static bool raw = false, attr = false;
  auto *get = app.add_subcommand("get", "print a resource's value");
  get->add_option("NAME", name, "resource name")->required();
  get->add_option("--type", type, "text, image, integer, boolean, list, bytearray, any, ...");
  get->add_option("--locale", locale, "two-character locale (zz: the current one)");
  get->add_flag("--raw", raw, "write the value's bytes unchanged");
  get->add_flag("--attr", attr, "print type, time stamp, attributes and access text");
  get->callback([action] { *action = [] { return Get(name, type, locale, raw, attr); }; });

  // "access NAME" prints; the write commands add "access set" below it, whose
  // callback (run before this one) has then chosen the action.
  auto *acc = app.add_subcommand("access", "print the access text governing a name");
  acc->add_option("NAME", aname, "resource name");
  acc->callback([action, acc] {
    if (!acc->get_subcommands().empty()) return;
    *action = [] {
      if (aname.empty()) {
        std::fprintf(stderr, "krpctl: access: NAME is required\n");
        return kExitUsage;
      }
      char text[3] = {0, 0, 0};
      uint32_t rc = dll_KrpGetAccess(aname.c_str(), text);
      if (rc != 0 && rc != 0x370001u) return Fail("access", aname, rc);
      std::printf("%s%s\n", text, rc == 0 ? "" : " (name does not exist)");
      return text[0] ? kExitOk : kExitBad;
    };
  });

  auto *loc = app.add_subcommand("locale", "print the current locale");
  loc->callback([action] {
    *action = [] {
      char text[3];
      uint32_t rc = dll_KrpGetLocale(text);
      if (rc != 0) return Fail("locale", "", rc);
      std::printf("%s\n", text);
      return kExitOk;
    };
  });
}

}  // namespace krpctl
