// The user and expert menus as the README's tables and the man page list
// them: the same keys as the menus' table (MENUKEYS), and in the README the
// same labels.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "host.h"

TEST(MenuDocs, ListTheKeysOfTheMenuTable) {
  const struct {
    int menu;
    const char *file, *from, *to;
  } docs[] = {
      {MODE_USER, "/README.md", "The session opens in the user menu", "Quitting from the user menu"},
      {MODE_EXPERT, "/README.md", "The expert menu gives", "**Where it stands"},
      {MODE_USER, "/man/k3host.1", ".SS User menu", ".SS Expert menu"},
      {MODE_EXPERT, "/man/k3host.1", ".SS Expert menu", ".SS Tag setup menu"},
  };
  // The README's "| key | label |" cells; the man page's keys on a .B line after .TP, with no labels.
  const std::regex readme_item(R"(\| (\S) \| ([^|]*[^| ]))"), man_item(R"(\.TP.*\n\.B (.*))");
  for (const auto &d : docs) {
    std::ifstream in(std::string(K3_SOURCE_DIR) + d.file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t from = text.find(d.from), to = text.find(d.to, from);
    ASSERT_NE(to, std::string::npos) << d.file << ": no section " << d.from;
    text = text.substr(from, to - from);
    const bool readme = std::string(d.file) == "/README.md";
    std::map<char, std::string> listed;
    for (std::sregex_iterator m(text.begin(), text.end(), readme ? readme_item : man_item), end; m != end; ++m)
      for (size_t i = 0; i < (readme ? 1 : m->str(1).size()); i += 2) listed[m->str(1)[i]] = readme ? m->str(2) : "";
    for (const MenuKey *k = MENUKEYS; k->label; k++) {
      if (k->menu != d.menu) continue;
      ASSERT_EQ(listed.count(k->key), 1u) << d.file << " lacks key " << k->key << " of " << d.from;
      const std::string &label = listed[k->key];  // a note may follow in brackets
      if (readme) {
        EXPECT_TRUE(label == k->label || label.rfind(k->label + std::string(" ("), 0) == 0)
            << d.file << ": key " << k->key << " is " << label;
      }
      listed.erase(k->key);
    }
    EXPECT_TRUE(listed.empty()) << d.file << " lists key " << listed.begin()->first << " not in " << d.from;
  }
}
