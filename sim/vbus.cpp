// The virtual USB bus: the libusb 0.1 functions the program calls, over the
// emulated tags, with the return conventions of libusb 0.1 on Linux. It keeps
// real usb_bus/usb_device lists: each enumeration of a tag gets a device
// record of its own, freed by the first search after the tag has left, as
// the library frees its own.
#include "vbus.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "k3proto.h"
#include "platform.h"
#include "tag.h"
#include "usbapi.h"

// libusb-win32's API has no list-head variable, only usb_get_busses()
// behind a macro of that name: there the bus keeps the variable to itself.
#ifdef usb_busses
#undef usb_busses
#define K3_BUSSES_STATIC static
#else
#define K3_BUSSES_STATIC
#endif
K3_BUSSES_STATIC struct usb_bus *usb_busses = nullptr;

#define VID_BOOT 0x0451
#define PID_BOOT 0x9001
#define VID_HOST 0x0C55
#define PID_HOST 0x1235
#define MAX_BUS 127
#define REALTIME_STEP_US 10000  // longest sleep of a waiting read in real time
#define REALTIME_SPIN_US 200    // end of a paced wait not left to the sleep's accuracy
#define LINK_PACKETS_PER_MS 19  // bulk packets of 64 bytes a full-speed frame carries

struct usb_dev_handle {
  int tag;
  int generation;  // the enumeration the handle was opened on
  struct usb_device *dev;
  bool open;
  bool claimed;
  long boot_bytes;  // image bytes written through this handle
};

