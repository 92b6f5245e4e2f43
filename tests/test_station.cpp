// The field station against a sequence of emulated tags (those of
// k3host-sim --tags), one row per situation: what each recording became in
// the CSV report, the files and the offload record behind it, the page's
// marks, and what is left on the tags.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"
#include "hostflsh.h"
#include "kvdread.h"
#include "sim_tags.h"
#include "station.h"
#include "stnreport.h"

namespace fs = std::filesystem;

namespace {

std::vector<int> COMING;  // the tags still to come (numbers for sim_tags_config)
std::vector<int> VISITS;  // the bus ids of the tags put on the bus, in order

void arrive(void) {
  if (COMING.empty()) return;
  VISITS.push_back(vbus_attach(sim_tags_config(COMING.front(), TagConfig())));
  COMING.erase(COMING.begin());
}
void tagdone(void) {
  vbus_detach(VISITS.back());
  arrive();
}

const char FOLDER1[] = "st/0003-0102-4b33-0b01-0001/";

struct Station : Harness {
  // The CSV of the last run as "tag.recording outcome verified erased, ...";
  // every file it calls verified must be one kvdcheck calls good.
  static std::string rows() {
    std::ifstream in(report_csv());
    std::string line, all;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
      f.resize(11);
      all += (all.empty() ? "" : ", ") + std::to_string(std::stoi(f[0].substr(20), nullptr, 16)) + "." + f[1] + " " +
             f[7] + " " + f[8] + " " + f[9];
      KvdInfo k;
      if (f[8] == "yes") {
        EXPECT_EQ(kvd_check_file("st/" + f[4], &k).size(), 0u) << f[4];
      }
    }
    return all;
  }
};

// n recordings of tag t, each "what".
std::string all(int t, const char *what) {
  std::string s;
  for (int k = 1; k <= (int)sim_tags_config(t, TagConfig()).recordings.size(); k++)
    s += (s.empty() ? "" : ", ") + std::to_string(t) + "." + std::to_string(k) + " " + what;
  return s;
}

TEST_F(Station, Runs) {
  // clang-format off
  struct Row {
    const char *what; std::vector<int> tags; int erase, runs; std::string shown;
    int left;  // recordings left on the tags put on the bus (-1: not checked)
    void (*setup)(Station &t, int tag);
    bool (*after)(Station &t);
  } ROWS[] = {
    {"three tags, two with the same numbers; a file already there is kept; the second run: nothing new", {1, 2, 3}, 0, 2,
     all(1, "saved yes -") + ", " + all(2, "saved yes -") + ", " + all(3, "saved yes -") + " | " + all(1, "held yes -") +
     ", " + all(2, "held yes -") + ", " + all(3, "held yes -"), 18,
     [](Station &, int) { fs::create_directories(FOLDER1); file(FOLDER1 + std::string("rec001_20260310T060000Z.kvd"), "keep"); },
     [](Station &) { return file(FOLDER1 + std::string("rec001_20260310T060000Z.kvd")) == "keep" &&
                            fs::exists(FOLDER1 + std::string("rec001_20260310T060000Z_2.kvd")); }},
    {"--erase-saved erases every verified recording; the console's and the page's counts and the page's table", {1, 2}, 1,
     1, all(1, "saved yes yes") + ", " + all(2, "saved yes yes"), 0, nullptr, [](Station &t) {
       std::string page = file(report_html()), e = t.err();
       EXPECT_EQ(count(e, "Error"), 0u);
       EXPECT_EQ(count(e, "-0001: 3 saved (2.4 MB), 0 held from before, 3 verified, 3 erased\n"), 1u);
       EXPECT_EQ(count(page, "<p>3 recordings: 3 saved, 0 held from before, 0 stopped, 0 failed, 0 left; 2.4 MB on the "
                             "disk; 3 verified; 3 erased</p>"), 1u);
       EXPECT_EQ(count(page, "<tr class=\"erased\"><td>1</td><td>2026-03-10T06:00:00Z</td><td>2026-03-10T06:30:00Z</td>"
                             "<td>0003-0102-4b33-0b01-0001/rec001_20260310T060000Z.kvd</td><td>0.79</td><td>3/3</td><td>"
                             "saved</td><td>yes</td><td>yes</td><td></td></tr>"), 1u);
       EXPECT_EQ(count(page, "<rect class=\"rec erased\" data-rec=\"1\" x=\"10.0\" y=\"8\" width=\"99.1\" height=\"22\">"
                             "<title>1: 2026-03-10T06:00:00Z to 2026-03-10T06:30:00Z, erased</title></rect>"), 1u);
       return true;
     }},
    {"--erase-saved, the record cannot be written: nothing verified, nothing erased", {1}, 1, 1, all(1, "saved no no"), 3,
     [](Station &, int) { fs::create_directories(FOLDER1 + std::string("_offloads.txt")); }, nullptr},
    {"a tag pulled out mid-offload: kept and stopped; back again, offloaded whole into a new file", {1, 1}, 1, 1,
     "1.1 stopped - -, 1.2 left - -, 1.3 left - -, " + all(1, "saved yes yes"), 3,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 6, FAULT_VANISH); },
     [](Station &) {
       KvdInfo k;
       kvd_check_file(FOLDER1 + std::string("rec001_20260310T060000Z.kvd"), &k);
       return k.header && !k.closed && k.data_bytes > 0 && fs::exists(FOLDER1 + std::string("rec001_20260310T060000Z_2.kvd")) &&
              count(file(FOLDER1 + std::string("_offloads.txt")), textmode("\tstopped\n")) == 1;
     }},
    {"an offload that fails: the others still saved and erased, it is not; the page says why", {1}, 1, 1,
     "1.1 failed - -, 1.2 saved yes yes, 1.3 saved yes yes", 1,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 3, FAULT_WRONGBLOCK); },
     [](Station &) { return count(file(report_html()), "<li>1: failed (the offload failed)</li>") == 1; }},
    {"q mid-offload ends the run: the offload stopped, never complete; nothing erased", {1, 2}, 1, 1,
     "1.1 stopped - -, 1.2 left - -, 1.3 left - -", 3,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 0, FAULT_DELAY, 10); t.keys_at(vbus_now_ms() + 400, "q"); },
     [](Station &) { return count(file(FOLDER1 + std::string("_offloads.txt")), textmode("\tstopped\n")) == 1 && VISITS.size() == 1; }},
  };
  // clang-format on
  for (const Row &r : ROWS) {
    SCOPED_TRACE(r.what);
    fresh();
    err();  // the console of this row only
    VISITS.clear();
    std::string shown;
    for (int run = 0; run < r.runs; run++) {
      COMING = r.tags;
      arrive();
      if (r.setup && run == 0) r.setup(*this, VISITS.back());
      keys_at(vbus_now_ms() + 3600000, "q");  // after the last tag
      station_tagdone = tagdone;
      EXPECT_EQ(this->run([&r] { return station_main("st", r.erase); }), 0);
      shown += (run ? " | " : "") + rows();
    }
    EXPECT_EQ(shown, r.shown);
    // The page has a mark for every row of the run.
    std::string page = file(report_html());
    EXPECT_EQ(count(page, "<rect class=\"rec "), count(shown.substr(shown.rfind('|') + 1), "."));
    if (r.after) {
      EXPECT_TRUE(r.after(*this));
    }
    if (r.left >= 0) {
      int left = 0;
      for (int id : VISITS)
        for (const SimRecording &s : vbus_flash_dir(id)) left += s.type == 1;
      EXPECT_EQ(left, r.left);
    }
  }
}

}  // namespace
