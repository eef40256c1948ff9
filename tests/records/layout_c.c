/* The record layout as the C compiler sees it (the headers must compile as C99). */
#include "layout_table.h"

#define QZ_C_SIZE(type, bytes) {#type, sizeof(type), bytes},
#define QZ_C_FIELD(type, field, offset) {#type "." #field, offsetof(type, field), offset},

const struct QzLayoutEntry qz_layout_c[] = {QZ_LAYOUT(QZ_C_SIZE, QZ_C_FIELD){NULL, 0, 0}};