namespace {

// A device record with the descriptors it points to.
struct DevRecord {
  struct usb_device dev;
  struct usb_config_descriptor conf;
  struct usb_interface iface;
  struct usb_interface_descriptor alt;
  struct usb_endpoint_descriptor ep[2];
  int tag;
  int generation;
};

struct Bus {
  std::vector<std::unique_ptr<Tag>> tags;  // tag id n at index n - 1
  std::vector<std::unique_ptr<DevRecord>> records;
  std::vector<std::unique_ptr<struct usb_bus>> buses;
  std::vector<std::unique_ptr<usb_dev_handle>> handles;
  std::vector<BusEvent> events;
  uint64_t clock = 0;  // virtual time (us)
  bool realtime = false;
  bool link = false;          // paced like a full-speed link (vbus_link)
  unsigned long latency = 0;  // the tag's latency before a reply on that link (us)
  uint64_t link_free = 0;     // when the link has carried what it was given
  uint64_t link_busy = 0;     // what vbus_link_us reports
  bool record = true;
  int devnum = 0;
  int gone = -ENODEV;  // what a transfer to a tag that left answers (vbus_gone_error)
};

Bus B;
char ERRTEXT[128] = "no error";

Tag *tag_of(int id) {
  if (id < 1 || id > (int)B.tags.size()) return nullptr;
  return B.tags[(size_t)id - 1].get();
}

int seterr(int r) {
  if (r < 0) snprintf(ERRTEXT, sizeof ERRTEXT, "virtual bus: %s", strerror(-r));
  return r;
}

void log_event(BusEventKind kind, int tag, int ep, const std::vector<uint8_t> &data, int result, int timeout = 0) {
  if (B.record) B.events.push_back(BusEvent{kind, tag, ep, data, result, timeout});
}

// The tag drops off the bus: open handles die, replies in flight are lost;
// frames it was scripted to send on its own stay for when it is back.
void leave(Tag &t) {
  t.present = false;
  t.generation++;
  t.held.clear();
  t.held_faults.clear();
  t.zlp_fail_next = false;
  t.outq.erase(std::remove_if(t.outq.begin(), t.outq.end(), [](const TagOutgoing &o) { return !o.unprompted; }),
               t.outq.end());
}

// Brings back tags whose reboot after a boot image is over, and takes away
// those whose time to leave has come.
void tick() {
  unsigned long now = vbus_now_ms();
  for (auto &tp : B.tags) {
    Tag &t = *tp;
    if (t.cfg.leave_at_ms >= 0 && (long)now >= t.cfg.leave_at_ms) {
      t.cfg.leave_at_ms = -1;
      if (t.present) leave(t);
      t.reenum_pending = false;
    }
    if (t.reenum_pending && now >= t.reenum_at) {
      t.reenum_pending = false;
      t.present = true;
      t.state = 1;
      t.generation++;
    }
  }
}

bool known_handle(const usb_dev_handle *h) {
  for (auto &p : B.handles)
    if (p.get() == h) return true;
  return false;
}

// The tag behind an open handle, or null when it has left the bus since.
Tag *live(usb_dev_handle *h) {
  tick();
  Tag *t = tag_of(h->tag);
  if (!t || !t->present || t->generation != h->generation) return nullptr;
  return t;
}

DevRecord *record_of(const struct usb_device *dev) {
  for (auto &r : B.records)
    if (&r->dev == dev) return r.get();
  return nullptr;
}

struct usb_bus *bus_record(int number) {
  for (auto &b : B.buses)
    if (b->location == (unsigned long)number) return b.get();
  return nullptr;
}

int bus_number(const Tag &t) { return std::min(std::max(t.cfg.bus, 1), MAX_BUS); }

DevRecord *new_record(Tag &t, struct usb_bus *bus) {
  auto r = std::make_unique<DevRecord>();
  memset(&r->dev, 0, sizeof r->dev);
  memset(&r->conf, 0, sizeof r->conf);
  memset(&r->iface, 0, sizeof r->iface);
  memset(&r->alt, 0, sizeof r->alt);
  memset(r->ep, 0, sizeof r->ep);
  r->tag = t.id;
  r->generation = t.generation;
  bool boot = t.state == 0;
  struct usb_device_descriptor &d = r->dev.descriptor;
  d.bLength = USB_DT_DEVICE_SIZE;
  d.bDescriptorType = USB_DT_DEVICE;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = USB_PACKET;
  d.idVendor = boot ? VID_BOOT : VID_HOST;
  d.idProduct = boot ? PID_BOOT : PID_HOST;
  d.bNumConfigurations = 1;
  r->ep[0].bLength = USB_DT_ENDPOINT_SIZE;
  r->ep[0].bDescriptorType = USB_DT_ENDPOINT;
  r->ep[0].bEndpointAddress = boot ? EP_BOOT : EP_OUT;
  r->ep[0].bmAttributes = USB_ENDPOINT_TYPE_BULK;
  r->ep[0].wMaxPacketSize = USB_PACKET;
  r->ep[1] = r->ep[0];
  r->ep[1].bEndpointAddress = EP_IN;
  r->alt.bLength = USB_DT_INTERFACE_SIZE;
  r->alt.bDescriptorType = USB_DT_INTERFACE;
  r->alt.bInterfaceNumber = USB_IFACE;
  r->alt.bNumEndpoints = boot ? 1 : 2;
  r->alt.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
  r->alt.endpoint = r->ep;
  r->iface.altsetting = &r->alt;
  r->iface.num_altsetting = 1;
  r->conf.bLength = USB_DT_CONFIG_SIZE;
  r->conf.bDescriptorType = USB_DT_CONFIG;
  r->conf.wTotalLength = USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + r->alt.bNumEndpoints * USB_DT_ENDPOINT_SIZE;
  r->conf.bNumInterfaces = 1;
  r->conf.bConfigurationValue = USB_CONFIG;
  r->conf.bmAttributes = 0x80;
  r->conf.MaxPower = 50;
  r->conf.interface = &r->iface;
  r->dev.config = &r->conf;
  r->dev.bus = bus;
  r->dev.devnum = (uint8_t)(++B.devnum % 127 + 1);
  snprintf(r->dev.filename, sizeof r->dev.filename, "%03d", r->dev.devnum);
  B.records.push_back(std::move(r));
  return B.records.back().get();
}

// First due transfer in the tag's IN queue, or -1.
int next_due(const Tag &t, uint64_t now) {
  int best = -1;
  for (size_t i = 0; i < t.outq.size(); i++) {
    const TagOutgoing &o = t.outq[i];
    if (o.at > now) continue;
    if (best < 0 || o.at < t.outq[best].at || (o.at == t.outq[best].at && o.seq < t.outq[best].seq)) best = (int)i;
  }
  return best;
}

bool next_time(const Tag &t, uint64_t *at) {
  bool any = false;
  for (const TagOutgoing &o : t.outq)
    if (!any || o.at < *at) {
      *at = o.at;
      any = true;
    }
  return any;
}

// The transfer being read now: the one partly read, else the first due.
int head(const Tag &t, uint64_t now) {
  for (size_t i = 0; i < t.outq.size(); i++)
    if (t.outq[i].off > 0) return (int)i;
  return next_due(t, now);
}

void cross(int n);

// Moves due bytes of the tag's IN endpoint into an URB of size bytes that
// holds *got. A transfer ends with its short packet, or with the
// zero-length packet the tag sends after one of a multiple of 64 bytes
// (TagConfig::zlp); without that the URB runs on into the next transfer.
// 1: the URB is done (full, or a transfer ended); 0: it waits for more.
int pipe_fill(Tag &t, uint8_t *buf, int size, int *got) {
  for (;;) {
    int i = head(t, vbus_now_us());
    if (i < 0) return 0;
    TagOutgoing &o = t.outq[(size_t)i];
    const std::vector<uint8_t> &b = *o.bytes;
    size_t n = std::min(b.size() - o.off, (size_t)(size - *got));
    if (n) memcpy(buf + *got, b.data() + o.off, n);
    o.off += n;
    *got += (int)n;
    if (o.off < b.size()) return 1;  // full: the rest waits for the next URB
    bool boundary = !b.empty() && b.size() % USB_PACKET == 0;
    // Full right at the end of a transfer: its zero-length packet is what
    // the next URB gets.
    if (boundary && t.cfg.zlp && n > 0 && *got == size) return 1;
    cross((int)b.size());
    bool leave_after = o.leave_after;
    t.outq.erase(t.outq.begin() + i);
    if (leave_after) leave(t);
    if (!boundary || t.cfg.zlp || *got == size || leave_after) return 1;
  }
}

// Waits until bus time `until` (us). In real time a sleep ends some 50 to
// 100 us late, which would count against the program on every transfer of a
// paced link: the last stretch is waited out on the clock instead.
void wait_until(uint64_t until) {
  uint64_t now = vbus_now_us();
  if (until <= now) return;
  if (!B.realtime) {
    B.clock = until;
    return;
  }
  if (until - now > REALTIME_SPIN_US) plat_sleep_us((unsigned long)(until - now - REALTIME_SPIN_US));
  while (vbus_now_us() < until) {
  }
}

// On a paced link, carries n bytes as soon as the link is free and returns
// once they have crossed.
void cross(int n) {
  if (!B.link) return;
  uint64_t d = vbus_link_cost_us(n);
  B.link_free = std::max(B.link_free, vbus_now_us()) + d;
  B.link_busy += d;
  wait_until(B.link_free);
}

// Hands the tag a whole request; on a paced link its latency before the
// replies counts as the link's time.
void deliver(Tag &t, const std::vector<uint8_t> &frame, const std::vector<Fault> &faults) {
  size_t queued = t.outq.size();
  tag_request(t, frame, faults);
  if (B.link && t.outq.size() > queued) B.link_busy += B.latency;
}

}  // namespace

