// The EEPROM parameter store and its text form: walking the records, writing
// them to and from parameter text files, and rewriting the bad-block records
// from the bad-block table file.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <vector>

#define PARAM_ID_END 0xFF       // id byte that ends the store
#define PARAM_ID_BADBLK 0xE0    // id of chip c's bad-block record is 0xE0 + c
#define PARAM_ID_LAST_TEXT 191  // ids written to a parameter text file: 0 to 191
#define PARAM_ID_SEARCH 192     // ordinary for params2eeprom's search
#define PARAM_MAXWORDS 250      // most words a writer puts in one record
#define PARAM_RECLEN (2 + 255)  // record buffer: id, size, up to 255 words
#define PARAMSTEMP "_paramstemp.txt"
#define BADBLK_FNAME_LEN 32                              // room for "badblocks_HHHH_LLLL.txt"
#define PARAM_MAXCHIPS (PARAM_ID_END - PARAM_ID_BADBLK)  // chips with a bad-block record: ids 0xE0 to 0xFE

// What reading or writing one parameter record (in the store or in a text
// file) came to.
enum ParamOutcome {
  PARAM_DONE,    // read, or written
  PARAM_END,     // the end marker, or the end of the file, before another record
  PARAM_TOOBIG,  // a size above 250: read, but never written
  PARAM_FAILED,  // not a record, or the read or write failed (message printed)
};

// Reads the record at *addr (0: the first record) into rec (id, size,
// words): PARAM_DONE with *addr moved to the next record; PARAM_END at the
// end of the store (rec[0] is then 0xFF); PARAM_FAILED after a failure, a
// record running past the EEPROM's top or a store without end marker
// included (rec[0] is then -1, message printed).
int paramread(int *addr, int32_t rec[PARAM_RECLEN]);
// paramread with its result as one number: the address of the next record;
// 0 at the end of the store or after a failure (rec[0] tells them apart).
int readnextparam(int addr, int32_t rec[PARAM_RECLEN]);

// Writes the ordinary parameters of the store to a new text file at path.
// 0 written; 1 failed, a walk cut short by a failure included (message
// printed; the records read before it stay in the file).
int params2file(const char *path);

// Writes record id with its n words (low 16 bits each) and an end marker at
// *addr, in pieces of 64 bytes, a dot for each: PARAM_DONE with *addr moved
// to that end marker; PARAM_TOOBIG for a size outside 0 to 250 (nothing
// written); PARAM_FAILED after a failed write or for a record outside 0x6002
// to 0xFFFF (message printed).
int paramwrite(int *addr, int id, int n, const int32_t *words);
// paramwrite with its result as one number: the address of the end marker
// written; 0 when n exceeds 250; 1 after a failure.
int writeparam(int addr, int id, int n, const int32_t *words);

// Reads the next record of a parameter text file into rec (id, size, words
// as their low 16 bits); *line counts the lines passed. PARAM_DONE,
// PARAM_END, PARAM_TOOBIG or PARAM_FAILED (message printed).
int paramfile_next(FILE *f, int *line, int32_t rec[PARAM_RECLEN]);

// A parameter text file as read: its records one after another, each as
// id, size and words.
struct ParamFile {
  std::vector<int32_t> recs;  // those that fit the EEPROM, and the first that does not
  int count;                  // records read
  int line;                   // the line reading ended on: a fault's line
};
// Reads the whole file: PARAM_END when every record is good (count may be
// 0); otherwise the fault, PARAM_TOOBIG or PARAM_FAILED (message printed).
int paramfile_read(FILE *f, ParamFile *pf);

// paramfile_next, then writeparam of the record at addr: the address of the
// end marker written; 0 at the end of the file or for a size above 250
// (nothing written); 1 after a failure (message printed).
int writenextparam(int addr, FILE *file);

// Replaces the ordinary parameters of the store with those of the text file
// at path (flag: always 0, unused). Nothing is written when the store cannot
// be read up to its first ordinary record, or when the file holds no records.
// 0 written; 1 failed (message printed).
int params2eeprom(const char *path, int flag);

// params2eeprom of _paramstemp.txt.
int edit_params(void);

// The bad blocks of each chip as a bad-block table file lists them.
struct BadBlockFile {
  int n[PARAM_MAXCHIPS];                           // block numbers of chip c
  int32_t blocks[PARAM_MAXCHIPS][PARAM_MAXWORDS];  // their low 16 bits
  int line;                                        // the line reading ended on: a fault's line
};
// Reads the bad-block table file f (name: for the messages) for a tag of
// nchips chips (1 to 31): each chip's blocks, from the data lines "chip,block"
// in file order; a line of an earlier chip is passed over. 0 read; 1 refused
// (message printed): no %ENDDATA line (the file was cut short), or more than
// 250 blocks for one chip.
int badblkfile_read(FILE *f, const char *name, int nchips, BadBlockFile *t);

// Menu action "w re-write bad blocks": the bad-block records from this tag's
// bad-block table file, read whole before anything is written. 0 written;
// 1 failed (message printed).
int badblkwrite(void);

// The bad-block table file name of the tag with board identity id:
// "badblocks_%04X_%04X.txt" of words 2 and 3, into name (BADBLK_FNAME_LEN).
void badblk_fname(char *name, const uint32_t id[5]);
