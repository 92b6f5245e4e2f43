// The field station against a sequence of emulated tags (those of
// k3host-sim --tags), one row per situation: what each recording became in
// the CSV report, the files and the offload record behind it, the page's
// marks, and what is left on the tags.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "harness.h"
#include "hostflsh.h"
#include "kvdread.h"
#include "platform.h"
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
     [](Station &t) { std::string e = t.err();  // each run counts its own
                     return count(e, "ended: 3 tags, 9 recordings saved (7.1 MB)") == 1 &&
                            count(e, "ended: 3 tags, 0 recordings saved (0.0 MB)") == 1 &&
                            file(FOLDER1 + std::string("rec001_20260310T060000Z.kvd")) == "keep" &&
                            fs::exists(FOLDER1 + std::string("rec001_20260310T060000Z_2.kvd")); }},
    {"--erase-saved erases every verified recording; the console's and the page's counts and the page's table", {1, 2}, 1,
     1, all(1, "saved yes yes") + ", " + all(2, "saved yes yes"), 0, [](Station &, int) { vbus_link(1, 300); },
     [](Station &t) {
       std::string page = file(report_html()), e = t.err();
       // On the paced link: the progress line from its start, redrawn as the bytes come and as each recording ends.
       EXPECT_EQ(count(e, "\r 0 of 3 recordings  0.0 of 2.4 MB  0.00 MB/s  --:--:-- to go  \r 0 of 3 recordings  0.3 of "
                          "2.4 MB  1.19 MB/s  00:00:02 to go  \r 1 of 3 recordings  0.8 of 2.4 MB  1.19 MB/s  00:00:01"),
                 1u);
       EXPECT_EQ(count(e, "\r 3 of 3 recordings  2.4 of 2.4 MB  1.19 MB/s  00:00:00 to go  \n"), 1u);
       EXPECT_EQ(count(e, "ended: 2 tags, 7 recordings saved (5.8 MB) in 4.9 s with tags in hand\n"), 1u);
       EXPECT_EQ(count(e, "Error"), 0u);
       EXPECT_EQ(count(e, "-0001: 3 saved (2.4 MB), 0 held from before, 3 verified, 3 erased\n"), 1u);
       EXPECT_EQ(count(page, "<p>3 recordings: 3 saved, 0 held from before, 0 stopped, 0 failed, 0 left; 2.4 MB on the "
                             "disk; 3 verified; 3 erased</p>"), 1u);
       EXPECT_EQ(count(page, "<tr class=\"erased\"><td>1</td><td>2026-03-10T06:00:00Z</td><td>2026-03-10T06:30:00Z</td>"
                             "<td>0003-0102-4b33-0b01-0001/rec001_20260310T060000Z.kvd</td><td>0.79</td><td>3/3</td><td>"
                             "saved</td><td>yes</td><td>yes</td><td></td></tr>"), 1u);
       EXPECT_EQ(count(page, "<rect class=\"rec erased\" data-rec=\"1\" x=\"10.0\" y=\"8\" width=\"99.1\" height=\"22\">"
                             "<title>1: 2026-03-10T06:00:00Z to 2026-03-10T06:30:00Z, erased</title></rect>"), 1u);
       EXPECT_EQ(count(page, "<h2>Tag 0003-0102-4b33-0b01-0001</h2>"), 1u);
       EXPECT_EQ(count(page, "In all: 2 tag visits, 7 recordings, 5.8 MB on the disk."), 1u);
       EXPECT_EQ(count(page, "end\">2026-03-10T09:50:00Z</text></svg>"), 1u);  // the axis ends with the last end
       return true;
     }},
    {"--erase-saved, the record cannot be written: nothing verified, nothing erased", {1}, 1, 1, all(1, "saved no no"), 3,
     [](Station &, int) { fs::create_directories(FOLDER1 + std::string("_offloads.txt")); }, nullptr},
    {"a tag pulled out mid-offload: kept and stopped; back again, offloaded whole into a new file", {1, 1}, 1, 1,
     "1.1 stopped - -, 1.2 left - -, 1.3 left - -, " + all(1, "saved yes yes"), 3,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 6, FAULT_VANISH); },
     [](Station &t) {
       KvdInfo k;
       kvd_check_file(FOLDER1 + std::string("rec001_20260310T060000Z.kvd"), &k);
       std::string e = t.err();
       EXPECT_EQ(count(e, " Offload stopped, the tag left the bus: ") + count(e, "left the bus before it was done"), 2u);
       return k.header && !k.closed && k.data_bytes > 0 && fs::exists(FOLDER1 + std::string("rec001_20260310T060000Z_2.kvd")) &&
              count(file(FOLDER1 + std::string("_offloads.txt")), textmode("\tstopped\n")) == 1 &&
              count(file(report_html()), "<li>2: left (not offloaded: the tag left the bus)</li>") == 1;
     }},
    {"an offload that fails: the others still saved and erased, it is not; the page says why", {1}, 1, 1,
     "1.1 failed - -, 1.2 saved yes yes, 1.3 saved yes yes", 1,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 3, FAULT_WRONGBLOCK); },
     [](Station &t) {
       return count(file(report_html()), "<li>1: failed (the offload failed)</li>") == 1 &&
              count(t.err(), "; not saved: 1 (the offload failed)\n") == 1;
     }},
    {"a tag in its boot loader that will not take the image: said once, then passed over", {1}, 0, 1, "", -1,
     [](Station &, int tag) {
       TagConfig c = sim_tags_config(1, TagConfig());
       c.bootloader = 1, c.refuse = REFUSE_BOOT;
       vbus_detach(tag), VISITS.back() = vbus_attach(c);
     },
     [](Station &t) { return count(t.err(), " The tag stays in its boot loader: unplug it\n") == 1; }},
