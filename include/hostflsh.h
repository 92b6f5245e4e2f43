// The tag's flash recorder store: flash locations, chips, their geometry and
// bad blocks, and the bad-block table.
#pragma once

#include <stdint.h>

#include "k3proto.h"

#define BADBLK_LIST 200       // bad-block list: the count and up to 199 blocks
#define BADBLK_REPLY_MAX 400  // bytes of the largest bad-block reply
#define BADBLK_MAXCHIPS 31    // chips with a bad-block record: ids 0xE0 to 0xFE

// Asks for n = 1, 2 or 3 numbers (chip, block, page) into loc; the fields not
// asked for are left alone. 0 read; 1 the input was not numbers (message
// printed).
int getflashlocn(flashlocn *loc, int n);

// The number of flash chips (0 when the tag reports none); -1 on failure
// (message printed).
int getnchips(void);

// The geometry of one chip. 0 good; 1 failed (message printed, except for a
// tag that reports no chips).
int getchiptype(int chip, chipgeom *geom);

// The bad-block list of one chip: list[0] the count, then the block numbers.
// The count never exceeds the block numbers the tag actually sent.
// 0 good; 1 failed (message printed).
int getbadblocks(int chip, int32_t list[BADBLK_LIST]);

// Menu action "8 Flash chips": the geometry of a typed chip. 0 or 1.
int hflsid_req(void);

// Menu action "c Get bad blocks": the bad blocks of a typed chip. 0 or 1.
int hflsbadblocks_req(void);

// Menu action "d Make bad block file": the bad-block table file in the
// working directory and the parameter magic, the bad-block records and the end
// marker in the EEPROM. 0 both written; 1 failed (message printed, except for
// a tag that reports no chips); more than BADBLK_MAXCHIPS chips are refused.
int hflsbadblockfile(void);