// ---- Control ----

void vbus_reset(void) {
  B = Bus();
  usb_busses = nullptr;
  snprintf(ERRTEXT, sizeof ERRTEXT, "no error");
}

int vbus_attach(const TagConfig &cfg) {
  auto t = std::make_unique<Tag>();
  t->id = (int)B.tags.size() + 1;
  t->cfg = cfg;
  tag_init(*t);
  t->present = true;
  t->generation = 1;
  B.tags.push_back(std::move(t));
  return B.tags.back()->id;
}

void vbus_detach(int tag) {
  Tag *t = tag_of(tag);
  if (!t) return;
  leave(*t);
  t->reenum_pending = false;
}

int vbus_present(int tag) {
  tick();
  Tag *t = tag_of(tag);
  return t && t->present ? 1 : 0;
}

int vbus_tag_state(int tag) {
  tick();
  Tag *t = tag_of(tag);
  if (!t || !t->present) return -1;
  return t->state;
}

int vbus_tag_generation(int tag) {
  tick();
  Tag *t = tag_of(tag);
  return t && t->present ? t->generation : 0;
}

int vbus_device_tag(const struct usb_device *dev) {
  DevRecord *r = record_of(dev);
  return r ? r->tag : 0;
}

struct usb_device *vbus_find_tag(int tag) {
  usb_find_busses();
  usb_find_devices();
  for (struct usb_bus *b = usb_get_busses(); b; b = b->next)
    for (struct usb_device *d = b->devices; d; d = d->next)
      if (vbus_device_tag(d) == tag) return d;
  return nullptr;
}

