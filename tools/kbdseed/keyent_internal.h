/* Shared between the collector's sources only. */
#ifndef KBDSEED_KEYENT_INTERNAL_H
#define KBDSEED_KEYENT_INTERNAL_H

#include "keyent.h"

/* The key reader and clock in use (never NULL, both members set). */
const keyent_io *keyent_current_io(void);

#endif
