// Fuzzes the check of a received frame and the handlers behind it: any bytes
// as a frame in memory, checked with and without a record; a frame that
// passes is dispatched through INMENU as the session would (handlers print
// to stderr).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "host.h"
#include "k3proto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A frame never exceeds the receive buffer; getmess reads at most that.
  if (size > FRAME_MAX) return 0;
  const int count = (int)size;

  // A copy of exactly the input's size, so that a read past the frame is
  // caught, and writable, since the text handler terminates its text in place.
  std::vector<unsigned char> frame(data, data + size);

  int bare = checkmess(frame.data(), count, nullptr);
  MessRec rec = {nullptr, -1, -1};
  int flag = checkmess(frame.data(), count, &rec);
  if (flag != bare) __builtin_trap();  // the record must not change the verdict
  if (flag != 0 && flag != CHK_SYNC && flag != CHK_LENGTH && flag != CHK_CRC)
    __builtin_trap();

  if (flag == 0) {
    if (rec.len < 0 || rec.len + FRAME_OVERHEAD != count) __builtin_trap();
    if (rec.data != frame.data() + FRAME_HDR) __builtin_trap();
    dispatch(&rec);
  }
  return 0;
}