void vbus_realtime(int on) { B.realtime = on != 0; }

uint64_t vbus_now_us(void) { return B.realtime ? plat_clock_us() : B.clock; }
unsigned long vbus_now_ms(void) { return (unsigned long)(vbus_now_us() / 1000); }

void vbus_advance_ms(unsigned long ms) {
  if (B.realtime)
    plat_sleep_ms(ms);
  else
    B.clock += (uint64_t)ms * 1000;
  tick();
}

void vbus_link(int on, unsigned long latency_us) {
  B.link = on != 0;
  B.latency = latency_us;
}

uint64_t vbus_link_us(void) { return B.link_busy; }

void vbus_gone_error(int err) { B.gone = err; }

int vbus_open_handles(void) {
  int n = 0;
  for (const auto &h : B.handles) n += h->open;
  return n;
}

uint64_t vbus_link_cost_us(int n) {
  uint64_t packets = n > 0 ? ((uint64_t)n + USB_PACKET - 1) / USB_PACKET : 1;
  return (packets * 1000 + LINK_PACKETS_PER_MS - 1) / LINK_PACKETS_PER_MS;
}

uint64_t vbus_answer_us(void) { return vbus_now_us() + (B.link ? B.latency : 0); }

void vbus_tag_replay(int tag, int on) {
  if (Tag *t = tag_of(tag)) {
    t->replay = on != 0;
    if (!on) t->replayed.clear();
  }
}

void vbus_record(int on) { B.record = on != 0; }
int vbus_recording(void) { return B.record ? 1 : 0; }

void vbus_fault(int tag, const Fault &f) {
  if (Tag *t = tag_of(tag)) t->faults.push_back(f);
}

void vbus_clear_faults(int tag) {
  if (Tag *t = tag_of(tag)) t->faults.clear();
}

void vbus_tag_send_raw(int tag, const void *bytes, int len, unsigned long at_ms) {
  Tag *t = tag_of(tag);
  if (!t || len < 0 || (len > 0 && !bytes)) return;
  if (len > FRAME_MAX) len = FRAME_MAX;
  const uint8_t *b = (const uint8_t *)bytes;
  // "At once" means now, so it keeps its place behind what is already due.
  tag_queue(*t, std::vector<uint8_t>(b, b + len), at_ms ? (uint64_t)at_ms * 1000 : vbus_now_us());
  t->outq.back().unprompted = true;
}

void vbus_tag_send(int tag, int code, const void *payload, int len, unsigned long at_ms) {
  if (len < 0 || (len > 0 && !payload)) return;
  std::vector<uint8_t> f = tag_frame(code, (const uint8_t *)payload, len);
  vbus_tag_send_raw(tag, f.data(), (int)f.size(), at_ms);
}

int vbus_tag_pending(int tag) {
  Tag *t = tag_of(tag);
  return t ? (int)t->outq.size() : 0;
}

const std::vector<BusEvent> &vbus_events(void) { return B.events; }
void vbus_clear_events(void) { B.events.clear(); }

