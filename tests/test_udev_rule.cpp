// The installed udev rule: read with the rules syntax udev uses and run
// against the events a plugged tag (and other devices) make, so a typo that
// udev would skip in silence, an upper-case id that never matches sysfs or a
// misplaced GOTO shows here rather than as "permission denied" in the field.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Term {
  std::string key, attr, op, value;
};
struct Line {
  int number;
  std::vector<Term> terms;
};

// Parses the rule file; every failure is added to errors with its line.
std::vector<Line> parse(const std::string &path, std::vector<std::string> *errors) {
  static const std::regex term(R"(^\s*([A-Z]+)(\{([A-Za-z0-9_]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*\"([^\"]*)\"\s*(,|$))");
  std::vector<Line> lines;
  std::ifstream in(path);
  if (!in) errors->push_back("cannot open " + path);
  std::string text;
  for (int n = 1; std::getline(in, text); n++) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') continue;
    if (text.back() == '\\') errors->push_back("line " + std::to_string(n) + ": continuation line");
    Line line{n, {}};
    std::smatch m;
    for (std::string rest = text; !rest.empty() && rest.find_first_not_of(" \t") != std::string::npos;
         rest = m.suffix()) {
      if (!std::regex_search(rest, m, term)) {
        errors->push_back("line " + std::to_string(n) + ": cannot read \"" + rest + "\"");
        break;
      }
      line.terms.push_back({m[1], m[3], m[4], m[5]});
    }
    lines.push_back(line);
  }
  return lines;
}

bool is_match_op(const std::string &op) { return op == "==" || op == "!="; }

// A udev event: its properties and sysfs attributes.
struct Event {
  std::map<std::string, std::string> values;  // "ACTION", "SUBSYSTEM", "ENV{DEVTYPE}", "ATTR{idVendor}"...
};
struct Result {
  std::string mode, group;
  std::vector<std::string> tags;
};

// Patterns as udev reads them: alternatives split by "|". The rule uses no
// glob characters; one added later fails the syntax test until this learns it.
bool matches(const std::string &pattern, const std::string &value) {
  std::istringstream alternatives(pattern);
  for (std::string alt; std::getline(alternatives, alt, '|');)
    if (alt == value) return true;
  return false;
}

Result run(const std::vector<Line> &lines, const Event &e) {
  Result r;
  std::string skip_to;
  for (const Line &l : lines) {
    bool applies = true;
    for (const Term &t : l.terms) {
      if (!skip_to.empty()) {
        if (t.key == "LABEL" && t.value == skip_to) skip_to.clear();
        applies = false;
        break;
      }
      if (!is_match_op(t.op)) continue;
      std::string name = t.attr.empty() ? t.key : t.key + "{" + t.attr + "}";
      auto it = e.values.find(name);
      bool eq = it != e.values.end() && matches(t.value, it->second);
      if (eq != (t.op == "==")) applies = false;
    }
    if (!applies) continue;
    for (const Term &t : l.terms) {
      if (t.key == "MODE") r.mode = t.value;
      if (t.key == "GROUP") r.group = t.value;
      if (t.key == "TAG" && t.op == "+=") r.tags.push_back(t.value);
      if (t.key == "GOTO") skip_to = t.value;
    }
  }
  return r;
}

Event usb(const std::string &vid, const std::string &pid, const std::string &action = "add",
          const std::string &devtype = "usb_device") {
  return Event{{{"ACTION", action},
                {"SUBSYSTEM", "usb"},
                {"ENV{DEVTYPE}", devtype},
                {"ATTR{idVendor}", vid},
                {"ATTR{idProduct}", pid}}};
}

class UdevRule : public testing::Test {
 protected:
  void SetUp() override {
    lines_ = parse(std::string(K3_SOURCE_DIR) + "/packaging/60-k3host.rules", &errors_);
  }
  std::vector<std::string> errors_;
  std::vector<Line> lines_;
};

}  // namespace

// The file reads as udev rules: known keys with the right operators,
// lower-case ids, no globs, every GOTO with its LABEL.
TEST_F(UdevRule, ReadsAsUdevRulesWithKnownKeysAndLabels) {
  EXPECT_TRUE(errors_.empty()) << testing::PrintToString(errors_);
  ASSERT_FALSE(lines_.empty());
  const std::vector<std::string> keys = {"ACTION", "SUBSYSTEM", "ENV", "ATTR", "MODE", "GROUP", "TAG", "GOTO", "LABEL"};
  std::vector<std::string> labels, gotos;
  for (const Line &l : lines_)
    for (const Term &t : l.terms) {
      EXPECT_NE(std::find(keys.begin(), keys.end(), t.key), keys.end()) << "line " << l.number << ": " << t.key;
      EXPECT_EQ(t.attr.empty(), t.key != "ENV" && t.key != "ATTR") << "line " << l.number;
      // Matching keys take == or !=; assignments never do.
      bool match_key = t.key == "ACTION" || t.key == "SUBSYSTEM" || t.key == "ENV" || t.key == "ATTR";
      EXPECT_EQ(is_match_op(t.op), match_key) << "line " << l.number << ": " << t.key << t.op;
      // sysfs gives ids in lower-case hex: anything else never matches.
      if (t.attr == "idVendor" || t.attr == "idProduct") {
        EXPECT_TRUE(std::regex_match(t.value, std::regex("[0-9a-f]{4}"))) << "line " << l.number << ": " << t.value;
      }
      EXPECT_EQ(t.value.find_first_of("*?[]"), std::string::npos) << "line " << l.number << ": glob";
      if (t.key == "LABEL") labels.push_back(t.value);
      if (t.key == "GOTO") gotos.push_back(t.value);
    }
  for (const auto &g : gotos) EXPECT_NE(std::find(labels.begin(), labels.end(), g), labels.end()) << "GOTO " << g;
}

// Both tag identities, added, changed or bound, go to plugdev and the seat's
// user; every other device and event is left alone.
TEST_F(UdevRule, GrantsTheTagAndNothingElse) {
  const struct {
    Event e;
    bool granted;
  } cases[] = {
      {usb("0451", "9001"), true}, {usb("0c55", "1235"), true},  // boot loader, host code
      {usb("0c55", "1235", "change"), true}, {usb("0c55", "1235", "bind"), true},
      {usb("0451", "9002"), false}, {usb("0c55", "1234"), false},  // the same maker's other products
      {usb("1235", "0c55"), false}, {usb("0c55", "1235", "remove"), false},  // the ids swapped; the tag leaving
      {usb("0c55", "1235", "add", "usb_interface"), false},  // its interface, not the device node
  };
  for (const auto &c : cases) {
    Result r = run(lines_, c.e);
    std::string what = c.e.values.at("ATTR{idVendor}") + ":" + c.e.values.at("ATTR{idProduct}") + " " +
                       c.e.values.at("ACTION") + " " + c.e.values.at("ENV{DEVTYPE}");
    EXPECT_EQ(r.mode, c.granted ? "0660" : "") << what;
    EXPECT_EQ(r.group, c.granted ? "plugdev" : "") << what;
    EXPECT_EQ(r.tags, c.granted ? std::vector<std::string>{"uaccess"} : std::vector<std::string>{}) << what;
  }
}
