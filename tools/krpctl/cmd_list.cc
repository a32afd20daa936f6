// "krpctl ls | find | tree": what lies under a container, read through the
// library as any process of the product reads it (through the host when
// one admits this process, otherwise straight from the store file).
//
//   ls CONTAINER [--level] [-l]    one entry a line; --level merges the
//                                  "default" level of a "vendor" container;
//                                  -l adds type, size and time stamp (UTC)
//   find CONTAINER RESOURCE VALUE  the child C whose CONTAINER.C.RESOURCE
//                                  holds VALUE
//   tree NAME [--depth N]          the entries below NAME, two spaces of
//                                  indentation per level; containers end in
//                                  "/", values show their type and size
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "commands.h"
#include "krplib.h"

namespace krpctl {

namespace {

// The entries of a listing, in order.
uint32_t Entries(const void *listing, uint32_t size, std::vector<std::string> *out) {
  KRP_HLIST h = nullptr;
  uint32_t rc = dll_KrpListhelpInit(&h, nullptr);
  if (rc != 0) return rc;
  rc = dll_KrpListhelpAddList(h, listing, size);
  uint32_t count = 0;
  if (rc == 0) rc = dll_KrpListhelpGetCount(h, &count);
  for (uint32_t i = 1; rc == 0 && i <= count; ++i) {
    uint32_t len = 0;
    rc = dll_KrpListhelpGetItem(h, i, nullptr, &len);
    std::string item(len, '\0');
    if (rc == 0) rc = dll_KrpListhelpGetItem(h, i, item.data(), &len);
    if (rc == 0) out->push_back(item);
  }
  dll_KrpListhelpExit(&h);
  return rc;
}

std::string TimeText(uint32_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// One -l line: type, size and time stamp of the entry, then its name.
uint32_t PrintLong(const std::string &container, const std::string &entry) {
  const std::string full = FullName(container, entry);
  uint32_t type = 0;
  uint32_t rc = dll_KrpGetResourceType(full.c_str(), &type);
  if (rc != 0) return rc;
  if (type == KRT_CONTAINER) {
    std::printf("%-10s %10s %-20s %s/\n", TypeWordOf(type), "-", "-", entry.c_str());
    return 0;
  }
  uint32_t size = 0;
  KrpAttributes a{0, 0};
  rc = dll_KrpGetResource(type, full.c_str(), &size, nullptr, &a, nullptr);
  if (rc != 0) return rc;
  std::printf("%-10s %10u %-20s %s\n", TypeWordOf(type), size, TimeText(a.timestamp).c_str(),
              entry.c_str());
  return 0;
}

int Ls(const std::string &container, bool level, bool long_form) {
  void *listing = nullptr;
  uint32_t size = 0, count = 0;
  uint32_t rc = level ? dll_KrpListEntireLevel(container.c_str(), &listing, &size, &count)
                      : dll_KrpListResources(container.c_str(), &listing, &size, &count);
  if (rc != 0) return Fail("ls", container, rc);
  std::vector<std::string> entries;
  if (listing) {
    rc = Entries(listing, size, &entries);
    dll_KrpFreeMem(listing);
    if (rc != 0) return Fail("ls", container, rc);
  }
  for (const auto &e : entries) {
    if (!long_form) {
      std::printf("%s\n", e.c_str());
      continue;
    }
    rc = PrintLong(container, e);
    if (rc != 0) return Fail("ls", FullName(container, e), rc);
  }
  return kExitOk;
}

int Find(const std::string &container, const std::string &resource, const std::string &value) {
  char *child = nullptr;
  uint32_t size = 0;
  uint32_t rc = dll_KrpGetContainerWithResourceValueAlloc(
      container.c_str(), resource.c_str(), value.data(), static_cast<uint32_t>(value.size()),
      &child, &size);
  if (rc != 0) return Fail("find", container, rc);
  std::printf("%s\n", child);
  dll_KrpFreeMem(child);
  return kExitOk;
}

struct TreeWalk {
  int depth;      // levels still to expand below the current one; < 0 = all
  int indent;
  uint32_t failure = 0;
  std::string failed_name;
};

uint32_t Walk(const std::string &name, TreeWalk *w);

uint32_t OnContainer(const char *container, const char *entry, void *ctx) {
  auto *w = static_cast<TreeWalk *>(ctx);
  std::printf("%*s%s/\n", w->indent * 2, "", entry);
  if (w->depth == 0) return 0;
  TreeWalk inner{w->depth < 0 ? -1 : w->depth - 1, w->indent + 1, 0, {}};
  const uint32_t rc = Walk(FullName(container, entry), &inner);
  // A container emptied meanwhile is no failure of the walk.
  if (rc == KRP_ERR_NOT_FOUND || rc == KRP_ERR_EMPTY_VALUE) return 0;
  if (rc != 0 && w->failed_name.empty()) w->failed_name = inner.failed_name;
  return rc;
}

uint32_t OnResource(const char *, const char *entry, uint32_t type, uint32_t size, void *ctx) {
  auto *w = static_cast<TreeWalk *>(ctx);
  std::printf("%*s%s  %s %u\n", w->indent * 2, "", entry, TypeWordOf(type), size);
  return 0;
}

uint32_t Walk(const std::string &name, TreeWalk *w) {
  const uint32_t rc =
      dll_KrpClientEnumerateContainer(name.c_str(), nullptr, nullptr, OnContainer, OnResource, w);
  if (rc != 0 && w->failed_name.empty()) w->failed_name = name;
  return rc;
}

int Tree(const std::string &name, int depth) {
  std::printf("%s\n", name.empty() ? "(root)" : name.c_str());
  TreeWalk w{depth < 0 ? -1 : depth - 1, 1, 0, {}};
  if (depth == 0) return kExitOk;
  const uint32_t rc = Walk(name, &w);
  if (rc != 0) return Fail("tree", w.failed_name, rc);
  return kExitOk;
}

}  // namespace

void AddListCommands(CLI::App &app, Action *action) {
  // The options live as long as the program (the actions run after parsing).
  static std::string ls_name, find_container, find_resource, find_value, tree_name;
  static bool level = false, long_form = false;
  static int depth = -1;
  auto *ls = app.add_subcommand("ls", "list the entries of a container");
  ls->add_option("CONTAINER", ls_name, "container name (empty: the root)")->required();
  ls->add_flag("--level", level, "merge the default level of a vendor container");
  ls->add_flag("-l", long_form, "show type, size and time stamp of each entry");
  ls->callback([action] { *action = [] { return Ls(ls_name, level, long_form); }; });

  auto *find = app.add_subcommand("find", "find the child whose resource holds a value");
  find->add_option("CONTAINER", find_container, "container name")->required();
  find->add_option("RESOURCE", find_resource, "resource name below each child")->required();
  find->add_option("VALUE", find_value, "value to look for")->required();
  find->callback([action] {
    *action = [] { return Find(find_container, find_resource, find_value); };
  });

  auto *tree = app.add_subcommand("tree", "show the containers and resources below a name");
  tree->add_option("NAME", tree_name, "container name (empty: the root)")->required();
  tree->add_option("--depth", depth, "levels to show (default: all)")->check(CLI::NonNegativeNumber);
  tree->callback([action] { *action = [] { return Tree(tree_name, depth); }; });
}

}  // namespace krpctl