std::vector<std::vector<uint8_t>> vbus_frames_received(int tag) {
  Tag *t = tag_of(tag);
  return t ? t->received : std::vector<std::vector<uint8_t>>();
}

std::vector<uint8_t> vbus_boot_image(int tag) {
  Tag *t = tag_of(tag);
  return t ? t->boot_image : std::vector<uint8_t>();
}

std::vector<int> vbus_boot_chunks(int tag) {
  Tag *t = tag_of(tag);
  return t ? t->boot_chunks : std::vector<int>();
}

int32_t vbus_tag_clock(int tag) {
  Tag *t = tag_of(tag);
  long long v = (long long)time(NULL) + (t ? t->cfg.clock_offset : 0);
  return (int32_t)(uint32_t)v;
}

TagConfig &vbus_tag_config(int tag) {
  Tag *t = tag_of(tag);
  if (!t) throw std::out_of_range("vbus_tag_config: no such tag");
  return t->cfg;
}

std::vector<uint8_t> &vbus_tag_eeprom(int tag) {
  Tag *t = tag_of(tag);
  if (!t) throw std::out_of_range("vbus_tag_eeprom: no such tag");
  return t->eeprom;
}

void vbus_tag_save(int tag) {
  if (Tag *t = tag_of(tag)) tag_save(*t);
}

std::vector<uint8_t> vbus_flash_page(int tag, int chip, int block, int page) {
  Tag *t = tag_of(tag);
  if (!t) throw std::out_of_range("vbus_flash_page: no such tag");
  return tag_flash_page(*t, chip, block, page);
}

std::vector<SimRecording> vbus_flash_dir(int tag) {
  Tag *t = tag_of(tag);
  if (!t) throw std::out_of_range("vbus_flash_dir: no such tag");
  return t->flash_dir;
}

// ---- libusb 0.1 ----

void usb_init(void) {}
void usb_set_debug(int level) { (void)level; }
struct usb_bus *usb_get_busses(void) {
  return usb_busses;
}
char *usb_strerror(void) { return ERRTEXT; }

int usb_find_busses(void) {
  int top = 1, added = 0;
  for (auto &t : B.tags) top = std::max(top, bus_number(*t));
  for (int n = 1; n <= top; n++) {
    if (bus_record(n)) continue;
    auto b = std::make_unique<struct usb_bus>();
    memset(b.get(), 0, sizeof *b);
    b->location = (unsigned long)n;
    snprintf(b->dirname, sizeof b->dirname, "%03d", n);
    B.buses.push_back(std::move(b));
    added++;
  }
  std::sort(B.buses.begin(), B.buses.end(), [](const auto &a, const auto &b) { return a->location < b->location; });
  struct usb_bus *prev = nullptr;
  usb_busses = nullptr;
  for (auto &b : B.buses) {
    b->prev = prev;
    b->next = nullptr;
    if (prev)
      prev->next = b.get();
    else
      usb_busses = b.get();
    prev = b.get();
  }
  return added;
}

int usb_find_devices(void) {
  tick();
  int changes = 0;
  for (auto &b : B.buses) {
    std::vector<struct usb_device *> list;
    for (auto &tp : B.tags) {
      Tag &t = *tp;
      if (!t.present || bus_number(t) != (int)b->location) continue;
      DevRecord *rec = nullptr;
      for (auto &r : B.records)
        if (r->tag == t.id && r->generation == t.generation) rec = r.get();
      if (!rec) rec = new_record(t, b.get());
      list.push_back(&rec->dev);
    }
    std::vector<struct usb_device *> old;
    for (struct usb_device *d = b->devices; d; d = d->next) old.push_back(d);
    if (old != list) changes += 1;
    struct usb_device *prev = nullptr;
    b->devices = nullptr;
    for (struct usb_device *d : list) {
      d->prev = prev;
      d->next = nullptr;
      if (prev)
        prev->next = d;
      else
        b->devices = d;
      prev = d;
    }
  }
  // The records of devices that have left go, as the library frees them.
  B.records.erase(std::remove_if(B.records.begin(), B.records.end(),
                                 [](const std::unique_ptr<DevRecord> &r) {
                                   Tag *t = tag_of(r->tag);
                                   return !t || !t->present || t->generation != r->generation;
                                 }),
                  B.records.end());
  return changes;
}

