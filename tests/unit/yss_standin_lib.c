/* An authentication library that lacks one entry point (yorbAtFree goes by
   another name); every other entry point answers 0. */
#include "yorbat_contract.h"

#define yorbAtFree yorbAtFree_is_missing
#define YSS_STANDIN_ENTRY(name, args) __attribute__((visibility("default"))) int name args { return 0; }
YORBAT_ENTRY_POINTS(YSS_STANDIN_ENTRY)
