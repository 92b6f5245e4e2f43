// The user and expert menus as the README's tables and the man page list
// them: the same keys as the menus' table (MENUKEYS), and in the README the
// same labels.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
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
  for (const auto &d : docs) {
    std::ifstream in(std::string(K3_SOURCE_DIR) + d.file);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    size_t from = text.find(d.from), to = text.find(d.to, from);
    ASSERT_NE(to, std::string::npos) << d.file << ": no section " << d.from;
    std::istringstream lines(text.substr(from, to - from));
    const bool readme = std::string(d.file) == "/README.md";  // a table; the man page: .B after .TP
    std::map<char, std::string> listed;                       // key: the README's label, the man page's ""
    std::string line, prev, cell[8];
    for (; std::getline(lines, line); prev = line) {
      bool keys = readme || (prev.rfind(".TP", 0) == 0 && line.rfind(".B ", 0) == 0);
      std::istringstream words(!keys ? "" : readme ? line : line.substr(3));
      int n = 0;
      while (n < 8 && std::getline(words, cell[n], readme ? '|' : ' ')) n++;
      for (int i = 0; i < n; i++) {
        size_t a = cell[i].find_first_not_of(' '), b = cell[i].find_last_not_of(' ');
        cell[i] = a == std::string::npos ? "" : cell[i].substr(a, b - a + 1);
      }
      for (int i = 0; i < n; i++)
        if (cell[i].size() == 1) listed[cell[i][0]] = readme && i + 1 < n ? cell[i + 1] : "";
    }
    for (const MenuKey *k = MENUKEYS; k->label; k++) {
      if (k->menu != d.menu) continue;
      ASSERT_EQ(listed.count(k->key), 1u) << d.file << " lacks key " << k->key << " of " << d.from;
      if (readme) {
        const std::string &label = listed[k->key];  // a note may follow in brackets
        EXPECT_TRUE(label == k->label || label.rfind(k->label + std::string(" ("), 0) == 0)
            << d.file << ": key " << k->key << " is " << label;
      }
      listed.erase(k->key);
    }
    EXPECT_TRUE(listed.empty()) << d.file << " lists key " << listed.begin()->first << " not in " << d.from;
  }
}