usb_dev_handle *usb_open(struct usb_device *dev) {
  tick();
  DevRecord *r = record_of(dev);
  Tag *t = r ? tag_of(r->tag) : nullptr;
  if (!t || !t->present || t->generation != r->generation) {
    log_event(EV_OPEN, r ? r->tag : 0, 0, {}, seterr(-ENODEV));
    return nullptr;
  }
  auto h = std::make_unique<usb_dev_handle>();
  *h = usb_dev_handle{t->id, t->generation, dev, true, false, 0};
  B.handles.push_back(std::move(h));
  log_event(EV_OPEN, t->id, 0, {}, 0);
  return B.handles.back().get();
}

int usb_close(usb_dev_handle *h) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  Tag *t = live(h);
  h->open = false;
  h->claimed = false;
  int r = t && (t->cfg.refuse & REFUSE_CLOSE) ? -EIO : 0;
  log_event(EV_CLOSE, h->tag, 0, {}, r);
  // A boot loader that took an image restarts into the host firmware.
  if (t && t->state == 0 && h->boot_bytes > 0) {
    leave(*t);
    t->reenum_pending = true;
    t->reenum_at = vbus_now_ms() + t->cfg.reenum_ms;
  }
  return seterr(r);
}

struct usb_device *usb_device(usb_dev_handle *h) {
  return h && known_handle(h) ? h->dev : nullptr;
}

int usb_set_configuration(usb_dev_handle *h, int configuration) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  Tag *t = live(h);
  int r = !t                                 ? -ENODEV
          : t->cfg.no_access                 ? -EPERM
          : configuration != USB_CONFIG      ? -EINVAL
          : (t->cfg.refuse & REFUSE_SETCONF) ? -EIO
                                             : 0;
  log_event(EV_SETCONF, h->tag, configuration, {}, r);
  return seterr(r);
}

int usb_claim_interface(usb_dev_handle *h, int interface) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  Tag *t = live(h);
  int r = 0;
  if (!t)
    r = -ENODEV;
  else if (t->cfg.no_access)
    r = -EPERM;
  else if (interface != USB_IFACE)
    r = -EINVAL;
  else if (t->cfg.held)
    r = -EBUSY;
  else
    for (auto &o : B.handles)
      if (o.get() != h && o->open && o->claimed && o->tag == h->tag && o->generation == h->generation) r = -EBUSY;
  if (r == 0) h->claimed = true;
  log_event(EV_CLAIM, h->tag, interface, {}, r);
  return seterr(r);
}

int usb_release_interface(usb_dev_handle *h, int interface) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  Tag *t = live(h);
  int r = !t                                        ? -ENODEV
          : (interface != USB_IFACE || !h->claimed) ? -EINVAL
          : (t->cfg.refuse & REFUSE_RELEASE)        ? -EIO
                                                    : 0;
  if (r == 0) h->claimed = false;
  log_event(EV_RELEASE, h->tag, interface, {}, r);
  return seterr(r);
}

