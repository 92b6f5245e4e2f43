// The tag's EEPROM: reading, writing and clearing ranges, writing a whole
// file into it, and configuring a new tag (bad-block table, parameter magic,
// boot code).
#pragma once

#include "k3proto.h"

#define EEPROM_SIZE 0x10000   // bytes; addresses are one 16-bit word
#define EE_MAGIC_ADDR 0x6000  // the parameter magic 0x5A 0x13
#define EE_PARAMS 0x6002      // the first parameter record
#define EE_MAGIC_HI 0x5A
#define EE_MAGIC_LO 0x13
#define EE_MAGIC_LEN 2
#define EE_CHUNK 64               // data bytes per write request of a file
#define REBOOTFILE "_reboot.bin"  // the boot code a new tag gets

// Asks for an address (n = 1) or an address and a byte count (otherwise) and
// puts them as words at the start of the request payload: the position after
// them, or null when the input was not numbers (message printed).
unsigned char *geteepromlocn(int n);

// INMENU handler of an EEPROM read reply: prints the bytes; 0.
int eepromread_resp(MessRec *reply);

// Menu action "6 EEPROM write": a file into the EEPROM from a typed address.
// 0 written; non-zero otherwise (message printed).
int eepromwrite_req(void);

// Writes len bytes at addr and waits for the acknowledge. 0 acknowledged; 1
// no reply or a wrong one (message printed); the send flag when the send
// failed (the transport printed it).
int eepromwrite(int addr, const unsigned char *data, int len);

// Writes the file at path into the EEPROM from *addr in pieces of 64 bytes,
// each acknowledged before the next, advancing *addr. 0 written; 1 a piece
// refused or unanswered (message printed); the send flag when a send failed.
int eeprom_fwrite(const char *path, int *addr);

// Reads n bytes at addr into rec, which must be a reply of exactly n bytes.
// 0 read; 1 failed (message printed).
int eepromread(int addr, int n, MessRec *rec);

// 1 when the EEPROM holds the parameter magic, and after any failure
// (message printed); 0 when it was read and the magic is absent.
int eeprom_isinstalled(void);

// Writes the parameter magic: EE_PARAMS on success; 0 on failure (message
// printed).
int eepromwriteparammagic(void);

// Configures a new tag: bad-block table file and EEPROM table, the boot code
// from _reboot.bin, and only then the parameter magic. 0 done; 1 failed,
// message printed (the tag counts as configured only when its EEPROM table,
// boot code and magic went in, whatever became of the table file).
int eeprom_install(void);
