// A season's tags for the field station: k3host-sim --tags N puts N
// emulated tags on the bus one after another.
#pragma once

#include "vbus.h"

// Tag i (counted from 1) of the sequence: base with its own board identity
// (the last two words from i), its state kept in memory only, and two to
// four small recordings (a few MB in all) from its own days.
TagConfig sim_tags_config(int i, const TagConfig &base);

// Puts the first of n tags made from base on the bus, and has the station
// take each one off the bus when it is done with it and put the next on.
// The first tag's id.
int sim_tags_start(int n, const TagConfig &base);