int usb_bulk_write(usb_dev_handle *h, int ep, const char *bytes, int size, int timeout) {
  // The tag takes every write at once; the time-out is only logged.
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  std::vector<uint8_t> data;
  if (size > 0 && bytes) data.assign((const uint8_t *)bytes, (const uint8_t *)bytes + size);
  BusEventKind kind = size == 0 ? EV_ZLP : EV_WRITE;
  auto done = [&](int r) {
    log_event(kind, h->tag, ep, data, r, timeout);
    return seterr(r);
  };
  Tag *t = live(h);
  if (!t) return done(B.gone);
  if (size < 0 || (size > 0 && !bytes)) return done(-EINVAL);
  cross(size);

  if (t->state == 0) {
    if (ep != EP_BOOT) return done(-ENOENT);
    if (t->cfg.refuse & REFUSE_BOOT) return done(-EIO);
    if (size > 0) {
      t->boot_image.insert(t->boot_image.end(), data.begin(), data.end());
      t->boot_chunks.push_back(size);
      h->boot_bytes += size;
    }
    return done(size);
  }
  if (ep != EP_OUT) return done(-ENOENT);

  if (size == 0) {
    // The zero-length packet ends a transfer of a multiple of 64 bytes: only
    // now does the tag see that frame.
    if (t->zlp_fail_next) {
      t->zlp_fail_next = false;
      t->held.clear();
      t->held_faults.clear();
      return done(-EIO);
    }
    if (!t->held.empty()) {
      std::vector<uint8_t> frame = std::move(t->held);
      std::vector<Fault> faults = std::move(t->held_faults);
      t->held.clear();
      t->held_faults.clear();
      deliver(*t, frame, faults);
    }
    return done(0);
  }

  std::vector<Fault> faults = tag_faults_for(*t, data.data(), size);
  for (const Fault &f : faults)
    if (f.kind == FAULT_WRITEFAIL) return done(-EIO);
  for (const Fault &f : faults)
    if (f.kind == FAULT_STALL) {
      t->cfg.read_error = -EPIPE;
      return done(size);
    }
  for (const Fault &f : faults)
    if (f.kind == FAULT_VANISH) {
      leave(*t);
      return done(size);
    }
  bool packet_end = size % USB_PACKET != 0;
  for (const Fault &f : faults)
    if (f.kind == FAULT_ZLPFAIL && !packet_end) t->zlp_fail_next = true;
  // Without the zero-length packet a transfer goes on: a held frame and the
  // next write reach the tag as one (which it rejects).
  std::vector<uint8_t> transfer = std::move(t->held);
  t->held.clear();
  t->held_faults.clear();
  transfer.insert(transfer.end(), data.begin(), data.end());
  if (!packet_end && transfer.size() <= FRAME_MAX) {
    t->held = std::move(transfer);
    t->held_faults = faults;
  } else {
    deliver(*t, transfer, faults);
  }
  return done(size);
}

int usb_bulk_read(usb_dev_handle *h, int ep, char *bytes, int size, int timeout) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  std::vector<uint8_t> got;
  auto done = [&](int r) {
    log_event(EV_READ, h->tag, ep, got, r, timeout);
    return seterr(r);
  };
  Tag *t = live(h);
  if (!t) return done(B.gone);
  if (size < 0 || (size > 0 && !bytes)) return done(-EINVAL);
  if (ep != EP_IN || t->state != 1) return done(-ENOENT);
  // A stalled endpoint ends each URB at once with an error status, which the
  // library does not look at: it gives the bytes moved, none.
  if (t->cfg.read_error) return done(0);
  uint64_t deadline = vbus_now_us() + (uint64_t)(timeout > 0 ? timeout : 0) * 1000;
  int n = 0;
  for (;;) {
    if (pipe_fill(*t, (uint8_t *)bytes, size, &n)) {
      if (B.record) got.assign((uint8_t *)bytes, (uint8_t *)bytes + n);  // only the log wants it
      return done(n);
    }
    uint64_t now = vbus_now_us();
    if (now >= deadline) return done(-ETIMEDOUT);  // what the URB held is lost with it
    uint64_t until = deadline, at;
    if (next_time(*t, &at) && at < until) until = at;
    if (B.realtime)
      plat_sleep_us((unsigned long)std::min<uint64_t>(until - now, REALTIME_STEP_US));
    else
      B.clock = until;
    // Gone while the read waited: the URB ends empty, and only the calls
    // after it fail with -ENODEV.
    if (!(t = live(h))) return done(0);
  }
}

int vbus_urb_in(usb_dev_handle *h, int ep, uint8_t *buf, int size, int *got) {
  if (!h || !known_handle(h) || !h->open) return -EBADF;
  Tag *t = live(h);
  if (!t) return -ENODEV;
  if (ep != EP_IN || t->state != 1) return -ENOENT;
  if (t->cfg.read_error) return -EPIPE;
  return pipe_fill(*t, buf, size, got);
}

