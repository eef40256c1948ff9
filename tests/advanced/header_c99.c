/* The public header compiles as pedantic C99. */
#include "qz/advanced.h"

int qz_advanced_header_is_c99(void) { return (int)sizeof(FWVersionInfo) + (int)sizeof(RawCountBuffer); }
