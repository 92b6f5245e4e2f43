// The tag's EEPROM: reading and clearing ranges from the expert menu, writing
// bytes and whole files, the parameter magic that marks a configured tag, and
// the configuration of a new one.
#include "host_eeprom.h"

#include <stdio.h>

#include "host.h"
#include "hostflsh.h"
#include "utilities.h"

#define LOCN_LINE 80      // characters of a typed address and byte count
#define ADDR_LINE 10      // characters of a typed address
#define EE_ADDR_LEN 2     // the address word in front of the data of a write
#define DUMP_PER_LINE 16  // bytes shown on one line of a read

unsigned char *geteepromlocn(int n) {
  char line[LOCN_LINE + 1];
  int v[2];
  int want = n == 1 ? 1 : 2;
  if (want == 1)
    fprintf(stderr, " Start address?\t\t");
  else
    fprintf(stderr, " Start address and number of bytes?\t\t");
  getl(line, LOCN_LINE);
  if (scanints(line, v, want) != want) {
    fprintf(stderr, "Input values must be numbers - try again\n");
    return NULL;
  }
  // The words sent are 16 bits: a number outside the EEPROM would wrap round
  // (-1 bytes from 0 clears all of it) instead of being refused.
  long end = want == 2 ? (long)v[0] + v[1] : v[0];
  if (v[0] < 0 || (want == 2 && v[1] < 0) || end > EEPROM_SIZE || (want == 1 && v[0] >= EEPROM_SIZE)) {
    fprintf(stderr, "\n Error: the EEPROM holds bytes 0 to %d\n", EEPROM_SIZE - 1);
    return NULL;
  }
  uint32_t w[2] = {(uint32_t)v[0], (uint32_t)(want == 2 ? v[1] : 0)};
  return bunpack(getbuff(), w, want);
}

int eepromread_resp(MessRec *reply) {
  fprintf(stderr, "\n EEPROM read %d bytes\n", reply->len);
  for (int i = 0; i < reply->len; i++) {
    fprintf(stderr, " %02x", reply->data[i]);
    if (i % DUMP_PER_LINE == DUMP_PER_LINE - 1) fprintf(stderr, "\n");
  }
  fprintf(stderr, "\n");
  return 0;
}

// Puts addr as the first payload word; the data goes behind it.
static unsigned char *addrword(int addr) {
  uint32_t w = (uint32_t)addr;
  return bunpack(getbuff(), &w, 1);
}

int eepromwrite(int addr, const unsigned char *data, int len) {
  if (len < 0 || len > PAYLOAD_MAX - EE_ADDR_LEN) {
    fprintf(stderr, " Error: %d bytes do not fit one EEPROM write\n", len);
    return 1;
  }
  unsigned char *p = addrword(addr);
  for (int i = 0; i < len; i++) p[i] = data[i];
  int s = sendreq(REQ_EEWRITE, EE_ADDR_LEN + len);
  if (s) return s;
  MessRec rec;
  s = getmess(&rec, TMO_REPLY);
  if (s) {
    fprintf(stderr, " Error: failed eeprom write request with flag %04x\n", s);
    return 1;
  }
  if (rec.cmd != MSG_ACK) {
    fprintf(stderr, " EEPROM write response bad %04x\n", rec.cmd);
    return 1;
  }
  return 0;
}

int eepromwriteparammagic(void) {
  const unsigned char magic[EE_MAGIC_LEN] = {EE_MAGIC_HI, EE_MAGIC_LO};
  if (eepromwrite(EE_MAGIC_ADDR, magic, EE_MAGIC_LEN)) {
    fprintf(stderr, " failed writing to eeprom\n");
    return 0;
  }
  return EE_PARAMS;
}

int eeprom_fwrite(const char *path, int *addr) {
  FILE *f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, " Error: unable to open file %s\n", path);
    return 1;
  }
  // Addresses are 16 bits: a file that runs past the end would wrap round
  // and overwrite the boot code at address 0.
  long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
  rewind(f);
  if (size >= 0 && (*addr < 0 || *addr + size + (size & 1) > EEPROM_SIZE)) {
    fprintf(stderr, "\n Error: %s (%ld bytes) does not fit in the EEPROM from address %d\n", path, size, *addr);
    fclose(f);
    return 1;
  }
  // Every piece must be acknowledged, the last one too: a piece refused or
  // unanswered leaves the file not written.
  for (;;) {
    fprintf(stderr, ".");
    unsigned char piece[EE_CHUNK + 1];
    int n = (int)fread(piece, 1, EE_CHUNK, f);
    int end = feof(f) || ferror(f);
    if (ferror(f)) {
      fprintf(stderr, "\n Error: reading file %s failed\n", path);
      fclose(f);
      return 1;
    }
    // Every request carries an even number of data bytes.
    if (end && n % 2) piece[n++] = 0;
    int s = eepromwrite(*addr, piece, n);
    if (s) {
      fclose(f);
      return s;
    }
    *addr += n;
    if (end) {
      fclose(f);
      fprintf(stderr, "\n");
      return 0;
    }
  }
}

int eepromwrite_req(void) {
  char name[FNAME_LINE + 1], line[ADDR_LINE + 1];
  int addr;
  if (getfname(name, FNAME_LINE, "rb")) {
    fprintf(stderr, " Error: unable to open file %s\n", name);
    return 1;
  }
  fprintf(stderr, " Start address?\t\t\t");
  getl(line, ADDR_LINE);
  if (scanints(line, &addr, 1) != 1) {
    fprintf(stderr, "\n Input values must be numbers - try again\n");
    return 1;
  }
  fprintf(stderr, "\n writing to EEPROM");
  return eeprom_fwrite(name, &addr);
}

int eepromread(int addr, int n, MessRec *rec) {
  uint32_t w[2] = {(uint32_t)addr, (uint32_t)n};
  unsigned char *end = bunpack(getbuff(), w, 2);
  if (askreq(REQ_EEREAD, (int)(end - getbuff()), rec, "eeprom read request", 0)) return 1;
  if (rec->cmd != REQ_EEREAD || rec->len != n) {
    fprintf(stderr, " Bad eeprom read response 0x%04x\n", rec->cmd);
    return 1;
  }
  return 0;
}

int eeprom_isinstalled(void) {
  MessRec rec;
  if (eepromread(EE_MAGIC_ADDR, EE_MAGIC_LEN, &rec)) return 1;
  return rec.data[0] == EE_MAGIC_HI && rec.data[1] == EE_MAGIC_LO;
}

int eeprom_install(void) {
  // The parameter magic, which makes the tag count as configured, goes in
  // last: a tag whose table or boot code did not go in is offered the
  // configuration again at the next session.
  fprintf(stderr, "\n Making bad block table");
  int table = hflsbadblocktable(0);
  if (table == 1) return 1;
  // A table file that could not be written (said already) leaves the EEPROM
  // table whole: the tag is configured all the same.
  fprintf(stderr, "\n Installing boot code");
  FILE *f = fopen(REBOOTFILE, "rb");
  if (!f) {
    fprintf(stderr, " Error: unable to find file %s\n", REBOOTFILE);
    return 1;
  }
  fclose(f);
  int addr = 0;
  if (eeprom_fwrite(REBOOTFILE, &addr)) {
    fprintf(stderr, " Error: the boot code did not install: the tag is not configured\n");
    return 1;
  }
  if (!eepromwriteparammagic()) return 1;
  return table ? 1 : 0;
}
