#include "list.h"

#include "diag/trace.h"

namespace kavrel {

void list_dump_link(KAVREL_CTX *ctx, const char *label, const KAVREL_LINK *link) {
    trace_always(ctx, "%s: %p, next: %p, prev: %p\n", label, static_cast<const void *>(link),
                 static_cast<void *>(link->next), static_cast<void *>(link->prev));
}

}  // namespace kavrel