// The rest of the 0.1 API, so that any call links; the tag has no use for
// them.

static int unsupported(usb_dev_handle *h) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  return seterr(live(h) ? -EPIPE : -ENODEV);
}

static int harmless(usb_dev_handle *h) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  return seterr(live(h) ? 0 : -ENODEV);
}

int usb_get_string(usb_dev_handle *h, int, int, char *, size_t) { return unsupported(h); }
int usb_get_string_simple(usb_dev_handle *h, int, char *, size_t) { return unsupported(h); }
int usb_get_descriptor_by_endpoint(usb_dev_handle *h, int, unsigned char, unsigned char, void *, int) {
  return unsupported(h);
}
int usb_get_descriptor(usb_dev_handle *h, unsigned char, unsigned char, void *, int) { return unsupported(h); }
int usb_interrupt_write(usb_dev_handle *h, int, const char *, int, int) { return unsupported(h); }
int usb_interrupt_read(usb_dev_handle *h, int, char *, int, int) { return unsupported(h); }
int usb_control_msg(usb_dev_handle *h, int, int, int, int, char *, int, int) { return unsupported(h); }
int usb_set_altinterface(usb_dev_handle *h, int alternate) { return alternate == 0 ? harmless(h) : unsupported(h); }
int usb_resetep(usb_dev_handle *h, unsigned int) { return harmless(h); }
int usb_clear_halt(usb_dev_handle *h, unsigned int) { return harmless(h); }
int usb_reset(usb_dev_handle *h) { return harmless(h); }
#ifdef LIBUSB_HAS_GET_DRIVER_NP  // Linux-only parts of the API
int usb_get_driver_np(usb_dev_handle *h, int, char *, unsigned int) {
  if (!h || !known_handle(h) || !h->open) return seterr(-EBADF);
  return seterr(live(h) ? -ENODATA : -ENODEV);
}
#endif
#ifdef LIBUSB_HAS_DETACH_KERNEL_DRIVER_NP
int usb_detach_kernel_driver_np(usb_dev_handle *h, int) { return harmless(h); }
#endif

// ---- A hostile tag ----

namespace {
struct Hostile {
  const Tag *tag;  // the tag it was set for: a tag of a later vbus_reset is left alone
  HostileAnswer answer;
  size_t answered;  // request frames of the tag's log answered so far
};
std::vector<std::pair<int, Hostile>> HOSTILE;
}  // namespace

void vbus_tag_hostile(int tag, HostileAnswer answer) {
  HOSTILE.erase(std::remove_if(HOSTILE.begin(), HOSTILE.end(), [&](const auto &h) { return h.first == tag; }),
                HOSTILE.end());
  Tag *t = tag_of(tag);
  if (t && answer) HOSTILE.push_back({tag, Hostile{t, std::move(answer), t->received.size()}});
}

void vbus_hostile_swap(void) {
  for (auto &[id, h] : HOSTILE) {
    Tag *t = tag_of(id);
    if (t != h.tag || h.answered > t->received.size()) continue;
    // The tag's own replies go; answers are queued as its own frames, so the
    // next swap keeps them.
    t->outq.erase(std::remove_if(t->outq.begin(), t->outq.end(), [](const TagOutgoing &o) { return !o.unprompted; }),
                  t->outq.end());
    for (; h.answered < t->received.size(); h.answered++) {
      const std::vector<uint8_t> &f = t->received[h.answered];
      int code = f.size() >= 4 && ((f[0] << 8) | f[1]) == FRAME_SYNC ? (f[2] << 8) | f[3] : -1;
      std::vector<uint8_t> a = h.answer(code, f);
      if (a.size() > FRAME_MAX) a.resize(FRAME_MAX);
      if (a.empty()) continue;
      tag_queue(*t, std::move(a), vbus_now_us());
      t->outq.back().unprompted = true;
    }
  }
}