#ifndef _WIN32
    {"Ctrl-C after the first tag ends the run: the next is not taken", {1, 2}, 0, 1, all(1, "saved yes -"), -1,
     [](Station &, int) {
       signal(SIGINT, SIG_DFL);  // as at a terminal, whoever started the tests
       station_tagdone = [] { tagdone(), raise(SIGINT); };
     },
     [](Station &t) { return count(t.err(), " Interrupted\n") == 1 && plat_interrupted() == 0; }},
#endif
    {"q mid-offload ends the run: the offload stopped, never complete; nothing erased", {1, 2}, 1, 1,
     "1.1 stopped - -, 1.2 left - -, 1.3 left - -", 3,
     [](Station &t, int tag) { t.fault(tag, REQ_FLREAD, 0, FAULT_DELAY, 10); t.keys_at(vbus_now_ms() + 400, "q"); },
     [](Station &) { return count(file(FOLDER1 + std::string("_offloads.txt")), textmode("\tstopped\n")) == 1 && VISITS.size() == 1 &&
                            count(file(report_html()), "<li>2: left (not offloaded: the run was ended)</li>") == 1; }},
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
      station_tagdone = tagdone;
      if (r.setup && run == 0) r.setup(*this, VISITS.back());
      keys_at(vbus_now_ms() + 3600000, "q");  // after the last tag
      EXPECT_EQ(this->run([&r] { return station_main("st", r.erase); }), 0);
      char name[48];  // the first run's report is named for today (a run across midnight fails here)
      time_t now = time(NULL);
      strftime(name, sizeof name, "^st/station-%Y%m%dT\\d{6}Z\\.csv$", gmtime(&now));
      EXPECT_TRUE(run || std::regex_search(report_csv(), std::regex(name))) << report_csv();
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
  // No tag at all; the folder's name is written on the page as HTML text.
  fresh();
  keys("q");
#ifdef _WIN32
  const char *dir = "a&b", *shown = "a&amp;b/station-";
#else
  const char *dir = "<a&b\">", *shown = "&lt;a&amp;b&quot;&gt;/station-";
#endif
  EXPECT_EQ(run([dir] { return station_main(dir, 0); }), 0);
  std::string page = file(report_html());
  EXPECT_EQ(count(page, textmode("<p>No tag yet.</p>\n<p class=\"total\">In all: 0 tag visits, 0 recordings, 0.0 MB")),
            1u);
  EXPECT_EQ(count(page, shown), 1u);
  // Two recordings a day long either side of the end of February (a day apart): the second two thirds along.
  reportrow rec = {};
  ASSERT_EQ(fs::create_directory("feb") ? report_start("feb/") : -1, 0);
  for (uint32_t k : {0u, 2u}) {
    rec.recno = (int)k / 2 + 1, rec.starttime = 1772150400u + k * 86400u, rec.endtime = rec.starttime + 86400u;
    report_row(&rec);
  }
  report_page();
  EXPECT_EQ(count(file(report_html()), "data-rec=\"2\" x=\"516.7\" y=\"8\" width=\"253.3\""), 1u)
      << file(report_html());
  // A page that cannot be put in place leaves no new one beside it.
  fs::remove(report_html()), fs::create_directory(report_html());
  EXPECT_EQ(report_page(), 1);
  EXPECT_FALSE(fs::exists(report_html() + std::string(".new")));
}

}  // namespace
