// Inside of the emulated tag: its state, the table its firmware dispatches
// requests through, and the helpers a request handler uses to answer.
//
// The firmware is split by subsystem, one file each: tag_board.cpp,
// tag_eeprom.cpp, tag_flash.cpp, tag_msp.cpp (the MSP co-processor). A
// subsystem is a TagSubsystem record: its request handlers by code, and the
// keys it keeps in the state file. To add one, define its record in its own
// file and list it in SUBSYSTEMS in tag.cpp.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vbus.h"

typedef std::shared_ptr<const std::vector<uint8_t>> TagBytes;

// One transfer waiting in the tag's IN endpoint.
struct TagOutgoing {
  uint64_t at = 0;           // deliverable at or after this bus time (us)
  uint64_t seq = 0;          // order among transfers due at the same time
  TagBytes bytes;            // shared with the replay memory (vbus_tag_replay)
  bool leave_after = false;  // the tag leaves the bus once this is read
  bool unprompted = false;   // scripted, not a reply: survives a restart
  size_t off = 0;            // bytes of it already read (a read smaller than it takes what fits)
};

struct Tag {
  int id = 0;
  TagConfig cfg;
  int state = 1;         // 0 boot loader, 1 host
  bool present = false;  // on the bus now
  int generation = 0;    // bumps at each enumeration; device records carry it
  bool reenum_pending = false;
  unsigned long reenum_at = 0;

  std::vector<TagOutgoing> outq;
  uint64_t seq = 0;

  std::vector<Fault> faults;
  std::map<int, int> seen;  // requests per code since attach
  bool zlp_fail_next = false;
  std::vector<uint8_t> held;  // a frame of a multiple of 64 bytes, awaiting its ZLP
  std::vector<Fault> held_faults;

  std::vector<std::vector<uint8_t>> received;
  std::vector<uint8_t> boot_image;
  std::vector<int> boot_chunks;

  std::vector<uint8_t> eeprom;  // 64 KiB; erased bytes read 0xFF

  // Flash, beyond what is generated from the position: the pages written
  // (key chip << 32 | block << 16 | page), the good blocks erased (chip << 16
  // | block), and the recording directory as it stands after erases.
  std::map<uint64_t, std::vector<uint8_t>> flash_pages;
  std::set<uint32_t> flash_erased;
  std::vector<SimRecording> flash_dir;

  // vbus_tag_replay: on, and the frames given to each request frame so far.
  bool replay = false;
  std::map<std::vector<uint8_t>, std::vector<TagBytes>> replayed;

  // Keys of the state file that no subsystem reads; written back unchanged.
  std::map<std::string, std::string> kv_other;

  // Frames the handler of the current request produced, before faults, and
  // whether the tag leaves the bus once the last of them has been read.
  std::vector<std::vector<uint8_t>> replies;
  bool leave_after_reply = false;
  // The injected faults of the request being handled (null outside one),
  // for the kinds a handler applies itself.
  const std::vector<Fault> *cur_faults = nullptr;
};

// A request handler: payload and its length (bounded by PAYLOAD_MAX).
typedef void (*TagRequestFn)(Tag &t, const uint8_t *payload, int len);
struct TagRequest {
  int code;
  TagRequestFn fn;
};

typedef std::map<std::string, std::string> TagStateMap;

struct TagSubsystem {
  const char *name;
  const TagRequest *requests;  // ended by a row with a null fn
  // Sets the subsystem's power-on state from the configuration; may be null.
  void (*init)(Tag &t);
  // Takes the keys it owns from kv (removing them); may be null.
  void (*load)(Tag &t, TagStateMap &kv);
  // Adds the keys it owns to kv; may be null.
  void (*save)(const Tag &t, TagStateMap &kv);
};

extern const TagSubsystem TAG_BOARD;
extern const TagSubsystem TAG_EEPROM;
extern const TagSubsystem TAG_FLASH;
extern const TagSubsystem TAG_MSP;

// ---- For handlers ----

// Queues a reply frame to the current request.
void tag_reply(Tag &t, int code, const std::vector<uint8_t> &payload);
void tag_ack(Tag &t);
void tag_nack(Tag &t);
// Writes the tag's persistent state to its state directory (if it has one).
void tag_save(const Tag &t);

// A well-formed frame; the payload is cut to PAYLOAD_MAX.
std::vector<uint8_t> tag_frame(int code, const uint8_t *payload, int len);

// 16- and 32-bit values appended most significant byte first.
void put16(std::vector<uint8_t> &out, uint32_t v);
void put32(std::vector<uint8_t> &out, uint32_t v);

// ---- For the state file ----

// Bytes as hexadecimal digits (lower case), appended to s.
void tag_hex(std::string &s, const uint8_t *b, size_t n);
// Hexadecimal digits, two a byte, appended to out; false (out partly
// filled) for an odd count or anything that is not a digit.
bool tag_unhex(const std::string &s, size_t from, std::vector<uint8_t> *out);
// A memory whose erased bytes read 0xFF, as blank-separated runs AAAA:HEX of
// its other bytes; and such runs read back into a memory of size bytes
// (false for anything garbled, *m then unchanged).
std::string tag_runs(const std::vector<uint8_t> &m);
bool tag_load_runs(const std::string &s, size_t size, std::vector<uint8_t> *m);

// One page of the flash as the tag holds it now; empty for a bad block or
// a position the tag does not have.
std::vector<uint8_t> tag_flash_page(const Tag &t, int chip, int block, int page);

// ---- For the bus ----

// Power-on state from cfg, then the state directory over it (saved back, so
// the directory and its file exist from attach on).
void tag_init(Tag &t);
// A complete transfer arrived on endpoint 2: record it, check it, dispatch
// it, and queue the replies with the request's faults applied.
void tag_request(Tag &t, const std::vector<uint8_t> &frame, const std::vector<Fault> &faults);
// Counts this occurrence of the request in the written bytes (when its
// header can be read) and returns the faults that apply to it.
std::vector<Fault> tag_faults_for(Tag &t, const uint8_t *bytes, int len);
// 1 while the bus keeps its logs (vbus_record).
int vbus_recording(void);
// Bus time (us) from which the tag's answer to the request it has just
// received may cross: now, or later on a paced link with a latency.
uint64_t vbus_answer_us(void);
// Queues bytes for the IN endpoint at bus time at_us.
void tag_queue(Tag &t, TagBytes bytes, uint64_t at_us, bool leave_after = false);
void tag_queue(Tag &t, std::vector<uint8_t> bytes, uint64_t at_us, bool leave_after = false);
